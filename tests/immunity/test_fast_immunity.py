"""The fast algebraic immunity against brute force over every g, against an
independent solver that finds no pair (e, d) below it, and against the
published values of the majority functions; its witness checked by
evaluation."""

import itertools
import random

import pytest

from quillmat import immunity


def anf_of(values, n):
    a = list(values)
    for i in range(n):
        for x in range(1 << n):
            if x >> i & 1:
                a[x] ^= a[x ^ (1 << i)]
    return a


def degree_of(values, n):
    return max((bin(m).count("1") for m, c in enumerate(anf_of(values, n)) if c), default=-1)


def evaluate(masks, n):
    return [sum((x & m) == m for m in masks) % 2 for x in range(1 << n)]


def fai_by_brute_force(table, n):
    ai = immunity.algebraic_immunity(table).degree
    best = 2 * ai
    monomials = [m for m in range(1 << n) if bin(m).count("1") < ai]
    for chosen in itertools.product((0, 1), repeat=len(monomials)):
        g = [m for m, c in zip(monomials, chosen) if c]
        if max((bin(m).count("1") for m in g), default=0) < 1:
            continue  # g constant
        product = [t & v for t, v in zip(table, evaluate(g, n))]
        best = min(best, max(bin(m).count("1") for m in g) + degree_of(product, n))
    return best


def has_pair(table, n, e, d):
    """Whether some g, 1 <= deg g <= e, has deg(f g) <= d: the rows ANF(f m),
    deg m <= e, over the monomials of degree > d, have a combination that is
    0 there and is not g = 1 (reduced by Python ints, independently)."""
    monomials = [m for m in range(1 << n) if bin(m).count("1") <= e]
    high = [m for m in range(1 << n) if bin(m).count("1") > d]
    rows = []
    for i, m in enumerate(monomials):
        anf = anf_of([t & ((x & m) == m) for x, t in enumerate(table)], n)
        bits = sum(1 << k for k, c in enumerate(high) if anf[c])
        rows.append((bits, 1 << i))
    pivots = {}
    for bits, tag in rows:
        while bits:
            top = bits.bit_length() - 1
            if top not in pivots:
                pivots[top] = (bits, tag)
                break
            bits ^= pivots[top][0]
            tag ^= pivots[top][1]
        else:
            if tag != 1:  # a combination vanishing there that is not g = 1 alone
                return True
    return False


def check(table, n):
    fast = immunity.fast_algebraic_immunity(table)
    assert fast.value == fai_by_brute_force(table, n)
    check_witness(table, n, fast)
    return fast


def check_witness(table, n, fast):
    assert fast.degree_g + fast.degree_product == fast.value
    assert len(fast.least_product) == max(fast.algebraic_immunity - 1, 0)
    if fast.from_annihilator:
        assert fast.value == 2 * fast.algebraic_immunity
        return
    masks = [sum(1 << i for i, c in enumerate(t) if c == "1") for t in fast.g]
    assert max(bin(m).count("1") for m in masks) == fast.degree_g >= 1
    product = [t & v for t, v in zip(table, evaluate(masks, n))]
    assert degree_of(product, n) == fast.degree_product
    assert fast.least_product[fast.degree_g - 1] == fast.degree_product


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_every_function_of_few_variables(n):
    for table in itertools.product((0, 1), repeat=1 << n):
        check(list(table), n)


def test_sampled_functions_of_four_and_five_variables():
    rng = random.Random(4)
    for n, count in ((4, 400), (5, 25)):
        for _ in range(count):
            check([rng.randrange(2) for _ in range(1 << n)], n)


@pytest.mark.parametrize("n", [6, 7, 8, 9])
def test_no_pair_below_the_value(n):
    rng = random.Random(n)
    for _ in range(4):
        table = [rng.randrange(2) for _ in range(1 << n)]
        fast = immunity.fast_algebraic_immunity(table)
        check_witness(table, n, fast)
        for e in range(1, fast.algebraic_immunity):
            assert not has_pair(table, n, e, fast.value - e - 1), (e, fast)
            least = fast.least_product[e - 1]
            if least is not None:
                assert has_pair(table, n, e, least) and not has_pair(table, n, e, least - 1)
            else:
                assert not has_pair(table, n, e, fast.searched_below[e - 1] - 1)


# Tang, Carlet, Tang and Jin (IEEE-IT 2016): the majority function of n = 2^m and
# 2^m + 1 variables has FAI 2^(m-1) + 2; Chen et al. (IEEE Access 2019): of
# n = 2^m + 2 and 2^m + 3 variables, 2^(m-1) + 4.
@pytest.mark.parametrize("n, value", [(4, 4), (5, 4), (6, 6), (7, 6), (8, 6), (9, 6), (10, 8),
                                      (11, 8)])
def test_majority_functions(n, value):
    table = [int(2 * bin(x).count("1") > n) for x in range(1 << n)]
    fast = immunity.fast_algebraic_immunity(table)
    assert fast.value == value and fast.algebraic_immunity == (n + 1) // 2
    check_witness(table, n, fast)


def test_larger_functions_and_the_profile():
    table = immunity.PackedTable(12, random.Random(12).randbytes(512))
    fast = immunity.fast_algebraic_immunity(table, method="dense")
    values = immunity.truth_table(table)
    check_witness(list(values), 12, fast)
    p = immunity.profile(table)
    assert (p.algebraic_immunity, p.fast_algebraic_immunity) == (fast.algebraic_immunity,
                                                                  fast.value)
    assert immunity.profile(table, fast=False).fast_algebraic_immunity is None
    with pytest.raises(ValueError, match="method must be one of"):
        immunity.fast_algebraic_immunity("0110", method="sparse")


@pytest.mark.parametrize("text, n", [("x0*x1 + x2*x3", 4), ("x0*x1 + x2*x3 + x4*x5", 6),
                                     ("x0*x1*x2 + x3*x4 + x5", 6), ("x0*x1 + x2", 5),
                                     ("x0*x1*x2 + x1*x3*x4 + x0*x4", 5)])
def test_functions_of_low_degree(text, n):
    # f of low degree: f = f * 1 is a product of low degree, which a g = 1
    # that is not allowed must not stand in for.  The value by the
    # independent solver: the least e + d it finds a pair for.
    table = list(immunity.from_anf(text, n))
    fast = immunity.fast_algebraic_immunity(table)
    ai = fast.algebraic_immunity
    pairs = [e + d for e in range(1, ai) for d in range(ai, n + 1) if has_pair(table, n, e, d)]
    assert fast.value == min([2 * ai, *pairs])
    check_witness(table, n, fast)
