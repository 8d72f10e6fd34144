"""S-boxes and point sets against SageMath, in the same run.

    python -m bench.sbox [--sage PYTHON] [--out docs/benchmarks.md]

AES's S-box: the quadratic equations of its graph, the bi-affine ones, the
graph's immunity and the component immunity, by quillmat.sbox (the median
of 5 runs after a warm-up), against SageMath's SBox.polynomials(degree=2)
and component_function(v).algebraic_immunity() for every v, in a child
process of the Sage venv (bench/peer_sage.py says how to make it; its
python from --sage or QUILLMAT_BENCH_SAGE, else the Sage columns say "not
run").  Then the component immunity of a random 12-bit permutation (Sage:
16 components timed, the rest extrapolated), the quadratic equations of a
random 16-bit permutation, and the polynomials of degree <= 3 vanishing on
2**20 points of F_2^24, random or in a subspace of dimension 20 (no peer
has them).  It prints Markdown tables with the ratios; --out replaces the
section "## S-boxes and point sets" of that file.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import resource
import statistics
import subprocess
import sys
import time
from array import array
from typing import Any, Callable

from quillmat import sbox

SAGE_CHILD = r"""
import json, sys, time
import sage.all__sagemath_modules  # noqa: F401 (the matrices and rings SBox needs)
from sage.crypto.sbox import SBox
tasks = json.load(sys.stdin)
SBox([7, 6, 0, 4, 2, 5, 1, 3]).polynomials(degree=2)  # warm-up: caches and imports
out = {}
for name, table, components, equations in tasks:
    s = SBox(table)
    row = {}
    if equations:
        start = time.perf_counter()
        row["quadratic"] = len(s.polynomials(degree=2))
        row["polynomials_seconds"] = time.perf_counter() - start
    start = time.perf_counter()
    immunities = [s.component_function(v).algebraic_immunity() for v in range(1, components + 1)]
    row["components_seconds"] = time.perf_counter() - start
    row["components_timed"] = components
    row["component_immunity"] = min(immunities)
    out[name] = row
print(json.dumps(out))
"""


def aes_sbox() -> list[int]:
    """FIPS-197's S-box from its definition (inverse in GF(2^8), then the affine map)."""
    def times(a: int, b: int) -> int:
        r = 0
        while b:
            if b & 1:
                r ^= a
            a = (a << 1) ^ (0x11B if a & 0x80 else 0)
            b >>= 1
        return r
    inverse = [0] + [next(y for y in range(1, 256) if times(x, y) == 1) for x in range(1, 256)]
    out = []
    for b in inverse:
        s = b
        for k in range(1, 5):
            s ^= ((b << k) | (b >> (8 - k))) & 0xFF
        out.append(s ^ 0x63)
    return out


def permutation(bits: int, seed: int) -> list[int]:
    table = list(range(1 << bits))
    random.Random(seed).shuffle(table)
    return table


def timed(work: Callable[[], Any], repeats: int = 1) -> tuple[float, Any]:
    result = work()  # warm-up
    seconds = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = work()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds), result


def sage_run(python: str | None, tasks: list[Any]) -> dict[str, Any] | None:
    if not python:
        return None
    done = subprocess.run([python, "-c", SAGE_CHILD], input=json.dumps(tasks), text=True,
                          capture_output=True, check=True)
    return json.loads(done.stdout)


def seconds_text(s: float) -> str:
    return f"{s * 1e3:.1f} ms" if s < 1 else f"{s:.2f} s"


