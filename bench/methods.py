"""The dense and black-box methods side by side: random balanced functions and
Tr(x^-1) over GF(2^n), each call in a child process of its own, with its
time and peak memory, and the ratio of the two methods in the same run.

    python -m bench.methods [--sizes 12,14] [--out docs/benchmarks.md] [--plot PNG]

With --out, the table replaces the part of that file between the markers
below; without, it is printed.  With --plot, the same run's times and peaks
are drawn to PNG (needs matplotlib)."""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import random
import subprocess
import sys
import textwrap

BEGIN = "<!-- methods: begin -->"
END = "<!-- methods: end -->"
COMMAND = "python -m bench.methods"

CHILD = textwrap.dedent("""
    import json, resource, sys, time
    from quillmat import immunity
    n, method, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    table = immunity.PackedTable(n, open(path, "rb").read())
    start = time.monotonic()
    result = immunity.algebraic_immunity(table, method=method, seed=1)
    seconds = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"degree": result.degree, "seconds": seconds, "mib": peak,
                      "canonical": result.canonical}))
""")


def primitive_polynomial(n: int) -> int:
    """The first polynomial of degree n (as a bit mask) whose root generates GF(2^n)*."""
    order = (1 << n) - 1
    primes = [p for p in range(2, order + 1) if order % p == 0 and all(p % q for q in range(2, p))
              ] if order < 1 << 20 else []
    for poly in range((1 << n) | 1, 1 << (n + 1), 2):
        # The order of t modulo poly: 2^n - 1 exactly when t^((2^n-1)/p) != 1 for each p.
        def power(e: int) -> int:
            result, base = 1, 2
            while e:
                if e & 1:
                    result = multiply(result, base, poly, n)
                base = multiply(base, base, poly, n)
                e >>= 1
            return result
        if power(order) == 1 and all(power(order // p) != 1 for p in primes):
            return poly
    raise ValueError(n)


def multiply(a: int, b: int, poly: int, n: int) -> int:
    result = 0
    while b:
        if b & 1:
            result ^= a
        b >>= 1
        a <<= 1
        if a >> n & 1:
            a ^= poly
    return result


def inverse_trace(n: int) -> bytes:
    """Tr(x^-1) over GF(2^n) (0 at 0), packed eight points to a byte, with x
    the element whose coordinates in the polynomial basis are the bits of x.
    Its algebraic immunity is ceil(2 sqrt(n)) - 2 (Feng and Gong)."""
    poly = primitive_polynomial(n)
    # The trace of each basis element t^i, from which that of any element is linear.
    def trace(y: int) -> int:
        total, z = 0, y
        for _ in range(n):
            total ^= z
            z = multiply(z, z, poly, n)
        return total
    mask = sum(1 << i for i in range(n) if trace(1 << i) & 1)
    powers = [0] * ((1 << n) - 1)
    y = 1
    for i in range(len(powers)):
        powers[i] = y
        y = multiply(y, 2, poly, n)
    bits = bytearray((1 << n) // 8 or 1)
    order = len(powers)
    for i, y in enumerate(powers):
        inverse = powers[(order - i) % order]
        if bin(inverse & mask).count("1") & 1:
            bits[y // 8] |= 1 << (y % 8)
    return bytes(bits)


def balanced(n: int, seed: int) -> bytes:
    points = list(range(1 << n))
    random.Random(seed).shuffle(points)
    bits = bytearray((1 << n) // 8 or 1)
    for x in points[: len(points) // 2]:
        bits[x // 8] |= 1 << (x % 8)
    return bytes(bits)


def measure(n: int, bits: bytes, method: str, scratch: pathlib.Path) -> dict[str, float]:
    path = scratch / f"table-{n}.bin"
    path.write_bytes(bits)
    done = subprocess.run([sys.executable, "-c", CHILD, str(n), method, str(path)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


Row = tuple[str, int, dict[str, float], dict[str, float]]


def table(sizes: list[int], scratch: pathlib.Path, rows: list[Row]) -> str:
    lines = [
        "| function | n | immunity | dense | black-box | black-box / dense |",
        "|---|---|---|---|---|---|",
    ]
    for name, make in (("random balanced", lambda n: balanced(n, n)),
                       ("Tr(x^-1)", inverse_trace)):
        for n in sizes:
            bits = make(n)
            dense = measure(n, bits, "dense", scratch)
            black_box = measure(n, bits, "black-box", scratch)
            assert dense["degree"] == black_box["degree"], (name, n)
            rows.append((name, n, dense, black_box))
            if name == "Tr(x^-1)":  # Feng and Gong's value
                assert dense["degree"] == math.ceil(2 * math.sqrt(n)) - 2, n
            lines.append(
                f"| {name} | {n} | {dense['degree']} | {dense['seconds']:.2f} s, "
                f"{dense['mib']:.0f} MiB | {black_box['seconds']:.2f} s, "
                f"{black_box['mib']:.0f} MiB | {black_box['seconds'] / dense['seconds']:.1f}x |")
            print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def plot(rows: list[Row], path: pathlib.Path) -> None:
    """Time and peak memory against n, one line a function and method."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (times, peaks) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
    for name in dict.fromkeys(row[0] for row in rows):
        mine = [row for row in rows if row[0] == name]
        sizes = [row[1] for row in mine]
        for index, (method, style) in enumerate((("dense", "o-"), ("black-box", "s--"))):
            label = f"{name}, {method}"
            times.plot(sizes, [row[2 + index]["seconds"] for row in mine], style, label=label)
            peaks.plot(sizes, [row[2 + index]["mib"] for row in mine], style, label=label)
    times.set(yscale="log", xlabel="variables n", ylabel="seconds", title="time")
    peaks.set(yscale="log", xlabel="variables n", ylabel="MiB", title="peak memory")
    times.legend(fontsize="small")
    times.grid(True, which="both", alpha=0.3)
    peaks.grid(True, which="both", alpha=0.3)
    figure.savefig(path, dpi=100)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,12,14,16")
    parser.add_argument("--out", type=pathlib.Path)
    parser.add_argument("--plot", type=pathlib.Path)
    args = parser.parse_args()
    rows: list[Row] = []
    sizes = [int(s) for s in args.sizes.split(",")]
    scratch = pathlib.Path(__import__("tempfile").mkdtemp())
    body = (f"Written by `{COMMAND} --sizes {args.sizes}`: one call of "
            "`algebraic_immunity` per cell, each in a process of its own, time and the "
            "process's peak memory (the interpreter's ~15 MiB included).\n\n"
            + table(sizes, scratch, rows))
    if args.plot is not None:
        plot(rows, args.plot)
    if args.out is None:
        print(body)
        return
    text = args.out.read_text()
    start, end = text.index(BEGIN) + len(BEGIN), text.index(END)
    args.out.write_text(text[:start] + "\n" + body + "\n" + text[end:])


if __name__ == "__main__":
    main()
