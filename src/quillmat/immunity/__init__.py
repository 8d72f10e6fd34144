"""Algebraic immunity and annihilators of Boolean functions, computed natively.

An annihilator of a Boolean function f is a polynomial g != 0 over GF(2)
with f * g = 0: g vanishes wherever f is 1.  The algebraic immunity of f is
the lowest degree of an annihilator of f or of f + 1.

Truth tables.  A function f of n variables is given by its 2**n values
f(x), x = 0, 1, ..., 2**n - 1, where variable x_i is bit i of x.  Every
function here accepts it as:

- a sequence of 0/1 ints or bools (numpy's bools too), an array.array
  among them;
- bytes, bytearray or memoryview of 0/1 bytes, or any other object with the
  buffer protocol, read item by item;
- a one-dimensional numpy array of bools or integers, or of a subclass of
  numpy.ndarray, such as a galois GF(2) array;
- an object with a truth_table() method, such as SageMath's BooleanFunction:
  the table that method returns;
- a str of "0" and "1" characters, f(0) first;
- a str "0x..." of hex digits, each giving four values.  With
  hex_order="msb-first" (the default) its binary expansion, most
  significant bit first, is the truth table, f(0) first: "0x1" is 0001,
  which is x0*x1, and "0x6996" is x0 + x1 + x2 + x3.  With
  hex_order="lsb-first" bit x of the number is f(x), as SageMath's
  BooleanFunction reads hex: "0x1" is 1000, (x0 + 1)*(x1 + 1), and "0xe8" is
  the majority of three variables.
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
tenth of a second or so, in units of work; what it raises stops the work
and propagates.  By the dense method (see Method) peak memory is that of the
largest linear system solved, about fourfold for each extra variable
(docs/benchmarks.md has the measured peaks); a computation that would need
more memory than the process may use raises MemoryError before it starts.
The black-box method needs memory linear in 2**n and proves each answer it
gives (docs/immunity.md says how).
"""

from __future__ import annotations

import operator
import os
from array import array
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple, get_args

from quillmat import _engine
from quillmat.immunity._batches import map_immunity
from quillmat.immunity._cluster import cluster_immunity
from quillmat.immunity._estimate import Cost, search_costs
from quillmat.immunity._plot import plot_profile
from quillmat.immunity._profile import Profile, anf_terms, spectra, walsh_array
from quillmat.immunity._table import (
    MAX_VARIABLES,
    HexOrder,
    NumericArray,
    PackedTable,
    TruthTable,
    quoted as _quoted,
    read_table,
)
from quillmat.immunity._threads import available_cores, checked_threads as _threads

__all__ = [
    "MAX_VARIABLES",
    "Dimensions",
    "FastImmunity",
    "HexOrder",
    "Immunity",
    "Method",
    "NumericArray",
    "Profile",
    "PackedTable",
    "TruthTable",
    "algebraic_degree",
    "algebraic_immunity",
    "algebraic_normal_form",
    "anf",
    "annihilators",
    "available_cores",
    "fast_algebraic_immunity",
    "Cost",
    "Estimate",
    "estimate",
    "from_anf",
    "immunity_profile",
    "map_immunity",
    "plot_profile",
    "profile",
    "read_table",
    "truth_table",
    "walsh_spectrum",
]

Progress = Callable[[int, int], object]

Method = Literal["auto", "dense", "black-box"]
"""How the annihilator systems are solved: "dense" stores and eliminates each
(the fastest up to about 20 variables, in memory about fourfold for each
more), "black-box" only multiplies by it (block Wiedemann, in memory
linear in 2**n, every answer proved), "auto" lets a cost model of time and
memory choose for each system."""
_METHODS: tuple[str, ...] = get_args(Method)


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
    dim_f: int | None
    """dim Ann_degree(f): the number of independent annihilators of f of degree <= `degree`;
    None where the black-box method proved no value (see `canonical`)."""
    dim_complement: int | None
    """dim Ann_degree(f + 1), or None where no value was proved."""
    canonical: bool = True
    """Whether `annihilator` is the first of the canonical basis.  The black-box
    method proves the whole space of annihilators only when it is small (a few
    dozen); else it returns another annihilator, checked to be one, and leaves
    the dimensions it did not prove None."""
    method: str = "dense"
    """The solver of the system that gave the annihilator: "dense" or "black-box"."""


class Dimensions(NamedTuple):
    """The dimensions of the annihilator spaces of f and f + 1 at one degree."""

    f: int | None
    complement: int | None


