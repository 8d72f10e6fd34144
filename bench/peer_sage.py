"""SageMath as a peer for the algebraic immunity:
sage.crypto.boolean_function.BooleanFunction.algebraic_immunity().

Sage lives in a venv of its own, so this module must run with that venv's
python; it imports Sage only when first asked (`import bench.peer_sage` works
anywhere).  Create the venv, from the repository root:

    PY=$(bash scripts/find-python)    # CPython 3.12 or 3.13
    "$PY" -m venv .venv-sage
    .venv-sage/bin/pip install passagemath-modules passagemath-brial passagemath-m4ri-m4rie

(measured with 10.8.13 of each).  The first two are the least that runs
BooleanFunction.algebraic_immunity(): passagemath-modules holds
sage.crypto.boolean_function and the matrices, passagemath-brial the Boolean
polynomial ring that annihilator() builds its monomials in.  Without
passagemath-m4ri-m4rie, matrices over GF(2) are Sage's generic dense ones
(a Python object per entry) and annihilator()'s kernel is slow (about 5x at
n = 10); with it they are M4RI's bit-packed Matrix_mod2_dense, as in a full
SageMath install, which makes it the fair peer.

Truth tables follow the project's convention: f(x) for x = 0, 1, ...,
2**n - 1, where variable x_i is bit i of x.  BooleanFunction(list) reads a
list the same way (checked against the ANF it computes).  Its string form
does not: BooleanFunction("1") has f(0) = 1 (bit x of the hex number is
f(x)), whereas the project's "0x1" means "0001", so this module always hands
Sage a list.

Sage's algebraic_immunity() tries degrees d = 0, 1, ... and, for each, f's
annihilators before those of f + 1 (annihilator(d): the kernel of the
evaluation matrix of every monomial of degree <= d on the support).  It
returns the lowest such d; with annihilator=True also the polynomial found,
which costs nothing more.

Run as a program (with the Sage venv's python, from the repository root):

    .venv-sage/bin/python -m bench.peer_sage < tables.txt

reads one truth table a line, a 0/1 string in truth-table order or a
0x-prefixed hex string whose digits expand to 4 bits each, most significant
first (as examples/algebraic_immunity.py reads them: "0x6" is "0110"), and
prints a JSON line for each:

    {"n": 10, "ai": 5, "of_complement": false, "seconds": 1.23, "peak_rss_mib": 160.2}

`seconds` is the wall time of the algebraic_immunity() call alone: Sage is
imported, and warmed up on the majority function of WARM_UP_VARS variables
(its first call fills caches), before the first table.  `of_complement`
tells whether Sage's annihilator is one of f + 1 rather than of f.
`peak_rss_mib` is the peak resident memory of the process so far, about
125 MiB of it Sage's own after the warm-up; it only grows from line to line,
so run one table per process for the peak of each.  Blank lines and lines starting with '#'
are skipped; a malformed line stops the program with exit status 2.

The benchmark (`python -m bench`) runs it as a job, one table per process:

    .venv-sage/bin/python -m bench.peer_sage --job MIN_REPETITION REPEATS CELL_SECONDS < table.txt

times each table by the benchmark's rule (bench/timing.py) after the same
warm-up, and prints bench.job's JSON line instead: {"seconds": [per call,
one per repetition], "calls": N, "peak_kib": ..., "result": AI}.  scripts/bench
makes the venv and names its python in QUILLMAT_BENCH_SAGE; without it the
benchmark skips Sage's column.

The spectra (bench/fast_immunity.py runs it, one table per process):

    .venv-sage/bin/python -m bench.peer_sage --spectra N TABLE MIN_REPETITION REPEATS CELL_SECONDS [--no-profile]

reads a packed table of N variables from the file TABLE (bit x % 8 of byte
x // 8 is f(x), as PackedTable.bits) and times four things, each the median
of the rule's repetitions (never batched: see below), after a warm-up on a
table of WARM_UP_VARS variables: BooleanFunction(list) from a list of 0/1
ints made beforehand; walsh_hadamard_transform(); nonlinearity(); and all
the measures of a profile.  A BooleanFunction keeps its transform once
computed, and nonlinearity() reads it, so each timed call of the last three
is on a BooleanFunction made afresh (outside the timing): nonlinearity()
times the transform plus the maximum, as a first call does.  It prints one JSON line:
{"n": N, "construct": s, "walsh": s, "nonlinearity": s, "profile": s,
"repeats": {...}, "nonlinearity_value": NL, "walsh_sha256": hex of the
transform as little-endian 32-bit ints, "profile_values": {...},
"peak_rss_mib": ...}.  "profile" times, on a fresh BooleanFunction, every
measure of quillmat's profile(f, immunity=False) (_profile_measures); with
--no-profile it is not run (its ANF, a polynomial of about 2^(N-1) terms,
takes minutes past 22 variables) and "profile" is null.
"""

