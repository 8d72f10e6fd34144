"""quillmat.sbox: polynomials vanishing on point sets and S-box graphs, each
result checked by a computation of its own: ranks of evaluation matrices on
Python ints, evaluation of every polynomial at every point, the
annihilators of a support, and published counts."""

import itertools
import os
import random
import threading
from array import array

import pytest

from gf2 import rank_of_ints
from helpers import interrupt_when_ready
from quillmat import immunity, sbox
from sboxes import AES, PRESENT, SAGE_DOCTEST

SANITIZED = "QUILLMAT_SANITIZED" in os.environ


# --- independent arithmetic ---------------------------------------------------------

def masks(n, d):
    """Monomials of degree <= d as masks, in canonical order (itertools.combinations)."""
    return [sum(1 << i for i in chosen)
            for k in range(min(d, n) + 1) for chosen in itertools.combinations(range(n), k)]


def vanishing_count(points, monomials):
    """dim of the span of `monomials` vanishing at every point: columns less
    the rank of the evaluation matrix (a row per point)."""
    rows = [sum(1 << j for j, m in enumerate(monomials) if p & m == m) for p in set(points)]
    return len(monomials) - rank_of_ints(rows)


def mask_of(exponents):
    return sum(1 << i for i, c in enumerate(exponents) if c == "1")


def vanish_everywhere(basis, points):
    polynomials = [[mask_of(t) for t in p] for p in basis]
    return all(sum(x & m == m for m in p) % 2 == 0 for p in polynomials for x in set(points))


def graph(table, n):
    return [x | y << n for x, y in enumerate(table)]


def brute_immunity(values, n):
    """AI of a function given by its values, from ranks over both supports."""
    for d in range(n + 1):
        for side in (1, 0):
            support = [x for x in range(1 << n) if values[x] == side]
            if vanishing_count(support, masks(n, d)):
                return d
    raise AssertionError


def canonical(basis):
    """Whether a basis is the canonical one: highest terms distinct and
    increasing, and each absent from every other polynomial."""
    order = {m: i for i, m in enumerate(sorted(
        {t for p in basis for t in p}, key=lambda t: (t.count("1"), [i for i, c in enumerate(t) if c == "1"])))}
    highest = [max(p, key=order.__getitem__) for p in basis]
    if [order[h] for h in highest] != sorted(order[h] for h in highest) or len(set(highest)) != len(highest):
        return False
    leads = set(highest)
    return all(len(leads.intersection(p)) == 1 for p in basis)




def test_the_aes_table_is_fips_197s():
    assert AES[:4] == [0x63, 0x7C, 0x77, 0x7B] and AES[0x53] == 0xED and sorted(AES) == list(range(256))


# --- published values ---------------------------------------------------------------

def test_aes_equations_and_immunities():
    # Courtois and Pieprzyk (Asiacrypt 2002): 39 quadratic equations, 23 of
    # them bi-affine, and none of degree 1; every component has immunity 4.
    assert len(sbox.sbox_equations(AES, 1)) == 0
    quadratic = sbox.sbox_equations(AES)
    assert len(quadratic) == 39
    assert len(sbox.sbox_equations(AES, 2, bi_affine=True)) == 23
    assert sbox.graph_algebraic_immunity(AES) == sbox.GraphImmunity(8, 8, 2, 39)
    components = sbox.component_algebraic_immunity(AES)
    assert (components.value, components.component, components.distribution) == (4, 1, {4: 255})
    points = graph(AES, 8)
    assert vanish_everywhere(quadratic, points)


@pytest.mark.parametrize("table, quadratic", [(PRESENT, 21), (SAGE_DOCTEST, 14)])
def test_published_counts(table, quadratic):
    # PRESENT (Bogdanov et al., CHES 2007) has 21, the least of any 4-bit
    # S-box; SageMath's SBox.polynomials doctest S-box has 14.
    assert len(sbox.sbox_equations(table)) == quadratic


