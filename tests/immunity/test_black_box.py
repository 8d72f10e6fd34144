"""The black-box method (block Wiedemann over GF(2)) against the dense one and
against evaluation: the same immunity, annihilators that vanish where they
must, dimensions and bases only where proved, answers that never depend on
the seed, and faults put in on purpose that never come out as answers."""

import itertools
import random

import pytest

from quillmat import _engine, immunity

BLACK_BOX = {"method": "black-box"}


def values(terms, n):
    """The truth table (one int per point) of a polynomial given by its terms."""
    masks = [sum(1 << i for i, e in enumerate(term) if e == "1") for term in terms]
    return [sum((m & ~x) == 0 for m in masks) % 2 for x in range(1 << n)]


def vanishes_on(terms, table, complement=False):
    """Whether the polynomial is 0 wherever the side of the table is 1."""
    g = values(terms, len(table).bit_length() - 1)
    return bool(terms) and all(v == 0 for v, t in zip(g, table) if t != complement)


def agree(table, seed):
    """The black-box answer for `table` is the dense one in all it states."""
    dense = immunity.algebraic_immunity(table, method="dense")
    found = immunity.algebraic_immunity(table, method="black-box", seed=seed)
    assert (found.degree, found.of_complement) == (dense.degree, dense.of_complement)
    assert found.method == "black-box"
    assert vanishes_on(found.annihilator, table, found.of_complement)
    assert max(term.count("1") for term in found.annihilator) <= found.degree
    if found.canonical:
        assert found.annihilator == dense.annihilator
    for got, want in ((found.dim_f, dense.dim_f), (found.dim_complement, dense.dim_complement)):
        assert got in (None, want)
    return found


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_every_function_of_few_variables(n):
    for seed, table in enumerate(itertools.product([0, 1], repeat=1 << n)):
        agree(list(table), seed)


def test_sampled_functions_of_four_variables():
    rng = random.Random(4)
    for seed in range(300):
        agree([rng.randrange(2) for _ in range(16)], seed)


@pytest.mark.parametrize("n", [5, 8, 11, 13])
def test_random_and_extreme_functions(n):
    rng = random.Random(n)
    size = 1 << n
    weight_one = [0] * size
    weight_one[rng.randrange(size)] = 1
    tables = [[rng.randrange(2) for _ in range(size)] for _ in range(2 if n < 13 else 1)]
    tables += [[0] * size, [1] * size, weight_one, [1 - v for v in weight_one]]
    for seed, table in enumerate(tables):
        agree(table, seed)


def test_bases_and_profiles_where_proved():
    rng = random.Random(9)
    for n in (4, 6, 9):
        table = [rng.randrange(2) for _ in range(1 << n)]
        dense = immunity.immunity_profile(table, n, method="dense")
        found = immunity.immunity_profile(table, n, seed=n, **BLACK_BOX)
        for got, want in zip(found, dense):
            assert got.f in (None, want.f) and got.complement in (None, want.complement)
        for d in range(n + 1):
            want = immunity.annihilators(table, d, method="dense")
            try:
                got = immunity.annihilators(table, d, seed=d, **BLACK_BOX)
            except RuntimeError as error:
                assert 'method="dense"' in str(error) and len(want) > 48
            else:
                assert got == want
    # A small kernel is proved whole: weight 1 at 6 variables has 6
    # annihilators of degree <= 1, and its complement none.
    one_point = [0] * 63 + [1]
    found = immunity.immunity_profile(one_point, 1, **BLACK_BOX)
    assert found == immunity.immunity_profile(one_point, 1, method="dense") == [(0, 0), (6, 0)]


def test_the_answer_never_depends_on_the_seed():
    rng = random.Random(12)
    table = [rng.randrange(2) for _ in range(1 << 10)]
    answers = {(r.degree, r.of_complement) for r in
               (immunity.algebraic_immunity(table, seed=s, **BLACK_BOX) for s in range(6))}
    assert len(answers) == 1
    # One seed, one run: the same annihilator, even a non-canonical one.
    first = immunity.algebraic_immunity(table, seed=77, **BLACK_BOX)
    assert immunity.algebraic_immunity(table, seed=77, **BLACK_BOX) == first
    # At 14 variables the two sides' systems run side by side on two
    # threads, one after the other on one: each draws its own choices, so
    # the run is the same.
    wide = [rng.randrange(2) for _ in range(1 << 14)]
    runs = [immunity.algebraic_immunity(wide, seed=77, threads=t, **BLACK_BOX) for t in (1, 2)]
    assert runs[0] == runs[1]
    assert not runs[0].canonical  # a kernel too large to prove whole: the seed shows
    assert immunity.algebraic_immunity(table, seed=2**64 - 1, **BLACK_BOX).degree == first.degree


@pytest.fixture
def faults():
    yield _engine._inject_faults
    _engine._inject_faults(0, 0)


