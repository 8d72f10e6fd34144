"""The installed package: its type stubs sit beside the module and describe what it returns.

mypy's stubtest (scripts/typecheck) checks the stubs' names and parameters
against the module; it cannot see result types, which are checked here on
sample calls.
"""

import ast
import pathlib
import sysconfig
import types
import typing

import pytest

import quillmat

Matrix = quillmat.Matrix
PACKAGE = pathlib.Path(quillmat.__file__).parent


def test_installed_as_typed_package():
    ext_suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert pathlib.Path(quillmat.__file__).name == "__init__" + ext_suffix
    assert quillmat.__path__ == [str(PACKAGE)] and quillmat.__package__ == "quillmat"
    assert (PACKAGE / "py.typed").is_file() and (PACKAGE / "__init__.pyi").is_file()


def stub_results():
    """The result annotation of every function in the stub, as a type, by qualified name."""
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    functions = [(f.name, f) for f in tree.body if isinstance(f, ast.FunctionDef)]
    (matrix,) = [c for c in tree.body if isinstance(c, ast.ClassDef) and c.name == "Matrix"]
    functions += [("Matrix." + f.name, f) for f in matrix.body if isinstance(f, ast.FunctionDef)]
    return {name: eval(ast.unparse(f.returns), {"Matrix": Matrix}) for name, f in functions}


RESULTS = stub_results()


def conforms(value, annotation):
    """Whether `value` has exactly the type `annotation` (no int for a bool, no bool for an int)."""
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if annotation is None:
        return value is None
    if origin is types.UnionType:
        return any(conforms(value, a) for a in args)
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        return (type(value) is tuple and len(value) == len(args)
                and all(map(conforms, value, args)))
    return type(value) is annotation


# Calls on m = ROWS whose results are non-empty, so that item types are checked too.
ROWS = [[1, 0, 0], [0, 1, 0], [1, 1, 1]]
SAMPLES = [
    ("Matrix.__new__", lambda m: Matrix(ROWS)),
    ("Matrix.get_sub_matrix", lambda m: m.get_sub_matrix(0, 2)),
    ("Matrix.to_list", lambda m: m.to_list()),
    ("Matrix.nrows", lambda m: m.nrows()),
    ("Matrix.ncols", lambda m: m.ncols()),
    ("Matrix.copy", lambda m: m.copy()),
    ("Matrix.get", lambda m: m.get(2, 1)),
    ("Matrix.add_rows", lambda m: m.add_rows(2, 0)),
    ("Matrix.swap_rows", lambda m: m.swap_rows(0, 1)),
    ("Matrix.is_zero_row", lambda m: m.is_zero_row(0)),
    ("Matrix.reduced_echelon_form_last_row", lambda m: m.reduced_echelon_form_last_row()),
    ("Matrix.echelon_form_last_row_dep", lambda m: m.echelon_form_last_row_dep()),
    ("Matrix.echelon_form", lambda m: m.echelon_form()),
    ("Matrix.row_echelon_full_matrix", lambda m: m.row_echelon_full_matrix()),
    ("Matrix.append_row", lambda m: m.append_row([0, 0, 1])),
    ("Matrix.append_column", lambda m: m.append_column([1, 0, 1])),
    ("Matrix.rank", lambda m: m.rank()),
    ("Matrix.kernel", lambda m: m.get_sub_matrix(0, 2).kernel()),
    ("Matrix.compute_vandermonde", lambda m: Matrix.compute_vandermonde(["10", "11"], ["00", "10"])),
    ("Matrix.compute_next", lambda m: m.compute_next(["000"] * 4, ["100"] * 4, 3, [(1, 0)])),
    ("Matrix.construct_and_add_column", lambda m: m.construct_and_add_column(["1", "0", "1"], "1", [])),
    ("Matrix.fill_rows", lambda m: m.fill_rows(["110"], ["000", "100", "010"])),
    ("Matrix.__repr__", lambda m: repr(m)),
    ("verify", lambda m: quillmat.verify(["11", "01"], [1, 1], ["00", "10"])),  # fails at a point
    ("verify", lambda m: quillmat.verify(["11"], [1, 1], ["00", "10"])),
    ("verify_2", lambda m: quillmat.verify_2(["11", "01"], [1, 1], ["00", "10"])),
    ("verify_2", lambda m: quillmat.verify_2(["11"], [1, 1], ["00", "10"])),
]


def test_every_stubbed_function_has_a_sample():
    assert sorted({name for name, _ in SAMPLES}) == sorted(RESULTS)


@pytest.mark.parametrize("name, call", SAMPLES, ids=[name for name, _ in SAMPLES])
def test_result_has_the_stubbed_type(name, call):
    value = call(Matrix(ROWS))
    assert conforms(value, RESULTS[name]), f"{name} returned {value!r}; the stub says {RESULTS[name]}"
