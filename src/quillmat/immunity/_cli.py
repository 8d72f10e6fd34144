"""The command line: quillmat-immunity, also python -m quillmat.immunity.

Results go to standard output in input order, nothing else does; progress
and errors go to standard error.  Bad input ends the command with a one-line
error and status 2, Ctrl-C with one line and status 130, and a reader that
goes away (| head) ends it quietly.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import signal
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from typing import IO, Any

from quillmat import immunity

PROG = "quillmat-immunity"
TERMS_SHOWN = 12

DESCRIPTION = "The algebraic immunity of Boolean functions, computed natively."
EPILOG = """\
A FUNCTION is a truth table or, with --vars, a polynomial:
  0110            f(x) for x = 0 .. 2**n - 1, where variable x_i is bit i of x:
                  this one is x0 + x1
  0x6996          hex: its binary expansion, most significant bit first, is the
                  truth table, f(0) first ("0x6" is 0110)
  "x0*x1 + x2"    algebraic normal form, with --vars n
  -               one function per line from standard input
The immunity is the lowest degree of a polynomial g != 0 with f*g = 0 (an
annihilator of f) or (f + 1)*g = 0; the annihilator shown is the first of the
canonical basis, one of f when f has one of that degree."""


class InputError(Exception):
    """Bad input, reported in one line with status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise InputError(message)


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("functions", nargs="*", metavar="FUNCTION",
                   help="a truth table (0/1 or 0x hex), a polynomial with --vars, or - for "
                   "standard input")
    p.add_argument("--file", action="append", default=[], metavar="PATH",
                   help="read functions from PATH, one per line (repeatable; # starts a comment)")
    p.add_argument("--vars", type=int, metavar="N",
                   help="read functions as polynomials in x0 .. x(N-1), e.g. 'x0*x1 + x2'")
    p.add_argument("--json", action="store_true", help="print one JSON object per function")
    p.add_argument("--profile", action="store_true",
                   help="also print the dimensions of the annihilator spaces of f and f + 1 at "
                   "each degree up to the immunity")
    p.add_argument("--all-terms", action="store_true",
                   help=f"print every term of the annihilator (default: the first {TERMS_SHOWN})")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="compute N functions at once, in N processes (default 1)")
    p.add_argument("--threads", type=int, metavar="N",
                   help="threads per function (default: all cores, shared among the jobs)")
    p.add_argument("--no-progress", action="store_true",
                   help="no progress bar on standard error (it shows on a terminal once a run "
                   "takes over a second)")
    return p


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


# --- Input --------------------------------------------------------------------


def sources(args: argparse.Namespace, stdin: IO[str]) -> Iterator[tuple[str, str]]:
    """(where, text) of each function in order: arguments, "-" for standard
    input's lines, then each --file's lines."""
    if not args.functions and not args.file:
        raise InputError("no function given (a truth table, a polynomial with --vars, - or --file)")
    for index, argument in enumerate(args.functions, 1):
        if argument == "-":
            yield from lines(stdin, "standard input")
        else:
            yield f"argument {index}", argument
    for path in args.file:
        try:
            handle = open(path, encoding="utf-8")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror}") from None
        with handle:
            yield from lines(handle, path)


def lines(stream: IO[str], name: str) -> Iterator[tuple[str, str]]:
    for number, line in enumerate(stream, 1):
        text = line.split("#", 1)[0].strip()
        if text:
            yield f"line {number} of {name}", text


def table_of(text: str, variables: int | None) -> immunity.PackedTable:
    if variables is not None:
        return immunity.read_table(immunity.from_anf(text, variables))
    return immunity.read_table(text)


def tables(args: argparse.Namespace, stdin: IO[str],
           read: deque[tuple[str, immunity.PackedTable]]) -> Iterator[immunity.PackedTable]:
    """Each function's truth table; `read` gets (what the user wrote, the
    table) of each, for the output to take in order."""
    for where, text in sources(args, stdin):
        try:
            table = table_of(text, args.vars)
        except (TypeError, ValueError) as error:
            raise InputError(f"{where}: {error}") from None
        read.append((text, table))
        yield table


# --- Output -------------------------------------------------------------------


