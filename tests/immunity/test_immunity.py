"""quillmat.immunity: algebraic immunity and annihilators, each result checked
by a computation of its own: counting the low-degree polynomials that vanish
on a support, ranks of evaluation matrices, quillmat.verify on the support,
and the Matrix-API roads of quillmat.immunity.stepwise."""

import itertools
import mmap
import operator
import os
import pathlib
import random
import re
import subprocess
import sys
import threading
import time
from array import array
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quillmat
from testing import plain_allocator
from helpers import interrupt_when_ready
from quillmat import immunity

from quillmat.immunity import stepwise as ai

SANITIZED = "QUILLMAT_SANITIZED" in os.environ
ROADS = list(ai.ROADS)


# --- independent arithmetic ---------------------------------------------------------

def monomial_masks(n, d):
    """Masks (bit i: x_i) of the monomials of degree <= d, in canonical order."""
    return [sum(1 << i for i in chosen)
            for k in range(min(d, n) + 1) for chosen in itertools.combinations(range(n), k)]


def exponent(mask, n):
    return "".join("1" if mask >> i & 1 else "0" for i in range(n))


def canonical_key(term):
    """Sorts exponent strings in canonical order: by degree, then variable indices."""
    return term.count("1"), [i for i, c in enumerate(term) if c == "1"]


def points(table, value=1):
    """The points (exponent strings) where the function takes `value`."""
    n = len(table).bit_length() - 1
    return [exponent(x, n) for x, bit in enumerate(table) if bit == value]


def complement(table):
    return bytes(1 - bit for bit in table)


def vanishes(terms, zeros):
    return quillmat.verify(zeros, [1] * len(terms), list(terms)) == (True, None)


_ROWS: dict[int, list[int]] = {}


def evaluation_rows(n):
    """Row x: bit j set when monomial j (canonical order, every degree) divides x."""
    if n not in _ROWS:
        index = {m: j for j, m in enumerate(monomial_masks(n, n))}
        rows = []
        for x in range(1 << n):
            row, sub = 0, x
            while True:  # every submask of x
                row |= 1 << index[sub]
                if sub == 0:
                    break
                sub = (sub - 1) & x
            rows.append(row)
        _ROWS[n] = rows
    return _ROWS[n]


def independent_columns(rows):
    """The column rank profile of a 0/1 matrix given as int rows (bit j: column j):
    the columns independent of the columns before them."""
    basis = {}  # lowest set bit -> row
    for row in rows:
        while row:
            low = row & -row
            if low not in basis:
                basis[low] = row
                break
            row ^= basis[low]
    return sorted(low.bit_length() - 1 for low in basis)


def dimensions_by_rank(table):
    """dim Ann_d of the function, d = 0 .. n: the monomials of degree <= d less the
    rank of their values on the support."""
    n = len(table).bit_length() - 1
    rows = evaluation_rows(n)
    pivots = independent_columns(rows[x] for x, bit in enumerate(table) if bit)
    dims = []
    for d in range(n + 1):
        count = len(monomial_masks(n, d))
        dims.append(count - sum(1 for p in pivots if p < count))
    return dims


def profile_by_rank(table):
    return list(zip(dimensions_by_rank(table), dimensions_by_rank(complement(table))))


def immunity_of(profile):
    return next(d for d, (f, c) in enumerate(profile) if f or c)


def random_table(n, rng, weight=None):
    size = 1 << n
    weight = size // 2 if weight is None else weight
    ones = set(rng.sample(range(size), weight))
    return bytes(1 if x in ones else 0 for x in range(size))


@st.composite
def tables(draw, min_n=0, max_n=9):
    """Truth tables of every density: random bits, sparse and dense ones, and a few
    points (or all but a few), where the annihilator dimensions change most."""
    n = draw(st.integers(min_n, max_n))
    size = 1 << n
    shape = draw(st.sampled_from(["random", "sparse", "dense", "points", "all but points"]))
    if shape in ("points", "all but points"):
        chosen = draw(st.lists(st.integers(0, size - 1), max_size=2 * n + 2))
        bits = sum(1 << x for x in set(chosen))
        if shape == "all but points":
            bits ^= (1 << size) - 1
    else:
        bits = draw(st.integers(0, (1 << size) - 1))
        for _ in range(2 if shape != "random" else 0):
            other = draw(st.integers(0, (1 << size) - 1))
            bits = bits & other if shape == "sparse" else bits | other
    return bytes(bits >> x & 1 for x in range(size))


# --- the checks every result must pass -----------------------------------------------

