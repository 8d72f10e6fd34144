"""Hostile callers, for every method and parameter: objects whose __index__,
__len__, __iter__ or __next__ raise, return the wrong type or call back into
the same matrix; lists that change while being converted; lone surrogates;
huge and negative integers; failures resumed several calls deep.  Whatever
happens, the call ends in a result or a Python exception, the receiver is
left as a plain call would leave it, and its borrow is released."""
import operator

import pytest

import quillmat
from conftest import Hook

Matrix = quillmat.Matrix
ROWS = [[1, 0, 1], [0, 1, 1], [1, 1, 1]]
WIDEST = 2**64 - 1

# Every entry point with parameters: (kind of each parameter, good arguments).
# Kinds: index, row (of bytes), rows, strings, str, ops (index pairs).
CALLS = {
    "get_sub_matrix": ({"start": "index", "end": "index"}, (0, 2)),
    "get": ({"row": "index", "col": "index"}, (1, 2)),
    "add_rows": ({"target": "index", "source": "index"}, (0, 1)),
    "swap_rows": ({"row1": "index", "row2": "index"}, (0, 2)),
    "is_zero_row": ({"row": "index"}, (1,)),
    "append_row": ({"v": "row"}, ([1, 1, 0],)),
    "append_column": ({"v": "row"}, ([1, 1, 0],)),
    "compute_vandermonde": ({"support": "strings", "monomials": "strings"},
                            (["110", "011"], ["100", "010"])),
    "compute_next": ({"monom_slice": "strings", "support_slice": "strings", "idx": "index",
                      "operations": "ops"},
                     (["000", "100", "010", "001"], ["110", "011", "101", "111"], 3, [(0, 1)])),
    "construct_and_add_column": ({"support": "strings", "monom": "str", "operations": "ops"},
                                 (["110", "011", "101"], "110", [(0, 1), (2, 0)])),
    "fill_rows": ({"support_slice": "strings", "monom_slice": "strings"},
                  (["110"], ["100", "010", "001"])),
    "__new__": ({"elements": "rows"}, ([[1, 0], [0, 1]],)),
    "verify": ({"z": "strings", "g": "row", "mapping": "strings"},
               (["11", "01"], [1, 1], ["00", "10"])),
    "verify_2": ({"z": "strings", "g": "row", "mapping": "strings"},
                 (["11", "01"], [1, 1], ["00", "10"])),
}
NO_ARGUMENTS = ["to_list", "nrows", "ncols", "copy", "reduced_echelon_form_last_row",
                "echelon_form_last_row_dep", "echelon_form", "row_echelon_full_matrix", "rank",
                "kernel", "__repr__"]
EXCLUSIVE = {"add_rows", "swap_rows", "append_row", "append_column",
             "reduced_echelon_form_last_row", "echelon_form_last_row_dep"}
NO_RECEIVER = {"compute_vandermonde", "__new__", "verify", "verify_2"}
PARAMS = [(name, param) for name, (kinds, _) in CALLS.items() for param in kinds]


def target(name, m):
    if name == "__new__":
        return Matrix
    if name in ("verify", "verify_2"):
        return getattr(quillmat, name)
    if name == "__repr__":
        return lambda: repr(m)
    return getattr(m, name)


def outcome(fn):
    """A comparable account of a call: its result, or its exception's type and text."""
    try:
        result = fn()
    except BaseException as exc:
        return type(exc), str(exc)
    return plain(result)


def plain(value):
    if isinstance(value, Matrix):
        return "Matrix", value.to_list()
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    return value


def call(name, m, args):
    return outcome(lambda: target(name, m)(*args))


def assert_free(m):
    m.swap_rows(0, 0)  # an exclusive borrow: fails if any borrow was left open


class Items:
    """A sequence that is not a list: __iter__ runs `action` first, __len__ says `length`."""

    def __init__(self, items, action=lambda: None, length=None):
        self.items, self.action, self.length = items, action, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.action()
        return iter(self.items)


def hooked(kind, good, action):
    """`good` of `kind`, converted only after `action` has run during its conversion."""
    def value(x):
        return Hook(lambda: (action(), x)[1])
    if kind == "index":
        return value(good)
    if kind == "row":
        return [value(good[0]), *good[1:]]
    if kind == "rows":
        return [[value(good[0][0]), *good[0][1:]], *good[1:]]
    if kind == "strings":
        return Items(good, action)
    if kind == "ops":
        return [(value(good[0][0]), good[0][1]), *good[1:]]
    raise ValueError(kind)  # no Python code runs while a str is converted


def good_of(name, param):
    kinds, good = CALLS[name]
    return good[list(kinds).index(param)]


