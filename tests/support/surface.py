"""The Python surface of quillmat, described once: every entry point (the
methods of Matrix, its constructor and repr, the module's functions) with its
parameters, the borrow it takes of its receiver, whether it changes the
receiver, and arguments to call it with.  The tests, tools/leak_gate.py and
fuzz/python_fuzzer.cpp take the surface from here.

Names, parameters and their kinds, and which entries are static methods or
module functions, are read from the stub, src/quillmat/__init__.pyi.  Written
here is what the stub does not say: which entries borrow their receiver
exclusively without changing it (the ones that change it, and so return
None, always do), and the arguments to call each entry with.  An entry
without a sample of its own is called on ROWS with DEFAULT_ARGUMENTS, so a
method added to the module, its stub and the docs is described without a
line here; one that needs other arguments or another receiver gets a Sample.
"""
import ast
import pathlib
from typing import Any, Callable, NamedTuple

import quillmat
from helpers import U64_MAX

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "quillmat" / "__init__.pyi"

# Parameter kinds, by the stub's annotation.
KINDS = {
    "SupportsIndex": "index",              # a row, column, slice bound or size
    "Sequence[int]": "row",                # cells, or coefficients, 0..255
    "Sequence[Sequence[int]]": "rows",
    "Sequence[str]": "strings",            # points or monomials
    "str": "str",
    "Sequence[tuple[int, int]]": "ops",    # (target, source) pairs
}

# The receiver of the samples, and what an entry without a sample gets.
ROWS = [[1, 0, 1], [0, 1, 1], [1, 1, 1]]
GROWN = [[1, 0, 0], [0, 1, 0], [1, 1, 1]]  # reduced rows and a new last row
DEFAULT_ARGUMENTS = {"index": 1, "row": [1, 1, 0], "rows": [[1, 0], [0, 1]],
                     "strings": ["110", "011", "101"], "str": "110", "ops": [(0, 1)]}

# Methods that borrow their receiver exclusively although they leave it as it was.
EXCLUSIVE_READERS = {"reduced_echelon_form_last_row", "echelon_form_last_row_dep"}


class Sample(NamedTuple):
    """Arguments an entry succeeds with, with a non-empty result, on `rows`
    (ROWS when None); and arguments, or else a receiver, it fails on with the
    internal failure (PanicException)."""
    args: tuple = ()
    rows: list | None = None
    failing: tuple | None = None
    failing_rows: list | None = None


POINTS, MONOMIALS = ["110", "011", "101"], ["000", "100", "010"]
SAMPLES = {
    "__new__": Sample(([[1, 0], (0, 1), b"\x01\x01"],)),
    "get_sub_matrix": Sample((0, 2), failing=(2, 1)),
    "get": Sample((1, 2), failing=(U64_MAX, 0)),
    "add_rows": Sample((0, 1), failing=(0, 9)),
    "swap_rows": Sample((0, 2), failing=(0, 9)),
    "is_zero_row": Sample((1,), failing=(3,)),
    "reduced_echelon_form_last_row": Sample(rows=GROWN, failing_rows=[]),
    "echelon_form_last_row_dep": Sample(rows=GROWN, failing_rows=[[1, 0, 1], [1, 0]]),
    "echelon_form": Sample(failing_rows=[[1, 0, 1], [1]]),
    "row_echelon_full_matrix": Sample(failing_rows=[[0, 1, 1], [1, 1]]),
    "append_row": Sample(([1, 1, 0],)),
    "append_column": Sample(([1, 1, 0],), failing=([1],)),
    "kernel": Sample(rows=[[1, 0, 0], [0, 1, 0]], failing_rows=[[1, 0, 0], [0, 0]]),
    "compute_vandermonde": Sample((POINTS, MONOMIALS), failing=(POINTS, ["1x0"])),
    "compute_next": Sample((MONOMIALS + ["001"], POINTS + ["111"], 3, [(0, 1)]),
                           failing=(MONOMIALS + ["001"], POINTS + ["111"], 3, [(0, 9)])),
    "construct_and_add_column": Sample((POINTS, "110", [(0, 1), (2, 0)]),
                                       failing=(POINTS[:2], "110", [])),
    "fill_rows": Sample((["110"], ["100", "010", "001"]), failing=(["110"], ["0a"])),
    "verify": Sample((["11", "01"], [1, 1], ["00", "10"]), failing=(["11", "01"], [1], ["1"])),
    "verify_2": Sample((["11", "01"], [1, 1], ["00", "10"]), failing=(["11", "01"], [1], ["1"])),
}


