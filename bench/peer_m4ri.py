"""M4RI (Debian's libm4ri-dev), the bit-packed C library that marks this
machine's limit: bench/m4ri_echelon.cpp times mzd_echelonize (full) on the
same matrix, written to a file.  scripts/bench builds that timer and names it
in QUILLMAT_BENCH_M4RI; without it the column is skipped."""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path

from bench.timing import External

NAME = "M4RI"
TIMER = os.environ.get("QUILLMAT_BENCH_M4RI", "")
MISSING = "skipped: not available here (needs libm4ri-dev, built by scripts/bench)"

_files = tempfile.TemporaryDirectory(prefix="quillmat-bench-")  # removed at exit


def available() -> bool:
    return bool(TIMER) and shutil.which(TIMER) is not None


def _paths(inputs) -> tuple[Path, Path]:
    """The file the timer reads the matrix from, and the one it writes the reduced matrix to."""
    stem = Path(_files.name) / f"matrix-{len(inputs.rows)}-{inputs.seed}"
    return stem.with_suffix(".in"), stem.with_suffix(".out")


def echelonize(inputs) -> External:
    source, reduced = _paths(inputs)
    if not source.exists():
        text = "".join("".join(map(str, row)) + "\n" for row in inputs.rows)
        source.write_text(f"{len(inputs.rows)} {len(inputs.rows[0])}\n{text}")
    return External([TIMER, str(source), str(reduced)])


def reduced_rows(inputs) -> list[list[int]]:
    """The matrix that the timer's warm-up call produced, for the checks."""
    lines = _paths(inputs)[1].read_text().split()
    return [[int(c) for c in line] for line in lines[2:]]