from __future__ import annotations

import array
import hashlib
import importlib
import json
import os
import resource
import shutil
import statistics
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from bench.timing import Job, Rule, Unavailable, peak_memory_kib, time_job

NAME = "SageMath"
WARM_UP_VARS = 7
PYTHON = os.environ.get("QUILLMAT_BENCH_SAGE", "")  # the Sage venv's python, set by scripts/bench
MISSING = "skipped: not available here (needs .venv-sage, made by scripts/bench)"

_boolean_function: Any = None


def _sage() -> Any:
    """BooleanFunction, importing Sage on first use."""
    global _boolean_function
    if _boolean_function is None:
        try:
            # A modular passagemath install must load its library first: on its
            # own, sage.crypto.boolean_function fails inside annihilator() with
            # "module 'sage.rings.polynomial' has no attribute
            # 'laurent_polynomial_ring'".
            importlib.import_module("sage.all__sagemath_modules")
        except ImportError:
            importlib.import_module("sage.all")  # a full SageMath install
        module = importlib.import_module("sage.crypto.boolean_function")
        _boolean_function = module.BooleanFunction
    return _boolean_function


def _check_table(truth_table: Sequence[int]) -> int:
    """The number of variables n of a truth table with 2**n entries of 0/1."""
    size = len(truth_table)
    n = size.bit_length() - 1
    if size < 2 or size != 2**n:
        raise ValueError(f"a truth table has 2**n entries (n >= 1); got {size}")
    if any(v not in (0, 1) for v in truth_table):
        raise ValueError("truth table entries must be 0 or 1")
    return n


def _immunity(truth_table: Sequence[int]) -> tuple[int, bool, float]:
    """Sage's immunity, whether its annihilator is one of f + 1, and the
    seconds that algebraic_immunity() took."""
    _check_table(truth_table)
    boolean_function = _sage()
    f = boolean_function([int(v) for v in truth_table])
    start = time.perf_counter()
    degree, annihilator = f.algebraic_immunity(annihilator=True)
    seconds = time.perf_counter() - start
    # Which side Sage's annihilator g belongs to, checked rather than assumed:
    # g is not 0 and vanishes wherever f is 1 (f*g = 0) or wherever f is 0.
    g = list(boolean_function(annihilator))
    if not any(g):
        raise RuntimeError("Sage returned the zero polynomial as an annihilator")
    if not any(gx and fx for gx, fx in zip(g, truth_table)):
        of_complement = False
    elif not any(gx and not fx for gx, fx in zip(g, truth_table)):
        of_complement = True
    else:
        raise RuntimeError("Sage's annihilator annihilates neither f nor f + 1")
    if annihilator.degree() > degree:
        raise RuntimeError(f"Sage's annihilator has degree {annihilator.degree()} > {degree}")
    return int(degree), of_complement, seconds


def algebraic_immunity(truth_table: list[int]) -> tuple[int, ...]:
    """(AI, 1 if Sage's lowest-degree annihilator is one of f + 1 else 0).

    Sage prefers f's annihilator when both f and f + 1 have one of the lowest
    degree."""
    degree, of_complement, _ = _immunity(truth_table)
    return degree, int(of_complement)


