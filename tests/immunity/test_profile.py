"""The profile of a function against brute force from the definitions:
the ANF and degree, the Walsh spectrum, the nonlinearity as a distance to
every affine function, the correlation immunity as independence from every
set of inputs, the absolute indicator from the autocorrelation itself; and
published values (bent functions, Tr(x^-1) of 8 variables)."""

import itertools
import random

import pytest

from quillmat import immunity


def anf_by_definition(table):
    n = len(table).bit_length() - 1
    return {m for m in range(1 << n)
            if sum(table[x] for x in range(1 << n) if x & ~m == 0) % 2}


def walsh_by_definition(table):
    n = len(table).bit_length() - 1
    return [sum((-1) ** (table[x] ^ (bin(a & x).count("1") % 2)) for x in range(1 << n))
            for a in range(1 << n)]


def nonlinearity_by_definition(table):
    n = len(table).bit_length() - 1
    distances = []
    for a, c in itertools.product(range(1 << n), (0, 1)):
        affine = [(bin(a & x).count("1") + c) % 2 for x in range(1 << n)]
        distances.append(sum(u != v for u, v in zip(table, affine)))
    return min(distances)


def correlation_immune_to(table, t):
    """f is independent of every t of its inputs: each assignment of them
    leaves wt(f) / 2**t of f's ones."""
    n = len(table).bit_length() - 1
    weight = sum(table)
    for chosen in itertools.combinations(range(n), t):
        for values in itertools.product((0, 1), repeat=t):
            ones = sum(table[x] for x in range(1 << n)
                       if all((x >> i & 1) == v for i, v in zip(chosen, values)))
            if ones * (1 << t) != weight:
                return False
    return True


def absolute_indicator_by_definition(table):
    n = len(table).bit_length() - 1
    return max((abs(sum((-1) ** (table[x] ^ table[x ^ a]) for x in range(1 << n)))
                for a in range(1, 1 << n)), default=0)


def check_against_definitions(table):
    n = len(table).bit_length() - 1
    p = immunity.profile(table)
    anf = anf_by_definition(table)
    masks = {sum(1 << i for i, e in enumerate(term) if e == "1")
             for term in immunity.algebraic_normal_form(table)}
    assert masks == anf
    assert p.degree == max((bin(m).count("1") for m in anf), default=-1)
    assert p.anf_terms == len(anf) and p.weight == sum(table)
    walsh = walsh_by_definition(table)
    assert list(immunity.walsh_spectrum(table)) == walsh
    assert p.walsh_distribution == {v: sum(abs(w) == v for w in walsh) for v in map(abs, walsh)}
    assert p.nonlinearity == nonlinearity_by_definition(table)
    ci = max(t for t in range(n + 1) if all(correlation_immune_to(table, s) for s in range(1, t + 1)))
    assert p.correlation_immunity == ci
    assert p.resiliency == (ci if 2 * sum(table) == len(table) else -1)
    assert p.absolute_indicator == absolute_indicator_by_definition(table)
    assert p.algebraic_immunity == immunity.algebraic_immunity(table).degree


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_every_function_of_few_variables(n):
    for table in itertools.product((0, 1), repeat=1 << n):
        check_against_definitions(list(table))


def test_sampled_functions_of_four_and_five_variables():
    rng = random.Random(45)
    for n in (4, 5):
        for _ in range(60):
            check_against_definitions([rng.randrange(2) for _ in range(1 << n)])


@pytest.mark.parametrize("n", [4, 6, 8, 10])
def test_bent_functions(n):
    # x0 x1 + x2 x3 + ...: nonlinearity 2^(n-1) - 2^(n/2-1), a flat spectrum,
    # and every derivative balanced (absolute indicator 0).
    pairs = " + ".join(f"x{2 * i}*x{2 * i + 1}" for i in range(n // 2))
    p = immunity.profile(immunity.from_anf(pairs, n), immunity=False)
    assert p.nonlinearity == (1 << (n - 1)) - (1 << (n // 2 - 1))
    assert p.walsh_distribution == {1 << (n // 2): 1 << n}
    assert p.absolute_indicator == 0 and p.degree == 2 and p.algebraic_immunity is None


def inverse_trace(n, poly):
    """Tr(x^(2^n - 2)) over GF(2^n) = GF(2)[t]/poly, point x the polynomial of its bits."""
    def multiply(a, b):
        product = 0
        while b:
            if b & 1:
                product ^= a
            b >>= 1
            a <<= 1
            if a >> n & 1:
                a ^= poly
        return product

    def power(a, e):
        result = 1
        while e:
            if e & 1:
                result = multiply(result, a)
            a = multiply(a, a)
            e >>= 1
        return result

    def trace(a):
        total, y = 0, a
        for _ in range(n):
            total ^= y
            y = multiply(y, y)
        return total & 1

    return [trace(power(x, (1 << n) - 2)) for x in range(1 << n)]


def test_the_inverse_function_of_eight_variables():
    # SageMath's own example: BooleanFunction(x^254) over GF(2^8) has
    # nonlinearity 112 and algebraic immunity 4 (the modulus does not
    # change either: the fields are isomorphic).
    p = immunity.profile(inverse_trace(8, 0x11D))
    assert (p.nonlinearity, p.algebraic_immunity, p.degree) == (112, 4, 7)


def test_large_tables_and_bad_input():
    # 20 variables: the spectrum and its sums stay exact (Parseval).
    rng = random.Random(20)
    table = immunity.PackedTable(20, rng.randbytes(1 << 17))
    walsh = immunity.walsh_spectrum(table)
    assert sum(w * w for w in walsh) == 1 << 40 and walsh[0] == (1 << 20) - 2 * table.weight()
    p = immunity.profile(table, immunity=False)
    assert p.nonlinearity == (1 << 19) - max(map(abs, walsh)) // 2
    with pytest.raises(ValueError, match="truth table holds 0 and 1"):
        immunity.profile([0, 2])
    with pytest.raises(TypeError):
        immunity.algebraic_degree(object())
