"""One function's algebraic immunity across processes or machines.

The black-box method's try (docs/immunity.md) runs in stages.  Its Krylov
sequence is K chains B^i Y_b, independent of one another; each is a series
of segments, tasks of a few steps that any process can run, since each is a
pure function of the system, the try and the chain's state.  Between the
sequence and the kernel's combination chains the conclusion (lingen and its
check) runs here.  With a checkpoint directory every chain's state is
written after each segment, so that a run stopped after hours goes on where
it stopped: the same tries, chains and states, so the same answer.
"""

from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from quillmat import _engine
from quillmat.immunity._table import PackedTable

# As the engine's own solver: tries before the method gives up on a system.
TRIES = 12
# Segments a chain is cut into, at most: each a task, and a checkpoint.
SEGMENTS = 16
_MAGIC = b"quillmat-chain-1\n"


@dataclass(frozen=True)
class Found:
    """What the tries proved of one side at one degree."""

    annihilators: list[list[int]]
    dimension: int | None  # None where not proved


def executor_of(executor: Any) -> Executor:
    """A concurrent.futures.Executor, or a Dask distributed Client's own."""
    if isinstance(executor, Executor):
        return executor
    get_executor = getattr(executor, "get_executor", None)
    if callable(get_executor):  # a distributed.Client
        made = get_executor()
        if isinstance(made, Executor):
            return made
    raise TypeError("executor must be a concurrent.futures.Executor or a Dask distributed "
                    f"Client, not {type(executor).__name__!r}")


def default_chains(executor: Any) -> int:
    """One chain a worker slot: a Dask client's threads, a pool's workers."""
    nthreads = getattr(executor, "nthreads", None)
    if callable(nthreads):
        try:
            return max(1, sum(nthreads().values()))
        except Exception:  # noqa: BLE001 (a client without a scheduler yet)
            pass
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    return max(1, os.cpu_count() or 1)


def complement(table: PackedTable) -> bytes:
    flipped = bytes(b ^ 0xFF for b in table.bits)
    if table.n < 3:
        flipped = bytes([flipped[0] & ((1 << (1 << table.n)) - 1)])
    return flipped


def monomials_up_to(n: int, d: int) -> int:
    total, term = 0, 1
    for k in range(d + 1):
        total += term
        term = term * (n - k) // (k + 1)
    return total


