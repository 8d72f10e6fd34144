"""S-boxes and point sets: the low-degree polynomials that vanish on them.

A point set is a set of points of F_2^n, each an int whose bit i is x_i or
a str of n "0"/"1" characters whose character i is x_i.  An S-box
S: F_2^n -> F_2^m is its table S(0), S(1), ..., S(2**n - 1), each value
below 2**m; bit i of x is x_i and bit j of S(x) is y_j, as in a truth table
(docs/sbox.md sets this beside SageMath's big-endian SBox and sboxU).  Its
graph is the point set {(x, S(x))}: x | S(x) << n, so that y_j is variable
n + j, and its equations are the polynomials in x_0 .. x_(n-1), y_0 ..
y_(m-1) that vanish on it.

Polynomials are tuples of exponent strings in canonical order, as in
quillmat.immunity: "0110" is x1*x2 of four variables; in an S-box's
equations the first n characters are x's and the last m are y's, so that
"1001" is x0*y1 when n = m = 2 (equation_text writes it so).  A basis is
the canonical one: for each monomial that is the highest term of some
polynomial of the space, the one whose highest term it is and whose
coefficients at the other such monomials are 0, ordered by that term.  It
depends on the set alone, not on the order or repetition of its points.

The work runs natively with the interpreter lock released, interruptible
with Ctrl-C, on `threads` threads (all available cores by default), with a
`progress` callable called as progress(done, total) now and then.  Memory
is about N**2 / 8 bytes for N monomials; MemoryError comes before the work
when the process could not hold it.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quillmat import _engine
from quillmat.immunity import Method, _exponents, _method, _seed
from quillmat.immunity._table import MAX_VARIABLES
from quillmat.immunity._threads import checked_threads
from quillmat.sbox._read import MAX_POINT_VARIABLES, SBoxTable, read_points, read_sbox

__all__ = [
    "MAX_POINT_VARIABLES",
    "ComponentImmunity",
    "GraphImmunity",
    "SBoxTable",
    "component_algebraic_immunity",
    "equation_text",
    "graph_algebraic_immunity",
    "read_points",
    "read_sbox",
    "sbox_equations",
    "vanishing_dimension",
    "vanishing_polynomials",
]

Progress = Callable[[int, int], object]


def _degree(degree: object, n: int) -> int:
    if isinstance(degree, bool) or not hasattr(type(degree), "__index__"):
        raise TypeError(f"degree must be an int, not {type(degree).__name__!r}")
    d = int(degree)  # type: ignore[call-overload]
    if d < 0:
        raise ValueError(f"degree must be >= 0, not {d}")
    # Past n every function on F_2^n is a polynomial of degree <= n already.
    return min(d, n)


def vanishing_polynomials(points: Any, degree: int, n: int, *, threads: int | None = None,
                          progress: Progress | None = None) -> list[tuple[str, ...]]:
    """The canonical basis of the polynomials of degree <= `degree` in x_0 ..
    x_(n-1) that vanish at every point.

    For the support of a Boolean function it is annihilators(f, degree)."""
    count, values = read_points(points, n)
    d = _degree(degree, count)
    _, basis = _engine.vanishing_space(count, values, d, True, checked_threads(threads),
                                       progress)
    assert basis is not None
    return [_exponents(terms, count) for terms in basis]


def vanishing_dimension(points: Any, degree: int, n: int, *, threads: int | None = None,
                        progress: Progress | None = None) -> int:
    """The dimension of that space, without its basis."""
    count, values = read_points(points, n)
    dimension, _ = _engine.vanishing_space(count, values, _degree(degree, count), False,
                                           checked_threads(threads), progress)
    return int(dimension)


def _graph_of(sbox: Any) -> SBoxTable:
    table = read_sbox(sbox)
    if table.n + table.m > MAX_POINT_VARIABLES:
        raise ValueError(f"the graph of an S-box of {table.n} input and {table.m} output bits "
                         f"has {table.n + table.m} variables; at most {MAX_POINT_VARIABLES}")
    return table


def sbox_equations(sbox: Any, degree: int = 2, *, bi_affine: bool = False,
                   threads: int | None = None,
                   progress: Progress | None = None) -> list[tuple[str, ...]]:
    """The canonical basis of the equations of degree <= `degree` of the graph
    {(x, S(x))}, each an exponent string of n + m characters, x's then y's.

    With bi_affine=True, only those whose terms are 1, x_i, y_j and x_i*y_j
    (`degree` is then 2, and must be 2 if given)."""
    table = _graph_of(sbox)
    width = table.n + table.m
    if bi_affine:
        if degree != 2:
            raise ValueError(f"bi-affine equations are of degree 2, not {degree}")
        _, basis = _engine.bi_affine_space(width, table.graph(), table.n, True,
                                           checked_threads(threads), progress)
    else:
        _, basis = _engine.vanishing_space(width, table.graph(), _degree(degree, width), True,
                                           checked_threads(threads), progress)
    assert basis is not None
    return [_exponents(terms, width) for terms in basis]


def equation_text(terms: tuple[str, ...], n: int) -> str:
    """An equation as text, in x_0 .. x_(n-1) and y_0 ..: "x0*y1 + x2 + 1";
    "0" for no terms."""
    def monomial(exponents: str) -> str:
        names = [f"x{i}" if i < n else f"y{i - n}" for i, c in enumerate(exponents) if c == "1"]
        return "*".join(names) or "1"

    return " + ".join(monomial(t) for t in reversed(terms)) if terms else "0"


@dataclass(frozen=True)
class GraphImmunity:
    """The least degree of an equation of an S-box's graph, and how many."""

    n: int
    m: int
    degree: int
    """The least degree of a nonzero polynomial vanishing on {(x, S(x))}."""
    equations: int
    """The dimension of the equations of degree <= `degree`: all of that degree."""


