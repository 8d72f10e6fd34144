"""Many functions at once: map_immunity over a process pool or any executor."""

from __future__ import annotations

import multiprocessing
import operator
import os
import threading
import weakref
from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from typing import TYPE_CHECKING, Any, NamedTuple, cast

from quillmat.immunity._table import HexOrder, PackedTable, TruthTable, read_table
from quillmat.immunity._threads import available_cores, checked_threads

if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from multiprocessing.context import BaseContext
    from multiprocessing.process import BaseProcess

    from quillmat.immunity import Immunity


def map_immunity(functions: Iterable[TruthTable], executor: Executor | None = None, *,
                 threads: int = 1, workers: int | None = None,
                 window: int | None = None,
                 hex_order: HexOrder = "msb-first", method: str = "auto",
                 seed: int | None = None) -> Iterator[Immunity]:
    """algebraic_immunity of each function, computed by `executor`, in input order.

    Each function is checked and converted here (a "0x..." str read in
    `hex_order`, as read_table reads it), as it is reached, so a bad
    one is never sent; its error (or the input's own) is raised in its place,
    after the results of the functions before it.  The default executor is a
    pool of `workers` processes (one per core by default, never more than
    there are functions in flight), made for this call and shut down at its
    end; its processes start by forkserver (spawn where there is none), so a
    script that calls this at its top level needs the usual
    `if __name__ == "__main__":` guard.  Any concurrent.futures.Executor will
    do, a Dask client's get_executor() among them (quillmat must be
    importable where it runs the work).  Each function gets `threads` threads:
    with one worker per core, 1 keeps the cores busy without contention.  At
    most `window` functions (four per worker by default) are in flight at
    once, so an endless input streams.  The results come as an iterator; when
    it is closed early or interrupted, what has not started is cancelled, and
    the pool's workers stop at once, as they do when the interpreter exits or
    this process dies.  `method` and `seed` are algebraic_immunity's, for
    every function (a seed of None draws one per function)."""
    from quillmat.immunity import _method, _seed

    threads = checked_threads(threads)
    _method(method)  # checked here, before any function is sent
    if seed is not None:
        _seed(seed)
    if window is not None:
        window = operator.index(window)
        if window < 1:
            raise ValueError(f"window must be >= 1, not {window}")
    inputs = (read_table(f, hex_order=hex_order) for f in functions)
    if executor is not None:
        return _in_order(executor, inputs, _Work(threads, method, seed),
                         window or 4 * available_cores())
    workers = available_cores() if workers is None else checked_threads(workers, "workers")
    window = window or 4 * workers
    # More processes than functions in flight would only sit idle.
    return _with_pool(inputs, _Work(threads, method, seed), min(workers, window), window)


def _with_pool(inputs: Iterator[PackedTable], work: _Work, workers: int,
               window: int) -> Iterator[Immunity]:
    context = _RecordingContext(_start_context())
    # Not "fork": the caller may have threads running (a progress bar, a
    # server), and a child forked from a threaded process can deadlock on a
    # lock some other thread held.  forkserver and spawn also start the
    # processes one by one as the work needs them, not all at once.
    alive, alive_writer = context.Pipe(duplex=False)
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=cast("BaseContext", context),
                               initializer=_die_with_parent, initargs=(alive,))
    _live_pools[pool] = context
    try:
        yield from _in_order(pool, inputs, work, window)
    except BaseException:
        # Interrupted or closed early: the work in the workers' hands stops
        # too, rather than the interpreter's exit waiting for it.
        _terminate_workers(pool, context)
        raise
    finally:
        _live_pools.pop(pool, None)
        pool.shutdown(wait=True)
        alive_writer.close()
        alive.close()


def _start_context() -> BaseContext:
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