class Run:
    """The stages of the tries of one function, on one executor."""

    def __init__(self, table: PackedTable, executor: Executor, *, chains: int, seed: int,
                 checkpoint: Path | None, threads: int,
                 progress: Callable[[int, int], object] | None) -> None:
        self.n = table.n
        self.executor = executor
        self.chains = chains
        self.seed = seed
        self.checkpoint = checkpoint
        self.threads = threads
        self.progress = progress
        self.done = 0
        self.total = 0
        self.segments_run = 0
        self._lock = threading.Lock()

    # --- the stages ----------------------------------------------------------

    def find(self, bits: bytes, degree: int) -> Found | None:
        """Proved: the annihilators of the side `bits` at `degree` (None for none)."""
        columns, _rows, terms, _memory = _engine._split_plan(self.n, bits, degree, self.chains)
        if columns == 0:
            return None
        for attempt in range(TRIES):
            place = self._place(bits, degree, attempt)
            key = (bits, degree, attempt)
            self.total += self.chains * (terms + terms // 2)
            sequence = self._chains(key, place, "sequence", terms, None)
            concluded = self._stored(place, "plan")
            if concluded is None:
                status, rank, steps, plan = _engine._split_conclude(
                    self.n, bits, degree, self.seed, attempt, self.chains,
                    b"".join(state[2] for state in sequence), self.threads, None)
                self._store(place, "plan", _pack([status, rank, steps], plan))
            else:
                (status, rank, steps), plan = _unpack(concluded, 3)
            if status == 1:
                return None
            if status == 0:
                continue
            # The kernel vectors' candidates: the sum of the chains' parts.
            parts = self._chains(key, place, "combination", steps, plan)
            w = 0
            for part in parts:
                w ^= int.from_bytes(part[2], "little")
            annihilators, at_most, full_rank = _engine._split_finish(
                self.n, bits, degree, self.seed, attempt, self.chains, plan,
                w.to_bytes(len(parts[0][2]), "little"), self.threads, None)
            if full_rank:
                return None
            if annihilators:
                whole = len(annihilators) == at_most
                return Found(annihilators, at_most if whole else None)
        raise RuntimeError(f"the black-box method found no proof of an annihilator or of none "
                           f"for degree {degree} in {TRIES} tries; method=\"dense\" gives it "
                           "exactly")

    def _chains(self, key: tuple[bytes, int, int], place: Path | None, stage: str, steps: int,
                plan: bytes | None) -> list[tuple[int, bytes, bytes]]:
        """Every chain of a stage run to its end, `steps` steps each: a segment a
        task, the chains side by side; each state is saved after each segment."""
        bits, degree, attempt = key
        segment = max(1, -(-steps // SEGMENTS))
        states = [self._load_chain(place, stage, b) for b in range(self.chains)]
        running: dict[Future[Any], int] = {}

        def submit(b: int) -> None:
            done, vector, out = states[b]
            count = min(segment, steps - done)
            if stage == "sequence":
                future = self.executor.submit(
                    _engine._split_sequence, self.n, bits, degree, self.seed, attempt,
                    self.chains, b, done, vector, count, self.threads, None)
            else:
                assert plan is not None  # the conclusion's, for every combination chain
                future = self.executor.submit(
                    _engine._split_combination, self.n, bits, degree, self.seed, attempt,
                    self.chains, b, plan, done, vector, out, count, self.threads, None)
            running[future] = b

        for b in range(self.chains):
            self._advance(states[b][0])
            if states[b][0] < steps:
                submit(b)
        try:
            while running:
                finished, _ = wait(list(running), return_when=FIRST_COMPLETED)
                for future in finished:
                    b = running.pop(future)
                    done, vector, new = future.result()
                    before = states[b][0]
                    # The sequence's blocks accumulate; a combination's sum is replaced.
                    out = states[b][2] + new if stage == "sequence" else new
                    states[b] = (done, vector, out)
                    self._save_chain(place, stage, b, states[b])
                    self.segments_run += 1
                    self._advance(done - before)
                    if done < steps:
                        submit(b)
        except BaseException:
            for future in running:
                future.cancel()
            raise
        return states

    # --- progress and checkpoints ----------------------------------------------

    def _advance(self, steps: int) -> None:
        self.done += steps
        if self.progress is not None:
            self.progress(min(self.done, self.total), self.total)

    def _place(self, bits: bytes, degree: int, attempt: int) -> Path | None:
        if self.checkpoint is None:
            return None
        digest = hashlib.sha256(b"%d:%d:%d:%d:%d:" % (self.n, degree, self.seed, attempt,
                                                       self.chains) + bits).hexdigest()[:24]
        place = self.checkpoint / f"d{degree}-try{attempt}-{digest}"
        place.mkdir(parents=True, exist_ok=True)
        return place

    def _stored(self, place: Path | None, name: str) -> bytes | None:
        if place is None:
            return None
        try:
            return (place / name).read_bytes()
        except FileNotFoundError:
            return None

    def _store(self, place: Path | None, name: str, data: bytes) -> None:
        if place is not None:
            _write_atomically(place / name, data)

    def _load_chain(self, place: Path | None, stage: str, b: int) -> tuple[int, bytes, bytes]:
        data = self._stored(place, f"{stage}-{b}")
        if data is None:
            return (0, b"", b"")
        (done,), rest = _unpack(data, 1)
        (size,), rest = _unpack(rest, 1)
        return (done, rest[:size], rest[size:])

    def _save_chain(self, place: Path | None, stage: str, b: int,
                    state: tuple[int, bytes, bytes]) -> None:
        done, vector, out = state
        self._store(place, f"{stage}-{b}",
                    _pack([done], _pack([len(vector)], vector + out)))


def _pack(numbers: list[int], data: bytes) -> bytes:
    return _MAGIC + b"".join(x.to_bytes(8, "little") for x in numbers) + data


def _unpack(data: bytes, count: int) -> tuple[list[int], bytes]:
    if not data.startswith(_MAGIC) or len(data) < len(_MAGIC) + 8 * count:
        raise ValueError("a checkpoint file that this version did not write; remove the "
                         "checkpoint directory to start afresh")
    body = data[len(_MAGIC):]
    numbers = [int.from_bytes(body[8 * i:8 * i + 8], "little") for i in range(count)]
    return numbers, body[8 * count:]


def _write_atomically(path: Path, data: bytes) -> None:
    temporary = path.with_name(path.name + ".tmp")
    with open(temporary, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)


def immunity_bound(n: int, weight: int) -> int:
    """The least degree with more monomials than the lighter side has points:
    some side has an annihilator there."""
    lighter = min(weight, (1 << n) - weight)
    bound = 0
    while monomials_up_to(n, bound) <= lighter:
        bound += 1
    return bound


def _seed_of(place: Path, table: PackedTable, seed: int | None) -> int:
    """The seed of a checkpointed run: the one given, else the one its first
    run drew (kept beside its states), else a fresh one kept there."""
    kept = place / ("seed-" + hashlib.sha256(b"%d:" % table.n + table.bits).hexdigest()[:24])
    if seed is not None:
        return seed
    try:
        return int(kept.read_text())
    except (FileNotFoundError, ValueError):
        fresh = int.from_bytes(os.urandom(8), "little")
        _write_atomically(kept, str(fresh).encode())
        return fresh


def cluster_immunity(table: PackedTable, executor: Any, *, chains: int | None, seed: int | None,
                     checkpoint: str | os.PathLike[str] | None, threads: int,
                     progress: Callable[[int, int], object] | None
                     ) -> tuple[int, bool, list[int], int | None, int | None, bool, Run]:
    """The engine's algebraic_immunity tuple, by the black-box method with the
    chains of each try on `executor`: degrees upward, f before f + 1."""
    pool = executor_of(executor)
    if chains is None:
        chains = default_chains(executor)
    place = None
    if checkpoint is not None:
        place = Path(checkpoint)
        place.mkdir(parents=True, exist_ok=True)
        seed = _seed_of(place, table, seed)
    if seed is None:
        seed = int.from_bytes(os.urandom(8), "little")
    run = Run(table, pool, chains=chains, seed=seed, checkpoint=place, threads=threads,
              progress=progress)
    sides = (table.bits, complement(table))
    for degree in range(immunity_bound(table.n, table.weight()) + 1):
        for s, bits in enumerate(sides):
            found = run.find(bits, degree)
            if found is None:
                continue
            whole = found.dimension is not None
            dim_f = found.dimension if s == 0 else 0
            dim_complement = found.dimension if s == 1 else None
            return (degree, s == 1, found.annihilators[0], dim_f, dim_complement, whole, run)
    raise AssertionError("no annihilator at the immunity's bound")
