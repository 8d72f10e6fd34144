"""The rate of the black-box method's sequence chains on a Dask LocalCluster.

    python -m bench.cluster_rate 24 --steps 4

Two workers of one thread each (both cores of the reference machine) each
run one chain of a try on a random balanced function at the hardest degree
(n // 2 - 1), `steps` products a task; it prints the seconds a product per
chain, the products a chain needs (sigma), and the time the sequence would
take on 2 and on 64 chains at that rate (lingen and its check not counted:
see docs/benchmarks.md).
"""

from __future__ import annotations

import argparse
import time

from bench.methods import balanced
from quillmat import _engine


def main() -> None:
    import distributed

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", type=int)
    parser.add_argument("--steps", type=int, default=4)
    args = parser.parse_args()
    n, d = args.n, args.n // 2 - 1
    bits = balanced(n, n)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        pool = client.get_executor()
        rows = []
        for chains in (2, 64):
            columns, _, terms, memory = _engine._split_plan(n, bits, d, chains)
            rows.append((chains, columns, terms, memory))
        # Two chains of a two-chain try, side by side, one segment each
        # after a first one that warms the workers up.
        states = [(0, b"")] * 2
        for round_ in range(2):
            started = time.perf_counter()
            futures = [pool.submit(_engine._split_sequence, n, bits, d, 1, 0, 2, b, *states[b],
                                   args.steps, 1, None) for b in range(2)]
            results = [f.result() for f in futures]
            seconds = time.perf_counter() - started
            states = [(r[0], r[1]) for r in results]
        per_product = seconds / args.steps
        print(f"n = {n}, degree {d}: {per_product:.3f} s a product a chain, both cores busy")
        for chains, columns, terms, memory in rows:
            print(f"  {chains} chains: D = {columns}, sigma = {terms} products a chain, "
                  f"{memory / 2**20:,.0f} MiB a worker; the sequence at this rate: "
                  f"{terms * per_product / 3600:.2f} h")


if __name__ == "__main__":
    main()
