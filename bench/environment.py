"""The header of docs/benchmarks.md: where, when and with what the numbers were taken."""

from __future__ import annotations

import datetime
import importlib.metadata
import os
import platform
import subprocess

from bench import peer_m4ri, peer_sage
from bench.timing import ROOT, Limits


def _command(*argv: str) -> str:
    try:
        return subprocess.run(argv, capture_output=True, text=True, cwd=ROOT,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def _cpu() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _memory_gib() -> str:
    try:
        return f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB"
    except (ValueError, OSError):
        return "unknown"


def _version(package: str) -> str:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} / {five:.2f} / {fifteen:.2f}"


def quillmat_revision() -> str:
    """The commit the measured module was built from (scripts/bench builds this work tree)."""
    commit = _command("git", "rev-parse", "--short", "HEAD") or "unknown commit"
    dirty = _command("git", "status", "--porcelain", "--untracked-files=no", "--",
                     "src", "CMakeLists.txt", "pyproject.toml")
    return commit + (" with local changes to its sources" if dirty else "")


def header(started: datetime.datetime, load_at_start: str, limits: Limits,
           command: str) -> list[str]:
    rule = limits.rule
    m4ri = _command("pkg-config", "--modversion", "m4ri") if peer_m4ri.available() else ""
    sage = _command(peer_sage.PYTHON, "-c", "import importlib.metadata as m; "
                    "print(m.version('passagemath-modules'))") if peer_sage.available() else ""
    blas = ", ".join(f"{v}={os.environ[v]}" for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE",
                                                        "OMP_NUM_THREADS") if v in os.environ)
    return [
        f"- Date: {started:%Y-%m-%d %H:%M} UTC; load average (1/5/15 min) {load_at_start} at "
        f"the start, {load()} at the end (other work on the machine makes numbers noisy).",
        f"- Machine: {_cpu()}, {os.cpu_count()} cores, {_memory_gib()}, "
        f"{platform.system()} {platform.release()}" + (f"; {blas}" if blas else "") + ".",
        f"- Python: {platform.python_implementation()} {platform.python_version()}.",
        f"- Versions: quillmat {_version('quillmat')} ({quillmat_revision()}), "
        f"galois {_version('galois')}, numba {_version('numba')}, numpy {_version('numpy')}, "
        f"matplotlib {_version('matplotlib')}, M4RI {m4ri or 'absent'}, "
        f"SageMath (passagemath) {sage or 'absent'}.",
        f"- Timing: per call, the median of up to {rule.repeats} repetitions after a warm-up "
        f"call that is not counted; a repetition batches calls until it lasts "
        f"{rule.min_repetition:g} s, and long calls get fewer repetitions (a cell costs about "
        f"{rule.cell_seconds:g} s at most).  Inputs are converted for each peer before timing.  "
        "Ratios are peer time / quillmat time from this one run: above 1, quillmat is faster.",
        "- Main job: one child process per cell, warmed up by the same job on 7 variables; "
        "memory is that whole process's peak resident memory, interpreter and imports included.",
        f"- Limits: a peer's larger sizes are skipped once one size took over "
        f"{limits.budget:.0f} s a call; child processes are stopped after "
        f"{limits.hard_limit:.0f} s, but for the cells whose workload gives a peer a limit of "
        "its own (it says so).  Every peer runs with its defaults (numpy's BLAS may use "
        "several cores, quillmat.immunity uses them all, the others use one).",
        f"- Rerun: `{command}` (`--quick` for a smoke run of a few seconds, "
        "`--only WORKLOAD` for one workload).",
    ]
