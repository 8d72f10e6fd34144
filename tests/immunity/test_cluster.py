"""One function across processes: the black-box method's tries in chains on
an executor give the single-machine answer, a Dask cluster's included; a
run stopped and started again from its checkpoint goes on and gives the
same answer; broken stages and states never come out as answers."""

import random
from concurrent.futures import ThreadPoolExecutor

import pytest

from quillmat import _engine, immunity


def vanishes_on(terms, table, complement=False):
    """Whether the polynomial is nonzero and 0 wherever the side of the table is 1."""
    n = len(table).bit_length() - 1
    masks = [sum(1 << i for i, e in enumerate(term) if e == "1") for term in terms]
    g = [sum((m & ~x) == 0 for m in masks) % 2 for x in range(1 << n)]
    return bool(terms) and all(v == 0 for v, t in zip(g, table) if t != complement)


def random_table(n, seed, weight=None):
    rng = random.Random(seed)
    if weight is None:
        return [rng.randrange(2) for _ in range(1 << n)]
    table = [0] * (1 << n)
    for x in rng.sample(range(1 << n), weight):
        table[x] = 1
    return table


def agrees_with_dense(table, found):
    dense = immunity.algebraic_immunity(table, method="dense")
    assert (found.degree, found.of_complement) == (dense.degree, dense.of_complement)
    assert found.method == "black-box"
    assert vanishes_on(found.annihilator, table, found.of_complement)
    if found.canonical:
        assert found.annihilator == dense.annihilator
        assert (found.dim_f, found.dim_complement) in {(dense.dim_f, dense.dim_complement),
                                                       (dense.dim_f, None)}


@pytest.fixture(scope="module")
def threads():
    with ThreadPoolExecutor(2) as pool:
        yield pool


@pytest.mark.parametrize("chains", [1, 2, 3, 5])
def test_chains_give_the_dense_answer(threads, chains):
    # Random, sparse (a low immunity and a small kernel, so the canonical
    # annihilator), constant and weight-one functions.
    tables = [random_table(n, 100 * n + chains) for n in (3, 5, 8, 10)]
    tables += [random_table(9, chains, weight=12), random_table(11, chains, weight=60)]
    tables += [[0] * 64, [1] * 64, [int(x == 5) for x in range(128)]]
    for seed, table in enumerate(tables):
        found = immunity.algebraic_immunity(table, executor=threads, chains=chains, seed=seed)
        agrees_with_dense(table, found)


def test_sparse_supports_give_their_canonical_basis_first(threads):
    for seed in range(4):
        table = random_table(10, seed, weight=30)
        found = immunity.algebraic_immunity(table, executor=threads, chains=2, seed=seed)
        assert found.canonical, "a kernel of a few vectors is proved whole"
        agrees_with_dense(table, found)


def test_a_dask_cluster_gives_the_single_machine_answer():
    distributed = pytest.importorskip("distributed")
    table = random_table(12, 7)
    local = immunity.algebraic_immunity(table, method="black-box", seed=3)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        found = immunity.algebraic_immunity(table, executor=client, seed=3)
    assert (found.degree, found.of_complement) == (local.degree, local.of_complement)
    agrees_with_dense(table, found)


class Stopping(ThreadPoolExecutor):
    """An executor that stops the run, as Ctrl-C would, at its nth task."""

    def __init__(self, stop_at):
        super().__init__(2)
        self.submitted = 0
        self.stop_at = stop_at

    def submit(self, fn, /, *args, **kwargs):
        self.submitted += 1
        if self.submitted == self.stop_at:
            raise KeyboardInterrupt
        return super().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("stop_at", [3, 20, 40])
def test_a_stopped_run_resumes_from_its_checkpoint(tmp_path, stop_at):
    table = random_table(11, 5, weight=70)  # annihilators: both stages of a try
    stopped, fresh_place = tmp_path / "stopped", tmp_path / "fresh"
    with Stopping(stop_at) as first, pytest.raises(KeyboardInterrupt):
        immunity.algebraic_immunity(table, executor=first, chains=2, checkpoint=stopped)
    # The seed the first run drew is kept with its states; a fresh run given
    # it makes the same tries.
    fresh_place.mkdir()
    for kept in stopped.glob("seed-*"):
        (fresh_place / kept.name).write_bytes(kept.read_bytes())
    with Stopping(0) as second:
        resumed = immunity.algebraic_immunity(table, executor=second, chains=2,
                                              checkpoint=stopped)
    with Stopping(0) as whole:
        fresh = immunity.algebraic_immunity(table, executor=whole, chains=2,
                                            checkpoint=fresh_place)
    assert resumed == fresh
    agrees_with_dense(table, resumed)
    # What the first run finished is not done again; what it had in flight
    # when it stopped is.
    assert whole.submitted - (stop_at - 1) <= second.submitted < whole.submitted
    # A finished run's states answer at once.
    with Stopping(0) as third:
        assert immunity.algebraic_immunity(table, executor=third, chains=2,
                                           checkpoint=stopped) == fresh
    assert third.submitted == 0


