"""The fast algebraic immunity and the Walsh spectrum against the obvious
ways and against SageMath, in the same run.

    python -m bench.fast_immunity --fai 10,12,14,16 --walsh 16,18,20,22,24 --sage PYTHON

FAI of a random balanced function: quillmat's, in a child process with its
peak memory (and, in the same process afterwards, algebraic_immunity()
alone), against the direct linear system a user would write, one per
(e, d), each reduced by numpy over GF(2) (run up to --peer-up-to
variables), and against SageMath's algebraic_immunity() on the same
function (up to --sage-ai-up-to variables), which has no FAI.  The Walsh
spectrum: quillmat's against numpy's fast Walsh-Hadamard transform written
the obvious way; then walsh_spectrum() and profile(f, immunity=False)
against SageMath's walsh_hadamard_transform(), nonlinearity() and all the
profile's measures (up to --sage-profile-up-to variables) on the same
function (bench/peer_sage.py, --spectra, says how Sage is timed).  Every
value is checked equal to quillmat's.  It prints Markdown tables with the
ratios.

SageMath runs in a child process of its own venv's python: --sage, by default
QUILLMAT_BENCH_SAGE (scripts/bench sets it).  Without it, or past
--sage-timeout seconds for one child, its columns say why they are empty.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np

from bench import peer_sage
from bench.methods import balanced
from bench.timing import ROOT, Rule, time_job
from quillmat import immunity
from quillmat.immunity import PackedTable

# quillmat's and numpy's calls, in this process: batched until a repetition
# lasts 0.1 s, the median of 5 repetitions.
RULE = Rule(min_repetition=0.1, repeats=5, cell_seconds=20.0)
# Sage's, one call a repetition (a fresh BooleanFunction each): the median
# of 5, fewer when they would cost more than a minute.
SAGE_RULE = Rule(min_repetition=0.0, repeats=5, cell_seconds=60.0)
# Sage's algebraic_immunity(): the median of 3 calls, one when a call is long.
SAGE_AI_RULE = Rule(min_repetition=0.2, repeats=3, cell_seconds=60.0)

CHILD = """
import json, resource, sys, time
from quillmat import immunity
n = int(sys.argv[1])
table = immunity.PackedTable(n, open(sys.argv[2], "rb").read())
start = time.perf_counter()
fast = immunity.fast_algebraic_immunity(table, seed=1)
seconds = time.perf_counter() - start
mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
start = time.perf_counter()
alone = immunity.algebraic_immunity(table, seed=1).degree
ai_seconds = time.perf_counter() - start
assert alone == fast.algebraic_immunity
print(json.dumps({"value": fast.value, "ai": fast.algebraic_immunity, "seconds": seconds,
                  "mib": mib, "ai_seconds": ai_seconds}))
