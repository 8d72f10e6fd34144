"""How every number in the table is measured.

One rule for all (`Rule`): a warm-up call that is not counted, then
repetitions of enough calls each that the timer's resolution does not matter,
and the median over the repetitions divided by the calls in one.  Long calls
get fewer repetitions so that a cell costs about `cell_seconds` at most.

Three kinds of call follow it: a Python statement timed in this process
(`Statement`), a job run in a child process that times itself and reports its
peak memory (`Job`, possibly under another Python, as Sage's), and an
external program that times itself (`External`, the M4RI timer).  The
children get the rule on their command line.
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parent.parent  # the worktree: children run from here


@dataclass(frozen=True)
class Rule:
    min_repetition: float = 0.2  # calls are batched until one repetition lasts this long
    repeats: int = 5  # repetitions per cell when they are cheap
    cell_seconds: float = 30.0  # fewer repetitions when they would cost more than this

    def runs_for(self, repetition_seconds: float) -> int:
        """How many repetitions of this length to time: `repeats`, fewer for long ones."""
        if repetition_seconds <= 0:
            return self.repeats
        return max(1, min(self.repeats, int(self.cell_seconds // repetition_seconds)))

    def args(self) -> list[str]:
        return [str(self.min_repetition), str(self.repeats), str(self.cell_seconds)]

    @classmethod
    def from_args(cls, args: list[str]) -> "Rule":
        return cls(float(args[0]), int(args[1]), float(args[2]))


QUICK_RULE = Rule(min_repetition=0.02, repeats=3, cell_seconds=2.0)


def repetitions(run: Callable[[int], float], rule: Rule, first: float) -> tuple[list[float], int]:
    """Per-call seconds of each timed repetition, and the calls in one.

    `run(calls)` times that many calls; `first` is how long one call took
    before (not counted).  Calls are batched 1, 2, 5, 10, ... as timeit's
    autorange does until a repetition lasts rule.min_repetition."""
    calls, repetition = 1, first
    scale = 1
    while repetition < rule.min_repetition:
        for step in (1, 2, 5):
            calls = step * scale
            repetition = run(calls)
            if repetition >= rule.min_repetition:
                break
        scale *= 10
    return [run(calls) / calls for _ in range(rule.runs_for(repetition))], calls


def time_job(call: Callable[[], Any], rule: Rule) -> tuple[list[float], int, Any]:
    """The per-call seconds of each repetition of `call`, the calls in one, and
    what the first call returned.  Long calls are not repeated needlessly: the
    first counts when it lasts a whole repetition (the caller has warmed up)."""
    start = time.perf_counter()
    result = call()
    first = time.perf_counter() - start
    if first >= rule.min_repetition:
        seconds = [first]
        for _ in range(rule.runs_for(first) - 1):
            start = time.perf_counter()
            call()
            seconds.append(time.perf_counter() - start)
        return seconds, 1, result

    def run(calls: int) -> float:
        start = time.perf_counter()
        for _ in range(calls):
            call()
        return time.perf_counter() - start

    seconds, calls = repetitions(run, rule, first)
    return seconds, calls, result


@dataclass
class Timing:
    """One cell of the table: a median time per call, or why there is none."""

    seconds: float | None  # median per call; None when the call was not timed
    runs: int = 0  # repetitions behind the median
    calls: int = 0  # calls per repetition
    peak_kib: int | None = None  # peak resident memory of the process, when known
    note: str = ""
    result: Any = field(default=None, repr=False)  # what the call returned, for the checks

    @classmethod
    def skipped(cls, note: str) -> "Timing":
        return cls(None, note=note)


class Limits:
    """The timing rule, and the time budget of each (workload, peer): once one
    size took over `budget` seconds a call (or was stopped at `hard_limit`),
    its larger sizes are skipped."""

    def __init__(self, rule: Rule, budget: float, hard_limit: float):
        self.rule = rule
        self.budget = budget
        self.hard_limit = hard_limit
        self._over: dict[tuple[str, str], str] = {}

    def raised(self, seconds: float) -> "Limits":
        """The same limits with budget and hard limit both `seconds`, for the
        cells of a peer known to take minutes; what is over is shared."""
        view = Limits(self.rule, seconds, seconds)
        view._over = self._over
        return view

    def skip_note(self, workload: str, peer: str) -> str | None:
        size = self._over.get((workload, peer))
        return None if size is None else f"skipped: > {self.budget:.0f} s at {size}"

    def record(self, workload: str, peer: str, size: str, timing: Timing) -> None:
        stopped = timing.seconds is None and timing.note.startswith("stopped")
        if stopped or (timing.seconds is not None and timing.seconds > self.budget):
            self._over[(workload, peer)] = size


@dataclass
class Statement:
    """A Python expression timed in this process, timeit-style: `stmt` is
    compiled into the timing loop itself, so no extra call is measured."""

    stmt: str
    namespace: dict[str, Any]

    def measure(self, limits: Limits) -> Timing:
        start = time.perf_counter()
        result = eval(self.stmt, self.namespace)  # the warm-up, kept for the checks
        warm_up = time.perf_counter() - start
        if warm_up > limits.budget:
            # A call in this process cannot be stopped: report this one, not repeat it.
            return Timing(warm_up, 1, 1, note="one call, not repeated (over budget)",
                          result=result)
        timer = timeit.Timer(self.stmt, globals=self.namespace)
        seconds, calls = repetitions(timer.timeit, limits.rule, warm_up)
        return Timing(statistics.median(seconds), len(seconds), calls, result=result)


def run_child(command: list[str], limits: Limits, stdin: str | None = None) -> str | Timing:
    """The standard output of a child process, or a Timing that says why there is none."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, cwd=ROOT, input=stdin,
                              timeout=limits.hard_limit)
    except subprocess.TimeoutExpired:
        return Timing.skipped(f"stopped: over {limits.hard_limit:.0f} s")
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return Timing.skipped(f"failed: {last}")
    return done.stdout