@dataclass(frozen=True)
class Estimate:
    """What algebraic_immunity(f) costs by each method, predicted before any work.

    The figures come from the cost models that choose the solvers, at rates
    measured on one machine (docs/benchmarks.md, "Estimates"): a guide to
    whether a run takes a minute or a week, good to a factor of two or
    three, not a promise.  `dense` and `black_box` hold for a function whose
    immunity is `bound`, the most it can be; `by_degree[a]` for immunity a,
    when a lower one is expected (Tr(x^-1)'s is ceil(2 sqrt(n)) - 2)."""

    n: int
    """The number of variables."""
    bound: int
    """The most the immunity can be: some side has an annihilator of this degree."""
    dense: Cost
    """The dense method, on one machine: seconds and peak bytes."""
    black_box: Cost
    """The black-box method: seconds and peak bytes (of one process with chains)."""
    by_degree: tuple[tuple[Cost, Cost], ...]
    """(dense, black_box) for each immunity 0 .. bound."""
    chains: int = 1
    """The chains of each black-box try (algebraic_immunity's `chains`), each on a
    core of its own; with 1, the two sides of a degree run side by side when
    `threads` allows two."""


def estimate(f: TruthTable, *, chains: int = 1, threads: int | None = None,
             hex_order: HexOrder = "msb-first") -> Estimate:
    """Time and memory that algebraic_immunity(f) takes by each method, predicted
    in milliseconds from measured rates (see Estimate).  `chains` and
    `threads` are those the run would have."""
    table = read_table(f, hex_order=hex_order)
    chains = operator.index(chains)
    if not 1 <= chains <= 256:
        raise ValueError(f"chains must be from 1 to 256, not {chains}")
    cores = available_cores() if threads is None else _threads(threads)
    costs = search_costs(table, chains, sides_together=chains == 1 and cores >= 2)
    return Estimate(table.n, len(costs) - 1, costs[-1][0], costs[-1][1], tuple(costs), chains)


def algebraic_immunity(f: TruthTable, *, threads: int | None = None,
                       progress: Progress | None = None,
                       hex_order: HexOrder = "msb-first", method: Method = "auto",
                       seed: int | None = None, executor: Any = None,
                       checkpoint: str | os.PathLike[str] | None = None,
                       chains: int | None = None) -> Immunity:
    """The algebraic immunity of f, with an annihilator of that degree.

    The annihilator is one of f when f has one of that degree, else one of
    f + 1; of the several there usually are, it is the first of the
    canonical basis: the one whose highest term comes earliest (see
    `Immunity.canonical` for the black-box method).  `hex_order` says how a
    "0x..." str is read (see read_table).  `method` chooses the solver (see
    Method); `seed` fixes the black-box method's random choices, which change
    only how long the answer takes, never the answer.

    One function across processes or machines: with `executor` (any
    concurrent.futures.Executor, or a Dask distributed Client) the
    black-box method runs each try as `chains` independent chains (by
    default one a worker), each a series of tasks on the executor, with
    `threads` threads each (1 by default); the answer is the same.  With
    `checkpoint`, a directory, each chain's state is kept there after each
    task, and a run stopped and started again with the same arguments goes
    on where it stopped (docs/immunity.md, "One function across machines")."""
    table = read_table(f, hex_order=hex_order)
    if executor is not None or checkpoint is not None or chains is not None:
        return _on_executor(table, executor, threads, progress, method, seed, checkpoint, chains)
    return _immunity_of(table, _engine.algebraic_immunity(
        table.n, table.bits, _threads(threads), progress, _method(method), _seed(seed)))


def _immunity_of(table: PackedTable,
                 found: tuple[int, bool, list[int], int | None, int | None, bool, str]
                 ) -> Immunity:
    degree, of_complement, terms, dim_f, dim_complement, canonical, used = found
    strings = _exponents(terms, table.n)
    return Immunity(table.n, degree, of_complement, strings, anf(strings), dim_f, dim_complement,
                    canonical, used)