def graph_algebraic_immunity(sbox: Any, *, threads: int | None = None,
                             progress: Progress | None = None) -> GraphImmunity:
    """The graph's immunity: the dimension at degrees 1, 2, ... until one is
    not 0 (one is at the latest where the monomials outnumber the points)."""
    table = _graph_of(sbox)
    width = table.n + table.m
    points = table.graph()
    workers = checked_threads(threads)
    for d in range(1, width + 1):
        dimension, _ = _engine.vanishing_space(width, points, d, False, workers, progress)
        if dimension:
            return GraphImmunity(table.n, table.m, d, int(dimension))
    raise AssertionError("the graph's vanishing space at degree n + m is never 0")


@dataclass(frozen=True)
class ComponentImmunity:
    """min over v != 0 of AI(v.S), the component v.S being x -> v . S(x)."""

    n: int
    m: int
    value: int
    """The least immunity of a component."""
    component: int
    """The first v (as an int, bit j the coefficient of y_j) whose component has it."""
    immunities: tuple[int, ...]
    """AI(v.S) for v = 1 .. 2**m - 1: entry v - 1."""

    @property
    def distribution(self) -> dict[int, int]:
        """How many components have each immunity."""
        return dict(sorted(Counter(self.immunities).items()))


def component_algebraic_immunity(sbox: Any, *, threads: int | None = None,
                                 progress: Progress | None = None, method: Method = "auto",
                                 seed: int | None = None) -> ComponentImmunity:
    """The component algebraic immunity, every component in one native call,
    shared among the threads."""
    table = read_sbox(sbox)
    if table.m == 0:
        raise ValueError("an S-box of 0 output bits has no components")
    if table.m > MAX_VARIABLES:
        raise ValueError(f"an S-box of {table.m} output bits has 2**{table.m} - 1 components; "
                         f"at most {MAX_VARIABLES} output bits are supported")
    raw = _engine.component_immunities(table.n, table.m, table.values, checked_threads(threads),
                                       progress, _method(method), _seed(seed))
    immunities = tuple(raw)
    value = min(immunities)
    return ComponentImmunity(table.n, table.m, value, immunities.index(value) + 1, immunities)
