"""The command line of quillmat.immunity.

    python -m quillmat.immunity FUNCTION... [--json]

computes the algebraic immunity of each FUNCTION, a truth table given as
0/1 text or 0x hex (the bit order of quillmat.immunity); "-" reads one
function per line from standard input.  Results go to standard output, in
input order: a few lines of text per function, or with --json one JSON
object per line.  Bad input ends the command with a one-line error on
standard error and status 2; Ctrl-C with status 130.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from typing import TextIO

from quillmat import immunity

PROG = "python -m quillmat.immunity"
TERMS_SHOWN = 12


class InputError(Exception):
    """Bad input, reported in one line with status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise InputError(message)


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROG, description="Algebraic immunity of Boolean functions, computed natively.",
               epilog="A truth table lists f(x) for x = 0 .. 2**n - 1, where variable x_i is bit i "
               "of x: '0110' is x0 + x1.  Hex '0x...' is its binary expansion, most significant "
               "bit first: '0x6' is '0110'.")
    p.add_argument("functions", nargs="+", metavar="FUNCTION",
                   help="a truth table (0/1 text or 0x hex); '-' reads one per line from standard input")
    p.add_argument("--json", action="store_true", help="print one JSON object per function")
    p.add_argument("--all-terms", action="store_true", help="print every term of the annihilator")
    p.add_argument("--threads", type=int, default=None, help="threads to use (default: all)")
    return p


def functions(arguments: Sequence[str], stdin: TextIO) -> Iterator[tuple[str, str]]:
    """(where, text) of each function, in order: "-" expands to standard input's lines."""
    for index, argument in enumerate(arguments, 1):
        if argument != "-":
            yield f"argument {index}", argument
            continue
        for number, line in enumerate(stdin, 1):
            text = line.strip()
            if text:
                yield f"line {number} of standard input", text


def side(result: immunity.Immunity) -> str:
    return "f+1" if result.of_complement else "f"


def as_json(result: immunity.Immunity) -> str:
    return json.dumps({
        "n": result.n,
        "algebraic_immunity": result.degree,
        "annihilator_of": side(result),
        "annihilator_terms": list(result.annihilator),
        "annihilator_anf": result.anf,
        "dim_f": result.dim_f,
        "dim_complement": result.dim_complement,
    })


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def as_text(text: str, result: immunity.Immunity, all_terms: bool) -> str:
    terms = result.anf.split(" + ")
    if not all_terms and len(terms) > TERMS_SHOWN:
        terms = terms[:TERMS_SHOWN] + [f"... ({len(terms) - TERMS_SHOWN} more terms)"]
    shown = text if len(text) <= 40 else text[:37] + "..."
    name = "f + 1" if result.of_complement else "f"
    return "\n".join([
        f"function: {shown} ({plural(result.n, 'variable')})",
        f"algebraic immunity: {result.degree}",
        f"annihilator of {name} ({plural(len(result.annihilator), 'term')}): {' + '.join(terms)}",
        f"annihilator dimensions at degree {result.degree}: f {result.dim_f}, f + 1 {result.dim_complement}",
    ])


def run(argv: Sequence[str] | None, stdout: TextIO, stdin: TextIO) -> int:
    args = parser().parse_args(argv)
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be at least 1, not {args.threads}")
    first = True
    for where, text in functions(args.functions, stdin):
        try:
            result = immunity.algebraic_immunity(text, threads=args.threads)
        except (TypeError, ValueError) as error:
            raise InputError(f"{where}: {error}") from None
        if args.json:
            print(as_json(result), file=stdout, flush=True)
        else:
            if not first:
                print(file=stdout)
            print(as_text(text, result, args.all_terms), file=stdout, flush=True)
        first = False
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(argv, sys.stdout, sys.stdin)
    except InputError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say.  Point standard
        # output at /dev/null so the interpreter's final flush fails quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