def check_polynomial(terms, n):
    """A non-zero polynomial as exponent strings: n characters each, distinct, in
    canonical order."""
    assert terms, "the zero polynomial"
    assert all(len(t) == n and set(t) <= {"0", "1"} for t in terms), terms
    assert list(terms) == sorted(set(terms), key=canonical_key), terms


def check_immunity(table, result, profile):
    """`result` of algebraic_immunity against the profile computed independently."""
    n = len(table).bit_length() - 1
    assert result.n == n
    assert result.degree == immunity_of(profile)
    assert (result.dim_f, result.dim_complement) == profile[result.degree]
    assert result.of_complement == (profile[result.degree][0] == 0)  # f when it can
    check_polynomial(result.annihilator, n)
    assert max(t.count("1") for t in result.annihilator) == result.degree
    assert vanishes(result.annihilator, points(table, 0 if result.of_complement else 1))


def check_canonical_basis(basis, table, degree, dimension):
    """The reduced echelon form of Ann_degree with the monomials in reverse canonical
    order: `dimension` annihilators, each vanishing on the support, their highest
    terms increasing, and no highest term in any other element."""
    n = len(table).bit_length() - 1
    assert len(basis) == dimension
    zeros = points(table)
    highest = []
    for terms in basis:
        check_polynomial(terms, n)
        assert max(t.count("1") for t in terms) <= degree
        assert vanishes(terms, zeros)
        highest.append(terms[-1])
    assert highest == sorted(highest, key=canonical_key) and len(set(highest)) == len(highest)
    for terms in basis:
        assert set(terms) & set(highest) == {terms[-1]}


# --- every function of up to 4 variables -----------------------------------------------

def vanishing_counts(n, d):
    """For every set h of points (an int, bit x for point x): how many polynomials of
    degree <= d vanish outside h, by enumerating the polynomials and summing over
    the subsets of each h."""
    size = 1 << n
    polynomials = [0]
    for m in monomial_masks(n, d):
        column = sum(1 << x for x in range(size) if x & m == m)
        polynomials += [g ^ column for g in polynomials]
    counts = [0] * (1 << size)
    for g in polynomials:
        counts[g] += 1
    for b in range(size):  # the sums over subsets, one point at a time
        step = 1 << b
        for start in range(0, len(counts), 2 * step):
            low, high = slice(start, start + step), slice(start + step, start + 2 * step)
            counts[high] = map(operator.add, counts[high], counts[low])
    return counts


def run_split(work, items, parts):
    """work(chunk) on `parts` threads; the failures of all of them, in one list."""
    failures = []
    threads = [threading.Thread(target=lambda k=k: failures.extend(work(items[k::parts])))
               for k in range(parts)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4])
def test_every_function_of_few_variables(n):
    size = 1 << n
    full = (1 << size) - 1
    # Polynomials vanishing on the support of f are those of degree <= d inside its
    # zeros; there are 2**dim Ann_d(f) of them.
    counts = [vanishing_counts(n, d) for d in range(n + 1)]

    def profile(bits):
        return [(counts[d][full ^ bits].bit_length() - 1, counts[d][bits].bit_length() - 1)
                for d in range(n + 1)]

    def work(chunk):
        failures = []
        for bits in chunk:
            table = bytes(bits >> x & 1 for x in range(size))
            try:
                check_immunity(table, immunity.algebraic_immunity(table), profile(bits))
                if n <= 3:
                    assert immunity.immunity_profile(table, n) == profile(bits)
            except Exception as failure:  # a thread's own exception would go unseen
                failures.append((table, failure))
        return failures

    functions = list(range(1 << size))
    if SANITIZED and n == 4:
        functions = functions[::61]
    # The engine releases the interpreter lock: a few threads share the calls.
    failures = run_split(work, functions, 4)
    assert not failures, f"{len(failures)} functions fail, e.g. {failures[:3]}"


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_every_canonical_basis_of_few_variables(n):
    for table in itertools.product((0, 1), repeat=1 << n):
        table = bytes(table)
        dims = dimensions_by_rank(table)
        for d in range(n + 2):
            basis = immunity.annihilators(table, d)
            check_canonical_basis(basis, table, d, dims[min(d, n)])


# --- random functions ---------------------------------------------------------------------

