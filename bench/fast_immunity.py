"""The fast algebraic immunity and the Walsh spectrum against the obvious
ways, in the same run.

    python -m bench.fast_immunity --fai 10,12,14,16 --walsh 16,18,20,22,24

FAI of a random balanced function: quillmat's, in a child process with its
peak memory, against the direct linear system a user would write, one per
(e, d), each reduced by numpy over GF(2) (run up to --peer-up-to
variables).  The Walsh spectrum: quillmat's against numpy's fast
Walsh-Hadamard transform written the obvious way.  It prints Markdown
tables with the ratios.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time

import numpy as np

from bench.methods import balanced
from quillmat import immunity
from quillmat.immunity import PackedTable

CHILD = """
import json, resource, sys, time
from quillmat import immunity
n = int(sys.argv[1])
table = immunity.PackedTable(n, open(sys.argv[2], "rb").read())
start = time.perf_counter()
fast = immunity.fast_algebraic_immunity(table, seed=1)
seconds = time.perf_counter() - start
print(json.dumps({"value": fast.value, "ai": fast.algebraic_immunity, "seconds": seconds,
                  "mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
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


def fai_table(sizes: list[int], peer_up_to: int, scratch: str) -> str:
    lines = ["| n | FAI | AI | quillmat | direct systems, numpy | ratio |",
             "|---|---|---|---|---|---|"]
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
            peer, ratio = f"{seconds:.2f} s", f"{seconds / ours['seconds']:.0f}x"
        lines.append(f"| {n} | {ours['value']} | {ours['ai']} | {ours['seconds']:.2f} s, "
                     f"{ours['mib']:.0f} MiB | {peer} | {ratio} |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def numpy_walsh(values: np.ndarray, n: int) -> np.ndarray:
    a = (1 - 2 * values.astype(np.int32))
    for k in range(n):
        a = a.reshape(-1, 2, 1 << k)
        a = np.concatenate([a[:, :1] + a[:, 1:], a[:, :1] - a[:, 1:]], axis=1)
    return a.reshape(-1)


def walsh_table(sizes: list[int]) -> str:
    lines = ["| n | quillmat walsh_spectrum | numpy FWHT | ratio | quillmat profile (spectra only) |",
             "|---|---|---|---|---|"]
    for n in sizes:
        table = PackedTable(n, balanced(n, n))
        values = np.unpackbits(np.frombuffer(table.bits, dtype=np.uint8),
                               bitorder="little")[: 1 << n]
        started = time.perf_counter()
        ours = immunity.walsh_spectrum(table)
        mine = time.perf_counter() - started
        started = time.perf_counter()
        theirs = numpy_walsh(values, n)
        peer = time.perf_counter() - started
        assert np.array_equal(np.frombuffer(ours, dtype=np.int32), theirs), n
        started = time.perf_counter()
        immunity.profile(table, immunity=False)
        whole = time.perf_counter() - started
        lines.append(f"| {n} | {mine:.3f} s | {peer:.3f} s | {peer / mine:.1f}x | {whole:.3f} s |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def main() -> None:
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fai", default="10,12,14")
    parser.add_argument("--peer-up-to", type=int, default=12)
    parser.add_argument("--walsh", default="16,18,20")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        print(fai_table([int(n) for n in args.fai.split(",") if n], args.peer_up_to, scratch))
    print()
    print(walsh_table([int(n) for n in args.walsh.split(",") if n]))


if __name__ == "__main__":
    main()