def parse_line(text: str) -> list[int]:
    """A 0/1 truth table, or a 0x-prefixed hex one (each digit 4 bits, most
    significant first: "0x6" is "0110")."""
    text = text.strip()
    if text[:2].lower() == "0x":
        digits = text[2:]
        if not digits or any(c not in "0123456789abcdefABCDEF" for c in digits):
            raise ValueError(f"not a hex truth table: {text!r}")
        text = "".join(f"{int(c, 16):04b}" for c in digits)
    if not text or any(c not in "01" for c in text):
        raise ValueError(f"not a 0/1 or 0x-prefixed hex truth table: {text!r}")
    table = [int(c) for c in text]
    _check_table(table)
    return table


def peak_rss_mib() -> float:
    """VmHWM, which starts afresh in a new program (ru_maxrss keeps the forking parent's)."""
    kib = peak_memory_kib()
    if kib is None:
        kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    return kib / 1024


def available() -> bool:
    return bool(PYTHON) and shutil.which(PYTHON) is not None


def job(truth_table: Sequence[int]) -> Job | Unavailable:
    """The benchmark's call: a child process of the Sage venv's python that
    times algebraic_immunity() on this table by the rule."""
    if not available():
        return Unavailable(MISSING)
    return Job(["-m", "bench.peer_sage", "--job"], python=PYTHON,
               stdin="".join(map(str, truth_table)) + "\n")


def _each_table(lines: Iterable[str], handle: Callable[[list[int]], None]) -> int:
    """Calls handle() on the table of each line, skipping blank lines and
    '#' comments; 2 at the first malformed line, else 0."""
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        try:
            table = parse_line(line)
        except ValueError as error:
            print(f"peer_sage: line {number}: {error}", file=sys.stderr)
            return 2
        handle(table)
    return 0


