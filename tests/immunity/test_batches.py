"""map_immunity: batches on a process pool, on any executor, on a Dask cluster."""

import itertools
import random
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from quillmat import immunity


def batch(count=12, seed=5):
    """Random functions of 3 to 9 variables, some balanced, and a few edge cases."""
    rng = random.Random(seed)
    tables = []
    for i in range(count):
        n = 3 + i % 7
        tables.append([rng.getrandbits(1) for _ in range(2**n)])
    return tables + ["0x6996", [0] * 8, [1] * 16, "01"]


def one_by_one(tables):
    return [immunity.algebraic_immunity(t) for t in tables]


def test_the_default_pool_gives_each_answer_in_order():
    tables = batch()
    assert list(immunity.map_immunity(tables)) == one_by_one(tables)


def test_any_executor_gives_the_same_answers():
    tables = batch(seed=6)
    with ThreadPoolExecutor(max_workers=3) as executor:
        got = list(immunity.map_immunity(tables, executor, window=2))
    assert got == one_by_one(tables)


def test_an_endless_input_streams():
    # Work is sent a window at a time: the first results come before the input ends.
    endless = (["0x6996", "0xfe", "0110"][i % 3] for i in itertools.count())
    results = immunity.map_immunity(endless, workers=2, window=4)
    first = list(itertools.islice(results, 7))
    results.close()
    assert [r.degree for r in first] == [1] * 7


def test_a_bad_function_raises_before_its_work_is_sent():
    seen = []

    class Recording(ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            seen.append(args[0])
            return super().submit(fn, *args, **kwargs)

    with Recording(max_workers=1) as executor:
        results = immunity.map_immunity(["0x6996", "011", "0110"], executor, window=1)
        assert next(results).degree == 1
        with pytest.raises(ValueError, match="2\\*\\*n values"):
            next(results)
    assert len(seen) == 1


def test_closing_early_stops_the_pool_at_once():
    # A function of 2 variables, then functions of 16 that take seconds each:
    # closing the results after the first must not wait for those in flight.
    rng = random.Random(9)
    heavy = itertools.chain(["0110"], ([rng.getrandbits(1) for _ in range(2**16)]
                                       for _ in range(4)))
    results = immunity.map_immunity(heavy, workers=2, window=3)
    assert next(results).degree == 1
    time.sleep(0.5)  # the workers are busy now
    started = time.monotonic()
    results.close()
    assert time.monotonic() - started < 1.5


def test_a_dask_cluster_gives_the_local_answers():
    distributed = pytest.importorskip("distributed")
    tables = batch(count=8, seed=7)
    local = list(immunity.map_immunity(tables))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        remote = list(immunity.map_immunity(tables, client.get_executor()))
    assert remote == local