# --- against brute force ------------------------------------------------------------

def test_three_bit_permutations_against_brute_force():
    rng = random.Random(3)
    everything = list(itertools.permutations(range(8)))
    chosen = [tuple(range(8)), tuple(SAGE_DOCTEST)] + rng.sample(everything,
                                                                 150 if SANITIZED else 1500)
    for table in chosen:
        points = graph(table, 3)
        for d in (1, 2):
            basis = sbox.sbox_equations(list(table), d)
            assert len(basis) == vanishing_count(points, masks(6, d)), (table, d)
        affine = [m for m in masks(6, 2) if bin(m & 7).count("1") <= 1 and bin(m >> 3).count("1") <= 1]
        assert len(sbox.sbox_equations(list(table), bi_affine=True)) == vanishing_count(points, affine)
        g = sbox.graph_algebraic_immunity(list(table))
        assert g.equations == vanishing_count(points, masks(6, g.degree)) > 0
        assert vanishing_count(points, masks(6, g.degree - 1)) == 0
        c = sbox.component_algebraic_immunity(list(table))
        assert c.immunities == tuple(
            brute_immunity([bin(v & y).count("1") % 2 for y in table], 3) for v in range(1, 8))


def test_unequal_input_and_output_bits_against_brute_force():
    rng = random.Random(4)
    for _ in range(60):
        n, m = rng.randint(1, 4), rng.randint(1, 5)
        table = [rng.getrandbits(m) for _ in range(1 << n)]
        table[0] |= 1 << (m - 1)  # m is the width read
        points = graph(table, n)
        width = n + m
        xs = (1 << n) - 1
        affine = [t for t in masks(width, 2)
                  if bin(t & xs).count("1") <= 1 and bin(t >> n).count("1") <= 1]
        equations = sbox.sbox_equations(table, 2, bi_affine=True)
        assert len(equations) == vanishing_count(points, affine), (n, m, table)
        assert all(mask_of(t) in affine for p in equations for t in p)
        assert len(sbox.sbox_equations(table, 2)) == vanishing_count(points, masks(width, 2))
        c = sbox.component_algebraic_immunity(table)
        assert c.immunities == tuple(
            brute_immunity([bin(v & y).count("1") % 2 for y in table], n) for v in range(1, 1 << m))
        assert c.value == min(c.immunities) == c.immunities[c.component - 1]


def test_random_point_sets_against_ranks_and_annihilators():
    rng = random.Random(5)
    for _ in range(150):
        n = rng.randint(0, 9)
        d = rng.randint(0, n)
        points = [rng.getrandbits(n) for _ in range(rng.choice([0, 1, 5, 40, 300]))]
        if n > 3 and rng.random() < 0.4:  # a subcube: many polynomials vanish
            points = [p & ((1 << (n - 3)) - 1) for p in points]
        basis = sbox.vanishing_polynomials(points, d, n)
        assert len(basis) == vanishing_count(points, masks(n, d))
        assert sbox.vanishing_dimension(points, d, n) == len(basis)
        assert vanish_everywhere(basis, points)
        assert canonical(basis)
        # On the support of a function, they are its annihilators.
        table = [0] * (1 << n)
        for p in points:
            table[p] = 1
        assert basis == immunity.annihilators(table, d, method="dense")
        # The basis is the set's: order and repetition change nothing.
        shuffled = points * 2
        rng.shuffle(shuffled)
        assert sbox.vanishing_polynomials(shuffled, d, n, threads=2) == basis


