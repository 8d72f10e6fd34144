"""The installed package: its type stubs sit beside the module and describe what it returns.

mypy's stubtest (scripts/typecheck) checks the stubs' names and parameters
against the module; it cannot see result types, which are checked here on
sample calls.
"""

import pathlib
import sysconfig
import types
import typing

import pytest

import quillmat
import surface

Matrix = quillmat.Matrix
PACKAGE = pathlib.Path(quillmat.__file__).parent


def test_installed_as_typed_package():
    ext_suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert pathlib.Path(quillmat.__file__).name == "__init__" + ext_suffix
    assert quillmat.__path__ == [str(PACKAGE)] and quillmat.__package__ == "quillmat"
    assert (PACKAGE / "py.typed").is_file() and (PACKAGE / "__init__.pyi").is_file()


def test_installed_stub_is_the_described_one():
    # The surface the tests take from the source's stub is the installed one.
    assert (PACKAGE / "__init__.pyi").read_text() == surface.STUB.read_text()


def result_type(entry):
    """The stub's result annotation of `entry`, as a type."""
    return eval(entry.returns, {"Matrix": Matrix})


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


# The sample call of every entry point, with a non-empty result so that item
# types are checked too; and the other branch of the verifications' result.
SAMPLES = [(e, lambda e=e: surface.call(e)) for e in surface.ENTRIES] + [
    (surface.BY_NAME[name], lambda name=name: getattr(quillmat, name)(["11"], [1, 1], ["00", "10"]))
    for name in ("verify", "verify_2")]


def test_every_sample_names_a_stubbed_function():
    assert set(surface.SAMPLES) <= set(surface.BY_NAME)


@pytest.mark.parametrize("entry, call", SAMPLES, ids=[e.qualname for e, _ in SAMPLES])
def test_result_has_the_stubbed_type(entry, call):
    value, annotation = call(), result_type(entry)
    assert conforms(value, annotation), f"{entry.qualname} returned {value!r}; the stub says {annotation}"
