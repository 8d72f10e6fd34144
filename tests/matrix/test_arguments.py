import operator

import pytest
from hypothesis import given, settings, strategies as st

import quillmat
from testing import plain_allocator
from helpers import U64_MAX, Hook, Idx, Items, index_failure, raise_

Matrix = quillmat.Matrix
RANGE = "out of range integral type conversion attempted"
NO_STR = "Can't extract `str` to `Vec`"
SEQ = "'{}' object cannot be converted to 'Sequence'"
M = Matrix([[1, 0], [0, 1]])


def interpreter_text(obj):
    """The interpreter's own text for an object that __index__ refuses."""
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


GET2 = "Matrix.get() missing 2 required positional arguments: 'row' and 'col'"


@pytest.mark.parametrize("call, text", [
    (lambda: Matrix.get(M), GET2),
    (lambda: M.get(), GET2),
    (lambda: Matrix.get(M, 0), "Matrix.get() missing 1 required positional argument: 'col'"),
    (lambda: M.get(col=0), "Matrix.get() missing 1 required positional argument: 'row'"),
    (lambda: M.get(0, row=1), "Matrix.get() got multiple values for argument 'row'"),
    (lambda: M.get(0, 1, x=1), "Matrix.get() got an unexpected keyword argument 'x'"),
    (lambda: M.get(Row=0, col=0), "Matrix.get() got an unexpected keyword argument 'Row'"),
    (lambda: M.get(1, 2, 3), "Matrix.get() takes 2 positional arguments but 3 were given"),
    # Order of the checks: positional count, then keywords in the caller's order, then
    # missing parameters; and all of it before any value is converted.
    (lambda: M.get(1.5, 2, 3, x=1), "Matrix.get() takes 2 positional arguments but 3 were given"),
    (lambda: M.get(0, z=1, row=2), "Matrix.get() got an unexpected keyword argument 'z'"),
    (lambda: M.get(0, row=2, z=1), "Matrix.get() got multiple values for argument 'row'"),
    (lambda: M.get(z=1), "Matrix.get() got an unexpected keyword argument 'z'"),
    (lambda: M.get(1.5), "Matrix.get() missing 1 required positional argument: 'col'"),
    (lambda: Matrix(), "Matrix.__new__() missing 1 required positional argument: 'elements'"),
    # With one parameter the count still reads "arguments".
    (lambda: Matrix([[1]], [[2]]), "Matrix.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: Matrix([[1]], elements=[[1]]), "Matrix.__new__() got multiple values for argument 'elements'"),
    (lambda: Matrix("x", rows=1), "Matrix.__new__() got an unexpected keyword argument 'rows'"),
    (lambda: M.compute_next(["1"]), "Matrix.compute_next() missing 3 required positional "
                 "arguments: 'support_slice', 'idx', and 'operations'"),
])
def test_matching_errors(call, text):
    # "1 was given" would need a parameterless function that matches its own arguments: none does.
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == text


def test_keywords_bind_like_positionals():
    m = Matrix([[1, 2], [3, 4]])
    assert m.get(row=0, col=1) == m.get(col=1, row=0) == m.get(0, col=1) == 2
    assert Matrix(elements=[[5]]).to_list() == Matrix.__new__(Matrix, [[5]]).to_list() == [[5]]


@given(st.one_of(st.integers(-2**70, 2**70), st.integers(U64_MAX - 3, U64_MAX + 3)))
@settings(max_examples=200, deadline=None)
def test_index_range(panic_type, value):
    if not 0 <= value <= U64_MAX:
        for args in ((value, 0), (0, value), (99, value)):  # range errors before bound checks
            with pytest.raises(OverflowError):
                M.get(*args)
    elif value >= 2:
        with pytest.raises(panic_type) as info:
            M.get(value, 0)
        assert info.value.args == (index_failure(2, value),)
    else:
        assert M.get(Idx(value), value) == M.get(True if value else False, value) == 1


@pytest.mark.parametrize("bad", [1.0, "0", None, [0], 1j, b"\x00"])
@pytest.mark.parametrize("param", ["row", "col"])
def test_index_type_errors_are_prefixed(bad, param):
    with pytest.raises(TypeError) as info:
        M.get(**{"row": 99, "col": 99, param: bad})  # conversion comes before bound checks
    assert str(info.value) == f"argument '{param}': {interpreter_text(bad)}"


def test_conversion_in_parameter_order():
    seen = []
    assert M.get(col=Hook(lambda: seen.append("col") or 0),
                 row=Hook(lambda: seen.append("row") or 1)) == 0
    assert seen == ["row", "col"]
    with pytest.raises(TypeError, match="^argument 'row': "):
        M.get(1.5, "x")  # both fail: the first parameter is reported


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [MyTypeError("sub"), ValueError("v"), KeyError("k"),
                                   OverflowError("o"), RuntimeError("r")])
@pytest.mark.parametrize("call", [lambda h: M.get(h, 0), lambda h: Matrix([[0, h]])])
def test_user_errors_pass_unchanged(error, call):
    with pytest.raises(type(error)) as info:
        call(Hook(lambda: raise_(error)))
    assert info.value is error


