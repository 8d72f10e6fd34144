"""Algebraic immunity and annihilators of Boolean functions, computed natively.

An annihilator of a Boolean function f is a polynomial g != 0 over GF(2)
with f * g = 0: g vanishes wherever f is 1.  The algebraic immunity of f is
the lowest degree of an annihilator of f or of f + 1.

Truth tables.  A function f of n variables is given by its 2**n values
f(x), x = 0, 1, ..., 2**n - 1, where variable x_i is bit i of x.  Every
function here accepts it as:

- a sequence of 0/1 ints or bools;
- bytes, bytearray or memoryview of 0/1 bytes;
- a one-dimensional numpy array of bools or integers;
- a str of "0" and "1" characters, f(0) first;
- a str "0x..." of hex digits, whose binary expansion, most significant bit
  first, is the truth table, f(0) first: each digit gives four values, so
  "0x6" is 0110, which is x0 + x1, and "0x6996" is x0 + x1 + x2 + x3.
- a PackedTable, the form every input is read into (see read_table): n and
  the values packed eight to a byte, taken as it is, unchecked again.  Read
  a table once with read_table to pass it to many calls or processes.

Polynomials.  A monomial is an exponent string, one "0"/"1" per variable as
in the `Matrix` API: "101" is x0*x2 and "000" is the constant 1.  A
polynomial is the tuple of its terms in canonical order: by degree, then in
the lexicographic order of the variable indices (x0*x1, x0*x2, ..., x1*x2),
which is the order of itertools.combinations.

The work runs natively with the interpreter lock released: other threads run
meanwhile, Ctrl-C interrupts it within a fraction of a second, and
`threads` caps the threads it uses (all available ones by default).  A
`progress` callable, when given, is called as progress(done, total) every
tenth of a second or so, in units of elimination work; what it raises stops
the work and propagates.  Peak memory is that of the largest linear system
solved: for a random function of n variables about 2**(2n - 5) bytes (n = 16:
0.1 GiB; n = 18: 2 GiB); a computation that would need more memory than the
process may use raises MemoryError before it starts.
"""

from __future__ import annotations

import operator
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NamedTuple

from quillmat import _engine
from quillmat.immunity._batches import map_immunity
from quillmat.immunity._table import (
    MAX_VARIABLES,
    NumericArray,
    PackedTable,
    TruthTable,
    read_table,
)
from quillmat.immunity._threads import available_cores, checked_threads as _threads

__all__ = [
    "MAX_VARIABLES",
    "Dimensions",
    "Immunity",
    "NumericArray",
    "PackedTable",
    "TruthTable",
    "algebraic_immunity",
    "anf",
    "annihilators",
    "available_cores",
    "from_anf",
    "immunity_profile",
    "map_immunity",
    "read_table",
    "truth_table",
]

Progress = Callable[[int, int], object]


@dataclass(frozen=True)
class Immunity:
    """The algebraic immunity of a function f and an annihilator of that degree."""

    n: int
    """The number of variables."""
    degree: int
    """The algebraic immunity: the lowest degree of an annihilator of f or of f + 1."""
    of_complement: bool
    """True when `annihilator` annihilates f + 1 (f itself has none of this degree)."""
    annihilator: tuple[str, ...]
    """The annihilator's terms as exponent strings, in canonical order: the first
    polynomial of the canonical basis (see `annihilators`)."""
    anf: str
    """The annihilator as text, highest degree first, e.g. "x0*x2 + x1 + 1"."""
    dim_f: int
    """dim Ann_degree(f): the number of independent annihilators of f of degree <= `degree`."""
    dim_complement: int
    """dim Ann_degree(f + 1)."""


class Dimensions(NamedTuple):
    """The dimensions of the annihilator spaces of f and f + 1 at one degree."""

    f: int
    complement: int


def algebraic_immunity(f: TruthTable, *, threads: int | None = None,
                       progress: Progress | None = None) -> Immunity:
    """The algebraic immunity of f, with an annihilator of that degree.

    The annihilator is one of f when f has one of that degree, else one of
    f + 1; of the several there usually are, it is the first of the
    canonical basis: the one whose highest term comes earliest."""
    table = read_table(f)
    degree, of_complement, terms, dim_f, dim_complement = _engine.algebraic_immunity(
        table.n, table.bits, _threads(threads), progress)
    strings = _exponents(terms, table.n)
    return Immunity(table.n, degree, of_complement, strings, anf(strings), dim_f, dim_complement)