def with_arg(name, param, value):
    kinds, good = CALLS[name]
    args = list(good)
    args[list(kinds).index(param)] = value
    return args


def hooked_call(name, param, m, action):
    """Call `name` on `m`; `action` runs while the argument of `param` converts."""
    value = hooked(CALLS[name][0][param], good_of(name, param), action)
    return target(name, m)(*with_arg(name, param, value))


def expected_after(name, args):
    """(outcome, receiver rows) of the plain call on a fresh receiver."""
    m = Matrix(ROWS)
    return call(name, m, args), m.to_list()


HOOKABLE = [(n, p) for n, p in PARAMS if CALLS[n][0][p] != "str"]


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [KeyError("k"), MemoryError(), MyTypeError("s"), TypeError("t")],
                         ids=["KeyError", "MemoryError", "TypeError-subclass", "TypeError"])
@pytest.mark.parametrize("name, param", HOOKABLE)
def test_errors_raised_by_the_callers_objects(name, param, error):
    def fail():
        raise error
    m = Matrix(ROWS)
    with pytest.raises(BaseException) as info:
        hooked_call(name, param, m, fail)
    if type(error) is TypeError:  # only exactly TypeError gets the argument's name
        assert type(info.value) is TypeError and str(info.value) == f"argument '{param}': t"
    else:
        assert info.value is error
    assert m.to_list() == ROWS
    assert_free(m)


@pytest.mark.parametrize("outer, param", [(n, p) for n, p in HOOKABLE
                                          if p == next(iter(CALLS[n][0]))])
def test_every_method_calls_back_into_the_same_matrix(outer, param):
    # While `outer` converts an argument, every method runs on the same matrix.
    # A shared borrow admits readers only; an exclusive one nobody; without a
    # receiver there is no borrow.  The outer call then ends as a plain call.
    for inner in [*CALLS, *NO_ARGUMENTS]:
        m = Matrix(ROWS)
        inner_args = CALLS[inner][1] if inner in CALLS else ()
        seen = []
        hooked_call_result = outcome(lambda: hooked_call(
            outer, param, m, lambda: seen.append(call(inner, m, inner_args))))
        if NO_RECEIVER & {outer, inner} or not EXCLUSIVE & {outer, inner}:
            refused = None
        elif inner in EXCLUSIVE:
            refused = "Already borrowed"
        else:
            refused = "Already mutably borrowed"
        alone = call(inner, Matrix(ROWS), inner_args)
        assert seen == [(RuntimeError, refused) if refused else alone], (outer, inner)
        if outer in NO_RECEIVER:
            continue  # the inner call may have changed m: nothing to compare
        assert (hooked_call_result, m.to_list()) == expected_after(outer, CALLS[outer][1]), inner
        assert_free(m)


@pytest.mark.parametrize("name, param", [(n, p) for n, p in PARAMS
                                         if CALLS[n][0][p] in ("row", "rows", "ops")])
@pytest.mark.parametrize("effect", ["grow", "shrink", "clear"])
def test_lists_changing_while_converted(name, param, effect):
    # A cell (or pair entry) whose __index__ changes the very list being converted.
    # The conversion walks it as a Python for loop would: compare with the call
    # made with what such a loop reads from an identical list.
    kind = CALLS[name][0][param]

    def build():
        items = [list(row) for row in good_of(name, param)] if kind == "rows" else list(
            good_of(name, param))
        extra = {"row": 1, "rows": [1, 1], "ops": (0, 0)}[kind]
        change = {"grow": lambda: items.append(extra), "shrink": lambda: items.pop(),
                  "clear": lambda: items.clear()}[effect]
        hook = Hook(lambda: (change(), 1)[1])
        if kind == "row":
            items.insert(1, hook)
        elif kind == "rows":
            items[0].insert(1, hook)
        else:
            items[0] = (hook, items[0][1])
        return items

    def read(value):  # what a Python for loop over the lists sees
        if kind == "row":
            return [operator.index(c) for c in value]
        if kind == "rows":
            return [[operator.index(c) for c in row] for row in value]
        return [(operator.index(t), operator.index(s)) for t, s in value]

    m = Matrix(ROWS)
    got = call(name, m, with_arg(name, param, build()))
    assert (got, m.to_list()) == expected_after(name, with_arg(name, param, read(build())))
    assert_free(m)


@pytest.mark.parametrize("name, param", [(n, p) for n, p in PARAMS
                                         if CALLS[n][0][p] in ("row", "rows", "strings", "ops")])
