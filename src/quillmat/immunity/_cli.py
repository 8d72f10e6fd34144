"""The command line: quillmat-immunity, also python -m quillmat.immunity.

Results go to standard output in input order, nothing else does; progress
and errors go to standard error, each error in one line.  Bad input ends the
command with status 2; a failed write, want of memory or a worker that died
with status 1; Ctrl-C, SIGTERM and SIGHUP with 128 + the signal's number,
after the workers are stopped; a reader that goes away (| head) ends it
quietly.
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import importlib
import importlib.metadata
import json
import os
import re
import signal
import sys
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any, NamedTuple

from quillmat import immunity
from quillmat.immunity._table import MAX_VARIABLES

PROG = "quillmat-immunity"
TERMS_SHOWN = 12
SHORT_INPUT = 64
"""Inputs up to this long are echoed in records; longer ones are named by place."""
LINE_LIMIT = (1 << MAX_VARIABLES) // 4 + 2 + 4096
"""The longest line read: the largest table in hex, its 0x, and room for
blanks and a comment.  A longer line is refused before it fills memory."""
CHUNK = 1 << 20

DESCRIPTION = "The algebraic immunity of Boolean functions, computed natively."
EPILOG = """\
A FUNCTION is a truth table or, with --vars, a polynomial:
  0110            f(x) for x = 0 .. 2**n - 1, where variable x_i is bit i of x:
                  this one is x0 + x1
  0x6996          hex: its binary expansion, most significant bit first, is the
                  truth table, f(0) first ("0x6" is 0110); --hex-order lsb-first
                  reads bit i of the hex number as f(i) instead, as SageMath's
                  BooleanFunction does ("0x6" is then 0110 too, "0x1" is 1000)
  "x0*x1 + x2"    algebraic normal form, with --vars n
  -               one function per line from standard input
--method dense stores and eliminates each linear system (the fastest up to
about 20 variables, in memory about fourfold for each more); black-box only
multiplies by it, in memory linear in 2**n, and proves each answer; auto (the
default) chooses for each system.  A black-box dimension that was not proved
prints as "?" (null in JSON), and its annihilator may not be the canonical one.
The immunity is the lowest degree of a polynomial g != 0 with f*g = 0 (an
annihilator of f) or (f + 1)*g = 0; the annihilator shown is the first of the
canonical basis, one of f when f has one of that degree.

Record fields (--json, --tsv, --fields): function (the input when it is at
most 64 characters, else where it was read, e.g. "line 5 of FILE"), digest,
n, algebraic_immunity, annihilator_of, annihilator_anf, annihilator_terms,
dim_f, dim_complement, profile, method (the solver that found the annihilator),
canonical (whether it is the first of the canonical basis).

--fast prints FAI(f) = min(2 AI, deg g + deg(f g) over 1 <= deg g < AI) and
its witness; with --json the keys are function, n, fast_algebraic_immunity,
algebraic_immunity, from_annihilator, g_anf, degree_g, degree_product,
least_product (for e = 1 .. AI - 1, the least deg(f g) over g of degree <= e,
null where none is below searched_below's entry) and searched_below.
--report prints key=value pairs a function (JSON with --json): function, n,
weight, balanced, degree, anf_terms, nonlinearity, correlation_immunity,
resiliency, absolute_indicator, walsh_distribution (JSON only: |W| -> count),
algebraic_immunity and fast_algebraic_immunity (docs/immunity.md defines each).

--sbox reads each FUNCTION (or the whole of each --file, or of standard input
for -) as an S-box's table instead: comma-separated integers (decimal or 0x),
or hex digits two to a value with no commas, e.g. "637c777b..." for AES's.  It
prints the equations of the graph {(x, S(x))} (linear, of degree <= 2, and
bi-affine), the graph's immunity and the component immunity min AI(v.S); with
--json the keys are sbox, n, m, linear, quadratic, bi_affine, graph_immunity,
graph_equations, component_immunity, worst_component and
component_distribution (immunity -> count).  Bit i of x is x_i and bit j of
S(x) is y_j (docs/sbox.md compares SageMath's and sboxU's orders).

Status: 0 done, 1 a failed write, want of memory or a worker that died,
2 bad input, 128 + the signal when interrupted (130 for Ctrl-C)."""

FIELDS = ("function", "digest", "n", "algebraic_immunity", "annihilator_of", "annihilator_anf",
          "annihilator_terms", "dim_f", "dim_complement", "profile", "method", "canonical")
DEFAULT_FIELDS = ("function", "digest", "n", "algebraic_immunity", "annihilator_of",
                  "annihilator_anf", "dim_f", "dim_complement")


class InputError(Exception):
    """Bad input, reported in one line with status 2."""


class Failure(Exception):
    """A failure that is not the input's fault (a write that failed, a missing
    extra), reported in one line with status 1."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP, raised in the main thread like KeyboardInterrupt, so
    that the work and the workers stop the same way."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise InputError(message)


