"""Many functions at once: map_immunity over a process pool or any executor."""

from __future__ import annotations

from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from typing import TYPE_CHECKING

from quillmat.immunity._table import PackedTable, TruthTable, read_table
from quillmat.immunity._threads import available_cores, checked_threads

if TYPE_CHECKING:
    from quillmat.immunity import Immunity


def map_immunity(functions: Iterable[TruthTable], executor: Executor | None = None, *,
                 threads: int = 1, workers: int | None = None,
                 window: int | None = None) -> Iterator[Immunity]:
    """algebraic_immunity of each function, computed by `executor`, in input order.

    Each function is checked and converted here, as it is reached, so a bad
    one raises before its work is sent.  The default executor is a pool of
    `workers` processes (one per core by default), made for this call and shut
    down at its end; any concurrent.futures.Executor will do, a Dask client's
    get_executor() among them (quillmat must be importable where it runs the
    work).  Each function gets `threads` threads: with one worker per core, 1
    keeps the cores busy without contention.  At most `window` functions (four
    per worker by default) are in flight at once, so an endless input streams.
    The results come as an iterator; when it is closed early or interrupted,
    what has not started is cancelled."""
    threads = checked_threads(threads)
    tables = (read_table(f) for f in functions)
    if executor is not None:
        return _in_order(executor, tables, threads, window or 4 * available_cores())
    workers = available_cores() if workers is None else checked_threads(workers, "workers")
    return _with_pool(tables, threads, workers, window or 4 * workers)


def _with_pool(tables: Iterator[PackedTable], threads: int, workers: int,
               window: int) -> Iterator[Immunity]:
    pool = ProcessPoolExecutor(max_workers=workers)
    try:
        yield from _in_order(pool, tables, threads, window)
    except BaseException:
        # Interrupted or closed early: the work in the workers' hands stops
        # too, rather than the interpreter's exit waiting for it.
        _terminate_workers(pool)
        raise
    finally:
        pool.shutdown(wait=True)


def _terminate_workers(pool: ProcessPoolExecutor) -> None:
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    # Before 3.14 the pool does not say which processes it has; shutdown
    # forgets them, so they are taken first.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()


def _in_order(executor: Executor, tables: Iterator[PackedTable], threads: int,
              window: int) -> Iterator[Immunity]:
    pending: deque[Future[Immunity]] = deque()
    try:
        for table in tables:
            pending.append(executor.submit(_immunity_of_table, table, threads))
            if len(pending) >= window:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()


def _immunity_of_table(table: PackedTable, threads: int) -> Immunity:
    """The work of one function in a worker: the table was read and checked
    where it was made, and is taken as it is."""
    from quillmat.immunity import algebraic_immunity

    return algebraic_immunity(table, threads=threads)
