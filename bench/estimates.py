"""The estimate of each method against a measured run, and the predictions
past what one machine measures in minutes.

    python -m bench.estimates --measure 12,14,16 --predict 18,20,22,24

It prints Markdown tables: predicted and measured seconds, their ratio,
for random balanced functions and Tr(x^-1) (both methods, this machine's
default threads); then the predictions alone, with chains on other cores.
"""

from __future__ import annotations

import argparse
import math
import time

from bench.methods import balanced, inverse_trace
from quillmat import immunity
from quillmat.immunity import PackedTable

FUNCTIONS = (("random balanced", lambda n: balanced(n, n)), ("Tr(x^-1)", inverse_trace))


def shown(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.3g} s"
    if seconds < 7200:
        return f"{seconds / 60:.3g} min"
    if seconds < 172800:
        return f"{seconds / 3600:.3g} h"
    return f"{seconds / 86400:.3g} days"


def measured(sizes: list[int]) -> str:
    lines = ["| function | n | immunity | method | predicted | measured | measured / predicted |",
             "|---|---|---|---|---|---|---|"]
    for name, make in FUNCTIONS:
        for n in sizes:
            table = PackedTable(n, make(n))
            for method, pick in (("dense", 0), ("black-box", 1)):
                started = time.perf_counter()
                result = immunity.algebraic_immunity(table, method=method, seed=1)
                seconds = time.perf_counter() - started
                predicted = immunity.estimate(table).by_degree[result.degree][pick].seconds
                lines.append(f"| {name} | {n} | {result.degree} | {method} | {shown(predicted)} "
                             f"| {shown(seconds)} | {seconds / predicted:.2f} |")
    return "\n".join(lines)


def predicted(sizes: list[int]) -> str:
    lines = ["| function | n | immunity | dense | black-box | black-box, 2 chains | "
             "black-box, 64 chains |", "|---|---|---|---|---|---|---|"]
    for name, make in FUNCTIONS:
        for n in sizes:
            if name == "Tr(x^-1)" and n > 22:
                continue  # the sizes for it: 21 and 22
            table = PackedTable(n, make(n))
            # Tr(x^-1)'s immunity is Feng and Gong's ceil(2 sqrt n) - 2; a
            # random balanced function's is nearly always the bound.
            e = immunity.estimate(table)
            a = math.ceil(2 * math.sqrt(n)) - 2 if name == "Tr(x^-1)" else e.bound
            cells = [e.by_degree[a][0], e.by_degree[a][1],
                     immunity.estimate(table, chains=2).by_degree[a][1],
                     immunity.estimate(table, chains=64).by_degree[a][1]]
            lines.append(f"| {name} | {n} | {a} | " + " | ".join(
                f"{shown(c.seconds)}, {c.memory / 2**20:,.0f} MiB" for c in cells) + " |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--measure", default="12,14,16")
    parser.add_argument("--predict", default="18,20,22,24")
    args = parser.parse_args()
    print(measured([int(n) for n in args.measure.split(",") if n]))
    print()
    print(predicted([int(n) for n in args.predict.split(",") if n]))


if __name__ == "__main__":
    main()