def _warm_up() -> None:
    """Imports Sage and fills the caches of its first call, so that neither
    counts in any table's time."""
    _immunity([int(x.bit_count() > WARM_UP_VARS // 2) for x in range(2**WARM_UP_VARS)])


def run_jobs(lines: Iterable[str], rule: Rule) -> int:
    """--job: each table timed by the rule, as bench.job reports it."""

    def job_line(table: list[int]) -> None:
        seconds, calls, degree = time_job(lambda: algebraic_immunity(table)[0], rule)
        print(json.dumps({"seconds": seconds, "calls": calls, "peak_kib": peak_memory_kib(),
                          "result": degree}), flush=True)

    return _each_table(lines, job_line)


def unpack(n: int, bits: bytes) -> list[int]:
    """The 0/1 list of a packed table (bit x % 8 of byte x // 8 is f(x))."""
    if len(bits) != max(1, (1 << n) // 8):
        raise ValueError(f"a packed table of {n} variables has {max(1, (1 << n) // 8)} bytes, "
                         f"not {len(bits)}")
    if n < 3:
        return [bits[0] >> x & 1 for x in range(1 << n)]
    table: list[int] = []
    for byte in bits:
        table.extend(byte >> i & 1 for i in range(8))
    return table


def _median(call: Callable[[], Any], rule: Rule) -> tuple[float, int, Any]:
    """The median seconds of call() over the rule's repetitions, one call
    each, how many, and what the first returned."""
    seconds: list[float] = []
    result: Any = None
    while not seconds or len(seconds) < rule.runs_for(seconds[0]):
        start = time.perf_counter()
        value = call()
        seconds.append(time.perf_counter() - start)
        if len(seconds) == 1:
            result = value
        del value
    return statistics.median(seconds), len(seconds), result


def _median_of_fresh(table: list[int], call: Callable[[Any], Any], rule: Rule
                     ) -> tuple[float, int, Any]:
    """As _median, call(f) on a BooleanFunction f made afresh for each
    repetition, outside the timing."""
    boolean_function = _sage()
    seconds: list[float] = []
    result: Any = None
    while not seconds or len(seconds) < rule.runs_for(seconds[0]):
        f = boolean_function(table)
        start = time.perf_counter()
        value = call(f)
        seconds.append(time.perf_counter() - start)
        if len(seconds) == 1:
            result = value
        del f, value
    return statistics.median(seconds), len(seconds), result


def _int32_little(values: Sequence[int]) -> bytes:
    packed = array.array("i", (int(v) for v in values))
    if sys.byteorder == "big":
        packed.byteswap()
    return packed.tobytes()


def spectra_times(table: list[int], rule: Rule, profile: bool = True) -> dict[str, Any]:
    """Sage's BooleanFunction(list), walsh_hadamard_transform(),
    nonlinearity() and (unless not `profile`) the profile's measures on a
    table, timed as the module's doc says."""
    n = _check_table(table)
    boolean_function = _sage()
    construct, construct_runs, _ = _median(lambda: boolean_function(table), rule)
    walsh, walsh_runs, transform = _median_of_fresh(
        table, lambda f: f.walsh_hadamard_transform(), rule)
    digest = hashlib.sha256(_int32_little(transform)).hexdigest()
    del transform
    nonlinearity, nonlinearity_runs, value = _median_of_fresh(
        table, lambda f: f.nonlinearity(), rule)
    measures, measures_runs, values = None, 0, None
    if profile:
        measures, measures_runs, values = _median_of_fresh(table, _profile_measures, rule)
    return {"n": n, "construct": construct, "walsh": walsh, "nonlinearity": nonlinearity,
            "profile": measures,
            "repeats": {"construct": construct_runs, "walsh": walsh_runs,
                        "nonlinearity": nonlinearity_runs, "profile": measures_runs},
            "nonlinearity_value": int(value), "walsh_sha256": digest,
            "profile_values": values, "peak_rss_mib": round(peak_rss_mib(), 1)}


def _profile_measures(f: Any) -> dict[str, Any]:
    """What quillmat's profile(f, immunity=False) gives, asked of one
    BooleanFunction as a user would: the measures share its transform and
    autocorrelation, and the degree and the terms one ANF."""
    anf = f.algebraic_normal_form()
    return {"balanced": bool(f.is_balanced()), "degree": int(anf.degree()),
            "anf_terms": len(anf), "nonlinearity": int(f.nonlinearity()),
            "walsh_distribution": {str(k): int(v) for k, v in f.absolute_walsh_spectrum().items()},
            "correlation_immunity": int(f.correlation_immunity()),
            "resiliency": int(f.resiliency_order()),
            "absolute_indicator": int(f.absolute_indicator())}


def spectra_command(n: int, path: str, rule: Rule, python: str = PYTHON,
                    profile: bool = True) -> list[str]:
    """The command line of the child that times the spectra of the packed
    table of n variables in the file `path`."""
    return [python, "-m", "bench.peer_sage", "--spectra", str(n), path, *rule.args(),
            *([] if profile else ["--no-profile"])]


def main(lines: Iterable[str]) -> int:
    _warm_up()

    def table_line(table: list[int]) -> None:
        degree, of_complement, seconds = _immunity(table)
        print(json.dumps({"n": len(table).bit_length() - 1, "ai": degree,
                          "of_complement": of_complement, "seconds": round(seconds, 6),
                          "peak_rss_mib": round(peak_rss_mib(), 1)}), flush=True)

    return _each_table(lines, table_line)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--spectra"]:
        _warm_up_table = [int(x.bit_count() > WARM_UP_VARS // 2) for x in range(2**WARM_UP_VARS)]
        spectra_times(_warm_up_table, Rule(0.0, 1, 0.0))
        with open(sys.argv[3], "rb") as _file:
            _table = unpack(int(sys.argv[2]), _file.read())
        print(json.dumps(spectra_times(_table, Rule.from_args(sys.argv[4:7]),
                                       profile="--no-profile" not in sys.argv[7:])), flush=True)
        sys.exit(0)
    if sys.argv[1:2] == ["--job"]:
        _warm_up()
        sys.exit(run_jobs(sys.stdin, Rule.from_args(sys.argv[2:])))
    sys.exit(main(sys.stdin))