def _on_executor(table: PackedTable, executor: Any, threads: int | None,
                 progress: Progress | None, method: Method, seed: int | None,
                 checkpoint: str | os.PathLike[str] | None, chains: int | None) -> Immunity:
    if executor is None:
        raise TypeError("checkpoint and chains need an executor: pass executor= a "
                        "concurrent.futures.Executor or a Dask distributed Client")
    if _method(method) == _METHODS.index("dense"):
        raise ValueError("an executor runs the black-box method; method=\"dense\" runs on "
                         "this machine alone (pass method=\"black-box\" or \"auto\")")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__!r}")
    if chains is not None:
        chains = operator.index(chains)
        if not 1 <= chains <= 256:
            raise ValueError(f"chains must be from 1 to 256, not {chains}")
    if checkpoint is not None and not isinstance(checkpoint, (str, os.PathLike)):
        raise TypeError(f"checkpoint must be a directory's path, not "
                        f"{type(checkpoint).__name__!r}")
    degree, of_complement, terms, dim_f, dim_complement, canonical, _run = cluster_immunity(
        table, executor, chains=chains, seed=None if seed is None else _seed(seed),
        checkpoint=checkpoint, threads=1 if threads is None else _threads(threads),
        progress=progress)
    strings = _exponents(terms, table.n)
    return Immunity(table.n, degree, of_complement, strings, anf(strings), dim_f, dim_complement,
                    canonical, "black-box")


def annihilators(f: TruthTable, degree: int, *, threads: int | None = None,
                 progress: Progress | None = None,
                 hex_order: HexOrder = "msb-first", method: Method = "auto",
                 seed: int | None = None) -> list[tuple[str, ...]]:
    """A basis of every annihilator of f of degree <= `degree`, in canonical order.

    For each monomial m that is the highest term of some annihilator, the basis
    holds the one annihilator whose highest term is m and whose coefficients at
    the other such monomials are 0, ordered by m: the reduced echelon form of
    the annihilator space with the monomials in reverse canonical order.  It is
    the kernel basis that `Matrix.kernel()` gives for the reduced evaluation
    matrix of the support of f against the monomials of degree <= `degree`.
    The annihilators of f + 1 are those of the complemented table.

    With method="black-box" the basis comes only where the method proves the
    whole space, a small one (a few dozen annihilators); else RuntimeError
    says so, and method="dense" gives it."""
    table = read_table(f, hex_order=hex_order)
    basis = _engine.annihilators(table.n, table.bits, _degree_of(table, degree, "degree"),
                                 _threads(threads), progress, _method(method), _seed(seed))
    return [_exponents(terms, table.n) for terms in basis]


def immunity_profile(f: TruthTable, max_degree: int, *, threads: int | None = None,
                     progress: Progress | None = None,
                     hex_order: HexOrder = "msb-first", method: Method = "auto",
                     seed: int | None = None) -> list[Dimensions]:
    """dim Ann_k(f) and dim Ann_k(f + 1) for k = 0 .. max_degree; with the
    black-box method, None for a dimension it did not prove (a large one)."""
    table = read_table(f, hex_order=hex_order)
    wanted = _nonnegative(max_degree, "max_degree")
    pairs = _engine.immunity_profile(table.n, table.bits, _degree_of(table, wanted, "max_degree"),
                                     _threads(threads), progress, _method(method), _seed(seed))
    # Past degree n every function is a polynomial of degree <= n already.
    pairs += [pairs[-1]] * (wanted - table.n)
    return [Dimensions(*pair) for pair in pairs]


@dataclass(frozen=True)
class FastImmunity:
    """The fast algebraic immunity of f, with a witness and the search behind it.

    FAI(f) = min(2 AI(f), min over g with 1 <= deg g < AI(f) of deg g + deg(f g)),
    the measure of the fast algebraic attack (Courtois 2003)."""

    n: int
    """The number of variables."""
    value: int
    """FAI(f)."""
    algebraic_immunity: int
    """AI(f)."""
    from_annihilator: bool
    """True when 2 AI is the least: then `g` is the annihilator of `immunity` (of f, or of
    f + 1), and degree_g = degree_product = AI: for an annihilator g of f + 1, f g = g."""
    g: tuple[str, ...]
    """The witness's terms, exponent strings in canonical order."""
    degree_g: int
    """deg g."""
    degree_product: int
    """deg(f g); degree_g + degree_product = value."""
    least_product: tuple[int | None, ...]
    """For e = 1 .. AI - 1 (index e - 1): the least deg(f g) over g of degree <= e, not
    constant; None where there is none below searched_below[e - 1]."""
    searched_below: tuple[int, ...]
    """For each e, the bound the search went to: only a deg(f g) below it could have
    lowered the value."""
    immunity: Immunity
    """The algebraic immunity's own result."""


