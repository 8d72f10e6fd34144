"""The table of workloads: what is timed, on which inputs, against which
peers, which targets apply, and how the peers' results are checked against
quillmat's.  Inputs are made from fixed seeds, before any timing."""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Callable

import numpy as np

from bench import peer_cpython, peer_galois, peer_m4ri, peer_numpy, peer_quillmat
from bench.job import FUNCTIONS, RANDOM_SEED

# --- Inputs ---------------------------------------------------------------


@dataclass
class BitMatrix:
    """A square 0/1 matrix, as a uint8 array and as Python lists of ints."""

    seed: int
    array: np.ndarray

    @cached_property
    def rows(self) -> list[list[int]]:
        return self.array.tolist()


def random_matrix(n: int) -> BitMatrix:
    return BitMatrix(n, np.random.default_rng(n).integers(0, 2, (n, n), dtype=np.uint8))


def reduced_half_rank(n: int) -> BitMatrix:
    """A reduced n x n matrix of rank n / 2: a random product of n x n/2 and
    n/2 x n matrices, reduced with the numpy peer (not with quillmat)."""
    for seed in itertools.count(n):
        rng = np.random.default_rng(seed)
        left = rng.integers(0, 2, (n, n // 2), dtype=np.uint8)
        right = rng.integers(0, 2, (n // 2, n), dtype=np.uint8)
        product = (left.astype(np.int32) @ right & 1).astype(np.uint8)
        reduced, _ = peer_numpy.gauss_jordan(product)
        if np.count_nonzero(reduced.any(axis=1)) == n // 2:
            return BitMatrix(seed, reduced)
    raise AssertionError("unreachable")


def bit_strings(array: np.ndarray) -> list[str]:
    """0/1 rows as digit strings, character i for column i."""
    return ["".join(map(str, row)) for row in array.tolist()]


def monomials_by_degree(n: int, count: int) -> np.ndarray:
    """The first `count` monomials in n variables, lowest degree first (the
    main job's order), as 0/1 rows."""
    chosen = itertools.islice(
        (c for d in range(n + 1) for c in itertools.combinations(range(n), d)), count)
    rows = [[1 if i in c else 0 for i in range(n)] for c in chosen]
    return np.array(rows, dtype=np.uint8)


@dataclass
class Evaluation:
    """Points and monomials over the same variables, as arrays and strings."""

    points: np.ndarray
    monomials: np.ndarray
    point_strings: list[str] = field(init=False)
    monomial_strings: list[str] = field(init=False)

    def __post_init__(self) -> None:
        self.point_strings = bit_strings(self.points)
        self.monomial_strings = bit_strings(self.monomials)


def cube(n: int) -> np.ndarray:
    """Every point of {0,1}^n in truth-table order: x_i is bit i of x."""
    x = np.arange(2**n)
    return ((x[:, None] >> np.arange(n)) & 1).astype(np.uint8)


def evaluation_inputs(n: int) -> Evaluation:
    """All 2**n points and the first 2**n / 4 monomials by degree."""
    return Evaluation(cube(n), monomials_by_degree(n, 2**n // 4))


VERIFY_VARS, VERIFY_TERMS, VERIFY_DEGREE = 16, 1000, 4


def vanishing_points(log_points: int, terms: int = VERIFY_TERMS) -> Evaluation:
    """2**log_points points where a random polynomial of `terms` terms of
    degree <= VERIFY_DEGREE in VERIFY_VARS variables vanishes, so that the
    verification walks every point before it answers (True, None)."""
    rng = np.random.default_rng(log_points)
    pool = monomials_by_degree(
        VERIFY_VARS, sum(math.comb(VERIFY_VARS, d) for d in range(VERIFY_DEGREE + 1)))
    monomials = pool[rng.choice(len(pool), terms, replace=False)]
    candidates = cube(VERIFY_VARS)[rng.permutation(2**VERIFY_VARS)]
    zeros = [chunk[peer_numpy.evaluate(chunk, monomials).sum(axis=1) % 2 == 0]
             for chunk in np.array_split(candidates, 16)]
    return Evaluation(np.concatenate(zeros)[: 2**log_points], monomials)


@dataclass
class MainJob:
    function: str
    n: int
    method: str = "stepwise"  # the engine or a road of quillmat.immunity.stepwise


# --- Checks: each returns what differs from quillmat's result --------------


def _same_reduction(inputs: BitMatrix, results: dict[str, Any]) -> list[str]:
    reduced, operations = results["quillmat"]
    expected = reduced.to_list()
    differences = []
    if "numpy" in results:
        matrix, numpy_operations = results["numpy"]
        if matrix.tolist() != expected:
            differences.append("numpy's reduced matrix differs")
        if numpy_operations != operations:
            differences.append("numpy's operations differ")
    if "galois" in results and np.asarray(results["galois"]).tolist() != expected:
        differences.append("galois' reduced matrix differs")
    if "M4RI" in results and peer_m4ri.reduced_rows(inputs) != expected:
        differences.append("M4RI's reduced matrix differs")
    return differences


def _same_kernel(inputs: BitMatrix, results: dict[str, Any]) -> list[str]:
    if "galois" not in results:
        return []
    ours = np.array(results["quillmat"], dtype=np.uint8).reshape(-1, len(inputs.rows))
    ours = peer_galois.GF2(ours)
    theirs = results["galois"]
    if ours.shape != theirs.shape or not np.array_equal(ours.row_reduce(), theirs.row_reduce()):
        return ["galois' null space differs"]
    return []


def _same_value(inputs: Any, results: dict[str, Any]) -> list[str]:
    expected = results["quillmat"]
    return [f"{peer} gives {value!r}, quillmat {expected!r}"
            for peer, value in results.items() if peer != "quillmat" and value != expected]


def _same_evaluation(inputs: Evaluation, results: dict[str, Any]) -> list[str]:
    if "numpy" in results and results["numpy"].tolist() != results["quillmat"]:
        return ["numpy's evaluation matrix differs"]
    return []


def _same_lists(inputs: BitMatrix, results: dict[str, Any]) -> list[str]:
    return [] if results["quillmat"] == inputs.rows else ["to_list differs from the rows"]


def _no_check(inputs: Any, results: dict[str, Any]) -> list[str]:
    return []


# --- The table -------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    """Met when peer time / quillmat time >= min_ratio at `size` (or at each of several)."""

    size: int | tuple[int, ...]
    min_ratio: float

    def applies(self, size: int) -> bool:
        return size in self.size if isinstance(self.size, tuple) else size == self.size

    def text(self) -> str:
        if self.min_ratio >= 1:
            return f">= {self.min_ratio:g}x faster"
        return f"time <= {1 / self.min_ratio:.2g}x peer's"


@dataclass(frozen=True)
class Ceiling:
    """Met when quillmat's time at `size` is at most `seconds` (and its peak
    memory at most `memory_gib`, when given): a target on quillmat alone."""

    size: int
    seconds: float
    memory_gib: float | None = None

    def text(self) -> str:
        time_text = (f"<= {self.seconds / 60:g} min" if self.seconds >= 120
                     else f"<= {self.seconds:g} s")
        return time_text + (f", <= {self.memory_gib:g} GiB peak" if self.memory_gib else "")

    def met(self, seconds: float, peak_kib: int | None) -> bool:
        if seconds > self.seconds:
            return False
        if self.memory_gib is None:
            return True
        return peak_kib is not None and peak_kib <= self.memory_gib * 2**20


@dataclass(frozen=True)
class Workload:
    name: str  # for --only
    what: str  # one line for the table and the plot
    sizes: tuple[int, ...]
    quick_sizes: tuple[int, ...]
    inputs: Callable[[int], Any]
    calls: dict[str, Callable[[Any], Any]]  # peer name -> Call builder; quillmat first
    label: Callable[[int], str] = lambda n: f"{n} x {n}"
    x: Callable[[int], float] = float  # the plot's size axis
    axis: str = "n (n x n matrix)"
    check: Callable[[Any, dict[str, Any]], list[str]] = _no_check
    targets: dict[str, Target] = field(default_factory=dict)
    ceilings: tuple[Ceiling, ...] = ()
    # Peers whose cells take minutes: their budget and hard limit, in seconds,
    # instead of the run's (the other peers keep those).
    limits: dict[str, float] = field(default_factory=dict)
    plotted: bool = True  # a panel in the plot (when it has several sizes)

    def peers(self) -> list[str]:
        return [p for p in self.calls if p != peer_quillmat.NAME]


def _per_call(n: int) -> str:
    return "1 call"


def _reduction(name: str, call: Callable) -> Workload:
    return Workload(
        name, f"m.{name}() of a random 0/1 matrix; CPython: list(zip(targets, sources)), "
        "building the same operations list alone", (64, 256, 1024, 2048), (64, 128),
        random_matrix,
        {peer_quillmat.NAME: call, peer_galois.NAME: peer_galois.row_reduce,
         peer_numpy.NAME: peer_numpy.echelon_form, peer_m4ri.NAME: peer_m4ri.echelonize,
         peer_cpython.NAME: peer_cpython.operations_list},
        check=_same_reduction,
        targets={peer_galois.NAME: Target(1024, 100), peer_numpy.NAME: Target(1024, 5),
                 peer_m4ri.NAME: Target(2048, 1 / 5)})


def _main_job(function: str, method: str) -> Workload:
    what = ("majority function" if function == "majority"
            else f"random balanced function (seed {RANDOM_SEED})")
    suffix = "" if method == "stepwise" else f"-{method}"
    return Workload(
        f"main-job-{function}{suffix}", f"algebraic_immunity() of the {what}, --method {method}",
        tuple(range(7, 14)), (7, 8),
        lambda n: MainJob(function, n, method),
        {peer_quillmat.NAME: peer_quillmat.main_job, peer_galois.NAME: peer_galois.main_job},
        label=lambda n: f"n = {n}", x=lambda n: 2.0**n, axis="2**n (truth-table length)",
        check=_same_value, targets={peer_galois.NAME: Target(11, 10)})


WORKLOADS: list[Workload] = [
    Workload("get", "m.get(0, 0) vs d.get(0, 0)", (1,), (1,), random_matrix,
             {peer_quillmat.NAME: peer_quillmat.get, peer_cpython.NAME: peer_cpython.dict_get},
             label=_per_call, axis="", targets={peer_cpython.NAME: Target(1, 1 / 1.3)}),
    Workload("nrows", "m.nrows() vs (5).bit_length()", (1,), (1,), random_matrix,
             {peer_quillmat.NAME: peer_quillmat.nrows, peer_cpython.NAME: peer_cpython.bit_length},
             label=_per_call, axis="", targets={peer_cpython.NAME: Target(1, 1 / 1.3)}),
    Workload("construct", "Matrix(rows) vs [bytes(r) for r in rows]", (64, 256, 1024), (64, 128),
             random_matrix,
             {peer_quillmat.NAME: peer_quillmat.construct,
              peer_cpython.NAME: peer_cpython.rows_to_bytes},
             targets={peer_cpython.NAME: Target(1024, 1 / 1.5)}),
    Workload("to_list", "m.to_list() vs [list(b) for b in byte_rows]", (64, 256, 1024), (64, 128),
             random_matrix,
             {peer_quillmat.NAME: peer_quillmat.to_list,
              peer_cpython.NAME: peer_cpython.bytes_to_lists},
             check=_same_lists, targets={peer_cpython.NAME: Target(1024, 1 / 1.3)}),
    _reduction("echelon_form", peer_quillmat.echelon_form),
    _reduction("row_echelon_full_matrix", peer_quillmat.row_echelon_full_matrix),
    Workload("kernel", "m.kernel() of a reduced matrix of rank n/2", (256, 1024), (64, 128),
             reduced_half_rank,
             {peer_quillmat.NAME: peer_quillmat.kernel, peer_galois.NAME: peer_galois.null_space},
             check=_same_kernel, targets={peer_galois.NAME: Target(1024, 100)}),
    Workload("rank", "m.echelon_form()[0].rank() of a random 0/1 matrix", (64, 256, 1024),
             (64, 128), random_matrix,
             {peer_quillmat.NAME: peer_quillmat.rank, peer_galois.NAME: peer_galois.matrix_rank},
             check=_same_value),
    Workload("compute_vandermonde",
             "Matrix.compute_vandermonde(points, monomials): 2**n points, "
             "the first 2**n/4 monomials by degree; CPython: [list(b) for b in byte_rows], "
             "building the same list of lists alone",
             (8, 10, 12), (6, 8), evaluation_inputs,
             {peer_quillmat.NAME: peer_quillmat.evaluation, peer_numpy.NAME: peer_numpy.evaluation,
              peer_cpython.NAME: peer_cpython.evaluation_lists},
             label=lambda n: f"{2**n} x {2**n // 4}", x=lambda n: 2.0**n, axis="points",
             check=_same_evaluation, targets={peer_numpy.NAME: Target(12, 5)}),
    Workload("verify_2",
             f"verify_2(points, g, monomials): {VERIFY_TERMS} terms in {VERIFY_VARS} variables, "
             "vanishing on every point",
             (10, 12, 14), (8, 10), vanishing_points,
             {peer_quillmat.NAME: peer_quillmat.verification,
              peer_numpy.NAME: peer_numpy.verification},
             label=lambda n: f"2**{n} x {VERIFY_TERMS}", x=lambda n: 2.0**n, axis="points",
             check=_same_value, targets={peer_numpy.NAME: Target(14, 5)}),
    *(_main_job(function, method) for method in ("stepwise", "at-once")
      for function in FUNCTIONS),
]
