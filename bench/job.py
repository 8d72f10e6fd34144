"""One timed main-job run in a child process of its own, so that its peak
memory is its own:

    python -m bench.job PEER FUNCTION N MIN_REPETITION REPEATS CELL_SECONDS

PEER is quillmat:METHOD (engine, or a road of quillmat.immunity.stepwise) or galois, FUNCTION majority or random (balanced, seed
RANDOM_SEED); the last three are the timing rule (bench/timing.py).  The
warm-up (imports, caches, galois' compilation) is the same computation on
WARM_UP_VARS variables; then the first run on N variables counts when it
lasts a whole repetition, and further runs follow the rule.  Prints one JSON
line: the seconds per call of each repetition, the calls in one, the peak
resident memory (KiB) and the immunity found."""

from __future__ import annotations

import json
import sys

from bench.timing import Rule, peak_memory_kib, time_job
from quillmat.immunity import stepwise

RANDOM_SEED = 1
WARM_UP_VARS = 7
FUNCTIONS = ("majority", "random")


def truth_table(function: str, n: int) -> list[int]:
    if function == "majority":
        return stepwise.majority(n)
    return stepwise.random_balanced(n, RANDOM_SEED)


def main(argv: list[str]) -> int:
    peer, function, n, rule = argv[0], argv[1], int(argv[2]), Rule.from_args(argv[3:])
    if function not in FUNCTIONS:
        raise SystemExit(f"unknown function {function!r}")
    if peer.startswith("quillmat:"):
        from bench.peer_quillmat import algebraic_immunity as immunity

        method = peer.partition(":")[2]

        def algebraic_immunity(table: list[int]) -> int:
            return immunity(table, method)
    elif peer == "galois":
        from bench.peer_galois import algebraic_immunity
    else:
        raise SystemExit(f"unknown peer {peer!r}")

    algebraic_immunity(truth_table(function, WARM_UP_VARS))
    table = truth_table(function, n)
    seconds, calls, degree = time_job(lambda: algebraic_immunity(table), rule)
    print(json.dumps({"seconds": seconds, "calls": calls, "peak_kib": peak_memory_kib(),
                      "result": degree}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
