import ctypes
import inspect
import sys
import types
import weakref

import pytest

import quillmat
from testing import run_python
from surface import BY_NAME, ENTRIES

Matrix = quillmat.Matrix

# The method table in registration order, as the stub lists it: name and text signature.
METHODS = {e.name: "(" + ", ".join(["$self"] * (e.form == "method") + list(e.kinds)) + ")"
           for e in ENTRIES if e.form in ("method", "static")}
FUNCTIONS = [e.name for e in ENTRIES if e.form == "function"]


def test_module_surface():
    expected = ["Matrix", *FUNCTIONS]
    assert type(quillmat.__all__) is list and quillmat.__all__ == expected
    # Importing a submodule (quillmat.immunity, quillmat._engine) binds it in the
    # package, as for every package; nothing else may appear.
    own = [k for k, v in vars(quillmat).items()
           if not k.startswith("__") and not isinstance(v, types.ModuleType)]
    assert sorted(own) == sorted(expected)
    assert isinstance(quillmat.__doc__, str) and quillmat.__doc__.strip()


def test_type_surface():
    assert (Matrix.__name__, Matrix.__qualname__, Matrix.__module__) == ("Matrix",) * 2 + ("builtins",)
    assert "builtins.Matrix" in repr(Matrix) and Matrix.__bases__ == (object,)
    signature = "(" + ", ".join(BY_NAME["__new__"].kinds) + ")"
    assert Matrix.__text_signature__ == signature
    assert str(inspect.signature(Matrix)) == signature
    assert Matrix.__doc__ == ""  # a heap type keeps the stored doc minus its signature part
    own = [n for n in vars(Matrix) if not n.startswith("__")]
    assert own == list(METHODS)  # registered in table order


@pytest.mark.parametrize("name", list(METHODS))
def test_method_signature(name):
    assert getattr(Matrix, name).__text_signature__ == METHODS[name]
    assert getattr(Matrix, name).__doc__ is None  # empty body after the signature
    receiver = Matrix([]) if "$self" in METHODS[name] else Matrix
    params = [p for p in METHODS[name].strip("()").split(", ") if p not in ("", "$self")]
    assert list(inspect.signature(getattr(receiver, name)).parameters) == params


@pytest.mark.parametrize("op", [
    lambda m: type("Sub", (Matrix,), {}), lambda m: weakref.ref(m), len, iter,
    lambda m: m[0], lambda m: m + m, bytes, lambda m: m.nrows(1), lambda m: m.copy(x=1),
    lambda m: m.to_list(None), lambda m: m.ncols(m), lambda m: Matrix.get([[1]], 0, 0),
], ids=["subclass", "weakref", "len", "iter", "getitem", "add", "buffer", "nrows-arg",
        "copy-keyword", "to_list-arg", "ncols-arg", "foreign-receiver"])
def test_refused_with_type_error(op):
    with pytest.raises(TypeError):
        op(Matrix([[1]]))


def test_no_attributes():
    m = Matrix([[1]])
    for action in (lambda: setattr(m, "x", 1), lambda: m.elements,
                   lambda: setattr(m, "elements", [[0]]), lambda: m.__dict__):
        with pytest.raises(AttributeError):
            action()
    other = Matrix([[1]])
    assert m == m and m != other and hash(m) == object.__hash__(m)  # plain object identity


def test_reimport_is_same_module():
    # Without its sys.modules entry, the import system calls the entry point again.
    rc, out, err = run_python(
        "import sys, quillmat as q\n"
        "q.marker = 1; M = q.Matrix\n"
        "del sys.modules['quillmat']\n"
        "import quillmat as q2\n"
        "assert q2 is q and q2.Matrix is M and q2.marker == 1, 'a different module'\n"
        "print(q2.__all__)\n")
    assert rc == 0 and out.strip() == repr(quillmat.__all__), err


def test_entry_point_returns_same_module():
    init = ctypes.PyDLL(quillmat.__file__).PyInit_quillmat
    init.restype, init.argtypes = ctypes.py_object, []
    all_before, refs = list(quillmat.__all__), sys.getrefcount(quillmat)
    mod = init()
    assert mod is quillmat and mod.Matrix is Matrix
    # ctypes takes over the returned reference, so it must have been a new one.
    assert sys.getrefcount(quillmat) == refs + 1
    del mod
    assert quillmat.__all__ == all_before  # the initialisation did not run again


def test_second_interpreter_refused():
    pytest.importorskip("_testcapi")
    rc, out, err = run_python(
        "import quillmat, _testcapi\n"
        "r = _testcapi.run_in_subinterp('import quillmat')\n"
        "print(r, quillmat.Matrix([[1]]).to_list())\n")
    assert rc == 0 and out.split() == ["-1", "[[1]]"], err
    assert "ImportError" in err