@dataclass
class Job:
    """A child Python process, `python ARGV... RULE...`, that times itself by
    the rule and prints one JSON line: {"seconds": [per call, one per
    repetition], "calls": N, "peak_kib": ..., "result": ...}.  `python` is
    this interpreter unless another is named; `stdin` is the child's input."""

    argv: list[str]
    python: str = sys.executable
    stdin: str | None = None

    def measure(self, limits: Limits) -> Timing:
        output = run_child([self.python, *self.argv, *limits.rule.args()], limits, self.stdin)
        if isinstance(output, Timing):
            return output
        report = json.loads(output.strip().splitlines()[-1])
        seconds = report["seconds"]
        return Timing(statistics.median(seconds), len(seconds), report["calls"],
                      peak_kib=report.get("peak_kib"), result=report.get("result"))


@dataclass
class External:
    """An external timer program, `ARGV... RULE...`, that follows the rule and
    prints "calls N" and "seconds T1 T2 ..." (per call, one per repetition)
    among lines "KEY VALUE"; the other lines are its result."""

    argv: list[str]

    def measure(self, limits: Limits) -> Timing:
        output = run_child([*self.argv, *limits.rule.args()], limits)
        if isinstance(output, Timing):
            return output
        fields = dict(line.split(maxsplit=1) for line in output.splitlines() if line)
        seconds = [float(s) for s in fields.pop("seconds").split()]
        calls = int(fields.pop("calls"))
        return Timing(statistics.median(seconds), len(seconds), calls, result=fields)


@dataclass
class Unavailable:
    """A call that cannot be made here: its cell says why."""

    note: str

    def measure(self, limits: Limits) -> Timing:
        return Timing.skipped(self.note)


def peak_memory_kib() -> int | None:
    """This process's peak resident memory (VmHWM).  Unlike ru_maxrss, it
    starts afresh in a new program, so a child does not report its parent's."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None
