"""galois, the GF(2) library a Python user would pick: row_reduce,
null_space and matrix_rank on galois.GF(2) arrays (made before timing)."""

from __future__ import annotations

import itertools
import math

import galois
import numpy as np

from bench import peer_numpy
from bench.timing import Job, Statement

NAME = "galois"
GF2 = galois.GF(2)


def row_reduce(inputs) -> Statement:
    return Statement("a.row_reduce()", {"a": GF2(inputs.array)})


def null_space(inputs) -> Statement:
    return Statement("a.null_space()", {"a": GF2(inputs.array)})


def matrix_rank(inputs) -> Statement:
    return Statement("matrix_rank(a)", {"matrix_rank": np.linalg.matrix_rank,
                                        "a": GF2(inputs.array)})


def main_job(inputs) -> Job:
    return Job(["-m", "bench.job", NAME, inputs.function, str(inputs.n)])


def monomials_up_to(n: int, degree: int) -> np.ndarray:
    """Every monomial of degree <= `degree` as a 0/1 row over the n variables."""
    rows = [[1 if i in chosen else 0 for i in range(n)]
            for d in range(degree + 1) for chosen in itertools.combinations(range(n), d)]
    return np.array(rows, dtype=np.uint8).reshape(-1, n)


def algebraic_immunity(truth_table: list[int]) -> int:
    """The lowest d for which the evaluation matrix of the support of f or of
    f + 1 over the monomials of degree <= d has a non-trivial null space."""
    n = len(truth_table).bit_length() - 1
    x = np.arange(2**n)
    points = ((x[:, None] >> np.arange(n)) & 1).astype(np.uint8)  # bit i of x is x_i
    f = np.asarray(truth_table, dtype=bool)
    supports = (points[f], points[~f])
    for degree in range(math.ceil(n / 2) + 1):
        monomials = monomials_up_to(n, degree)
        for zeros in supports:
            if GF2(peer_numpy.evaluate(zeros, monomials)).null_space().shape[0] > 0:
                return degree
    raise AssertionError("some annihilator has degree at most ceil(n/2)")