@pytest.mark.parametrize("fault", [1, 2], ids=["generator", "kernel-vector"])
def test_a_corrupted_try_is_discarded(faults, fault):
    rng = random.Random(fault)
    for n in (6, 9):
        table = [rng.randrange(2) for _ in range(1 << n)]
        dense = immunity.algebraic_immunity(table, method="dense")
        # The first tries are corrupted: their checks fail, fresh tries answer.
        faults(fault, 3)
        found = immunity.algebraic_immunity(table, seed=1, **BLACK_BOX)
        assert (found.degree, found.of_complement) == (dense.degree, dense.of_complement)
        assert vanishes_on(found.annihilator, table, found.of_complement)
        # A singular system's first try corrupted: a generator of full
        # degree would claim no annihilator at all.
        side = [1 - v for v in table] if dense.of_complement else table
        basis = immunity.annihilators(side, dense.degree, method="dense")
        assert 0 < len(basis) <= 48
        faults(fault, 1)
        assert immunity.annihilators(side, dense.degree, seed=2, **BLACK_BOX) == basis


@pytest.mark.parametrize("fault", [1, 2], ids=["generator", "kernel-vector"])
def test_a_step_that_always_fails_gives_no_answer(faults, fault):
    # x0*x1 + x2 at 6 variables has immunity 2: below it both sides' systems
    # need a proof of full rank, which checks the generator, and at it the
    # annihilator must pass its check.
    table = immunity.from_anf("x0*x1 + x2", 6)
    faults(fault, 10**6)
    with pytest.raises(RuntimeError, match="found no proof"):
        immunity.algebraic_immunity(table, seed=3, **BLACK_BOX)


def test_bad_methods_and_seeds():
    with pytest.raises(ValueError, match=r"method must be one of 'auto', 'dense', 'black-box', "
                                         r"not 'black_box' \(with a hyphen\)"):
        immunity.algebraic_immunity("0110", method="black_box")
    with pytest.raises(ValueError, match="not 'fast'"):
        immunity.annihilators("0110", 1, method="fast")
    with pytest.raises(TypeError, match="method must be a str"):
        immunity.immunity_profile("0110", 1, method=2)
    with pytest.raises(ValueError, match=r"seed must be from 0 to 2\*\*64 - 1, not -1"):
        immunity.algebraic_immunity("0110", seed=-1)
    with pytest.raises(ValueError, match="not 18446744073709551616"):
        immunity.algebraic_immunity("0110", seed=2**64)
    with pytest.raises(TypeError, match="seed must be an int or None, not 'float'"):
        immunity.algebraic_immunity("0110", seed=1.0)
    with pytest.raises(ValueError, match="method must be from 0 to 2"):
        _engine.algebraic_immunity(2, b"\x06", 1, None, 3, 0)


def test_a_large_kernel_is_refused_before_any_work():
    # 12 variables, weight 1: 298 monomials of degree <= 3 and one point.
    table = [0] * 4096
    table[5] = 1
    with pytest.raises(RuntimeError, match="number at least 298"):
        immunity.annihilators(table, 3, **BLACK_BOX)
    assert immunity.immunity_profile(table, 3, **BLACK_BOX)[3] == (None, 0)
    # "auto" takes the dense solver for the whole space.
    assert len(immunity.annihilators(table, 3)) == 298


def test_auto_keeps_the_dense_answers_where_they_fit():
    rng = random.Random(5)
    table = [rng.randrange(2) for _ in range(1 << 12)]
    assert immunity.algebraic_immunity(table) == immunity.algebraic_immunity(table,
                                                                            method="dense")
    assert immunity.algebraic_immunity(table).method == "dense"


def test_a_reduced_system_without_rows_of_many_columns():
    # x0*x1*(x2 + 1) at 10 variables: every support point has weight <= 9,
    # so the reduced system of degree 9 has no rows and 767 unknowns.  Its
    # elimination once divided by its empty first chunk.
    table = immunity.from_anf("x0*x1*x2 + x0*x1", 10)
    basis = immunity.annihilators(table, 9, method="dense")
    assert len(basis) == 1023 - 128
    assert all(vanishes_on(g, table) for g in basis[:5] + basis[-5:])


@pytest.mark.parametrize("weight", [200, 180], ids=["independent", "kernel"])
def test_threaded_transforms_past_the_cache(weight):
    # 19 variables, where the transforms split among threads, but a sparse
    # support: 191 monomials of degree <= 2 against 200 or 180 points, so a
    # try is a few products.  Both thread counts give the dense basis.
    rng = random.Random(weight)
    table = [0] * (1 << 19)
    for x in rng.sample(range(1 << 19), weight):
        table[x] = 1
    dense = immunity.annihilators(table, 2, method="dense")
    assert (len(dense) > 0) == (weight < 191)
    for threads in (1, 2):
        assert immunity.annihilators(table, 2, threads=threads, seed=threads, **BLACK_BOX) == dense