@settings(max_examples=150 if not SANITIZED else 40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(tables(max_n=9))
def test_random_functions_against_ranks(table):
    n = len(table).bit_length() - 1
    profile = profile_by_rank(table)
    result = immunity.algebraic_immunity(table)
    check_immunity(table, result, profile)
    assert immunity.immunity_profile(table, n) == profile
    side = complement(table) if result.of_complement else table
    basis = immunity.annihilators(side, result.degree)
    check_canonical_basis(basis, side, result.degree, profile[result.degree][result.of_complement])
    assert basis[0] == result.annihilator


def check_profile_identities(table, profile):
    """What every profile satisfies, whatever the function."""
    n = len(table).bit_length() - 1
    weight = sum(table)
    # Ann_d grows with d, and at d = n holds every function on the zeros.
    assert all(a[0] <= b[0] and a[1] <= b[1] for a, b in zip(profile, profile[1:]))
    assert profile[n] == ((1 << n) - weight, weight)
    # RM(d, n) and RM(n - d - 1, n) are dual codes:
    #   dim Ann_d(f) - dim Ann_{n-d-1}(f + 1) = D_d - wt(f).
    for d in range(n):
        count = len(monomial_masks(n, d))
        assert profile[d][0] - profile[n - d - 1][1] == count - weight, d
        assert profile[d][1] - profile[n - d - 1][0] == count - ((1 << n) - weight), d


@pytest.mark.parametrize("n, count", [(10, 3), (11, 2), (12, 2)])
def test_random_functions_of_more_variables(n, count):
    rng = random.Random(n)
    for k in range(count):
        weight = (1 << n - 1) if k == 0 else rng.randrange(1 << n)
        table = random_table(n, rng, weight)
        result = immunity.algebraic_immunity(table)
        profile = immunity.immunity_profile(table, n)
        check_profile_identities(table, profile)
        assert immunity_of(profile) == result.degree
        assert profile[result.degree] == (result.dim_f, result.dim_complement)
        assert result.of_complement == (result.dim_f == 0)
        check_polynomial(result.annihilator, n)
        assert vanishes(result.annihilator, points(table, 0 if result.of_complement else 1))
        if n == 10:  # affordable: the whole profile by rank, and bases of several panels
            assert profile == profile_by_rank(table)
            side = complement(table) if result.of_complement else table
            basis = immunity.annihilators(side, result.degree)
            check_canonical_basis(basis, side, result.degree, profile[result.degree][result.of_complement])
            assert basis == kernel_terms(side, result.degree)
            assert immunity.annihilators(table, 6) == kernel_terms(table, 6)


@settings(max_examples=60 if not SANITIZED else 15, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(tables(max_n=8))
def test_profile_identities(table):
    check_profile_identities(table, immunity.immunity_profile(table, len(table).bit_length() - 1))


def test_majority_has_the_highest_immunity():
    for n in range(1, 12):
        table = bytes(1 if bin(x).count("1") > n // 2 else 0 for x in range(1 << n))
        assert immunity.algebraic_immunity(table).degree == (n + 1) // 2


# --- the Matrix-API roads of the example program --------------------------------------

@pytest.fixture
def quiet(capfd):
    """The last-row reduction announces its row exchanges on file descriptor 1."""
    yield
    capfd.readouterr()


# The slower roads stop at fewer variables; the at-once road goes to 10.
ROAD_LIMIT = {"stepwise": 9, "last-row": 7, "at-once": 10}


@pytest.mark.parametrize("road", ROADS)
def test_the_matrix_roads_give_the_same_annihilator(quiet, road):
    rng = random.Random(road)
    for n in range(0, ROAD_LIMIT.get(road, 7) + 1):
        per_n = 12 if n <= 6 else 2
        for k in range(per_n):
            weight = rng.choice([(1 << n) // 2, rng.randrange((1 << n) + 1)])
            table = random_table(n, rng, weight)
            want = ai.algebraic_immunity(list(table), road=road)
            got = immunity.algebraic_immunity(table)
            assert (got.degree, got.of_complement, got.annihilator) == \
                (want.degree, want.of_complement, tuple(want.monomials)), (road, table)


def kernel_terms(table, degree):
    """The kernel of the reduced evaluation matrix of the support against the
    monomials of degree <= `degree`, by the Matrix API, as term lists."""
    n = len(table).bit_length() - 1
    monomials = ai.monomials_by_degree(n, min(degree, n))
    support = ai.support(list(table), 1)
    if not support:  # no condition: each monomial alone
        return [(m,) for m in monomials]
    reduced, _ = quillmat.Matrix([]).fill_rows(support, monomials).echelon_form()
    return [tuple(m for m, bit in zip(monomials, vector) if bit) for vector in reduced.kernel()]


@settings(max_examples=200 if not SANITIZED else 40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(tables(max_n=8), st.integers(0, 9))
def test_annihilators_are_the_matrix_kernel(table, degree):
    assert immunity.annihilators(table, degree) == kernel_terms(table, degree)


# --- edge cases ---------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 5, 16])
def test_constant_functions(n):
    for value in (0, 1):
        table = bytes([value]) * (1 << n)
        result = immunity.algebraic_immunity(table)
        # The constant 1 annihilates f = 0; it annihilates f + 1 when f = 1.
        assert (result.degree, result.of_complement, result.annihilator) == (0, value == 1, ("0" * n,))
        assert (result.dim_f, result.dim_complement) == ((1, 0) if value == 0 else (0, 1))
        if n <= 5:
            profile = immunity.immunity_profile(table, n + 2)
            zeros = [(len(monomial_masks(n, d)), 0) for d in range(n + 3)]
            assert profile == (zeros if value == 0 else [(c, f) for f, c in zeros])


def test_one_variable():
    # f = x0 and f = x0 + 1: each annihilates the other; constants have immunity 0.
    for table, side, terms in [([0, 1], False, ("0", "1")), ([1, 0], False, ("1",))]:
        result = immunity.algebraic_immunity(table)
        assert (result.degree, result.of_complement, result.annihilator) == (1, side, terms)
        assert result.anf == ("x0 + 1" if table == [0, 1] else "x0")


@pytest.mark.parametrize("n", [2, 3, 6, 12])
def test_weight_one_and_all_but_one(n):
    rng = random.Random(n)
    size = 1 << n
    for point in {0, size - 1, rng.randrange(size)}:
        table = bytes(x == point for x in range(size))
        result = immunity.algebraic_immunity(table)
        # One point: every affine function that is 0 there annihilates f, and no
        # constant annihilates either side.
        assert (result.degree, result.of_complement, result.dim_f) == (1, False, n)
        assert vanishes(result.annihilator, points(table))
        flipped = immunity.algebraic_immunity(complement(table))
        assert (flipped.degree, flipped.of_complement, flipped.dim_complement) == (1, True, n)
        assert flipped.annihilator == result.annihilator
        if n <= 6:
            profile = immunity.immunity_profile(table, n)
            assert profile == [(len(monomial_masks(n, d)) - 1, int(d == n)) for d in range(n + 1)]


def test_degrees_past_n():
    table = random_table(5, random.Random(5))
    profile = immunity.immunity_profile(table, 9)
    assert profile[5:] == [profile[5]] * 5 == [(16, 16)] * 5
    assert immunity.annihilators(table, 9) == immunity.annihilators(table, 5)
    assert len(immunity.annihilators(table, 5)) == 16


def test_anf_text():
    assert immunity.anf(("100", "101", "000")) == "x0*x2 + x0 + 1"
    assert immunity.anf(()) == "0"
    result = immunity.algebraic_immunity(random_table(7, random.Random(7)))
    texts = result.anf.split(" + ")
    degrees = [0 if t == "1" else t.count("*") + 1 for t in texts]
    assert degrees == sorted(degrees, reverse=True)
    as_terms = {exponent(sum(1 << int(i) for i in re.findall(r"x(\d+)", t)), 7) for t in texts}
    assert as_terms == set(result.annihilator)


@pytest.mark.parametrize("terms, error, message", [
    ("0110", TypeError, "anf takes a sequence of exponent strings"),
    ("101", TypeError, "not a 'str'"),
    (["12"], ValueError, "term 0 is '12', not an exponent string"),
    (["00", "x0"], ValueError, "term 1 is 'x0'"),
    (["10", " 1"], ValueError, "term 1 is ' 1'"),
    (["10", 1], ValueError, "term 1 is a 'int'"),
    (["10", None], ValueError, "term 1 is a 'NoneType'"),
    (["10", "101"], ValueError, "different lengths: '10' has 2 variables, '101' 3"),
    (["0" * (1 << 20) + "2"], ValueError, r"term 0 is '0{40}'\.\.\., not"),
])
def test_anf_checks_its_terms(terms, error, message):
    with pytest.raises(error, match=message) as caught:
        immunity.anf(terms)
    assert len(str(caught.value)) < 200


def test_anf_of_terms_from_any_iterable():
    assert immunity.anf(iter(["00", "11"])) == "x0*x1 + 1"
    assert immunity.anf([""]) == "1" and immunity.anf(("",) * 2) == "1 + 1"
    assert immunity.anf([]) == "0"


@pytest.mark.parametrize("text, n, error, message", [
    ("x\u0661", 2, ValueError, "not a term of a polynomial: 'x\u0661'"),
    ("x0 + x\uff11", 2, ValueError, "not a term of a polynomial: 'x\uff11'"),
    ("x\u00b2", 3, ValueError, "not a term"),
    (None, 3, TypeError, "from_anf takes a polynomial's text, a str.*not 'NoneType'"),
    (b"x0", 3, TypeError, "not 'bytes'"),
    ("x" + "9" * 5000, 3, ValueError, r"'x9{39}'\.\.\. is not one of the 3 variables"),
    ("x3", 3, ValueError, r"'x3' is not one of the 3 variables x0 \.\. x2"),
    ("x0", 0, ValueError, "'x0' is not a variable: a function of 0 variables has none"),
    ("y" * (1 << 20), 3, ValueError, r"not a term of a polynomial: 'y{40}'\.\.\. \(terms"),
], ids=lambda value: None if isinstance(value, str) and len(value) > 40 else repr(value))
def test_from_anf_names_what_it_cannot_read(text, n, error, message):
    with pytest.raises(error, match=message) as caught:
        immunity.from_anf(text, n)
    assert len(str(caught.value)) < 200


def test_from_anf_reads_leading_zeros():
    assert immunity.from_anf("x" + "0" * 5000 + "2", 3) == immunity.from_anf("x2", 3)


def test_from_anf_evaluates_each_term():
    rng = random.Random(6)
    for n in (0, 1, 4, 7):
        terms = rng.sample(range(1 << n), rng.randrange(1 << n) + 1)
        text = " + ".join("*".join(f"x{i}" for i in range(n) if m >> i & 1) or "1" for m in terms)
        table = bytes(sum((m & x) == m for m in terms) % 2 for x in range(1 << n))
        assert immunity.from_anf(text, n) == table
        assert immunity.from_anf(text + " + " + text, n) == bytes(1 << n)  # terms cancel in pairs
    assert immunity.from_anf("0", 3) == bytes(8)


def test_map_immunity_keeps_the_input_order():
    rng = random.Random(7)
    tables = [bytes(rng.randrange(2) for _ in range(1 << n)) for n in itertools.chain(range(9), range(9))]
    expected = [immunity.algebraic_immunity(t) for t in tables]
    with ThreadPoolExecutor(3) as executor:
        assert list(immunity.map_immunity(tables, executor, window=4)) == expected
    assert list(immunity.map_immunity(iter(tables), workers=2)) == expected
    with pytest.raises(ValueError, match="got 3"):
        list(immunity.map_immunity([tables[3], [0, 1, 1]], workers=1))


# --- input forms and their errors ------------------------------------------------------

def forms(table):
    """Every accepted form of one truth table."""
    bits = "".join(map(str, table))
    hex_digits = format(int(bits, 2), f"0{len(bits) // 4}x")
    yield "list", list(table)
    yield "bools", [bool(b) for b in table]
    yield "tuple", tuple(table)
    yield "bytes", bytes(table)
    yield "bytearray", bytearray(table)
    yield "memoryview", memoryview(bytes(table))
    yield "array B", array("B", list(table))
    yield "memoryview of array b", memoryview(array("b", list(table)))
    yield "memoryview of array H", memoryview(array("H", list(table)))
    yield "str", bits
    yield "hex", "0x" + hex_digits
    yield "HEX", "0X" + hex_digits.upper()


def numpy_forms(table):
    numpy = pytest.importorskip("numpy")
    for dtype in (bool, numpy.uint8, numpy.int8, numpy.int64, numpy.uint16):
        yield f"numpy {numpy.dtype(dtype)}", numpy.array(list(table), dtype=dtype)
    yield "numpy strided", numpy.array([list(table), list(table)]).T[:, 0]


@pytest.mark.parametrize("source", [forms, numpy_forms])
def test_every_input_form_gives_the_same_result(source):
    table = random_table(6, random.Random(6), 21)
    expected = immunity.algebraic_immunity(table)
    basis = immunity.annihilators(table, expected.degree)
    profile = immunity.immunity_profile(table, 3)
    for name, form in source(table):
        assert immunity.truth_table(form) == table, name
        assert immunity.algebraic_immunity(form) == expected, name
        assert immunity.annihilators(form, expected.degree) == basis, name
        assert immunity.immunity_profile(form, 3) == profile, name


def test_hex_is_the_binary_expansion():
    # "0x6" is 0110: f(1) = f(2) = 1, which is x0 + x1, annihilated by x0 + x1 + 1.
    assert immunity.truth_table("0x6") == bytes([0, 1, 1, 0])
    assert immunity.truth_table("0x8000") == bytes([1] + [0] * 15)
    assert immunity.algebraic_immunity("0x6").annihilator == ("00", "10", "01")


@pytest.mark.parametrize("value, error, message", [
    ([0, 1, 1], ValueError, r"2\*\*n values; got 3"),
    ([], ValueError, r"2\*\*n values; got 0"),
    (b"\x00\x01\x01", ValueError, "got 3"),
    ([0, 2], ValueError, r"f\[1\] is 2"),
    ([0, 1, -1, 0], ValueError, r"f\[2\] is -1"),
    ([256, 0], ValueError, r"f\[0\] is 256"),
    (b"\x00\x01\x00\x02", ValueError, r"f\[3\] is 2"),
    ([0, 1.0], TypeError, r"f\[1\] is a 'float'"),
    ([0, "1"], TypeError, r"f\[1\] is a 'str'"),
    ([0, None], TypeError, r"f\[1\] is a 'NoneType'"),
    ("0120", ValueError, "character 2 .* '2'"),
    ("01 0", ValueError, "character 2"),
    ("01\u00e90", ValueError, "character 2"),
    ("", ValueError, "got 0"),
    ("0x", ValueError, "not a hex truth table"),
    ("0x6g", ValueError, "not a hex truth table"),
    ("0x-6", ValueError, "not a hex truth table"),
    (5, TypeError, "not 'int'"),
    (None, TypeError, "not 'NoneType'"),
    ({0: 1}, TypeError, "not 'dict'"),
    (1.0, TypeError, "not 'float'"),
    # What the user more likely meant, said in the message.
    ("6996", ValueError, r"character 0 .* '6', .*0x prefix: '0x6996'"),
    ("e8", ValueError, r"character 0 .* 'e', .*0x prefix: '0xe8'"),
    ("x0*x1 + x2", ValueError, r"character 0 .* 'x', .*from_anf\(text, n\)"),
    ("1 + x3", ValueError, r"character 1 .*from_anf\(text, n\)"),
    (b"0110", ValueError, r"f\[0\] is 48; .*ASCII digits '0' and '1': pass the str '0110'"),
    (bytearray(b"1001"), ValueError, r"f\[0\] is 49; .*pass the str '1001'"),
    (memoryview(b"0110"), ValueError, "ASCII digits"),
    (0x6996, TypeError, r"not 'int': a number is ambiguous.*pass the str '0x6996'"),
    (0xE8, TypeError, "ambiguous.*'0xe8'"),
])
def test_bad_truth_tables(value, error, message):
    for call in (immunity.truth_table, immunity.algebraic_immunity,
                 lambda f: immunity.annihilators(f, 1), lambda f: immunity.immunity_profile(f, 1)):
        with pytest.raises(error, match=message):
            call(value)


def test_hints_only_where_they_fit():
    # A 0/1 str with a stray character is neither hex nor a polynomial.
    for text in ("01 0", "0120x", "01\u00e90"):
        with pytest.raises(ValueError) as caught:
            immunity.truth_table(text)
        assert "0x prefix" not in str(caught.value) and "from_anf" not in str(caught.value)
    with pytest.raises(ValueError) as caught:
        immunity.truth_table(b"\x00\x01\x02\x00")
    assert "ASCII" not in str(caught.value)


@pytest.mark.parametrize("value, quoted", [
    ("6" * (1 << 20), "'0x666"), ("0x" + "g" * (1 << 20), "'0xggg"), (1 << (1 << 16), "'0x100"),
    (b"01" * (1 << 19), "'0101"), ("x0*" * (1 << 18), None), ("0y" * (1 << 19), None)],
    ids=["hex without 0x", "bad hex", "number", "ASCII bytes", "polynomial", "bad 0/1"])
def test_messages_quote_long_input_cut_short(value, quoted):
    with pytest.raises((TypeError, ValueError)) as caught:
        immunity.truth_table(value)
    message = str(caught.value)
    assert len(message) < 300
    if quoted:
        assert re.search(quoted + r"\w{30,40}'\.\.\.", message), message


def test_every_function_takes_the_hex_order():
    rng = random.Random(12)
    table = random_table(6, rng, 23)
    # Least significant bit first, bit x of the number is f(x).
    number = sum(bit << x for x, bit in enumerate(table))
    lsb = "0x" + format(number, "016x")
    msb = "0x" + format(int("".join(map(str, table)), 2), "016x")
    assert lsb != msb
    expected = immunity.algebraic_immunity(table)
    for text, order in ((lsb, "lsb-first"), (msb, "msb-first")):
        assert immunity.truth_table(text, hex_order=order) == table
        assert immunity.algebraic_immunity(text, hex_order=order) == expected
        assert immunity.annihilators(text, 3, hex_order=order) == immunity.annihilators(table, 3)
        assert immunity.immunity_profile(text, 3, hex_order=order) == \
            immunity.immunity_profile(table, 3)
    for call in (immunity.truth_table, immunity.algebraic_immunity,
                 lambda f, **k: immunity.annihilators(f, 1, **k),
                 lambda f, **k: immunity.immunity_profile(f, 1, **k)):
        with pytest.raises(ValueError, match="'msb-first' or 'lsb-first', not 'lsb'"):
            call(lsb, hex_order="lsb")


def test_bad_numpy_arrays():
    numpy = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match=r"one-dimensional.*\(2, 2\)"):
        immunity.truth_table(numpy.zeros((2, 2), dtype=numpy.uint8))
    with pytest.raises(TypeError, match="bools or integers, not float64"):
        immunity.truth_table(numpy.zeros(4))
    with pytest.raises(ValueError, match=r"f\[2\] is 3"):
        immunity.truth_table(numpy.array([0, 1, 3, 0]))
    with pytest.raises(ValueError, match="got 3"):
        immunity.truth_table(numpy.zeros(3, dtype=bool))


def test_too_many_variables():
    limit = immunity.MAX_VARIABLES
    # bytes(k) is zeroed lazily: the table of limit + 1 variables costs no memory
    # until read, and the length is checked before anything reads it.
    with pytest.raises(ValueError, match=f"{limit + 1} variables; at most {limit}"):
        immunity.truth_table(bytes(2 ** (limit + 1)))
    # The engine's door checks what memory safety needs: n, and the length of
    # the bits against it (on a mapping that is never touched).
    with mmap.mmap(-1, 2 ** (limit - 3)) as block:
        with pytest.raises(ValueError, match=f"{limit + 1}"):
            immunity._engine.algebraic_immunity(limit + 1, block, 1, None, 1, 0)
        with pytest.raises(ValueError, match=f"{2 ** (limit - 4)}"):
            immunity._engine.algebraic_immunity(limit - 1, block, 1, None, 1, 0)


def test_bad_degrees_and_threads():
    table = "0110"
    for call in (lambda **k: immunity.annihilators(table, -1, **k),
                 lambda **k: immunity.immunity_profile(table, -1, **k)):
        with pytest.raises(ValueError, match="must be >= 0, not -1"):
            call()
    for threads in (0, -3):
        with pytest.raises(ValueError, match=f"threads must be >= 1, not {threads}"):
            immunity.algebraic_immunity(table, threads=threads)
    with pytest.raises(TypeError):
        immunity.annihilators(table, 1.5)
    with pytest.raises(TypeError):
        immunity.algebraic_immunity(table, threads=1.5)


def test_any_thread_count_gives_the_same_result():
    # 14 variables: systems large enough for the elimination to share its panels
    # among threads.
    table = random_table(14, random.Random(14), 5000)
    expected = immunity.algebraic_immunity(table, threads=1)
    profile = immunity.immunity_profile(table, 7, threads=1)
    for threads in (2, 3, 64):
        assert immunity.algebraic_immunity(table, threads=threads) == expected, threads
    assert immunity.immunity_profile(table, 7, threads=2) == profile


def test_threads_is_a_cap_of_any_size():
    table = random_table(8, random.Random(8))
    expected = immunity.algebraic_immunity(table, threads=1)
    assert immunity.algebraic_immunity(table, threads=4096) == expected
    assert immunity.annihilators(table, 4, threads=10**6) == immunity.annihilators(table, 4)


# --- threads, the interpreter lock, Ctrl-C and progress ------------------------------------

def long_table(n, seed=0):
    table = [1] * (1 << n - 1) + [0] * (1 << n - 1)
    random.Random(seed).shuffle(table)
    return bytes(table)


def test_other_threads_run_during_a_long_call():
    table = long_table(15)
    stop, gaps = threading.Event(), []

    def ticker():
        last = time.monotonic()
        while not stop.is_set():
            time.sleep(0.005)
            now = time.monotonic()
            gaps.append(now - last)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    busy, calls = 0.0, 0
    try:
        while busy < 1.0 and calls < 5:  # at least a second inside the engine
            start = time.monotonic()
            result = immunity.algebraic_immunity(table)
            busy += time.monotonic() - start
            calls += 1
    finally:
        stop.set()
        thread.join()
    assert result.degree == 7
    assert len(gaps) > busy / 0.25
    assert max(gaps) < 0.25, f"the other thread stalled for {max(gaps):.3f} s"


def test_concurrent_calls_get_their_own_answers():
    rng = random.Random(14)
    long = [random_table(n, rng, rng.randrange(1 << n)) for n in (13, 14)]
    short = [random_table(5, rng, rng.randrange(33)) for _ in range(20)]
    expected = {t: immunity.algebraic_immunity(t) for t in long + short}
    bases = {t: immunity.annihilators(t, 2) for t in short}
    barrier = threading.Barrier(3)
    got, errors = {}, []

    def compute(table):
        try:
            barrier.wait()
            got[table] = immunity.algebraic_immunity(table)
        except BaseException as exc:
            errors.append(exc)

    def many():
        try:
            barrier.wait()
            for _ in range(5):
                for t in short:
                    assert immunity.algebraic_immunity(t) == expected[t]
                    assert immunity.annihilators(t, 2) == bases[t]
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=compute, args=(t,)) for t in long]
    threads.append(threading.Thread(target=many))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert got == {t: expected[t] for t in long}


CALLS = {
    "algebraic_immunity": "immunity.algebraic_immunity(table)",
    "annihilators": "immunity.annihilators(table, 8)",
    "immunity_profile": "immunity.immunity_profile(table, 8)",
}


@pytest.mark.parametrize("call", list(CALLS))
def test_ctrl_c_interrupts_a_long_call(call):
    code = f"""
import random, sys, time
from quillmat import immunity
table = [1] * 2**16 + [0] * 2**16
random.Random(17).shuffle(table)
table = bytes(table)
print("ready", flush=True)
try:
    {CALLS[call]}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
    sys.exit(1)
# Still usable afterwards.
print(immunity.algebraic_immunity("0x6996").degree, flush=True)
"""
    status, out, sent = interrupt_when_ready(code, 1.0)
    lines = out.split()
    assert status == 0 and lines[0] == "interrupted", out
    assert float(lines[1]) - sent < 0.5, f"KeyboardInterrupt {float(lines[1]) - sent:.3f} s after SIGINT"
    assert lines[2] == "1"


def test_progress_reports_growing_work():
    table = long_table(15, seed=1)
    calls = []
    result = immunity.algebraic_immunity(table, progress=lambda done, total: calls.append((done, total)))
    assert result == immunity.algebraic_immunity(table)
    assert len(calls) >= 2
    assert all(isinstance(v, int) and 0 <= v for call in calls for v in call)
    assert all(done <= total for done, total in calls)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)
    assert calls[-1][0] == calls[-1][1] > 0  # the last report: all done


def test_progress_that_raises_stops_a_long_call():
    table = long_table(15, seed=2)
    raised, called = KeyError("stop here"), []

    def progress(done, total):
        called.append(time.monotonic())
        raise raised

    with pytest.raises(KeyError) as info:
        immunity.algebraic_immunity(table, progress=progress)
    stopped = time.monotonic()
    assert info.value is raised
    assert len(called) == 1 and stopped - called[0] < 0.5


@pytest.mark.parametrize("progress", [
    "def progress(done, total): raise KeyError('stop here')",
    "progress = 5",  # not callable: TypeError at the first report
])
@pytest.mark.parametrize("call", ["algebraic_immunity('0x6996', progress=progress)",
                                  "annihilators('0x6996', 2, progress=progress)",
                                  "immunity_profile('0x6996', 2, progress=progress)"])
def test_progress_that_raises_at_the_end_of_a_short_call(progress, call):
    # A short call reports only once, when the work is done.  In a child process:
    # what goes wrong here can take the interpreter down.
    code = f"""
from quillmat import immunity
{progress}
try:
    immunity.{call}
except (KeyError, TypeError) as error:
    print(type(error).__name__)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == ("KeyError\n" if "raise" in progress else "TypeError\n")


@plain_allocator
def test_a_system_beyond_memory_raises_memory_error():
    # The annihilators of degree 12 of a random function of 25 variables need a
    # system of terabytes: refused before anything is allocated.  (Its immunity
    # would be refused too, but only after the lower degrees, minutes of work.)
    # The address space limit keeps a wrong answer from taking the machine with it.
    code = """
import random, resource, time
resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))
from quillmat import immunity
table = random.Random(25).randbytes(2**25).translate(bytes(i & 1 for i in range(256)))
start = time.monotonic()
try:
    immunity.annihilators(table, 12)
except MemoryError as error:
    print(f"{time.monotonic() - start:.2f}", error)
"""
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("no MemoryError within 60 s")
    assert done.returncode == 0, done.stderr[-2000:]
    seconds, message = done.stdout.split(maxsplit=1)
    assert float(seconds) < 5 and "GiB" in message