def parser() -> argparse.ArgumentParser:
    # --help and --version are written like results, so that a write that
    # fails is an error there too.
    p = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, add_help=False,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-h", "--help", action="store_true", help="show this help and end")
    p.add_argument("functions", nargs="*", metavar="FUNCTION",
                   help="a truth table (0/1 or 0x hex), a polynomial with --vars, or - for "
                   "standard input")
    p.add_argument("--file", action="append", default=[], metavar="PATH",
                   help="read functions from PATH, one per line (repeatable; # starts a comment)")
    p.add_argument("--table", action="append", default=[], metavar="PATH",
                   help="read one function from the whole of PATH (- for standard input): hex "
                   "digits over any number of lines, 0x or not, blanks ignored (repeatable)")
    p.add_argument("--table-digits", choices=("hex", "bits"), default="hex",
                   help="the digits of --table: hex (default) or bits, the 0/1 values f(0), "
                   "f(1), ...")
    p.add_argument("--hex-order", choices=("msb-first", "lsb-first"), default="msb-first",
                   help="msb-first (default): the hex number's binary expansion, most "
                   "significant bit first, is the table; lsb-first: bit i of the number is f(i)")
    p.add_argument("--vars", type=int, metavar="N",
                   help="read functions as polynomials in x0 .. x(N-1), e.g. 'x0*x1 + x2'")
    p.add_argument("--json", action="store_true", help="print one JSON object per function")
    p.add_argument("--tsv", action="store_true",
                   help="print a header line, then one tab-separated line per function")
    p.add_argument("--fields", metavar="A,B,...",
                   help="the fields of --json and --tsv records, in order (see below)")
    p.add_argument("--profile", action="store_true",
                   help="also print the dimensions of the annihilator spaces of f and f + 1 at "
                   "each degree up to the immunity")
    p.add_argument("--plot", metavar="PNG",
                   help="draw the dimensions at every degree to PNG (several functions: PNG's "
                   "name with -1, -2, ... before its suffix); needs quillmat[plot]")
    p.add_argument("--all-terms", action="store_true",
                   help=f"print every term of the annihilator (default: the first {TERMS_SHOWN})")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="compute N functions at once, in N processes (default 1; no more than "
                   "there are functions, nor than four per core)")
    p.add_argument("--method", choices=("auto", "dense", "black-box"), default="auto",
                   help="how the linear systems are solved (see below)")
    p.add_argument("--seed", type=int, metavar="N",
                   help="the black-box method's random choices, for a run that repeats")
    p.add_argument("--threads", type=int, metavar="N",
                   help="threads per function (default: all cores, shared among the jobs)")
    p.add_argument("--fast", action="store_true",
                   help="print the fast algebraic immunity and its witness g instead (see "
                   "below)")
    p.add_argument("--report", action="store_true",
                   help="print the profile of each function instead: weight, degree, "
                   "nonlinearity, correlation immunity, resiliency, absolute indicator, AI and "
                   "FAI; one line a function (see below)")
    p.add_argument("--sbox", action="store_true",
                   help="read S-boxes instead of functions, and print their equations and "
                   "immunities (see below)")
    p.add_argument("--estimate", action="store_true",
                   help="print the predicted time and memory of each method instead of "
                   "computing (at most, for the highest immunity possible)")
    p.add_argument("--no-progress", action="store_true",
                   help="no progress bar on standard error (it shows on a terminal once a run "
                   "takes over a second)")
    p.add_argument("--version", action="store_true", help="print the version and end")
    return p


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def one_line(text: str) -> str:
    return " ".join(text.split())


# --- Input --------------------------------------------------------------------


class Item(NamedTuple):
    """One function read: where it came from, what the user wrote, its table."""

    where: str
    text: str
    table: immunity.PackedTable


def known_count(args: argparse.Namespace) -> int | None:
    """How many functions come, when that is known before reading them."""
    if "-" in args.functions or args.file:
        return None
    return len(args.functions) + len(args.table)