def test_wrong_types_from_sequence_protocols(name, param):
    good = good_of(name, param)
    not_iterator = type("NotIterator", (Items,), {"__iter__": lambda self: 5})
    broken_next = type("BrokenNext", (Items,), {"__iter__": lambda self: self,
                                                "__next__": lambda self: 1 / 0})
    for value, expected in [
            # __len__ is only a hint: raising, lying or the wrong type changes nothing.
            (Items(good, length=ValueError("len")), None), (Items(good, length=10**5), None),
            (Items(good, length=0), None), (Items(good, length=2**70), None),
            (not_iterator(good), TypeError), (broken_next(good), ZeroDivisionError)]:
        m = Matrix(ROWS)
        got = call(name, m, with_arg(name, param, value))
        if expected is None:
            assert (got, m.to_list()) == expected_after(name, CALLS[name][1])
        else:
            assert got[0] is expected and m.to_list() == ROWS
            if expected is TypeError:
                assert got[1].startswith(f"argument '{param}': ")
        assert_free(m)


@pytest.mark.parametrize("name, param", [(n, p) for n, p in PARAMS
                                         if CALLS[n][0][p] in ("index", "row", "rows", "ops")])
def test_index_returning_the_wrong_type(name, param):
    bad = type("BadIndex", (), {"__index__": lambda self: "7"})()
    kind = CALLS[name][0][param]
    value = {"index": bad, "row": [bad], "rows": [[bad]], "ops": [(0, bad)]}[kind]
    m = Matrix(ROWS)
    got = call(name, m, with_arg(name, param, value))
    assert got[0] is TypeError and got[1].startswith(f"argument '{param}': ")
    assert "__index__ returned non-int" in got[1] and m.to_list() == ROWS
    assert_free(m)


@pytest.mark.parametrize("name, param", [(n, p) for n, p in PARAMS
                                         if CALLS[n][0][p] in ("str", "strings")])
@pytest.mark.parametrize("text", ["\ud800", "1\udfff0", "\udc80\ud800"])
def test_lone_surrogates(name, param, text):
    value = text if CALLS[name][0][param] == "str" else [*good_of(name, param)[:1], text]
    m = Matrix(ROWS)
    with pytest.raises(UnicodeEncodeError):  # the interpreter's own error, never prefixed
        target(name, m)(*with_arg(name, param, value))
    assert m.to_list() == ROWS
    assert_free(m)


class BigInt(int):
    pass


@pytest.mark.parametrize("name, param", [(n, p) for n, p in PARAMS
                                         if CALLS[n][0][p] in ("index", "row", "rows", "ops")])
@pytest.mark.parametrize("number", [-1, -2**63, -2**70, 2**64, 2**200, BigInt(2**64), BigInt(-5),
                                    256, WIDEST])
def test_huge_and_negative_integers(panic_type, name, param, number):
    kind = CALLS[name][0][param]
    value = {"index": number, "row": [1, number], "rows": [[1], [number]],
             "ops": [(0, 1), (number, 0)]}[kind]
    fits = 0 <= number <= (255 if kind in ("row", "rows") else WIDEST)
    m = Matrix(ROWS)
    got = call(name, m, with_arg(name, param, value))
    # What fits converts and then names a row, column, size or entry that is not there.
    assert got[0] is (panic_type if fits else OverflowError), got
    assert m.to_list() == ROWS
    assert_free(m)


def _failing(depth, m):
    """An __index__ that lets a nested call's failure through, `depth` calls down."""
    if depth == 0:
        return Hook(lambda: m.get(99, 0))
    inner = _failing(depth - 1, m)
    return Hook(lambda: m.get(inner, 0))


@pytest.mark.parametrize("name, param", HOOKABLE)
def test_failure_resumed_several_calls_deep(panic_type, name, param):
    m = Matrix(ROWS)
    nested = _failing(3, Matrix([[1], [1]]))
    with pytest.raises(panic_type) as info:
        hooked_call(name, param, m, lambda: operator.index(nested))
    assert info.value.args == ("index out of bounds: the len is 2 but the index is 99",)
    assert m.to_list() == ROWS
    assert_free(m)


@pytest.mark.parametrize("name, param", [("get", "row"), ("append_row", "v"),
                                         ("__new__", "elements"), ("compute_next", "operations"),
                                         ("verify", "z")])
def test_unbounded_reentry_ends_in_recursion_error(name, param):
    # Each conversion calls the method again, without end: the interpreter's
    # recursion limit must stop it before the C stack runs out.
    m = Matrix(ROWS)

    def again():
        hooked_call(name, param, m if name not in EXCLUSIVE else Matrix(ROWS), again)
    with pytest.raises(RecursionError):
        again()
    assert m.to_list() == ROWS
    assert_free(m)