def test_wide_points_in_a_subspace():
    # The polynomials of degree <= d on F_2^n vanishing on {x : x_k = .. =
    # x_(n-1) = 0} are those with a variable past x_(k-1) in every term.
    for n, k, d in [(24, 16, 3), (40, 12, 2), (64, 10, 2)]:
        rng = random.Random(n)
        points = [rng.getrandbits(k) for _ in range(1 << min(k, 14))] + list(range(1 << min(k, 8)))
        expected = len(masks(n, d)) - len(masks(k, d))
        if len(points) < 1 << k:  # a sample of the subspace spans its degree-d functions
            points += [sum(1 << i for i in chosen) for j in range(d + 1)
                       for chosen in itertools.combinations(range(k), j)]
        assert sbox.vanishing_dimension(points, d, n) == expected, (n, k, d)
    basis = sbox.vanishing_polynomials(points, 1, 64)
    assert basis == [("0" * i + "1" + "0" * (63 - i),) for i in range(10, 64)]


def test_a_random_permutation_of_sixteen_bits_has_no_quadratic_equation():
    rng = random.Random(16)
    table = list(range(1 << 16))
    rng.shuffle(table)
    assert sbox.sbox_equations(array("H", table)) == []


# --- reading inputs -----------------------------------------------------------------

class FakeSageSBox:
    """What SageMath's SBox offers: sizes, and S(x) for an int x."""

    def __init__(self, table, m):
        self.table, self.m = table, m

    def input_size(self):
        return len(self.table).bit_length() - 1

    def output_size(self):
        return self.m

    def __call__(self, x):
        return self.table[x]


class FakeBooleanFunction:
    def __init__(self, values):
        self.values = values

    def truth_table(self):
        return tuple(self.values)


def test_every_form_of_an_sbox_reads_the_same():
    numpy = pytest.importorskip("numpy")
    expected = sbox.read_sbox(PRESENT)
    assert (expected.n, expected.m) == (4, 4)
    for form in (tuple(PRESENT), bytes(PRESENT), bytearray(PRESENT), array("B", PRESENT),
                 array("Q", PRESENT), memoryview(array("I", PRESENT)), numpy.array(PRESENT),
                 numpy.array(PRESENT, dtype=numpy.uint8), FakeSageSBox(PRESENT, 4), expected):
        assert sbox.read_sbox(form) == expected, type(form)
    assert sbox.read_sbox(PRESENT, m=6).m == 6
    assert len({sbox.read_sbox(PRESENT), sbox.read_sbox(bytes(PRESENT))}) == 1  # hashable
    assert sbox.read_sbox(FakeSageSBox(PRESENT, 5)).m == 5
    f = [0, 1, 1, 0, 1, 0, 0, 1]
    assert sbox.read_sbox(FakeBooleanFunction(f)) == sbox.read_sbox(f, m=1)
    assert sbox.vanishing_polynomials(numpy.array([1, 2, 7]), 1, 3) == \
        sbox.vanishing_polynomials(["100", "010", "111"], 1, 3)