def sources(args: argparse.Namespace, stdin: IO[bytes] | None) -> Iterator[tuple[str, str]]:
    """(where, text) of each function in order: arguments, "-" for standard
    input's lines, then each --file's lines, then each --table."""
    for index, argument in enumerate(args.functions, 1):
        if argument == "-":
            yield from lines(opened_stdin(stdin), "standard input")
        else:
            yield f"argument {index}", argument
    for path in args.file:
        with open_input(path) as handle:
            yield from lines(handle, path)
    for path in args.table:
        if path == "-":
            yield "standard input", whole_table(opened_stdin(stdin), "standard input",
                                                args.table_digits)
        else:
            with open_input(path) as handle:
                yield path, whole_table(handle, path, args.table_digits)


def opened_stdin(stdin: IO[bytes] | None) -> IO[bytes]:
    if stdin is None:
        raise InputError("standard input is closed")
    return stdin


def open_input(path: str) -> IO[bytes]:
    try:
        return open(path, "rb")
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}") from None


def lines(stream: IO[bytes], name: str) -> Iterator[tuple[str, str]]:
    """The functions of a stream, one a line; each line is read with a cap on
    its length, so an endless one costs bounded memory."""
    number = 0
    while True:
        try:
            raw = stream.readline(LINE_LIMIT + 1)
        except OSError as error:
            raise InputError(f"cannot read {name}: {error.strerror}") from None
        if not raw:
            return
        number += 1
        if len(raw) > LINE_LIMIT:
            raise InputError(f"line {number} of {name} is longer than {LINE_LIMIT} characters")
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise InputError(f"line {number} of {name} is not UTF-8 text "
                             f"(byte {error.start + 1} of the line)") from None
        text = line.split("#", 1)[0].strip()
        if text:
            yield f"line {number} of {name}", text


_BLANKS = b" \t\r\n\v\f"


def whole_table(stream: IO[bytes], name: str, digits: str) -> str:
    """One truth table from a whole stream: its digits, blanks left out, read
    a chunk at a time and refused past the largest table."""
    limit = (1 << MAX_VARIABLES) if digits == "bits" else (1 << MAX_VARIABLES) // 4 + 2
    parts: list[bytes] = []
    count = 0
    while True:
        try:
            chunk = stream.read(CHUNK)
        except OSError as error:
            raise InputError(f"cannot read {name}: {error.strerror}") from None
        if not chunk:
            break
        chunk = chunk.translate(None, _BLANKS)
        count += len(chunk)
        if count > limit:
            raise InputError(f"{name} holds more digits than the largest truth table "
                             f"({MAX_VARIABLES} variables)")
        parts.append(chunk)
    data = b"".join(parts)
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as error:
        raise InputError(f"{name}: digit {error.start + 1} is not a {digits} digit") from None
    if digits == "hex":
        return text if text[:2] in ("0x", "0X") else "0x" + text
    wrong = text.strip("01")
    if wrong:
        raise InputError(f"{name}: digit {text.index(wrong[0]) + 1} is {wrong[0]!r}, not 0 or 1")
    return text


_HEX_DIGITS = re.compile(r"[0-9a-fA-F]+")
_POLYNOMIAL = re.compile(r"x\d|[*+]")


def with_hint(text: str, message: str, variables: int | None) -> str:
    """The reader's message, with what the user likely meant when the text
    looks like another form, in the command's terms."""
    # The reader speaks of its API (from_anf); here a polynomial takes --vars.
    message = "; ".join(part for part in message.split("; ") if "from_anf" not in part)
    if variables is not None or text[:2] in ("0x", "0X"):
        return message
    if _HEX_DIGITS.fullmatch(text) and text.strip("01") and "0x" not in message:
        return message + f" (hex needs the 0x prefix: 0x{text[:16]}{'...' * (len(text) > 16)})"
    if _POLYNOMIAL.search(text) and "--vars" not in message:
        return message + " (a polynomial needs --vars N)"
    return message


def items(args: argparse.Namespace, stdin: IO[bytes] | None,
          read: deque[Item]) -> Iterator[immunity.PackedTable]:
    """Each function's truth table; `read` gets its Item, for the output to
    take in order."""
    read_hex = functools.partial(immunity.read_table, hex_order=args.hex_order)
    for where, text in sources(args, stdin):
        try:
            if args.vars is not None:
                table = immunity.read_table(immunity.from_anf(text, args.vars))
            else:
                table = read_hex(text)
        except (TypeError, ValueError) as error:
            message = with_hint(text, one_line(str(error)), args.vars)
            raise InputError(f"{where}: {message}") from None
        read.append(Item(where, text, table))
        yield table