def side(result: immunity.Immunity) -> str:
    return "f+1" if result.of_complement else "f"


def as_json(text: str, result: immunity.Immunity,
            profile: list[immunity.Dimensions] | None) -> str:
    record: dict[str, Any] = {
        "function": text,
        "n": result.n,
        "algebraic_immunity": result.degree,
        "annihilator_of": side(result),
        "annihilator_terms": list(result.annihilator),
        "annihilator_anf": result.anf,
        "dim_f": result.dim_f,
        "dim_complement": result.dim_complement,
    }
    if profile is not None:
        record["profile"] = [list(dims) for dims in profile]
    return json.dumps(record)


def as_text(text: str, result: immunity.Immunity, all_terms: bool,
            profile: list[immunity.Dimensions] | None) -> str:
    terms = result.anf.split(" + ")
    if not all_terms and len(terms) > TERMS_SHOWN:
        terms = terms[:TERMS_SHOWN] + [f"... ({plural(len(terms) - TERMS_SHOWN, 'more term')})"]
    shown = text if len(text) <= 40 else text[:37] + "..."
    name = "f + 1" if result.of_complement else "f"
    out = [
        f"function: {shown} ({plural(result.n, 'variable')})",
        f"algebraic immunity: {result.degree}",
        f"annihilator of {name} ({plural(len(result.annihilator), 'term')}): {' + '.join(terms)}",
        f"dimensions at degree {result.degree}: f {result.dim_f}, f + 1 {result.dim_complement}",
    ]
    if profile is not None:
        out.append("profile (degree: f, f + 1): " + ", ".join(
            f"{d}: {dims.f} {dims.complement}" for d, dims in enumerate(profile)))
    return "\n".join(out)


# --- Progress -----------------------------------------------------------------


class Progress:
    """A bar on standard error, from tqdm when it is installed and standard
    error is a terminal; shown once a run takes over a second."""

    def __init__(self, enabled: bool) -> None:
        self.bar: Any = None
        if not enabled:
            return
        try:
            # By name: tqdm is an optional extra without type information, and
            # type checkers of an installed quillmat must not need its stubs.
            tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            return
        self.bar = tqdm(total=None, delay=1.0, file=sys.stderr, leave=False, disable=None,
                        unit="function", dynamic_ncols=True)

    def functions_done(self, count: int) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def work(self, done: int, total: int) -> None:
        """The engine's progress within one function."""
        if self.bar is not None:
            self.bar.set_postfix_str(f"{100 * done // max(total, 1)}% of this one", refresh=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# --- The command --------------------------------------------------------------


def threads_per_job(args: argparse.Namespace) -> int:
    if args.threads is not None:
        return args.threads
    return max(1, immunity.available_cores() // args.jobs)


def results(args: argparse.Namespace, stream: Iterator[immunity.PackedTable],
            progress: Progress) -> Iterator[immunity.Immunity]:
    threads = threads_per_job(args)
    if args.jobs == 1:
        for table in stream:
            yield immunity.algebraic_immunity(table, threads=threads, progress=progress.work)
        return
    yield from immunity.map_immunity(stream, threads=threads, workers=args.jobs)


def run(argv: Sequence[str] | None, stdout: IO[str], stdin: IO[str]) -> int:
    args = parser().parse_args(argv)
    for option in ("jobs", "threads", "vars"):
        value = getattr(args, option)
        if value is not None and value < (0 if option == "vars" else 1):
            raise InputError(f"--{option} must be at least {0 if option == 'vars' else 1}, not {value}")
    read: deque[tuple[str, immunity.PackedTable]] = deque()
    progress = Progress(not args.no_progress)
    try:
        first = True
        for result in results(args, tables(args, stdin, read), progress):
            text, table = read.popleft()
            profile = immunity.immunity_profile(table, result.degree) if args.profile else None
            if args.json:
                print(as_json(text, result, profile), file=stdout, flush=True)
            else:
                if not first:
                    print(file=stdout)
                print(as_text(text, result, args.all_terms, profile), file=stdout, flush=True)
            first = False
            progress.functions_done(1)
    finally:
        progress.close()
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
        # The reader went away (| head): nothing more to say.  Standard output
        # now points at /dev/null, so the interpreter's final flush is quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
