"""quillmat-immunity --sbox: the equations and immunities of S-boxes.

Each S-box is one argument, or the whole of a --file (or of standard input
for -), in either form:

- integers separated by commas (and any blanks), each decimal or 0x hex:
  "12,5,6,11,9,0,10,13,3,14,15,8,4,7,1,2" is PRESENT's S-box;
- hex digits two to a value, blanks and a leading 0x ignored, when there is
  no comma: "637c777b..." or "63 7c 77 7b ..." is AES's (one byte a value).

A '#' starts a comment to the end of its line.
"""

from __future__ import annotations

import argparse
import json
import re
from collections.abc import Iterator
from typing import IO, Any

from quillmat import sbox
from quillmat.immunity._cli import SHORT_INPUT, InputError, Output, Progress, one_line, opened_stdin

TEXT_LIMIT = 1 << 26
"""The longest S-box text read: a table of 2**22 values of 16 bits in hex."""

_HEX = re.compile(r"(?:0[xX])?[0-9a-fA-F]*")


def parse_table(text: str) -> list[int]:
    """An S-box's values from its text (see the module's doc)."""
    lines = [line.split("#", 1)[0] for line in text.splitlines()]
    body = " ".join(lines).strip()
    if not body:
        raise ValueError("no values")
    if "," in body:
        values = []
        for index, token in enumerate(part.strip() for part in body.split(",")):
            try:
                values.append(int(token, 0))
            except ValueError:
                raise ValueError(f"value {index} is {token!r}, not a decimal or 0x number"
                                 ) from None
        return values
    tokens = body.split()
    for token in tokens:
        if not _HEX.fullmatch(token):
            raise ValueError(f"{token!r} is not hex digits (hex values go two digits to a "
                             "value; decimal ones need commas between them)")
    digits = "".join(token[2:] if token[:2] in ("0x", "0X") else token for token in tokens)
    if len(digits) % 2:
        raise ValueError(f"{len(digits)} hex digits: hex values go two digits to a value "
                         "(for 4-bit values, write them with commas: 12,5,6,...)")
    return list(bytes.fromhex(digits))


def sources(args: argparse.Namespace, stdin: IO[bytes] | None) -> Iterator[tuple[str, str]]:
    """(where, text) of each S-box: arguments, then each --file whole."""
    for index, argument in enumerate(args.functions, 1):
        if argument == "-":
            yield "standard input", read_all(opened_stdin(stdin), "standard input")
        else:
            yield f"argument {index}", argument
    for path in args.file:
        try:
            handle = open(path, "rb")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror}") from None
        with handle:
            yield path, read_all(handle, path)


def read_all(stream: IO[bytes], name: str) -> str:
    try:
        data = stream.read(TEXT_LIMIT + 1)
    except OSError as error:
        raise InputError(f"cannot read {name}: {error.strerror}") from None
    if len(data) > TEXT_LIMIT:
        raise InputError(f"{name} is longer than {TEXT_LIMIT} characters")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"{name} is not UTF-8 text (byte {error.start + 1})") from None


def analyse(table: sbox.SBoxTable, args: argparse.Namespace, progress: Progress) -> dict[str, Any]:
    keywords: dict[str, Any] = {"threads": args.threads, "progress": progress.work}
    out: dict[str, Any] = {"n": table.n, "m": table.m}
    if table.n + table.m <= sbox.MAX_POINT_VARIABLES:
        graph = sbox.graph_algebraic_immunity(table, **keywords)
        width = table.n + table.m
        quadratic = (graph.equations if graph.degree == 2 else 0 if graph.degree > 2 else
                     sbox.vanishing_dimension(table.graph(), 2, width, **keywords))
        out.update({
            "linear": graph.equations if graph.degree == 1 else 0,
            "quadratic": quadratic,
            "bi_affine": len(sbox.sbox_equations(table, 2, bi_affine=True, **keywords)),
            "graph_immunity": graph.degree,
            "graph_equations": graph.equations,
        })
    components = sbox.component_algebraic_immunity(table, method=args.method, seed=args.seed,
                                                   **keywords)
    out.update({
        "component_immunity": components.value,
        "worst_component": components.component,
        "component_distribution": {str(k): v for k, v in components.distribution.items()},
    })
    return out


def as_text(name: str, r: dict[str, Any]) -> str:
    lines = [f"sbox: {name} ({r['n']} -> {r['m']} bits)"]
    if "graph_immunity" in r:
        lines += [
            f"equations of the graph: {r['linear']} linear, {r['quadratic']} of degree <= 2 "
            f"({r['bi_affine']} bi-affine)",
            f"graph immunity: {r['graph_immunity']} ({r['graph_equations']} equations)",
        ]
    distribution = ", ".join(f"{count} of immunity {ai}"
                             for ai, count in r["component_distribution"].items())
    lines.append(f"component immunity: {r['component_immunity']} (first at "
                 f"v = {r['worst_component']:#x}; {distribution})")
    return "\n".join(lines)


def run(args: argparse.Namespace, stdout: IO[str], stdin: IO[bytes] | None) -> int:
    """--sbox: each S-box analysed, its record written, in input order."""
    for option, given in (("--vars", args.vars is not None), ("--table", bool(args.table)),
                          ("--tsv", args.tsv), ("--fields", args.fields is not None),
                          ("--profile", args.profile), ("--plot", args.plot is not None),
                          ("--fast", args.fast), ("--report", args.report),
                          ("--estimate", args.estimate), ("--jobs", args.jobs != 1)):
        if given:
            raise InputError(f"--sbox and {option} do not go together")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be >= 1, not {args.threads}")
    if not args.functions and not args.file:
        raise InputError("no S-box given (a table as an argument, - or --file)")
    if args.functions.count("-") > 1:
        raise InputError("standard input is read once: - given twice")
    progress = Progress.on_stderr(not args.no_progress, None)
    out = Output(stdout, progress)
    first = True
    try:
        for where, text in sources(args, stdin):
            try:
                table = sbox.read_sbox(parse_table(text))
            except (TypeError, ValueError) as error:
                raise InputError(f"{where}: {one_line(str(error))}") from None
            name = one_line(text) if len(text) <= SHORT_INPUT else where
            try:
                record = analyse(table, args, progress)
            except ValueError as error:  # an S-box too wide for what is asked
                raise InputError(f"{where}: {one_line(str(error))}") from None
            if args.json:
                out.write(json.dumps({"sbox": name, **record}))
            else:
                out.write(("" if first else "\n") + as_text(name, record))
            first = False
            progress.functions_done(1)
    finally:
        progress.close()
    return 0