class _RecordingContext:
    """A multiprocessing context that keeps the processes it starts.

    Before Python 3.14 a ProcessPoolExecutor does not say which processes it
    has, and shutdown() waits for the work in their hands; the pool is given
    this context, the documented way to choose how its processes start, so
    that they can be terminated when the work must stop at once."""

    def __init__(self, context: BaseContext) -> None:
        # Any: the start-method contexts have Process, their common base does not.
        self._context: Any = context
        self._lock = threading.Lock()
        self.processes: list[BaseProcess] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self._context, name)

    def Process(self, *args: Any, **kwargs: Any) -> BaseProcess:  # noqa: N802 (as the context names it)
        process: BaseProcess = self._context.Process(*args, **kwargs)
        with self._lock:
            self.processes.append(process)
        return process

    def terminate(self) -> None:
        with self._lock:
            processes = list(self.processes)
        for process in processes:
            if process.pid is not None and process.is_alive():
                process.terminate()


def _terminate_workers(pool: ProcessPoolExecutor, context: _RecordingContext) -> None:
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    # The pool's manager thread closes its wake-up pipe as it ends, and the
    # interpreter's exit writes to that pipe: before 3.13 the two can race
    # into an "Exception ignored ... Bad file descriptor" after the command's
    # last line.  With the workers gone the thread ends at once; waiting for
    # it here leaves nothing to race.
    manager = getattr(pool, "_executor_manager_thread", None)
    pool.shutdown(wait=False, cancel_futures=True)
    context.terminate()
    if manager is not None and manager is not threading.current_thread():
        manager.join(timeout=5)


# The pools of the iterators still running.  The interpreter's exit joins each
# pool's manager thread, which waits for the work in flight: the whole window
# of an iterator nobody finished.  Their workers are stopped first, by a hook
# that runs before those joins; atexit's run after them, too late.  threading
# has no public hook for that moment; this is the one concurrent.futures
# registers its own joins with, and a hook registered after it runs before it.
_live_pools: weakref.WeakKeyDictionary[ProcessPoolExecutor, _RecordingContext] = \
    weakref.WeakKeyDictionary()


def _stop_live_pools() -> None:
    for pool, context in list(_live_pools.items()):
        _terminate_workers(pool, context)


_register_exit = getattr(threading, "_register_atexit", None)
if _register_exit is not None:
    _register_exit(_stop_live_pools)
else:
    import atexit

    atexit.register(_stop_live_pools)


def _die_with_parent(alive: Connection) -> None:
    """A worker's first act: its end is tied to its parent's, so the workers
    of a process that is killed (SIGTERM, SIGHUP, SIGKILL) do not compute on,
    orphaned.

    `alive` is the reading end of a pipe whose one writer is the process that
    made the pool: it reads end of file when that process dies.  (Under
    forkserver a worker's parent is the server, which lives while any of its
    children does, so neither its death signal nor a change of parent comes.)
    The engine lets go of the interpreter while it computes, so the watch
    acts at once."""
    threading.Thread(target=_watch_parent, args=(alive,), daemon=True,
                     name="quillmat-parent-watch").start()


def _watch_parent(alive: Connection) -> None:
    try:
        alive.recv_bytes()  # nothing is ever sent
    except (EOFError, OSError):
        pass
    os._exit(1)


def _in_order(executor: Executor, tables: Iterator[PackedTable], work: _Work,
              window: int) -> Iterator[Immunity]:
    pending: deque[Future[Immunity]] = deque()
    failure: Exception | None = None
    try:
        while failure is None:
            try:
                table = next(tables)
            except StopIteration:
                break
            except Exception as exc:
                # The input fails here, ahead of the results; they come first.
                failure = exc
                break
            pending.append(executor.submit(_immunity_of_table, table, work))
            if len(pending) >= window:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
        if failure is not None:
            raise failure
    finally:
        for future in pending:
            future.cancel()
        failure = None


class _Work(NamedTuple):
    """What each function of a batch is computed with."""

    threads: int
    method: str
    seed: int | None


def _immunity_of_table(table: PackedTable, work: _Work) -> Immunity:
    """The work of one function in a worker: the table was read and checked
    where it was made, and is taken as it is."""
    from quillmat.immunity import algebraic_immunity

    return algebraic_immunity(table, threads=work.threads, method=work.method,  # type: ignore[arg-type]
                              seed=work.seed)