"""


def anf_rows(values: np.ndarray, n: int, monomials: list[int]) -> np.ndarray:
    """The ANF of f x^m for each m, as 0/1 rows over all 2^n monomials."""
    points = np.arange(1 << n)
    rows = np.empty((len(monomials), 1 << n), dtype=np.uint8)
    for i, m in enumerate(monomials):
        a = (values & ((points & m) == m)).astype(np.uint8)
        for k in range(n):  # Moebius transform
            a = a.reshape(-1, 2, 1 << k)
            a[:, 1, :] ^= a[:, 0, :]
            a = a.reshape(-1)
        rows[i] = a
    return rows


def left_kernel_has(rows: np.ndarray, allowed: np.ndarray) -> bool:
    """Whether some combination of the rows is 0 and uses a row where `allowed`."""
    m = np.concatenate([rows, np.eye(len(rows), dtype=np.uint8)], axis=1)
    width = rows.shape[1]
    r = 0
    for c in range(width):
        pivot = np.nonzero(m[r:, c])[0]
        if len(pivot) == 0:
            continue
        p = r + pivot[0]
        m[[r, p]] = m[[p, r]]
        below = np.nonzero(m[:, c])[0]
        below = below[below != r]
        m[below] ^= m[r]
        r += 1
        if r == len(m):
            return False
    return bool((m[r:, width:][:, allowed] != 0).any())


def obvious_fai(bits: bytes, n: int, ai: int) -> int:
    """min(2 AI, e + d) over the (e, d) whose direct system has a solution."""
    values = np.unpackbits(np.frombuffer(bits, dtype=np.uint8), bitorder="little")[: 1 << n]
    values = values.astype(bool)
    degree = np.array([bin(m).count("1") for m in range(1 << n)])
    best = 2 * ai
    for e in range(1, ai):
        monomials = [m for m in range(1 << n) if degree[m] <= e]
        rows = anf_rows(values, n, monomials)
        allowed = np.array([degree[m] >= 1 for m in monomials])
        for d in range(ai, best - e):
            if left_kernel_has(rows[:, degree > d], allowed):
                best = e + d
                break
    return best


def sage_ready(python: str) -> bool:
    return bool(python) and shutil.which(python) is not None


def sage_child(command: list[str], stdin: str | None, timeout: float) -> dict | str:
    """The last JSON line of a Sage child, or why there is none."""
    try:
        done = subprocess.run(command, input=stdin, capture_output=True, text=True,
                              timeout=timeout, cwd=ROOT)
    except subprocess.TimeoutExpired:
        return f"over {timeout:.0f} s, stopped"
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        return f"failed (exit {done.returncode})"
    return json.loads(done.stdout.strip().splitlines()[-1])


def sage_immunity(bits: bytes, n: int, ai: int, python: str, timeout: float
                  ) -> tuple[str, float | None]:
    """Sage's algebraic_immunity() on a packed table, checked equal to `ai`:
    (the cell, the median seconds)."""
    table = "".join(map(str, peer_sage.unpack(n, bits)))
    report = sage_child([python, "-m", "bench.peer_sage", "--job", *SAGE_AI_RULE.args()],
                        table + "\n", timeout)
    if isinstance(report, str):
        return report, None
    assert report["result"] == ai, (n, report, ai)
    seconds = statistics.median(report["seconds"])
    return f"{ms(seconds)}, {report['peak_kib'] / 1024:.0f} MiB", seconds


def fai_table(sizes: list[int], peer_up_to: int, scratch: str, sage: str, sage_up_to: int,
              timeout: float) -> str:
    lines = ["| n | FAI | AI | quillmat FAI | direct systems, numpy | ratio "
             "| quillmat AI alone | SageMath AI | SageMath AI / quillmat FAI |",
             "|---|---|---|---|---|---|---|---|---|"]
    for n in sizes:
        bits = balanced(n, n)
        path = f"{scratch}/table-{n}.bin"
        with open(path, "wb") as file:
            file.write(bits)
        done = subprocess.run([sys.executable, "-c", CHILD, str(n), path], capture_output=True,
                              text=True, check=True)
        ours = json.loads(done.stdout)
        peer = "not run"
        ratio = ""
        if n <= peer_up_to:
            started = time.perf_counter()
            value = obvious_fai(bits, n, ours["ai"])
            seconds = time.perf_counter() - started
            assert value == ours["value"], (n, value, ours)
            peer, ratio = ms(seconds), f"{seconds / ours['seconds']:.0f}x"
        theirs, sage_ratio = "not run", ""
        if sage_ready(sage) and n <= sage_up_to:
            theirs, sage_seconds = sage_immunity(bits, n, ours["ai"], sage, timeout)
            if sage_seconds is not None:
                sage_ratio = f"{sage_seconds / ours['seconds']:.0f}x"
        lines.append(f"| {n} | {ours['value']} | {ours['ai']} | {ms(ours['seconds'])}, "
                     f"{ours['mib']:.0f} MiB | {peer} | {ratio} | {ms(ours['ai_seconds'])} "
                     f"| {theirs} | {sage_ratio} |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def numpy_walsh(values: np.ndarray, n: int) -> np.ndarray:
    a = (1 - 2 * values.astype(np.int32))
    for k in range(n):
        a = a.reshape(-1, 2, 1 << k)
        a = np.concatenate([a[:, :1] + a[:, 1:], a[:, :1] - a[:, 1:]], axis=1)
    return a.reshape(-1)


def median_seconds(call: Callable[[], object]) -> float:
    seconds, _, _ = time_job(call, RULE)
    return statistics.median(seconds)


def ms(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    return f"{seconds * 1e3:.2f} ms" if seconds < 1 else f"{seconds:.2f} s"


def same_profile(sage: dict, p: immunity.Profile) -> bool:
    """Sage's measures are quillmat's, under docs/immunity.md's conventions
    (Sage's correlation immunity starts at weight 0: -1 when unbalanced)."""
    return (sage["balanced"] == p.balanced and sage["degree"] == p.degree
            and sage["anf_terms"] == p.anf_terms and sage["nonlinearity"] == p.nonlinearity
            and {int(k): v for k, v in sage["walsh_distribution"].items()} == p.walsh_distribution
            and sage["correlation_immunity"] == (p.correlation_immunity if p.balanced else -1)
            and sage["resiliency"] == p.resiliency
            and sage["absolute_indicator"] == p.absolute_indicator)


def walsh_tables(sizes: list[int], scratch: str, sage: str, timeout: float,
                 sage_profile_up_to: int) -> str:
    numpy_lines = ["| n | quillmat walsh_spectrum | numpy FWHT | ratio "
                   "| quillmat profile (spectra only) |",
                   "|---|---|---|---|---|"]
    sage_lines = ["| n | quillmat walsh_spectrum | SageMath walsh_hadamard_transform() | ratio "
                  "| quillmat profile (spectra only) | SageMath nonlinearity() | ratio "
                  "| SageMath, the profile's measures | ratio | SageMath BooleanFunction(list) |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
    for n in sizes:
        table = PackedTable(n, balanced(n, n))
        values = np.unpackbits(np.frombuffer(table.bits, dtype=np.uint8),
                               bitorder="little")[: 1 << n]
        ours = immunity.walsh_spectrum(table)
        theirs = numpy_walsh(values, n)
        assert np.array_equal(np.frombuffer(ours, dtype=np.int32), theirs), n
        profile = immunity.profile(table, immunity=False)
        mine = median_seconds(lambda: immunity.walsh_spectrum(table))
        peer = median_seconds(lambda: numpy_walsh(values, n))
        whole = median_seconds(lambda: immunity.profile(table, immunity=False))
        numpy_lines.append(f"| {n} | {ms(mine)} | {ms(peer)} | {peer / mine:.1f}x "
                           f"| {ms(whole)} |")
        print(numpy_lines[-1], file=sys.stderr, flush=True)
        if not sage_ready(sage):
            cells = ["not run", "", "not run", "", "not run", "", "not run"]
        else:
            path = f"{scratch}/spectra-{n}.bin"
            with open(path, "wb") as file:
                file.write(table.bits)
            profile_too = n <= sage_profile_up_to
            report = sage_child(peer_sage.spectra_command(n, path, SAGE_RULE, sage, profile_too),
                                None, timeout)
            if isinstance(report, str):
                cells = [report, "", report, "", report, "", report]
            else:
                digest = hashlib.sha256(np.frombuffer(ours, dtype=np.int32).astype("<i4").tobytes())
                assert report["walsh_sha256"] == digest.hexdigest(), n
                assert report["nonlinearity_value"] == profile.nonlinearity, (n, report)
                cells = [ms(report["walsh"]), f"{report['walsh'] / mine:.0f}x",
                         ms(report["nonlinearity"]), f"{report['nonlinearity'] / whole:.0f}x",
                         f"not run (n > {sage_profile_up_to})", "", ms(report["construct"])]
                if profile_too:
                    assert same_profile(report["profile_values"], profile), (n, report, profile)
                    cells[4:6] = [ms(report["profile"]), f"{report['profile'] / whole:.0f}x"]
        sage_lines.append(f"| {n} | {ms(mine)} | {cells[0]} | {cells[1]} | {ms(whole)} "
                          f"| {' | '.join(cells[2:])} |")
        print(sage_lines[-1], file=sys.stderr, flush=True)
    return "\n".join(numpy_lines) + "\n\n" + "\n".join(sage_lines)


def main() -> None:
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fai", default="10,12,14")
    parser.add_argument("--peer-up-to", type=int, default=12)
    parser.add_argument("--walsh", default="16,18,20")
    parser.add_argument("--sage", default=peer_sage.PYTHON, metavar="PYTHON",
                        help="the SageMath venv's python (default: $QUILLMAT_BENCH_SAGE); "
                             "without it Sage's columns say 'not run'")
    parser.add_argument("--sage-ai-up-to", type=int, default=12,
                        help="Sage's algebraic_immunity() up to this many variables")
    parser.add_argument("--sage-profile-up-to", type=int, default=22,
                        help="Sage's profile measures (its ANF is the slow one) up to this many "
                             "variables")
    parser.add_argument("--sage-timeout", type=float, default=600.0,
                        help="seconds one Sage child may take before it is stopped")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        print(fai_table([int(n) for n in args.fai.split(",") if n], args.peer_up_to, scratch,
                        args.sage, args.sage_ai_up_to, args.sage_timeout))
        print()
        print(walsh_tables([int(n) for n in args.walsh.split(",") if n], scratch, args.sage,
                           args.sage_timeout, args.sage_profile_up_to))


if __name__ == "__main__":
    main()