def aes_table(sage: dict[str, Any] | None) -> str:
    table = aes_sbox()
    cells = [
        ("quadratic equations (39)", lambda: len(sbox.sbox_equations(table))),
        ("bi-affine equations (23)", lambda: len(sbox.sbox_equations(table, bi_affine=True))),
        ("graph immunity", lambda: sbox.graph_algebraic_immunity(table).degree),
        ("component immunity (255 components)",
         lambda: sbox.component_algebraic_immunity(table).value),
    ]
    lines = ["| AES S-box | quillmat | SageMath | ratio |", "|---|---|---|---|"]
    total = 0.0
    results = []
    for name, work in cells:
        seconds, result = timed(work, 5)
        total += seconds
        results.append(result)
        peer, ratio = "", ""
        if sage is not None and name.startswith("quadratic"):
            row = sage["aes"]
            assert row["quadratic"] == result == 39
            peer = seconds_text(row["polynomials_seconds"])
            ratio = f"{row['polynomials_seconds'] / seconds:.0f}x"
        if sage is not None and name.startswith("component"):
            row = sage["aes"]
            assert row["component_immunity"] == result == 4
            peer = seconds_text(row["components_seconds"])
            ratio = f"{row['components_seconds'] / seconds:.0f}x"
        lines.append(f"| {name} | {seconds_text(seconds)} | {peer or 'not run'} | {ratio} |")
    assert results == [39, 23, 2, 4], results
    if sage is not None:
        row = sage["aes"]
        theirs = row["polynomials_seconds"] + row["components_seconds"]
        lines.append(f"| all of them | {seconds_text(total)} | {seconds_text(theirs)} "
                     f"(equations and components) | {theirs / total:.0f}x |")
    else:
        lines.append(f"| all of them | {seconds_text(total)} | not run | |")
    return "\n".join(lines)


def large_table(sage: dict[str, Any] | None) -> str:
    lines = ["| work | result | quillmat | peak memory | SageMath |", "|---|---|---|---|---|"]

    def peak() -> str:
        return f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB"

    p12 = permutation(12, 12)
    seconds, c = timed(lambda: sbox.component_algebraic_immunity(p12))
    peer = "not run"
    if sage is not None:
        row = sage["p12"]
        each = row["components_seconds"] / row["components_timed"]
        peer = (f"{seconds_text(each * 4095)} (extrapolated from {row['components_timed']} "
                f"components; {each * 4095 / seconds:.0f}x)")
    lines.append(f"| component immunity, random 12-bit permutation (4095 components) | "
                 f"{c.value} | {seconds_text(seconds)} | {peak()} | {peer} |")
    p16 = permutation(16, 16)
    seconds, equations = timed(lambda: sbox.sbox_equations(p16), 3)
    lines.append(f"| quadratic equations, random 16-bit permutation (65536 points, 32 "
                 f"variables, 529 monomials) | {len(equations)} | {seconds_text(seconds)} | "
                 f"{peak()} | not run (a 65536 x 529 system in Sage's polynomial ring) |")
    rng = random.Random(24)
    points = array("Q", (rng.getrandbits(24) for _ in range(1 << 20)))
    seconds, basis = timed(lambda: sbox.vanishing_polynomials(points, 3, 24))
    lines.append(f"| degree <= 3 on 2^20 random points of F_2^24 (2325 monomials) | "
                 f"{len(basis)} | {seconds_text(seconds)} | {peak()} | no such function |")
    points = array("Q", (rng.getrandbits(20) for _ in range(1 << 20)))
    seconds, basis = timed(lambda: sbox.vanishing_polynomials(points, 3, 24))
    lines.append(f"| degree <= 3 on 2^20 points of a subspace of dimension 20 of F_2^24 | "
                 f"{len(basis)} | {seconds_text(seconds)} | {peak()} | no such function |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sage", default=os.environ.get("QUILLMAT_BENCH_SAGE"),
                        help="the Sage venv's python (default: $QUILLMAT_BENCH_SAGE)")
    parser.add_argument("--out", help="replace the section '## S-boxes and point sets' here")
    args = parser.parse_args()
    started = time.perf_counter()
    sage = sage_run(args.sage, [["aes", aes_sbox(), 255, True],
                                ["p12", permutation(12, 12), 16, False]])
    print(f"Sage done in {time.perf_counter() - started:.0f} s", file=sys.stderr)
    body = "\n\n".join([aes_table(sage), large_table(sage)])
    command = "python -m bench.sbox" + (" --sage .venv-sage/bin/python" if args.sage else "")
    section = (f"## S-boxes and point sets\n\nMade by `{command} --out docs/benchmarks.md` on "
               f"{os.cpu_count()} cores.\n\n{body}\n")
    print(section)
    if args.out:
        with open(args.out, encoding="utf-8") as file:
            text = file.read()
        pattern = re.compile(r"## S-boxes and point sets\n.*?(?=\n## |\Z)", re.S)
        text = pattern.sub(lambda _: section.rstrip("\n"), text) if pattern.search(text) \
            else text.rstrip("\n") + "\n\n" + section
        with open(args.out, "w", encoding="utf-8") as file:
            file.write(text)


if __name__ == "__main__":
    main()