def fast_algebraic_immunity(f: TruthTable, *, threads: int | None = None,
                            progress: Progress | None = None,
                            hex_order: HexOrder = "msb-first", method: Method = "auto",
                            seed: int | None = None) -> FastImmunity:
    """The fast algebraic immunity of f, natively (see FastImmunity).

    The algebraic immunity comes first (by `method`, with `seed`); then, for
    each e = 1 .. AI - 1, one elimination of the products f m, deg m <= e,
    over the monomials of degree > AI (docs/immunity.md says why those
    suffice).  Its memory is that matrix: about 85 MiB at 16 variables,
    1.4 GiB at 18; MemoryError comes first where it does not fit."""
    table = read_table(f, hex_order=hex_order)
    value, from_annihilator, g, degree_g, degree_product, least, searched, ai = \
        _engine.fast_algebraic_immunity(table.n, table.bits, _threads(threads), progress,
                                        _method(method), _seed(seed))
    found = _immunity_of(table, ai)
    if from_annihilator:
        terms, degree_g, degree_product = found.annihilator, found.degree, found.degree
    else:
        terms = _exponents(g, table.n)
    return FastImmunity(table.n, value, found.degree, from_annihilator, terms, degree_g,
                        degree_product, tuple(None if d < 0 else d for d in least),
                        tuple(searched), found)


def profile(f: TruthTable, *, immunity: bool = True, fast: bool = True,
            threads: int | None = None, progress: Progress | None = None,
            hex_order: HexOrder = "msb-first", method: Method = "auto",
            seed: int | None = None) -> Profile:
    """The measures a paper reports beside the algebraic immunity, in one native
    pass over the truth table (see Profile for each definition): weight,
    degree, nonlinearity, Walsh distribution, correlation immunity and
    resiliency, absolute indicator; unless immunity=False the algebraic
    immunity (by `method`), and with it, unless fast=False, the fast
    algebraic immunity, the dearer of the two (fast_algebraic_immunity says
    its memory)."""
    table = read_table(f, hex_order=hex_order)
    s = spectra(table, _threads(threads))
    weight = table.weight()
    balanced = 2 * weight == 1 << table.n
    ai = fai = None
    if immunity and fast:
        result = fast_algebraic_immunity(table, threads=threads, progress=progress,
                                         method=method, seed=seed)
        ai, fai = result.algebraic_immunity, result.value
    elif immunity:
        ai = algebraic_immunity(table, threads=threads, progress=progress, method=method,
                                seed=seed).degree
    terms = int.from_bytes(s.anf, "little") & ((1 << (1 << table.n)) - 1)
    return Profile(table.n, weight, balanced, s.degree, terms.bit_count(), s.nonlinearity,
                   dict(s.distribution), s.correlation_immunity,
                   s.correlation_immunity if balanced else -1, s.absolute_indicator, ai, fai)


def algebraic_normal_form(f: TruthTable, *, hex_order: HexOrder = "msb-first"
                          ) -> tuple[str, ...]:
    """f's algebraic normal form: its terms as exponent strings in canonical
    order (anf() prints them), by a native Moebius transform.  "0110" is
    x0 + x1: ("100", "010")."""
    table = read_table(f, hex_order=hex_order)
    return anf_terms(table.n, _engine.algebraic_normal_form(table.n, table.bits, 1, None)[0])


def algebraic_degree(f: TruthTable, *, hex_order: HexOrder = "msb-first") -> int:
    """The highest degree of a term of f's ANF; -1 for the zero function."""
    table = read_table(f, hex_order=hex_order)
    return _engine.algebraic_normal_form(table.n, table.bits, 1, None)[1]


def walsh_spectrum(f: TruthTable, *, hex_order: HexOrder = "msb-first") -> array[int]:
    """W(a) = sum_x (-1)**(f(x) + a.x) for a = 0 .. 2**n - 1, as SageMath's
    walsh_hadamard_transform gives it, in an array of C ints (4 bytes each:
    64 MiB at 24 variables)."""
    table = read_table(f, hex_order=hex_order)
    return walsh_array(_engine.walsh_spectrum(table.n, table.bits, 1, None))


_TERM = re.compile(r"1|x[0-9]+(?:\*x[0-9]+)*", re.ASCII)
_EXPONENT = re.compile(r"[01]*")
# Digits past these, leading zeros aside, name no variable a table can have.
_INDEX_DIGITS = len(str(MAX_VARIABLES))