@pytest.mark.parametrize("cause", [None, KeyError("why")])
@pytest.mark.parametrize("param, call", [("col", lambda h: M.get(0, h)),
                                         ("elements", lambda h: Matrix([[h]]))])
def test_exact_type_error_is_prefixed_and_keeps_cause(cause, param, call):
    def fail():
        raise TypeError("bad value") from cause
    with pytest.raises(TypeError) as info:
        call(Hook(fail))
    assert type(info.value) is TypeError and str(info.value) == f"argument '{param}': bad value"
    assert info.value.__cause__ is cause


@given(st.integers(-2**80, 2**80))
@settings(max_examples=200, deadline=None)
def test_byte_range(value):
    for cell in (value, Idx(value)):
        if 0 <= value <= 255:
            assert Matrix([[cell]]).to_list() == [[value]]
            continue
        with pytest.raises(OverflowError) as info:
            Matrix([[1, cell]])
        if -2**63 <= value < 2**63:  # beyond a C long the interpreter's own text applies
            assert str(info.value) == RANGE


@pytest.mark.parametrize("bad", [1.0, "1", None, [1], b"\x01"])
def test_byte_type_errors_are_prefixed(bad):
    with pytest.raises(TypeError) as info:
        Matrix([[0, bad]])
    assert str(info.value) == f"argument 'elements': {interpreter_text(bad)}"


class StrSub(str):
    pass


class Local:
    class Nested:
        pass


@pytest.mark.parametrize("elements, text", [
    ("101", NO_STR), ("", NO_STR), (StrSub("1"), NO_STR), (["01"], NO_STR), ([[1], "1"], NO_STR),
    ({}, SEQ.format("dict")), ({0: [1]}, SEQ.format("dict")), ({(1,)}, SEQ.format("set")),
    ([{1, 0}], SEQ.format("set")), (5, SEQ.format("int")), ([5], SEQ.format("int")),
    (None, SEQ.format("NoneType")), ((r for r in [[1]]), SEQ.format("generator")),
    (iter([[1]]), SEQ.format("list_iterator")), ({0: 1}.keys(), SEQ.format("dict_keys")),
    ([Local.Nested()], SEQ.format("Local.Nested")),  # the qualified name
])
def test_sequence_refusals(elements, text):
    with pytest.raises(TypeError) as info:
        Matrix(elements)
    assert type(info.value) is TypeError and str(info.value) == f"argument 'elements': {text}"


@pytest.mark.parametrize("length", [ValueError("no len"), TypeError("no len"), 0, 1, 10**6,
                                    pytest.param(2**40, marks=plain_allocator),
                                    pytest.param(2**62, marks=plain_allocator), 2**70, -1])
def test_len_is_only_a_hint(length):
    # A failing or absurd __len__ neither fails the conversion nor leaves an error behind.
    assert Matrix(Items([[1, 2], [3], []], length)).to_list() == [[1, 2], [3], []]
    assert Matrix([Items([7, 8], length)]).to_list() == [[7, 8]]


def test_iteration_errors():
    boom = KeyError("iter")
    with pytest.raises(KeyError) as info:
        Matrix(Items([[1]], before=lambda: raise_(boom)))  # __iter__ itself raises
    assert info.value is boom
    with pytest.raises(TypeError, match="^argument 'elements': no iter$"):
        Matrix([Items([1], before=lambda: raise_(TypeError("no iter")))])
    with pytest.raises(ValueError, match="^next$"):  # the second __next__ raises
        Matrix(Items([[1]], length=2, after=lambda: raise_(ValueError("next"))))
    not_iterator = type("NotIter", (Items,), {"__iter__": lambda self: 5})
    with pytest.raises(TypeError) as expected:
        iter(not_iterator([]))
    with pytest.raises(TypeError) as info:
        Matrix(not_iterator([[1]]))
    assert str(info.value) == f"argument 'elements': {expected.value}"


def test_first_failing_item_wins():
    read = []
    old_style = type("OldStyle", (), {  # iterated through __getitem__ alone
        "__getitem__": lambda self, i: read.append(i) or [[1], [300], "x", {}][i]})
    with pytest.raises(OverflowError, match=f"^{RANGE}$"):
        Matrix(old_style())
    assert read == [0, 1]  # later items are never read


@pytest.mark.parametrize("rows, at, effect", [
    ([[1, 2]], (0, 0), lambda rows: rows[0].extend([9, 8])),
    ([[3, 4, 5], [7]], (0, 1), lambda rows: rows[0].clear()),
    ([[1], [2]], (0, 1), lambda rows: rows.append([3, 4])),
    ([[1], [2], [3]], (0, 1), lambda rows: rows.pop()),
], ids=["row-grows", "row-cleared", "rows-grow", "rows-shrink"])
def test_lists_changing_during_conversion(rows, at, effect):
    def build():  # a cell whose __index__ changes the lists being converted, then gives 6
        fresh = [list(r) for r in rows]
        fresh[at[0]].insert(at[1], Hook(lambda: effect(fresh) and 0 or 6))
        return fresh
    # Expected: what a plain walk with the list iterator gives on an identical fresh copy.
    expected = [[operator.index(c) for c in row] for row in build()]
    assert Matrix(build()).to_list() == expected
