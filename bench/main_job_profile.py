"""Where the time of one main-job run goes: cProfile's top entries by own time."""

from __future__ import annotations

import cProfile
import os
import pstats
import time

from bench import job
from quillmat.immunity import stepwise

TOP = 12


def entry_name(key: tuple[str, int, str]) -> str:
    """`file.py:line(function)` for Python code, the built-in's own text otherwise."""
    filename, line, name = key
    if filename == "~":
        return name.strip("<>")
    return f"{os.path.basename(filename)}:{line}({name})"


def is_native(key: tuple[str, int, str]) -> bool:
    """quillmat's own methods and functions: built-ins of its Matrix type or module."""
    filename, _, name = key
    return filename == "~" and ("builtins.Matrix" in name or "verify" in name)


def profile_main_job(n: int) -> str:
    """A markdown section on one run of the main job on the random balanced function."""
    table = job.truth_table("random", n)
    profiler = cProfile.Profile()
    start = time.perf_counter()
    with stepwise.quiet_stdout(True):
        result = profiler.runcall(stepwise.algebraic_immunity, table)
    elapsed = time.perf_counter() - start
    stats = pstats.Stats(profiler)
    entries = sorted(stats.stats.items(), key=lambda item: item[1][2], reverse=True)
    total = sum(own for _, (_, _, own, _, _) in entries) or 1.0
    native = sum(own for key, (_, _, own, _, _) in entries if is_native(key))

    lines = [
        f"## Profile of one main-job run (random balanced function, n = {n})",
        "",
        f"`algebraic_immunity()` under cProfile: immunity {result.degree}, {elapsed:.2f} s "
        f"with the profiler on ({len(entries)} functions).  quillmat's own methods take "
        f"{native / total:.0%} of the time (their own time includes converting their arguments "
        "and results); the rest is Python in quillmat.immunity.stepwise.  Top entries by own time:",
        "",
        "| Function | Calls | Own time | Share | With callees |",
        "|---|---|---|---|---|",
    ]
    for key, (_, calls, own, cumulative, _) in entries[:TOP]:
        lines.append(f"| `{entry_name(key)}` | {calls} | {own:.3f} s | {own / total:.1%} "
                     f"| {cumulative:.3f} s |")
    return "\n".join(lines)
