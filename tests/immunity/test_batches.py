"""map_immunity: batches on a process pool, on any executor, on a Dask cluster."""

import itertools
import multiprocessing
import os
import random
import signal
import subprocess
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest
from helpers import child_environment, ctrl_c_as_in_a_terminal, interrupt_when_ready

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


# --- errors in order, checked arguments ---------------------------------------------

def broken_input():
    yield "0x6996"
    yield "0110"
    raise RuntimeError("the input broke")


@pytest.mark.parametrize("pool", ["default", "threads"])
@pytest.mark.parametrize("inputs, error", [
    (lambda: iter(["0x6996", "0110", "011", "0xfe"]), ValueError),
    (broken_input, RuntimeError),
], ids=["bad-function", "broken-input"])
def test_the_results_before_a_failure_come_before_its_error(pool, inputs, error):
    # The window reads ahead, past the failure; what came before it is still given.
    with ThreadPoolExecutor(max_workers=2) as executor:
        results = immunity.map_immunity(inputs(), executor if pool == "threads" else None,
                                        workers=2, window=4)
        assert next(results).degree == 1
        assert next(results).degree == 1
        with pytest.raises(error):
            next(results)
        assert list(results) == []


def test_workers_and_window_are_checked():
    with pytest.raises(ValueError, match="workers must be >= 1"):
        immunity.map_immunity(["01"], workers=0)
    for window in (0, -1):
        with pytest.raises(ValueError, match="window must be >= 1"):
            immunity.map_immunity(["01"], window=window)
        with ThreadPoolExecutor(max_workers=1) as executor:
            with pytest.raises(ValueError, match="window must be >= 1"):
                immunity.map_immunity(["01"], executor, window=window)
    for window in (2.5, "3"):
        with pytest.raises(TypeError):
            immunity.map_immunity(["01"], window=window)


# --- the pool's processes ---------------------------------------------------------------

@pytest.mark.parametrize("workers", [64, 10**6])
def test_two_functions_start_at_most_two_workers(workers):
    before = set(multiprocessing.active_children())
    results = immunity.map_immunity(["0x6996", "0110"], workers=workers)
    first = next(results)  # both are in flight by now
    started = set(multiprocessing.active_children()) - before
    assert [first.degree] + [r.degree for r in results] == [1, 1]
    assert 1 <= len(started) <= 2


def test_the_pool_does_not_fork_a_threaded_process():
    # fork() beside a running thread warns (and may deadlock in the child).  The
    # warning comes after the fork, where an "error" filter cannot raise it: it
    # is recorded.
    stop = threading.Event()
    thread = threading.Thread(target=stop.wait)
    thread.start()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = [r.degree for r in immunity.map_immunity(["0x6996", "0110", "0xfe"],
                                                           workers=2)]
    finally:
        stop.set()
        thread.join()
    assert got == [1, 1, 1]
    assert [str(w.message) for w in caught if "fork" in str(w.message)] == []


# A child that leaves the results unfinished with the workers busy on functions of
# 16 variables (seconds each): the first function is quick, and by its result
# every worker has started.
UNFINISHED = """
import multiprocessing, random, sys
from quillmat import immunity
if __name__ == "__main__":
    rng = random.Random(9)
    heavy = ([rng.getrandbits(1) for _ in range(2**16)] for _ in range(8))
    results = immunity.map_immunity(["0110", *heavy], workers=2, window=6)
    next(results)
    print("ready", flush=True)
    print(*sorted(p.pid for p in multiprocessing.active_children()), flush=True)
"""


def run_child(code, after=""):
    return subprocess.Popen([sys.executable, "-c", code + after], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_environment(),
                            preexec_fn=ctrl_c_as_in_a_terminal)


def finish(child):
    """Kills `child` and reads what is left of its output, without waiting on
    processes it left behind (which may hold its pipes)."""
    child.kill()
    try:
        child.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        pass


def test_an_unfinished_iterator_does_not_hold_the_exit():
    started = time.monotonic()
    child = run_child(UNFINISHED)
    try:
        out, err = child.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        raise AssertionError("the exit waits for the work in flight") from None
    finally:
        finish(child)
    assert child.returncode == 0, err
    assert out.startswith("ready")
    assert time.monotonic() - started < 4


@pytest.mark.parametrize("after", ["", "    next(results)\n"], ids=["at-exit", "in-next"])
def test_ctrl_c_while_waiting_ends_at_once(after):
    # Ctrl-C as the exit waits for the work, or as the results are awaited.
    status, output, sent = interrupt_when_ready(UNFINISHED + after, 0.3)
    assert time.monotonic() - sent < 5
    assert status == 0 if not after else "KeyboardInterrupt" in output


def process_start(pid):
    """The start time of `pid` from /proc, or None when it is gone (or a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None if fields[0] in "ZX" else fields[19]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_workers_die_with_their_parent(signum):
    child = run_child(UNFINISHED, "    list(results)\n")
    workers = {}
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        workers = {pid: process_start(pid) for pid in map(int, child.stdout.readline().split())}
        assert len(workers) == 2
        child.send_signal(signum)
        child.wait(timeout=5)
        # A worker still starting (importing quillmat, on a loaded machine)
        # reads the end of its parent only once it runs its initialiser.
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            alive = [pid for pid, start in workers.items()
                     if start is not None and process_start(pid) == start]
            if not alive:
                break
            time.sleep(0.05)
        assert alive == [], "workers still running after their parent died"
    finally:
        for pid, start in workers.items():
            if start is not None and process_start(pid) == start:
                os.kill(pid, signal.SIGKILL)
        finish(child)


def test_hex_is_read_in_the_order_asked():
    tables = ["0x17", "0x6996", "0x01"]
    for order in ("msb-first", "lsb-first"):
        expected = [immunity.algebraic_immunity(t, hex_order=order) for t in tables]
        assert list(immunity.map_immunity(tables, workers=2, hex_order=order)) == expected
    assert (list(immunity.map_immunity(["0x17"], workers=1, hex_order="lsb-first"))
            != list(immunity.map_immunity(["0x17"], workers=1)))
