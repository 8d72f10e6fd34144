"""The elimination kernel against M4RI's, on large matrices: two twin timer
programs run on the very same matrix and print the same lines.

- bench/engine_rank.cpp times quillmat's engine::echelonize (the kernel of
  quillmat.immunity), with 1 thread and with 2;
- bench/m4ri_rank.cpp times M4RI's mzd_echelonize, rank (full = 0) and
  reduced (full = 1), on one core.

scripts/bench builds both and names them in QUILLMAT_BENCH_ENGINE_RANK and
QUILLMAT_BENCH_M4RI_RANK; a column whose program is missing is skipped.

A matrix is a random one (random:ROWS:COLS:SEED, which both programs make
with the same generator) or a linear system of the annihilators of the
random balanced function (quillmat.immunity.stepwise's, seed 1): `system:N:D`, the reduced
system that the engine eliminates, or `direct:N:D`, the system of all
monomials of degree <= D against the points of the support.  engine-rank
builds the systems from the truth table and writes them to a file for M4RI
before any timing.  Each program prints a hash of its input, so that the
benchmark checks both had the same matrix, and its rank and a hash of the
reduced form, which is unique, so that it checks both found the same.

One run of a program times every form (and thread count) of one matrix, the
fastest of a few runs each, on a fresh copy each time (the copy is not
timed); the cells of that matrix share the run."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

from bench.job import RANDOM_SEED
from quillmat.immunity import stepwise
from bench.timing import Limits, Timing, Unavailable, run_child

NAME = "M4RI"
ENGINE = os.environ.get("QUILLMAT_BENCH_ENGINE_RANK", "")
M4RI = os.environ.get("QUILLMAT_BENCH_M4RI_RANK", "")
ENGINE_MISSING = "skipped: the timer engine-rank is not built (scripts/bench builds it)"
M4RI_MISSING = "skipped: not available here (needs libm4ri-dev, built by scripts/bench)"
THREADS = (1, 2)
MAX_REPEATS = 3  # runs of each form in one program run; the fastest counts

_files = tempfile.TemporaryDirectory(prefix="quillmat-kernel-")  # removed at exit
_runs: dict[tuple[str, ...], str | Timing] = {}  # one program run per matrix


def _available(program: str) -> bool:
    return bool(program) and shutil.which(program) is not None


@dataclass(frozen=True)
class Case:
    """One cell: a matrix, the form asked, and quillmat's threads (M4RI has one)."""

    matrix: str  # random:ROWS:COLS:SEED, system:N:D or direct:N:D
    form: str  # echelon (the rank) or reduced
    threads: int = 1

    def matrix_label(self) -> str:
        kind, *fields = self.matrix.split(":")
        if kind == "random":
            return f"random {fields[0]} x {fields[1]}"
        return f"n = {fields[0]} {'reduced' if kind == 'system' else 'direct'} system, d = {fields[1]}"

    def label(self) -> str:
        form = "rank" if self.form == "echelon" else "reduced form"
        threads = f", {self.threads} threads (M4RI 1)" if self.threads > 1 else ""
        return f"{self.matrix_label()}: {form}{threads}"


def _table_file(n: int) -> Path:
    path = Path(_files.name) / f"random-balanced-{n}.txt"
    if not path.exists():
        path.write_text("".join(map(str, stepwise.random_balanced(n, RANDOM_SEED))) + "\n")
    return path


def _engine_spec(matrix: str) -> str:
    """What engine-rank reads: the systems from the truth table's file."""
    kind, *fields = matrix.split(":")
    if kind == "random":
        return matrix
    n, d = fields
    return f"{kind}:{_table_file(int(n))}:{d}"


def _m4ri_source(matrix: str) -> str | Unavailable:
    """What m4ri-rank reads: the random spec, or the system written by engine-rank."""
    if matrix.startswith("random:"):
        return matrix
    if not _available(ENGINE):
        return Unavailable("skipped: the system is built by engine-rank, which is not built")
    path = Path(_files.name) / (matrix.replace(":", "-") + ".bin")
    if not path.exists():
        done = subprocess.run([ENGINE, _engine_spec(matrix), "--write", str(path)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            return Unavailable(f"failed: engine-rank --write: {done.stderr.strip()}")
    return str(path)


@dataclass
class KernelRun:
    """A cell read from one run of a timer program over a matrix: its
    `seconds_KEY` line is the time, its peak memory the program's."""

    command: tuple[str, ...]
    key: str
    describe: bool = True  # the matrix's shape and rank as the cell's note

    def measure(self, limits: Limits) -> Timing:
        # The repeats depend on the rule, so the run is shared per rule as well.
        command = (*self.command, "--repeats", str(min(MAX_REPEATS, limits.rule.repeats)))
        if command not in _runs:
            _runs[command] = run_child(list(command), limits)
        output = _runs[command]
        if isinstance(output, Timing):
            return Timing.skipped(output.note)
        fields = dict(line.split(maxsplit=1) for line in output.splitlines() if line)
        seconds = float(fields[f"seconds_{self.key}"])
        note = ""
        if self.describe:
            note = f"{fields['rows']} x {fields['cols']}, rank {fields['rank']}"
            if "build_seconds" in fields:
                note += f", built in {float(fields['build_seconds']):.2g} s"
        return Timing(seconds, 1, 1, peak_kib=round(float(fields["peak_rss_mib"]) * 1024),
                      note=note, result=fields)


def ours(case: Case) -> KernelRun | Unavailable:
    if not _available(ENGINE):
        return Unavailable(ENGINE_MISSING)
    threads = ",".join(map(str, THREADS))
    key = case.form + (f"_t{case.threads}" if case.threads > 1 else "")
    return KernelRun((ENGINE, _engine_spec(case.matrix), "--threads", threads), key)


def m4ri(case: Case) -> KernelRun | Unavailable:
    if not _available(M4RI):
        return Unavailable(M4RI_MISSING)
    source = _m4ri_source(case.matrix)
    if isinstance(source, Unavailable):
        return source
    return KernelRun((M4RI, source, "--methods", "echelon,reduced"), case.form, describe=False)


def same_result(case: Case, results: dict[str, dict[str, str]]) -> list[str]:
    """The same input, rank and (for the reduced form) reduced matrix."""
    if NAME not in results:
        return []
    ours_, theirs = results["quillmat"], results[NAME]
    differences = [f"M4RI's {what} differs ({theirs[key]} vs {ours_[key]})"
                   for what, key in (("input", "input_fnv1a64"), ("rank", "rank"))
                   if theirs[key] != ours_[key]]
    if case.form == "reduced" and theirs["reduced_fnv1a64"] != ours_["reduced_fnv1a64"]:
        differences.append("M4RI's reduced form differs")
    return differences