def from_anf(text: str, n: int) -> bytes:
    """The truth table (one byte per point) of a polynomial in n variables
    given as text, such as "x0*x1 + x2 + 1"; "0" is the zero function.  Terms
    that appear twice cancel, as over GF(2)."""
    if not isinstance(text, str):
        raise TypeError(f"from_anf takes a polynomial's text, a str such as \"x0*x1 + x2\", "
                        f"not {type(text).__name__!r}")
    n = _nonnegative(n, "n")
    if n > MAX_VARIABLES:
        raise ValueError(f"{n} variables; at most {MAX_VARIABLES} are supported")
    coefficients = bytearray(1 << n)
    terms = [t.strip() for t in text.split("+")]
    if terms != ["0"]:
        for term in terms:
            if not _TERM.fullmatch(term):
                raise ValueError(f"not a term of a polynomial: {_quoted(term)} "
                                 "(terms look like x0*x3 or 1)")
            mask = 0
            if term != "1":
                for variable in term.split("*"):
                    digits = variable[1:].lstrip("0")
                    if len(digits) > _INDEX_DIGITS or int(digits or "0") >= n:
                        named = f"one of the {n} variables x0 .. x{n - 1}" if n else \
                            "a variable: a function of 0 variables has none"
                        raise ValueError(f"{_quoted(variable)} is not {named}")
                    mask |= 1 << int(digits or "0")
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
    gives "x0*x2 + x0 + 1"; no terms give "0".

    Raises TypeError for a str, which is no sequence of terms, and ValueError
    for a term that is not a str of "0" and "1", or terms of different
    lengths."""
    if isinstance(terms, (str, bytes, bytearray)):
        raise TypeError("anf takes a sequence of exponent strings, such as (\"101\", \"000\") "
                        f"for x0*x2 + 1, not a {type(terms).__name__!r}")
    given = list(terms)
    for index, term in enumerate(given):
        if not (isinstance(term, str) and _EXPONENT.fullmatch(term)):
            shown = _quoted(term) if isinstance(term, str) else f"a {type(term).__name__!r}"
            raise ValueError(f"term {index} is {shown}, not an exponent string of \"0\" and "
                             "\"1\", one per variable")
    lengths = {len(term) for term in given}
    if len(lengths) > 1:
        first = given[0]
        other = next(term for term in given if len(term) != len(first))
        raise ValueError(f"terms of different lengths: {_quoted(first)} has {len(first)} "
                         f"variables, {_quoted(other)} {len(other)}")
    ordered = sorted(given, key=lambda m: (m.count("1"), m), reverse=True)
    return " + ".join(
        "*".join(f"x{i}" for i, e in enumerate(m) if e == "1") or "1" for m in ordered) or "0"


def truth_table(f: TruthTable, *, hex_order: HexOrder = "msb-first") -> bytes:
    """f as one byte per point, 0 or 1, f(0) first.

    Raises TypeError for an object that is no truth table, and ValueError for
    a length that is not a power of two, a value other than 0 and 1, or more
    than MAX_VARIABLES variables (see read_table, which keeps it packed)."""
    return read_table(f, hex_order=hex_order).unpacked()


def _exponents(terms: Sequence[int], n: int) -> tuple[str, ...]:
    return tuple(format(m, f"0{n}b")[::-1] if n else "" for m in terms)


def _method(method: str) -> int:
    """The engine's number for a method's name."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, one of {', '.join(map(repr, _METHODS))}, "
                        f"not {type(method).__name__!r}")
    if method not in _METHODS:
        hint = " (with a hyphen)" if method.replace("_", "-") == "black-box" else ""
        raise ValueError(f"method must be one of {', '.join(map(repr, _METHODS))}, "
                         f"not {method!r}{hint}")
    return _METHODS.index(method)


def _seed(seed: int | None) -> int:
    """A seed for the engine, 0 .. 2**64 - 1: a fresh one for None."""
    if seed is None:
        return int.from_bytes(os.urandom(8), "little")
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise TypeError(f"seed must be an int or None, not {type(seed).__name__!r}")
    if not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, not {seed}")
    return seed


def _nonnegative(value: int, name: str) -> int:
    number = operator.index(value)
    if number < 0:
        raise ValueError(f"{name} must be >= 0, not {number}")
    return number


def _degree_of(table: PackedTable, value: int, name: str) -> int:
    """A degree asked of a table of n variables, as the engine takes it: past n
    every function is a polynomial of degree <= n, so nothing changes there."""
    return min(_nonnegative(value, name), table.n)