@pytest.mark.parametrize("call, error, text", [
    (lambda: sbox.read_sbox([1, 2, 3]), ValueError, "2**n values"),
    (lambda: sbox.read_sbox([]), ValueError, "2**n values"),
    (lambda: sbox.read_sbox([0, 5], m=2), ValueError, "S(1) = 5 is not below 2**2"),
    (lambda: sbox.read_sbox([0, -1]), ValueError, "S[1] is -1"),
    (lambda: sbox.read_sbox([0, 1.0]), TypeError, "S[1] is a 'float'"),
    (lambda: sbox.read_sbox("637c"), TypeError, "not a str"),
    (lambda: sbox.read_sbox(PRESENT, n=3), ValueError, "n = 3 input bits"),
    (lambda: sbox.read_sbox(object()), TypeError, "not 'object'"),
    (lambda: sbox.read_sbox(memoryview(bytes(4)).cast("B", (2, 2))), ValueError,
     "one-dimensional; got a buffer of shape (2, 2)"),
    (lambda: sbox.vanishing_polynomials(memoryview(bytes(4)).cast("B", (2, 2)), 1, 3), ValueError,
     "one-dimensional; got a buffer of shape (2, 2)"),
    (lambda: sbox.read_sbox(memoryview(array("d", [0.0, 1.0]))), TypeError, "S[0] is a 'float'"),
    (lambda: sbox.sbox_equations([0, 1 << 63]), ValueError, "65 variables; at most 64"),
    (lambda: sbox.sbox_equations(PRESENT, 3, bi_affine=True), ValueError, "degree 2, not 3"),
    (lambda: sbox.component_algebraic_immunity(sbox.read_sbox([0, 0], m=0)), ValueError,
     "no components"),
    (lambda: sbox.vanishing_polynomials([1, 8], 1, 3), ValueError, "points[1] is 0x8"),
    (lambda: sbox.vanishing_polynomials(["10", "1"], 1, 2), ValueError, "points[1] is '1'"),
    (lambda: sbox.vanishing_polynomials(["10", 1], 1, 2), TypeError, "all ints or all"),
    (lambda: sbox.vanishing_polynomials("101", 1, 3), TypeError, "not a single 'str'"),
    (lambda: sbox.vanishing_polynomials([1], 1, 65), ValueError, "n must be from 0 to 64"),
    (lambda: sbox.vanishing_polynomials([1], -1, 3), ValueError, "degree must be >= 0"),
    (lambda: sbox.vanishing_polynomials([1], 1.5, 3),  # type: ignore[arg-type]
     TypeError, "degree must be an int"),
    (lambda: sbox.vanishing_polynomials([-1], 1, 3), ValueError, "points[0] is -1"),
    (lambda: sbox.vanishing_polynomials([1], 1, 3, threads=0), ValueError, "threads must be >= 1"),
])
def test_bad_input_names_the_problem(call, error, text):
    with pytest.raises(error, match=None) as caught:
        call()
    assert text in str(caught.value)


def test_too_many_monomials_is_a_memory_error_before_any_work():
    with pytest.raises(MemoryError, match="vanishing on the points"):
        sbox.vanishing_dimension([1, 2, 3], 20, 64)


def test_equation_text():
    assert sbox.equation_text(("0000", "1000", "1001"), 2) == "x0*y1 + x0 + 1"
    assert sbox.equation_text((), 2) == "0"


def test_threads_progress_and_an_exception_that_stops_the_work():
    rng = random.Random(9)
    points = [rng.getrandbits(16) for _ in range(1 << 15)]
    points = [p & 0x3FFF for p in points]  # 14 of 16 variables: the space stays large
    seen = []
    one = sbox.vanishing_dimension(points, 3, 16, threads=1, progress=lambda d, t: seen.append((d, t)))
    assert one == sbox.vanishing_dimension(points, 3, 16, threads=2) == 697 - 470
    assert seen and all(d <= t for d, t in seen)

    def stop(done, total):
        raise KeyError("stop")

    with pytest.raises(KeyError):
        sbox.vanishing_dimension(points * 8, 4, 16, progress=stop)
    assert threading.active_count() >= 1


@pytest.mark.parametrize("call", [
    # Points of a subcube: many polynomials keep vanishing, so every batch costs.
    "sbox.vanishing_dimension(points, 4, 24)",
    "sbox.component_algebraic_immunity(table)",
])
def test_ctrl_c_interrupts_a_long_call(call):
    code = f"""
import random, sys, time
from array import array
from quillmat import sbox
rng = random.Random(1)
points = array("Q", (rng.getrandbits(18) for _ in range(1 << 21)))
table = list(range(1 << 12))
rng.shuffle(table)
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
    sys.exit(1)
print(len(sbox.sbox_equations([7, 6, 0, 4, 2, 5, 1, 3])), flush=True)
"""
    status, out, sent = interrupt_when_ready(code, 1.0)
    lines = out.split()
    assert status == 0 and lines[0] == "interrupted", out
    assert float(lines[1]) - sent < 0.5, f"KeyboardInterrupt {float(lines[1]) - sent:.3f} s after SIGINT"
    assert lines[2] == "14"