# --- Output -------------------------------------------------------------------


def side(result: immunity.Immunity) -> str:
    return "f+1" if result.of_complement else "f"


def digest(table: immunity.PackedTable) -> str:
    return "sha256:" + hashlib.sha256(table.bits).hexdigest()[:16]


def record(item: Item, result: immunity.Immunity, profile: list[immunity.Dimensions] | None,
           fields: Sequence[str]) -> dict[str, Any]:
    values: dict[str, Callable[[], Any]] = {
        "function": lambda: item.text if len(item.text) <= SHORT_INPUT else item.where,
        "digest": lambda: digest(item.table),
        "n": lambda: result.n,
        "algebraic_immunity": lambda: result.degree,
        "annihilator_of": lambda: side(result),
        "annihilator_anf": lambda: result.anf,
        "annihilator_terms": lambda: list(result.annihilator),
        "dim_f": lambda: result.dim_f,
        "dim_complement": lambda: result.dim_complement,
        "profile": lambda: [list(dims) for dims in profile or ()],
        "method": lambda: result.method,
        "canonical": lambda: result.canonical,
    }
    return {field: values[field]() for field in fields}


def as_json(item: Item, result: immunity.Immunity, profile: list[immunity.Dimensions] | None,
            fields: Sequence[str]) -> str:
    return json.dumps(record(item, result, profile, fields))


def tsv_value(value: Any, field: str) -> str:
    if field == "profile":
        return " ".join(f"{f},{c}" for f, c in value)
    if isinstance(value, list):
        return " ".join(value)
    return one_line(str(value))


def as_tsv(item: Item, result: immunity.Immunity, profile: list[immunity.Dimensions] | None,
           fields: Sequence[str]) -> str:
    values = record(item, result, profile, fields)
    return "\t".join(tsv_value(values[field], field) for field in fields)


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
        f"dimensions at degree {result.degree}: f {shown_dimension(result.dim_f)}, "
        f"f + 1 {shown_dimension(result.dim_complement)}",
    ]
    if not result.canonical:
        out[2] = out[2].replace("annihilator of", "an annihilator of", 1)
    if profile is not None:
        out.append("profile (degree: f, f + 1): " + ", ".join(
            f"{d}: {shown_dimension(dims.f)} {shown_dimension(dims.complement)}"
            for d, dims in enumerate(profile)))
    return "\n".join(out)


def shown_dimension(value: int | None) -> str:
    """A dimension as text: "?" where the black-box method proved none."""
    return "?" if value is None else str(value)


def plot_paths(path: str, count: int | None) -> Iterator[Path]:
    """PATH for one function; PATH with -1, -2, ... before its suffix for several."""
    target = Path(path)
    if count == 1:
        yield target
        return
    k = 0
    while True:
        k += 1
        yield target.with_name(f"{target.stem}-{k}{target.suffix or '.png'}")


# --- Progress -----------------------------------------------------------------


