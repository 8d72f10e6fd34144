"""Algebraic immunity of a Boolean function, with quillmat.

By default the native engine quillmat.immunity computes it (--method
engine).  The other methods are the `Matrix` API's roads of
quillmat.immunity.stepwise, which grow and reduce an evaluation matrix one
step at a time; every method's annihilator is checked with quillmat.verify.

Truth tables list f(x) for x = 0, 1, ..., 2**n - 1, where variable x_i is bit
i of x: "0110" (or "0x6") is x0 + x1.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from typing import NoReturn

import quillmat
from quillmat import immunity
from quillmat.immunity import stepwise

TERMS_SHOWN = 12


def function(args: argparse.Namespace) -> tuple[str, list[int]]:
    """The function asked for, by name or as a truth table; ValueError if out of range."""
    limit = stepwise.OFFERED_VARIABLES[args.method]
    if args.function in ("majority", "random"):
        if not 1 <= args.vars <= limit:
            raise ValueError(f"--vars {args.vars} is out of range 1..{limit} for --method "
                             f"{args.method}")
        if args.function == "majority":
            return f"majority of {args.vars} variables", stepwise.majority(args.vars)
        return (f"random balanced function of {args.vars} variables (seed {args.seed})",
                stepwise.random_balanced(args.vars, args.seed))
    try:
        table = list(immunity.truth_table(args.function))
    except ValueError as error:
        raise ValueError(f"{error} (or name a function: majority, random)") from None
    n = len(table).bit_length() - 1
    if not 1 <= n <= limit:
        raise ValueError(f"n = {n} is out of range 1..{limit} for --method {args.method}")
    return f"truth table of {n} variables", table


def annihilator(table: list[int], method: str) -> stepwise.Annihilator:
    if method == "engine":
        result = immunity.algebraic_immunity(table)
        return stepwise.Annihilator(result.degree, list(result.annihilator), result.of_complement)
    return stepwise.algebraic_immunity(table, road=method)


class OneLineParser(argparse.ArgumentParser):
    """Bad input in one line on standard error, status 2, without the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = OneLineParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("function", nargs="?", default="majority",
                        help="majority, random, a 0/1 truth table, or a 0x-prefixed hex truth "
                        "table")
    parser.add_argument("--vars", type=int, default=9, help="variables of majority/random (9)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random function (1)")
    parser.add_argument("--method", choices=["engine", *stepwise.ROADS], default="engine",
                        help="engine: quillmat.immunity (default); the others: the roads of "
                        "quillmat.immunity.stepwise")
    parser.add_argument("--all-terms", action="store_true", help="print every term of g")
    parser.add_argument("--show-inverting", action="store_true",
                        help="let the reduction's 'inverting' notices through to standard output")
    args = parser.parse_args(argv)
    try:
        name, table = function(args)
    except ValueError as error:
        parser.error(str(error))

    start = time.perf_counter()
    with stepwise.quiet_stdout(not args.show_inverting):
        result = annihilator(table, args.method)
    elapsed = time.perf_counter() - start

    side = "f + 1" if result.of_complement else "f"
    zeros_of_g = stepwise.support(table, 0 if result.of_complement else 1)
    check = quillmat.verify(zeros_of_g, [1] * len(result.monomials), result.monomials)
    terms = immunity.anf(result.monomials).split(" + ")
    if not args.all_terms and len(terms) > TERMS_SHOWN:
        terms = terms[:TERMS_SHOWN] + [f"... ({len(terms) - TERMS_SHOWN} more terms)"]
    print(f"function: {name}, weight {sum(table)} of {len(table)}")
    print(f"algebraic immunity: {result.degree}")
    print(f"annihilator of {side} ({len(result.monomials)} terms): {' + '.join(terms)}")
    print(f"verify on the support of {side}: {check}")
    print(f"elapsed: {elapsed:.3f} s")
    return 0 if check == (True, None) else 1


if __name__ == "__main__":
    sys.exit(main())
