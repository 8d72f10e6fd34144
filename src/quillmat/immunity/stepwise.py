"""The algebraic immunity by the `Matrix` API's roads, one step at a time.

The native engine (quillmat.immunity) answers in one call; these roads show
the building blocks at work, and serve the tests and the benchmark as an
independent computation of the same answers.

The algebraic immunity of f is the lowest degree of a polynomial g != 0 with
f*g = 0 or (f + 1)*g = 0: an annihilator of f vanishes on the support of f,
one of f + 1 on its zeros.  For a set of points Z, the search grows a square
evaluation matrix (rows: points of Z, columns: monomials ordered by degree) one
point and one monomial at a time, keeping it reduced with the operations that
reduced it.  While the matrix stays invertible the monomials so far are
independent on Z.  When a new monomial makes it singular, its kernel gives a
candidate g that vanishes on the points so far; if g vanishes on all of Z it
is an annihilator of the lowest degree, otherwise the first point where it
does not vanish replaces the newest point and the matrix is invertible again.

Truth tables are sequences of 0/1 values f(x), x = 0 .. 2**n - 1, where
variable x_i is bit i of x; points and monomials are "0"/"1" strings, one
character per variable, as in the `Matrix` API.
"""

from __future__ import annotations

import contextlib
import itertools
import math
import os
import random
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass

import quillmat

__all__ = [
    "OFFERED_VARIABLES",
    "ROADS",
    "Annihilator",
    "algebraic_immunity",
    "lowest_annihilator",
    "lowest_annihilator_at_once",
    "majority",
    "monomials_by_degree",
    "points",
    "quiet_stdout",
    "random_balanced",
    "support",
]


OFFERED_VARIABLES = {"engine": 20, "stepwise": 14, "last-row": 14, "at-once": 14}
"""The most variables the example program and the benchmark offer each method:
the roads slow down steeply past 12; the engine takes about a minute at 17
and several at 18."""


@dataclass(frozen=True)
class Annihilator:
    degree: int
    monomials: list[str]  # exponent strings of the terms, one "0"/"1" per variable
    of_complement: bool  # True when g annihilates f + 1, False when it annihilates f


def points(n: int) -> list[str]:
    """Point strings of the cube, in truth-table order: character i is bit i of x."""
    return ["".join("1" if x >> i & 1 else "0" for i in range(n)) for x in range(2**n)]


def monomials_by_degree(n: int, max_degree: int) -> list[str]:
    """Exponent strings of every monomial of degree <= max_degree, lowest degree first."""
    result = []
    for degree in range(max_degree + 1):
        for chosen in itertools.combinations(range(n), degree):
            result.append("".join("1" if i in chosen else "0" for i in range(n)))
    return result


def degree(monomial: str) -> int:
    return monomial.count("1")


def reduce_whole(grown: quillmat.Matrix) -> tuple[quillmat.Matrix, list[tuple[int, int]]]:
    """Gauss-Jordan on the grown matrix.  Its top rows are already reduced, so
    each pivot is found on the diagonal at once and only the new row and the
    new column are worked: about idx additions per step."""
    return grown.echelon_form()


def reduce_last_row(grown: quillmat.Matrix) -> tuple[quillmat.Matrix, list[tuple[int, int]]]:
    """The incremental last-row reduction, finished by echelon_form.

    The last-row reduction leaves an echelon form in which a pivot that came
    up with the last row may still have a 1 above it; echelon_form clears
    those, cheaply, since every pivot already sits on the diagonal.  It
    records several times more operations than reduce_whole, and every later
    step replays them all on its new column."""
    reduced, steps = grown.reduced_echelon_form_last_row()
    reduced, more = reduced.echelon_form()
    return reduced, steps + more


Reduction = Callable[[quillmat.Matrix], tuple[quillmat.Matrix, list[tuple[int, int]]]]