class Progress:
    """A bar on standard error, from tqdm when it is installed and standard
    error is a terminal; shown once a run takes over a second.

    The engine's total for one function grows as it learns more, so the
    share done it reports can fall; the bar shows the largest share seen for
    the function at hand, which only rises."""

    def __init__(self, bar: Any = None) -> None:
        self.bar = bar
        self.fraction = 0.0
        self.percent: int | None = None

    @classmethod
    def on_stderr(cls, enabled: bool, total: int | None) -> Progress:
        if not enabled or sys.stderr is None:
            return cls()
        try:
            # By name: tqdm is an optional extra without type information, and
            # type checkers of an installed quillmat must not need its stubs.
            tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            return cls()
        return cls(tqdm(total=total, delay=1.0, file=sys.stderr, leave=False, disable=None,
                        unit="function", dynamic_ncols=True))

    def work(self, done: int, total: int) -> None:
        """The engine's progress within one function."""
        if total > 0 and done / total > self.fraction:
            self.fraction = min(1.0, done / total)
        percent = int(100 * self.fraction)
        if percent != self.percent:
            self.percent = percent
            if self.bar is not None:
                self.bar.set_postfix_str(f"{percent}% of this one", refresh=self.shown())

    def functions_done(self, count: int) -> None:
        self.fraction, self.percent = 0.0, None
        if self.bar is not None:
            self.bar.set_postfix_str("", refresh=False)
            self.bar.update(count)

    def shown(self) -> bool:
        """Whether the bar is on the screen: on a terminal, past its delay."""
        bar = self.bar
        return bool(bar is not None and not getattr(bar, "disable", True)
                    and time.time() - getattr(bar, "start_t", 0) >= getattr(bar, "delay", 0))

    @contextmanager
    def aside(self) -> Iterator[None]:
        """The bar off the screen while results are written, then back."""
        bar = self.bar
        shown = self.shown()
        if shown:
            bar.clear()
        try:
            yield
        finally:
            if shown:
                bar.refresh()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class Output:
    """Standard output, written through the bar; a write that fails is an error."""

    def __init__(self, stream: IO[str], progress: Progress) -> None:
        self.stream, self.progress = stream, progress

    def write(self, text: str) -> None:
        with self.progress.aside():
            try:
                self.stream.write(text + "\n")
                self.stream.flush()
            except BrokenPipeError:
                raise
            except OSError as error:
                raise Failure(f"cannot write to standard output: {error.strerror}") from None


# --- The work -----------------------------------------------------------------


Result = tuple[immunity.Immunity, "list[immunity.Dimensions] | None"]


def with_profile(table: immunity.PackedTable, result: immunity.Immunity, threads: int,
                 profile_to: str | None, args: argparse.Namespace) -> Result:
    """A result and, when asked, its profile.  Up to the immunity the search
    knew it already: below the immunity neither side has an annihilator, and
    at it the result holds both dimensions.  Every degree (for a plot) is
    computed here."""
    if profile_to is None:
        return result, None
    if profile_to == "immunity":
        none = immunity.Dimensions(0, 0)
        return result, [none] * result.degree + [
            immunity.Dimensions(result.dim_f, result.dim_complement)]
    return result, immunity.immunity_profile(table, table.n, threads=threads,
                                             method=args.method, seed=args.seed)


def workers_for(args: argparse.Namespace) -> int:
    """--jobs, no more than there are functions nor than four per core: more
    processes than that only compete."""
    jobs: int = min(args.jobs, 4 * immunity.available_cores())
    count = known_count(args)
    return max(1, min(jobs, count)) if count is not None else jobs