def annihilators(f: TruthTable, degree: int, *, threads: int | None = None,
                 progress: Progress | None = None) -> list[tuple[str, ...]]:
    """A basis of every annihilator of f of degree <= `degree`, in canonical order.

    For each monomial m that is the highest term of some annihilator, the basis
    holds the one annihilator whose highest term is m and whose coefficients at
    the other such monomials are 0, ordered by m: the reduced echelon form of
    the annihilator space with the monomials in reverse canonical order.  It is
    the kernel basis that `Matrix.kernel()` gives for the reduced evaluation
    matrix of the support of f against the monomials of degree <= `degree`.
    The annihilators of f + 1 are those of the complemented table."""
    table = read_table(f)
    basis = _engine.annihilators(table.n, table.bits, _degree_of(table, degree, "degree"),
                                 _threads(threads), progress)
    return [_exponents(terms, table.n) for terms in basis]


def immunity_profile(f: TruthTable, max_degree: int, *, threads: int | None = None,
                     progress: Progress | None = None) -> list[Dimensions]:
    """dim Ann_k(f) and dim Ann_k(f + 1) for k = 0 .. max_degree."""
    table = read_table(f)
    wanted = _nonnegative(max_degree, "max_degree")
    pairs = _engine.immunity_profile(table.n, table.bits, _degree_of(table, wanted, "max_degree"),
                                     _threads(threads), progress)
    # Past degree n every function is a polynomial of degree <= n already.
    pairs += [pairs[-1]] * (wanted - table.n)
    return [Dimensions(*pair) for pair in pairs]


_TERM = re.compile(r"^(?:1|x\d+(?:\*x\d+)*)$")


def from_anf(text: str, n: int) -> bytes:
    """The truth table (one byte per point) of a polynomial in n variables
    given as text, such as "x0*x1 + x2 + 1"; "0" is the zero function.  Terms
    that appear twice cancel, as over GF(2)."""
    n = _nonnegative(n, "n")
    if n > MAX_VARIABLES:
        raise ValueError(f"{n} variables; at most {MAX_VARIABLES} are supported")
    coefficients = bytearray(1 << n)
    terms = [t.strip() for t in text.split("+")]
    if terms != ["0"]:
        for term in terms:
            if not _TERM.match(term):
                raise ValueError(f"not a term of a polynomial: {term!r} (terms look like x0*x3 or 1)")
            mask = 0
            if term != "1":
                for variable in term.split("*"):
                    i = int(variable[1:])
                    if i >= n:
                        raise ValueError(f"{variable} is not one of the {n} variables x0 .. x{n - 1}")
                    mask |= 1 << i
            coefficients[mask] ^= 1
    # The values from the coefficients: the Moebius transform, which is its own inverse.
    values = int.from_bytes(coefficients, "little")
    for i in range(n):
        step = 1 << i
        low = _alternating_mask(n, step)
        values ^= (values & low) << (8 * step)
    return values.to_bytes(1 << n, "little")


def _alternating_mask(n: int, step: int) -> int:
    """The bytes x of a 2**n-byte little-endian integer with bit `step` of x
    clear, each 0x01 (the low bit of every such byte)."""
    block = int.from_bytes(b"\x01" * step + b"\x00" * step, "little")
    return int.from_bytes(block.to_bytes(2 * step, "little") * ((1 << n) // (2 * step)), "little")


def anf(terms: Sequence[str]) -> str:
    """A polynomial's terms as text, highest degree first: ("100", "101", "000")
    gives "x0*x2 + x0 + 1"; no terms give "0"."""
    ordered = sorted(terms, key=lambda m: (m.count("1"), m), reverse=True)
    return " + ".join(
        "*".join(f"x{i}" for i, e in enumerate(m) if e == "1") or "1" for m in ordered) or "0"


def truth_table(f: TruthTable) -> bytes:
    """f as one byte per point, 0 or 1, f(0) first.

    Raises TypeError for an object that is no truth table, and ValueError for
    a length that is not a power of two, a value other than 0 and 1, or more
    than MAX_VARIABLES variables (see read_table, which keeps it packed)."""
    return read_table(f).unpacked()


def _exponents(terms: Sequence[int], n: int) -> tuple[str, ...]:
    return tuple(format(m, f"0{n}b")[::-1] if n else "" for m in terms)


def _nonnegative(value: int, name: str) -> int:
    number = operator.index(value)
    if number < 0:
        raise ValueError(f"{name} must be >= 0, not {number}")
    return number


def _degree_of(table: PackedTable, value: int, name: str) -> int:
    """A degree asked of a table of n variables, as the engine takes it: past n
    every function is a polynomial of degree <= n, so nothing changes there."""
    return min(_nonnegative(value, name), table.n)