def test_a_damaged_checkpoint_is_named(tmp_path, threads):
    table = random_table(8, 1)
    immunity.algebraic_immunity(table, executor=threads, chains=2, checkpoint=tmp_path)
    for state in tmp_path.glob("d*/sequence-0"):
        state.write_bytes(b"not a state")
    with pytest.raises(ValueError, match="remove the checkpoint directory"):
        immunity.algebraic_immunity(table, executor=threads, chains=2, checkpoint=tmp_path)


@pytest.fixture
def faults():
    yield _engine._inject_faults
    _engine._inject_faults(0, 0)


@pytest.mark.parametrize("fault", [1, 2], ids=["generator", "kernel-vector"])
def test_corrupted_stages_are_discarded(threads, faults, fault):
    for n, seed in ((7, 1), (10, 2)):
        table = random_table(n, seed)
        faults(fault, 2)
        found = immunity.algebraic_immunity(table, executor=threads, chains=2, seed=seed)
        agrees_with_dense(table, found)
    # Every try corrupted: no answer, never a wrong one.
    faults(fault, 1 << 20)
    table = random_table(9, 4, weight=40)
    with pytest.raises(RuntimeError, match="no proof"):
        immunity.algebraic_immunity(table, executor=threads, chains=2, seed=0)


def test_arguments_are_checked(threads):
    with pytest.raises(TypeError, match="Executor or a Dask"):
        immunity.algebraic_immunity("0110", executor=object())
    with pytest.raises(ValueError, match="black-box"):
        immunity.algebraic_immunity("0110", executor=threads, method="dense")
    with pytest.raises(TypeError, match="need an executor"):
        immunity.algebraic_immunity("0110", checkpoint="somewhere")
    with pytest.raises(ValueError, match="chains must be from 1 to 256"):
        immunity.algebraic_immunity("0110", executor=threads, chains=0)


def test_stage_states_from_elsewhere_are_refused():
    table = immunity.read_table(random_table(8, 3))
    args = (table.n, table.bits, 3, 1, 0, 2)
    columns, _, terms, _ = _engine._split_plan(table.n, table.bits, 3, 2)
    done, vector, blocks = _engine._split_sequence(*args, 0, 0, b"", 2, 1, None)
    assert (done, len(vector), len(blocks)) == (2, 8 * columns, 2 * 2 * 512)
    with pytest.raises(ValueError, match="no chain of this try"):
        _engine._split_sequence(*args, 0, 5, b"", 1, 1, None)  # steps without a vector
    with pytest.raises(ValueError, match="not the system's"):
        _engine._split_sequence(*args, 0, 2, vector[:-8], 1, 1, None)
    with pytest.raises(ValueError, match="8-byte words"):
        _engine._split_sequence(*args, 0, 2, vector[:-1], 1, 1, None)
    with pytest.raises(ValueError, match="block must be from 0 to 1"):
        _engine._split_sequence(*args, 2, 0, b"", 1, 1, None)
    with pytest.raises(ValueError, match="not all whole"):
        _engine._split_conclude(*args, blocks, 1, None)
    with pytest.raises(ValueError, match="no conclusion of this try"):
        _engine._split_finish(*args, b"\x02" + bytes(7), bytes(8 * columns), 1, None)
    assert terms > 2


# --- estimates -----------------------------------------------------------------


def monomials_up_to(n, d):
    from math import comb
    return sum(comb(n, k) for k in range(d + 1))


def packed_random(n, seed):
    return immunity.PackedTable(n, random.Random(seed).randbytes(1 << (n - 3)))


@pytest.mark.parametrize("n, weight", [(6, 20), (10, 512), (12, 100), (16, None)])
def test_an_estimate_counts_the_degrees_a_search_can_reach(n, weight):
    table = immunity.read_table(random_table(n, n, weight)) if weight else packed_random(n, n)
    e = immunity.estimate(table)
    lighter = min(table.weight(), (1 << n) - table.weight())
    # The bound: the least degree with more monomials than the lighter side has points.
    assert monomials_up_to(n, e.bound) > lighter >= monomials_up_to(n, e.bound - 1)
    assert len(e.by_degree) == e.bound + 1 and e.by_degree[-1] == (e.dense, e.black_box)
    # A search that must go higher costs more: the black-box one goes up
    # through every degree below.
    black_box = [b.seconds for _, b in e.by_degree]
    assert black_box == sorted(black_box) and black_box[0] > 0
    assert all(d.seconds >= 0 and d.memory >= 0 for d, _ in e.by_degree)


def test_an_estimate_sees_the_memory_wall():
    # 20 variables: the dense system of degree 9 holds gigabytes, the black
    # box megabytes; chains on other cores take less time each but more
    # lingen, and one process holds more for them.
    table = packed_random(20, 20)
    one = immunity.estimate(table, threads=1)
    two = immunity.estimate(table, threads=2)
    eight = immunity.estimate(table, chains=8)
    assert one.dense.memory > 2**32 > 2**28 > one.black_box.memory
    assert two.black_box.seconds < one.black_box.seconds
    assert eight.black_box.memory > one.black_box.memory
    with pytest.raises(ValueError, match="chains must be from 1 to 256"):
        immunity.estimate(table, chains=0)