def threads_per_job(args: argparse.Namespace, workers: int) -> int:
    if args.threads is not None:
        return int(args.threads)
    return max(1, immunity.available_cores() // workers)


def results(args: argparse.Namespace, stream: Iterator[immunity.PackedTable],
            progress: Progress, profile_to: str | None,
            read: deque[Item]) -> Iterator[Result]:
    workers = workers_for(args)
    threads = threads_per_job(args, workers)
    if workers == 1:
        for table in stream:
            result = immunity.algebraic_immunity(table, threads=threads, progress=progress.work,
                                                 method=args.method, seed=args.seed)
            yield with_profile(table, result, threads, profile_to, args)
        return
    # The results come in input order: the first item not yet written out
    # is the table of this one.
    for result in immunity.map_immunity(stream, threads=threads, workers=workers,
                                        window=2 * workers, method=args.method, seed=args.seed):
        yield with_profile(read[0].table, result, threads, profile_to, args)


# --- The command --------------------------------------------------------------


def checked(args: argparse.Namespace) -> list[str]:
    """The options checked together; the record fields."""
    for option in ("jobs", "threads", "vars"):
        value = getattr(args, option)
        least = 0 if option == "vars" else 1
        if value is not None and value < least:
            raise InputError(f"--{option} must be at least {least}, not {value}")
    if not args.functions and not args.file and not args.table:
        raise InputError("no function given (a truth table, a polynomial with --vars, -, --file "
                         "or --table)")
    if args.json and args.tsv:
        raise InputError("--json and --tsv: choose one")
    if "-" in args.functions and "-" in args.table:
        raise InputError("standard input is read once: - and --table - together")
    if args.table and args.vars is not None:
        raise InputError("--table reads a truth table; --vars is for polynomials")
    if args.fields is None:
        return list(DEFAULT_FIELDS) + (["profile"] if args.profile else [])
    if not (args.json or args.tsv):
        raise InputError("--fields is for --json and --tsv records")
    fields = [field.strip() for field in args.fields.split(",") if field.strip()]
    unknown = [field for field in fields if field not in FIELDS]
    if unknown or not fields:
        raise InputError(f"--fields: no field {unknown[0] if unknown else 'given'!r}; "
                         f"the fields are {', '.join(FIELDS)}")
    return fields


def run(argv: Sequence[str] | None, stdout: IO[str] | None, stdin: IO[bytes] | None) -> int:
    if stdout is None:
        raise Failure("standard output is closed")
    options = parser()
    args = options.parse_args(argv)
    if args.help:
        Output(stdout, Progress()).write(options.format_help().rstrip("\n"))
        return 0
    if args.version:
        Output(stdout, Progress()).write(f"{PROG} {importlib.metadata.version('quillmat')}")
        return 0
    if args.sbox:
        from quillmat.sbox import _cli as sbox_command  # it imports this module

        return sbox_command.run(args, stdout, stdin)
    if args.estimate:
        return print_estimates(args, stdout, stdin)
    if args.fast or args.report:
        return print_measures(args, stdout, stdin)
    fields = checked(args)
    draw = None
    if args.plot is not None:
        from quillmat.immunity import _plot

        try:
            _plot.matplotlib_figure()
        except ImportError as error:
            raise Failure(str(error)) from None
        draw = _plot.draw_profile
    wants_profile = args.profile or ("profile" in fields and (args.json or args.tsv))
    profile_to = "n" if draw is not None else "immunity" if wants_profile else None
    count = known_count(args)
    plots = plot_paths(args.plot, count) if args.plot is not None else None
    read: deque[Item] = deque()
    progress = Progress.on_stderr(not args.no_progress, count)
    out = Output(stdout, progress)
    try:
        if args.tsv:
            out.write("\t".join(fields))
        first = True
        for result, full in results(args, items(args, stdin, read), progress, profile_to, read):
            item = read.popleft()
            profile = full[:result.degree + 1] if full is not None else None
            if args.json:
                out.write(as_json(item, result, profile, fields))
            elif args.tsv:
                out.write(as_tsv(item, result, profile, fields))
            else:
                shown = profile if args.profile else None
                out.write(("" if first else "\n") + as_text(item.text, result, args.all_terms,
                                                             shown))
            if draw is not None and plots is not None and full is not None:
                path = next(plots)
                figure = draw(full, result.degree, title=f"{item.where} ({result.n} variables)")
                try:
                    figure.savefig(path)
                except OSError as error:
                    raise Failure(f"cannot write {path}: {error.strerror}") from None
            first = False
            progress.functions_done(1)
    finally:
        progress.close()
    return 0


def shown_cost(cost: immunity.Cost) -> str:
    seconds = cost.seconds
    time = (f"{seconds:.2g} s" if seconds < 60 else f"{seconds / 60:.2g} min"
            if seconds < 3600 else f"{seconds / 3600:.2g} h" if seconds < 172800
            else f"{seconds / 86400:.2g} days")
    return f"{time}, {cost.memory / 2**20:.0f} MiB"


def print_estimates(args: argparse.Namespace, stdout: IO[str], stdin: IO[bytes] | None) -> int:
    """--estimate: a line (or a JSON object) a function, no work."""
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be >= 1, not {args.threads}")
    out = Output(stdout, Progress())
    read: deque[Item] = deque()
    for table in items(args, stdin, read):
        item = read.popleft()
        e = immunity.estimate(table, threads=args.threads)
        if args.json:
            out.write(json.dumps({
                "function": item.text, "n": e.n, "bound": e.bound,
                "dense": {"seconds": e.dense.seconds, "bytes": e.dense.memory},
                "black-box": {"seconds": e.black_box.seconds, "bytes": e.black_box.memory}}))
        else:
            name = item.text if len(item.text) <= 40 else item.where
            out.write(f"{name}: {e.n} variables, immunity at most {e.bound}; "
                      f"dense {shown_cost(e.dense)}; black-box {shown_cost(e.black_box)}")
    return 0


def fast_record(item: Item, fast: immunity.FastImmunity) -> dict[str, Any]:
    return {
        "function": item.text if len(item.text) <= SHORT_INPUT else item.where,
        "n": fast.n,
        "fast_algebraic_immunity": fast.value,
        "algebraic_immunity": fast.algebraic_immunity,
        "from_annihilator": fast.from_annihilator,
        "g_anf": immunity.anf(fast.g),
        "degree_g": fast.degree_g,
        "degree_product": fast.degree_product,
        "least_product": list(fast.least_product),
        "searched_below": list(fast.searched_below),
    }


def report_record(item: Item, p: immunity.Profile) -> dict[str, Any]:
    return {
        "function": item.text if len(item.text) <= SHORT_INPUT else item.where,
        "n": p.n, "weight": p.weight, "balanced": p.balanced, "degree": p.degree,
        "anf_terms": p.anf_terms, "nonlinearity": p.nonlinearity,
        "correlation_immunity": p.correlation_immunity, "resiliency": p.resiliency,
        "absolute_indicator": p.absolute_indicator,
        "walsh_distribution": {str(k): v for k, v in sorted(p.walsh_distribution.items())},
        "algebraic_immunity": p.algebraic_immunity,
        "fast_algebraic_immunity": p.fast_algebraic_immunity,
    }


def print_measures(args: argparse.Namespace, stdout: IO[str], stdin: IO[bytes] | None) -> int:
    """--fast and --report: a function at a time, in this process."""
    if args.jobs != 1:
        raise InputError("--fast and --report compute one function at a time; leave out --jobs")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be >= 1, not {args.threads}")
    out = Output(stdout, Progress())
    read: deque[Item] = deque()
    keywords: dict[str, Any] = {"threads": args.threads, "method": args.method, "seed": args.seed}
    first = True
    for table in items(args, stdin, read):
        item = read.popleft()
        if args.report:
            record = report_record(item, immunity.profile(table, **keywords))
            if args.json:
                out.write(json.dumps(record))
            else:
                out.write(" ".join(f"{key}={value}" for key, value in record.items()
                                   if key != "walsh_distribution"))
            continue
        fast = immunity.fast_algebraic_immunity(table, **keywords)
        if args.json:
            out.write(json.dumps(fast_record(item, fast)))
            continue
        shown = item.text if len(item.text) <= 40 else item.text[:37] + "..."
        witness = (f"an annihilator of degree {fast.algebraic_immunity} (2 AI is the least)"
                   if fast.from_annihilator else
                   f"g of degree {fast.degree_g}, f*g of degree {fast.degree_product}: "
                   f"g = {immunity.anf(fast.g)}")
        out.write(("" if first else "\n") + "\n".join([
            f"function: {shown} ({plural(fast.n, 'variable')})",
            f"fast algebraic immunity: {fast.value} (algebraic immunity {fast.algebraic_immunity})",
            f"witness: {witness}",
        ]))
        first = False
    return 0


def on_signal(owner: int) -> Callable[[int, Any], None]:
    def handler(signum: int, frame: Any) -> None:
        if os.getpid() != owner:
            # A worker that inherited the handler with its fork ends as the
            # signal says, as a worker should.
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
            return
        raise Stopped(signum)

    return handler


def quiet_stdout() -> None:
    """Standard output to /dev/null, so that the interpreter's last flush of
    what could not be written says nothing more."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def say(message: str) -> None:
    try:
        print(f"{PROG}: {one_line(message)}", file=sys.stderr, flush=True)
    except (OSError, AttributeError, ValueError):
        pass  # nowhere to say it


def main(argv: Sequence[str] | None = None) -> int:
    handler = on_signal(os.getpid())
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) is not signal.SIG_IGN:  # nohup keeps SIGHUP ignored
            signal.signal(signum, handler)
    try:
        stdin = sys.stdin.buffer if sys.stdin is not None else None
        return run(argv, sys.stdout, stdin)
    except InputError as error:
        say(f"error: {error}")
        return 2
    except Failure as error:
        say(f"error: {error}")
        quiet_stdout()
        return 1
    except MemoryError as error:
        detail = str(error)
        say("error: out of memory" + (f": {detail}" if detail else "")
            + " (fewer --jobs, a higher memory limit or --method black-box may help)")
        return 1
    except BrokenProcessPool:
        say("error: a worker process died (killed for want of memory?); "
            "fewer --jobs may help")
        return 1
    except RuntimeError as error:
        # What the black-box method could not prove, the only other RuntimeError
        # the engine raises (BrokenProcessPool is one too, caught above).
        say(f"error: {one_line(str(error))}")
        return 1
    except KeyboardInterrupt:
        say("interrupted")
        return 128 + signal.SIGINT
    except Stopped as stop:
        say(f"stopped by {signal.Signals(stop.signum).name}")
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say.
        quiet_stdout()
        return 0
