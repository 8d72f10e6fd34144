"""numpy, written as a user would: Gauss-Jordan on a uint8 array with one
vectorised XOR per pivot, and vectorised evaluation and verification.

Inputs arrive as 0/1 uint8 arrays, converted before timing (quillmat gets its
lists and strings the same way)."""

from __future__ import annotations

import numpy as np

from bench.timing import Statement

NAME = "numpy"


def gauss_jordan(a: np.ndarray) -> tuple[np.ndarray, list[tuple[int, int]]]:
    """The reduced row echelon form of a 0/1 matrix and the (target, source)
    row additions that made it, recorded as quillmat's echelon_form records
    them: an exchange of rows i and j as (i, j), (j, i), (i, j)."""
    w = a.copy()
    rows, cols = w.shape
    operations: list[tuple[int, int]] = []
    i = 0
    for q in range(cols):
        if i == rows:
            break
        below = np.flatnonzero(w[i:, q])
        if below.size == 0:
            continue
        j = i + int(below[0])
        if j != i:
            w[[i, j]] = w[[j, i]]
            operations += [(i, j), (j, i), (i, j)]
        targets = np.flatnonzero(w[:, q])
        targets = targets[targets != i]
        w[targets] ^= w[i]
        operations += [(k, i) for k in targets.tolist()]
        i += 1
    return w, operations


def evaluate(points: np.ndarray, monomials: np.ndarray) -> np.ndarray:
    """Monomial c at point r (both 0/1 rows over the variables): 1 unless the
    monomial has a variable the point lacks.  One matrix product counts them."""
    missing = (1 - points).astype(np.float32) @ monomials.T.astype(np.float32)
    return (missing == 0).astype(np.uint8)


def verify(points: np.ndarray, coefficients: np.ndarray, monomials: np.ndarray):
    """(True, None) when the polynomial vanishes on every point, else (False, k)
    for the first point k where it does not."""
    values = evaluate(points, monomials).astype(np.float32) @ coefficients.astype(np.float32)
    odd = np.flatnonzero(values.astype(np.int64) & 1)
    return (True, None) if odd.size == 0 else (False, int(odd[0]))


def echelon_form(inputs) -> Statement:
    return Statement("gauss_jordan(a)", {"gauss_jordan": gauss_jordan, "a": inputs.array})


def evaluation(inputs) -> Statement:
    return Statement("evaluate(points, monomials)",
                     {"evaluate": evaluate, "points": inputs.points,
                      "monomials": inputs.monomials})


def verification(inputs) -> Statement:
    return Statement("verify(points, coefficients, monomials)",
                     {"verify": verify, "points": inputs.points,
                      "coefficients": np.ones(len(inputs.monomials), dtype=np.uint8),
                      "monomials": inputs.monomials})
