"""Algebraic immunity of a Boolean function, with quillmat.

By default the native engine quillmat.immunity computes it (--method
engine).  The other methods show the `Matrix` API at work, step by step.

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

Truth tables list f(x) for x = 0, 1, ..., 2**n - 1, where variable x_i is bit
i of x: "0110" (or "0x6") is x0 + x1.
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
import os
import random
import sys
import time
from dataclasses import dataclass
from typing import Callable, Iterator, Sequence

import quillmat
import quillmat.immunity

# The most variables each method is offered: the Matrix roads slow down
# steeply past 12; the engine takes about a minute at 17 and several at 18.
MAX_VARS = {"engine": 20, "stepwise": 14, "last-row": 14, "at-once": 14}


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


def stepwise(reduce: Reduction) -> Callable[..., list[str] | None]:
    def search(support: Sequence[str], monomials: Sequence[str],
               step: Callable[[], None]) -> list[str] | None:
        return lowest_annihilator(support, monomials, step, reduce)
    return search


def engine(table: Sequence[int],
           report: Callable[[int, int], None] = lambda done, total: None) -> Annihilator:
    """The native engine: quillmat.immunity, in one call."""
    result = quillmat.immunity.algebraic_immunity(table, progress=report)
    return Annihilator(result.degree, list(result.annihilator), result.of_complement)


METHODS = {
    "engine": None,  # quillmat.immunity; the others go through the Matrix API
    "stepwise": stepwise(reduce_whole),
    "last-row": stepwise(reduce_last_row),
    "at-once": lowest_annihilator_at_once,
}


def algebraic_immunity(
    truth_table: Sequence[int], step: Callable[[], None] = lambda: None, method: str = "engine"
) -> Annihilator:
    """The algebraic immunity of f and one annihilator of that degree."""
    search = METHODS[method]
    if search is None:
        return engine(truth_table)
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


def polynomial_text(monomials: Sequence[str], limit: int | None = None) -> str:
    """Terms highest degree first, e.g. "x0*x2 + x1 + 1"."""
    def text(m: str) -> str:
        return "*".join(f"x{i}" for i, e in enumerate(m) if e == "1") or "1"

    ordered = sorted(monomials, key=lambda m: (-degree(m), [-int(c) for c in m]))
    shown = [text(m) for m in ordered[:limit]]
    if limit is not None and len(ordered) > limit:
        shown.append(f"... ({len(ordered) - limit} more terms)")
    return " + ".join(shown)


class InputError(Exception):
    """Bad command-line input: reported in one line, exit status 2."""


def parse_truth_table(text: str, limit: int) -> list[int]:
    if text.lower().startswith("0x"):
        digits = text[2:]
        if not digits or any(c not in "0123456789abcdefABCDEF" for c in digits):
            raise InputError(f"not a hex truth table: {text!r}")
        text = "".join(f"{int(c, 16):04b}" for c in digits)
    if any(c not in "01" for c in text):
        raise InputError(
            f"unknown function {text!r}: expected majority, random, a 0/1 truth table "
            "or a 0x-prefixed hex truth table"
        )
    n = len(text).bit_length() - 1
    if len(text) < 2 or len(text) != 2**n:
        raise InputError(f"a truth table has 2**n entries; got {len(text)}")
    if n > limit:
        raise InputError(f"n = {n} is out of range 1..{limit}")
    return [int(c) for c in text]


def describe_function(args: argparse.Namespace) -> tuple[str, list[int]]:
    limit = MAX_VARS[args.method]
    if args.function in ("majority", "random"):
        if not 1 <= args.vars <= limit:
            raise InputError(f"--vars {args.vars} is out of range 1..{limit} for --method {args.method}")
        if args.function == "majority":
            return f"majority of {args.vars} variables", majority(args.vars)
        return (
            f"random balanced function of {args.vars} variables (seed {args.seed})",
            random_balanced(args.vars, args.seed),
        )
    table = parse_truth_table(args.function, limit)
    return f"truth table of {len(table).bit_length() - 1} variables", table


class OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise InputError(message)


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


def progress(total: int) -> tuple[Callable[[], None], Callable[[], None]]:
    """A step counter shown on standard error once a run takes over a second."""
    try:
        from tqdm import tqdm
    except ImportError:
        return (lambda: None), (lambda: None)
    bar = tqdm(total=total, delay=1.0, file=sys.stderr, unit="step", leave=False)

    def step() -> None:
        bar.update()

    return step, bar.close


def engine_progress() -> tuple[Callable[[int, int], None], Callable[[], None]]:
    """The engine's share of its work done, shown once a run takes over a second."""
    try:
        from tqdm import tqdm
    except ImportError:
        return (lambda done, total: None), (lambda: None)
    bar = tqdm(total=100, delay=1.0, file=sys.stderr, unit="%", leave=False,
               bar_format="{l_bar}{bar}| {elapsed}")

    def report(done: int, total: int) -> None:
        bar.update(int(100 * done / max(total, 1)) - bar.n)

    return report, bar.close


def main(argv: Sequence[str] | None = None) -> int:
    parser = OneLineParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "function", nargs="?", default="majority",
        help="majority, random, a 0/1 truth table, or a 0x-prefixed hex truth table",
    )
    parser.add_argument("--vars", type=int, default=9, help="variables of majority/random (9)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random function (1)")
    parser.add_argument(
        "--method", choices=list(METHODS), default="engine",
        help="engine: the native engine quillmat.immunity (default); stepwise: grow the "
        "matrix a point and a monomial at a time, reducing each step with echelon_form; "
        "last-row: the same, reducing with reduced_echelon_form_last_row first; at-once: "
        "reduce the whole evaluation matrix",
    )
    parser.add_argument("--all-terms", action="store_true", help="print every term of g")
    parser.add_argument(
        "--show-inverting", action="store_true",
        help="let the reduction's 'inverting' notices through to standard output",
    )
    try:
        args = parser.parse_args(argv)
        name, table = describe_function(args)
    except InputError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2

    n = len(table).bit_length() - 1
    if args.method == "engine":
        report, close = engine_progress()
        start = time.perf_counter()
        try:
            result = engine(table, report)
        finally:
            close()
    else:
        step, close = progress(total=2 * len(monomials_by_degree(n, math.ceil(n / 2))))
        start = time.perf_counter()
        try:
            with quiet_stdout(not args.show_inverting):
                result = algebraic_immunity(table, step, args.method)
        finally:
            close()
    elapsed = time.perf_counter() - start

    side = "f + 1" if result.of_complement else "f"
    zeros_of_g = support(table, 0 if result.of_complement else 1)
    check = quillmat.verify(zeros_of_g, [1] * len(result.monomials), result.monomials)
    print(f"function: {name}, weight {sum(table)} of {len(table)}")
    print(f"algebraic immunity: {result.degree}")
    limit = None if args.all_terms else 12
    print(f"annihilator of {side} ({len(result.monomials)} terms): "
          f"{polynomial_text(result.monomials, limit)}")
    print(f"verify on the support of {side}: {check}")
    print(f"elapsed: {elapsed:.3f} s")
    return 0 if check == (True, None) else 1


if __name__ == "__main__":
    sys.exit(main())