class Entry(NamedTuple):
    name: str
    form: str             # "method", "static", "new", "repr" or "function"
    kinds: dict           # parameter name -> kind, in order
    receiver: str         # its borrow: "none", "shared" or "exclusive"
    changes: bool         # whether it changes its receiver
    returns: str          # the stub's result annotation
    args: tuple           # the sample: good arguments on `rows`
    rows: list | None     # None without a receiver
    failing: tuple | None
    failing_rows: list | None

    @property
    def qualname(self) -> str:
        return self.name if self.form == "function" else "Matrix." + self.name


def _entry(node: ast.FunctionDef, in_class: bool) -> Entry:
    params = [a for a in node.args.args if a.arg not in ("self", "cls")]
    kinds = {}
    for a in params:
        annotation = ast.unparse(a.annotation) if a.annotation else ""
        if annotation not in KINDS:
            raise ValueError(f"{node.name}({a.arg}: {annotation}): a kind the description lacks")
        kinds[a.arg] = KINDS[annotation]
    static = any(ast.unparse(d) == "staticmethod" for d in node.decorator_list)
    form = ("function" if not in_class else "static" if static else
            {"__new__": "new", "__repr__": "repr"}.get(node.name, "method"))
    returns = ast.unparse(node.returns) if node.returns else ""
    changes = form == "method" and returns == "None"
    receiver = ("none" if form in ("function", "static", "new") else
                "exclusive" if changes or node.name in EXCLUSIVE_READERS else "shared")
    sample = SAMPLES.get(node.name) or Sample(tuple(DEFAULT_ARGUMENTS[k] for k in kinds.values()))
    rows = None if receiver == "none" else ROWS if sample.rows is None else sample.rows
    return Entry(node.name, form, kinds, receiver, changes, returns, sample.args, rows,
                 sample.failing, sample.failing_rows)


def read_stub(path: pathlib.Path = STUB) -> list[Entry]:
    """Every entry point the stub declares, the Matrix class's first, in its order."""
    tree = ast.parse(path.read_text())
    (matrix,) = [c for c in tree.body if isinstance(c, ast.ClassDef) and c.name == "Matrix"]
    return ([_entry(f, True) for f in matrix.body if isinstance(f, ast.FunctionDef)]
            + [_entry(f, False) for f in tree.body if isinstance(f, ast.FunctionDef)])


ENTRIES = read_stub()
BY_NAME = {e.name: e for e in ENTRIES}


def bound(entry: Entry, m: Any) -> Callable[..., Any]:
    """The callable of `entry`, on the receiver `m` when it has one."""
    if entry.form == "function":
        return getattr(quillmat, entry.name)
    if entry.form == "new":
        return quillmat.Matrix
    if entry.form == "repr":
        return lambda: repr(m)
    if entry.form == "static":
        return getattr(quillmat.Matrix, entry.name)
    return getattr(m, entry.name)


def receiver(entry: Entry) -> Any:
    """A fresh receiver for the sample call of `entry`, or None without one."""
    return None if entry.rows is None else quillmat.Matrix(entry.rows)


def call(entry: Entry) -> Any:
    """The sample call of `entry` on a fresh receiver."""
    return bound(entry, receiver(entry))(*entry.args)
