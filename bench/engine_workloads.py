"""The workloads of the algebraic-immunity engine (quillmat.immunity):

- `immunity`: the whole computation against SageMath and against the
  Matrix API's roads to the same answer, n = 10 .. 18 variables;
- `engine-rank`: its elimination kernel against M4RI's on large matrices,
  random ones and the linear systems that the computation meets at n = 16.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property

from bench import peer_kernel, peer_sage
from bench.job import RANDOM_SEED
from quillmat.immunity import stepwise
from bench.timing import Job, Unavailable
from bench.workloads import Ceiling, Target, Workload, _same_value

QUILLMAT = "quillmat"
ENGINE_SECONDS = 900.0  # the engine takes minutes at n = 18: its cells' own limits
KERNEL_SECONDS = 900.0  # one timer run does every form of a matrix, a few times each


@dataclass
class Function:
    """stepwise.random_balanced's function of n variables (seed RANDOM_SEED)."""

    n: int

    @cached_property
    def table(self) -> list[int]:
        return stepwise.random_balanced(self.n, RANDOM_SEED)


def _example_method(method: str):
    """METHOD (the engine or a road of quillmat.immunity.stepwise) in a child
    process (bench.job), up to the variables offered to that method."""
    limit = stepwise.OFFERED_VARIABLES[method]

    def call(inputs: Function) -> Job | Unavailable:
        if inputs.n > limit:
            return Unavailable(f"skipped: n > {limit}, the most offered to {method}")
        return Job(["-m", "bench.job", f"quillmat:{method}", "random", str(inputs.n)])

    return call


IMMUNITY = Workload(
    "immunity",
    f"algebraic immunity of the random balanced function (seed {RANDOM_SEED}) of n variables: "
    "quillmat.immunity.algebraic_immunity() (examples/algebraic_immunity.py --method engine, "
    "with its default threads: both cores here) against SageMath's "
    "BooleanFunction.algebraic_immunity() (passagemath, M4RI matrices, one core) and the "
    "Matrix API's roads, the example's --method stepwise and at-once (one core); one child "
    "process per cell, its peak memory included; the engine's cells may take "
    f"{ENGINE_SECONDS / 60:g} min",
    tuple(range(10, 19)), (8, 10), Function,
    {QUILLMAT: _example_method("engine"),
     peer_sage.NAME: lambda inputs: peer_sage.job(inputs.table),
     "Matrix stepwise": _example_method("stepwise"),
     "Matrix at-once": _example_method("at-once")},
    label=lambda n: f"n = {n}", x=lambda n: 2.0**n, axis="2**n (truth-table length)",
    check=_same_value,
    targets={peer_sage.NAME: Target(12, 100)},
    ceilings=(Ceiling(16, 5), Ceiling(17, 60), Ceiling(18, 600, memory_gib=8)),
    limits={QUILLMAT: ENGINE_SECONDS})


def _cases(matrices: tuple[str, ...]) -> list[peer_kernel.Case]:
    return [peer_kernel.Case(matrix, form, threads) for matrix in matrices
            for form in ("echelon", "reduced") for threads in peer_kernel.THREADS]


FULL_CASES = _cases(("random:16384:16384:1", "random:32768:32768:1", "system:16:7",
                     "direct:16:7"))
QUICK_CASES = _cases(("random:1024:1024:1", "random:2048:2048:1", "system:12:5", "direct:12:5"))
CASES = FULL_CASES + QUICK_CASES

ENGINE_RANK = Workload(
    "engine-rank",
    "the engine's elimination (engine::echelonize, bench/engine_rank.cpp) against M4RI's "
    "mzd_echelonize (bench/m4ri_rank.cpp) on the same matrix: the rank (a row echelon form, "
    "M4RI's full = 0) and the reduced row echelon form (full = 1), each the fastest of "
    f"{peer_kernel.MAX_REPEATS} runs on a fresh copy; quillmat with 1 thread and with 2, "
    "M4RI with 1.  The matrices: random ones, and at n = 16 (the random balanced function, "
    f"seed {RANDOM_SEED}, whose immunity is 8) the two systems of its annihilators of degree "
    "<= 7: the reduced one that the engine eliminates, and the direct one (every support "
    "point against every monomial of degree <= 7).  Each side's input, rank and reduced form "
    "are checked to be the same (by hash); memory is each timer's peak",
    tuple(range(len(FULL_CASES))), tuple(range(len(FULL_CASES), len(CASES))),
    lambda i: CASES[i],
    {QUILLMAT: peer_kernel.ours, peer_kernel.NAME: peer_kernel.m4ri},
    label=lambda i: CASES[i].label(), axis="", check=peer_kernel.same_result,
    targets={peer_kernel.NAME: Target(
        tuple(i for i, case in enumerate(FULL_CASES)
              if case.form == "echelon" and case.threads == 1), 1 / 1.5)},
    limits={QUILLMAT: KERNEL_SECONDS, peer_kernel.NAME: KERNEL_SECONDS},
    plotted=False)

ENGINE_WORKLOADS: list[Workload] = [IMMUNITY, ENGINE_RANK]