def lowest_annihilator(
    support: Sequence[str],
    monomials: Sequence[str],
    step: Callable[[], None] = lambda: None,
    reduce: Reduction = reduce_whole,
) -> list[str] | None:
    """The monomials of a lowest-degree polynomial vanishing on `support`, or
    None when none exists among `monomials` (which are ordered by degree)."""
    if not support:
        return [monomials[0]]  # the constant 1 vanishes on no point at all
    order = list(support)  # points move forward when a candidate fails on them
    matrix = quillmat.Matrix([])
    operations: list[tuple[int, int]] = []
    for idx in range(len(monomials)):
        step()
        if idx == len(order):
            # Every point is a row: the new column is dependent on the others.
            grown = matrix.construct_and_add_column(order, monomials[idx], operations)
            return candidate(grown, monomials[: idx + 1])
        while True:
            grown = matrix.compute_next(monomials[: idx + 1], order[: idx + 1], idx, operations)
            # The top rows are the identity: a singular step ends in a zero row.
            reduced, steps = reduce(grown)
            if not reduced.is_zero_row(idx):
                break
            terms = candidate(reduced, monomials[: idx + 1])
            vanishes, failing = quillmat.verify_2(order, [1] * len(terms), terms)
            if vanishes:
                return terms
            assert failing is not None  # (False, (k, point)): the first point where g is 1
            k = failing[0]
            assert k > idx, "a kernel vector must vanish on the points of its matrix"
            order[idx], order[k] = order[k], order[idx]
        matrix = reduced
        operations += steps
    return None


def candidate(reduced: quillmat.Matrix, monomials: Sequence[str]) -> list[str]:
    """The terms of the kernel vector that the newest monomial contributes."""
    (vector,) = reduced.kernel()
    return [m for m, bit in zip(monomials, vector) if bit]


def lowest_annihilator_at_once(
    support: Sequence[str], monomials: Sequence[str], step: Callable[[], None] = lambda: None
) -> list[str] | None:
    """The same search as one reduction of the whole evaluation matrix.

    The pivot columns of a reduced row echelon form are the monomials that
    are independent of those before them on `support`; the kernel vector of
    the first free column involves no later monomial, so it has the lowest
    degree there is."""
    step()
    if not support:
        return [monomials[0]]
    reduced, _ = quillmat.Matrix([]).fill_rows(support, monomials).echelon_form()
    kernel = reduced.kernel()
    if not kernel:
        return None
    return [m for m, bit in zip(monomials, kernel[0]) if bit]


Search = Callable[[Sequence[str], Sequence[str], Callable[[], None]], list[str] | None]


def _stepwise(reduce: Reduction) -> Search:
    def search(support: Sequence[str], monomials: Sequence[str],
               step: Callable[[], None]) -> list[str] | None:
        return lowest_annihilator(support, monomials, step, reduce)
    return search


ROADS: dict[str, Search] = {
    "stepwise": _stepwise(reduce_whole),
    "last-row": _stepwise(reduce_last_row),
    "at-once": lowest_annihilator_at_once,
}
"""The roads by name: grow the matrix a point and a monomial at a time and
reduce each step with echelon_form (stepwise) or with
reduced_echelon_form_last_row first (last-row), or reduce the whole
evaluation matrix at once (at-once)."""


def algebraic_immunity(
    truth_table: Sequence[int], step: Callable[[], None] = lambda: None, road: str = "stepwise"
) -> Annihilator:
    """The algebraic immunity of f and one annihilator of that degree, by `road`.

    `step` is called once per step of the search.  The reductions announce
    row exchanges on standard output ("inverting"); quiet_stdout keeps them
    off it."""
    search = ROADS[road]
    n = len(truth_table).bit_length() - 1
    supports = (support(truth_table, 1), support(truth_table, 0))
    best: Annihilator | None = None
    # Every function has an annihilator of degree ceil(n/2) or less.
    cap = math.ceil(n / 2)
    for of_complement, zeros in zip((False, True), supports):
        terms = search(zeros, monomials_by_degree(n, cap), step)
        if terms is not None:
            best = Annihilator(max(map(degree, terms)), terms, of_complement)
            cap = best.degree - 1  # the other side must beat it
            if cap < 0:
                break
    assert best is not None, "some annihilator has degree at most ceil(n/2)"
    return best


def support(truth_table: Sequence[int], value: int) -> list[str]:
    """The points where f takes `value`: an annihilator of f vanishes where f is 1."""
    return [p for p, bit in zip(points(len(truth_table).bit_length() - 1), truth_table)
            if bit == value]


def majority(n: int) -> list[int]:
    return [1 if bin(x).count("1") > n // 2 else 0 for x in range(2**n)]


def random_balanced(n: int, seed: int) -> list[int]:
    table = [1] * 2 ** (n - 1) + [0] * 2 ** (n - 1)
    random.Random(seed).shuffle(table)
    return table


@contextlib.contextmanager
def quiet_stdout(active: bool) -> Iterator[None]:
    """Send file descriptor 1 to /dev/null: the reduction announces every row exchange there."""
    if not active:
        yield
        return
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
