"""Hostile callers, for every method and parameter: objects whose __index__,
__len__, __iter__ or __next__ raise, return the wrong type or call back into
the same matrix; lists that change while being converted; lone surrogates;
huge and negative integers; failures resumed several calls deep.  Whatever
happens, the call ends in a result or a Python exception, the receiver is
left as a plain call would leave it, and its borrow is released."""
import operator

import pytest

import quillmat
from helpers import U64_MAX, Hook, Items, failing_index, outcome
from surface import BY_NAME, ENTRIES, ROWS, bound

Matrix = quillmat.Matrix
# Every parameter of every entry point, and those whose conversion runs Python code.
PARAMS = [(e.name, param) for e in ENTRIES for param in e.kinds]
HOOKABLE = [(n, p) for n, p in PARAMS if BY_NAME[n].kinds[p] != "str"]


def call(name, m, args):
    return outcome(lambda: bound(BY_NAME[name], m)(*args))


def assert_free(m):
    m.swap_rows(0, 0)  # an exclusive borrow: fails if any borrow was left open


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
        return Items(good, before=action)
    if kind == "ops":
        return [(value(good[0][0]), good[0][1]), *good[1:]]
    raise ValueError(kind)  # no Python code runs while a str is converted


def rows_of(name):
    """The receiver rows of the sample call of `name`, or ROWS when it has none:
    the matrix at hand, which the hooks may call into."""
    rows = BY_NAME[name].rows
    return ROWS if rows is None else rows


def receiver(name):
    return Matrix(rows_of(name))


def params_of_kind(*kinds):
    return [(n, p) for n, p in PARAMS if BY_NAME[n].kinds[p] in kinds]


def good_of(name, param):
    e = BY_NAME[name]
    return e.args[list(e.kinds).index(param)]


def with_arg(name, param, value):
    e = BY_NAME[name]
    args = list(e.args)
    args[list(e.kinds).index(param)] = value
    return args


def hooked_call(name, param, m, action):
    """Call `name` on `m`; `action` runs while the argument of `param` converts."""
    value = hooked(BY_NAME[name].kinds[param], good_of(name, param), action)
    return bound(BY_NAME[name], m)(*with_arg(name, param, value))


def expected_after(name, args):
    """(outcome, receiver rows) of the plain call on a fresh receiver."""
    m = receiver(name)
    return call(name, m, args), m.to_list()


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [KeyError("k"), MemoryError(), MyTypeError("s"), TypeError("t")],
                         ids=["KeyError", "MemoryError", "TypeError-subclass", "TypeError"])
@pytest.mark.parametrize("name, param", HOOKABLE)
def test_errors_raised_by_the_callers_objects(name, param, error):
    def fail():
        raise error
    m = receiver(name)
    with pytest.raises(BaseException) as info:
        hooked_call(name, param, m, fail)
    if type(error) is TypeError:  # only exactly TypeError gets the argument's name
        assert type(info.value) is TypeError and str(info.value) == f"argument '{param}': t"
    else:
        assert info.value is error
    assert m.to_list() == rows_of(name)
    assert_free(m)


@pytest.mark.parametrize("outer, param", [(n, p) for n, p in HOOKABLE
                                          if p == next(iter(BY_NAME[n].kinds))])
def test_every_method_calls_back_into_the_same_matrix(outer, param):
    # While `outer` converts an argument, every method runs on the same matrix.
    # A shared borrow admits readers only; an exclusive one nobody; without a
    # receiver there is no borrow.  The outer call then ends as a plain call.
    borrows = {BY_NAME[outer].receiver}
    for inner in ENTRIES:
        m = receiver(outer)
        seen = []
        hooked_call_result = outcome(lambda: hooked_call(
            outer, param, m, lambda: seen.append(call(inner.name, m, inner.args))))
        if "none" in borrows | {inner.receiver} or "exclusive" not in borrows | {inner.receiver}:
            refused = None
        elif inner.receiver == "exclusive":
            refused = "Already borrowed"
        else:
            refused = "Already mutably borrowed"
        alone = call(inner.name, receiver(outer), inner.args)
        assert seen == [(RuntimeError, refused) if refused else alone], (outer, inner.name)
        if BY_NAME[outer].receiver == "none":
            continue  # the inner call may have changed m: nothing to compare
        assert ((hooked_call_result, m.to_list())
                == expected_after(outer, BY_NAME[outer].args)), inner.name
        assert_free(m)


@pytest.mark.parametrize("name, param", params_of_kind("row", "rows", "ops"))
@pytest.mark.parametrize("effect", ["grow", "shrink", "clear"])
def test_lists_changing_while_converted(name, param, effect):
    # A cell (or pair entry) whose __index__ changes the very list being converted.
    # The conversion walks it as a Python for loop would: compare with the call
    # made with what such a loop reads from an identical list.
    kind = BY_NAME[name].kinds[param]

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

    m = receiver(name)
    got = call(name, m, with_arg(name, param, build()))
    assert (got, m.to_list()) == expected_after(name, with_arg(name, param, read(build())))
    assert_free(m)


@pytest.mark.parametrize("name, param", params_of_kind("row", "rows", "strings", "ops"))
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
        m = receiver(name)
        got = call(name, m, with_arg(name, param, value))
        if expected is None:
            assert (got, m.to_list()) == expected_after(name, BY_NAME[name].args)
        else:
            assert got[0] is expected and m.to_list() == rows_of(name)
            if expected is TypeError:
                assert got[1].startswith(f"argument '{param}': ")
        assert_free(m)


@pytest.mark.parametrize("name, param", params_of_kind("index", "row", "rows", "ops"))
def test_index_returning_the_wrong_type(name, param):
    bad = type("BadIndex", (), {"__index__": lambda self: "7"})()
    kind = BY_NAME[name].kinds[param]
    value = {"index": bad, "row": [bad], "rows": [[bad]], "ops": [(0, bad)]}[kind]
    m = receiver(name)
    got = call(name, m, with_arg(name, param, value))
    assert got[0] is TypeError and got[1].startswith(f"argument '{param}': ")
    assert "__index__ returned non-int" in got[1] and m.to_list() == rows_of(name)
    assert_free(m)


@pytest.mark.parametrize("name, param", params_of_kind("str", "strings"))
@pytest.mark.parametrize("text", ["\ud800", "1\udfff0", "\udc80\ud800"])
def test_lone_surrogates(name, param, text):
    value = text if BY_NAME[name].kinds[param] == "str" else [*good_of(name, param)[:1], text]
    m = receiver(name)
    with pytest.raises(UnicodeEncodeError):  # the interpreter's own error, never prefixed
        bound(BY_NAME[name], m)(*with_arg(name, param, value))
    assert m.to_list() == rows_of(name)
    assert_free(m)


class BigInt(int):
    pass


@pytest.mark.parametrize("name, param", params_of_kind("index", "row", "rows", "ops"))
@pytest.mark.parametrize("number", [-1, -2**63, -2**70, 2**64, 2**200, BigInt(2**64), BigInt(-5),
                                    256, U64_MAX])
def test_huge_and_negative_integers(panic_type, name, param, number):
    kind = BY_NAME[name].kinds[param]
    value = {"index": number, "row": [1, number], "rows": [[1], [number]],
             "ops": [(0, 1), (number, 0)]}[kind]
    fits = 0 <= number <= (255 if kind in ("row", "rows") else U64_MAX)
    m = receiver(name)
    got = call(name, m, with_arg(name, param, value))
    # What fits converts and then names a row, column, size or entry that is not there.
    assert got[0] is (panic_type if fits else OverflowError), got
    assert m.to_list() == rows_of(name)
    assert_free(m)


@pytest.mark.parametrize("name, param", HOOKABLE)
def test_failure_resumed_several_calls_deep(panic_type, name, param):
    m = receiver(name)
    nested = failing_index(Matrix([[1], [1]]), 3)
    with pytest.raises(panic_type) as info:
        hooked_call(name, param, m, lambda: operator.index(nested))
    assert info.value.args == ("index out of bounds: the len is 2 but the index is 99",)
    assert m.to_list() == rows_of(name)
    assert_free(m)


@pytest.mark.parametrize("name, param", [("get", "row"), ("append_row", "v"),
                                         ("__new__", "elements"), ("compute_next", "operations"),
                                         ("verify", "z")])
def test_unbounded_reentry_ends_in_recursion_error(name, param):
    # Each conversion calls the method again, without end: the interpreter's
    # recursion limit must stop it before the C stack runs out.
    m = receiver(name)
    exclusive = BY_NAME[name].receiver == "exclusive"

    def again():
        hooked_call(name, param, receiver(name) if exclusive else m, again)
    with pytest.raises(RecursionError):
        again()
    assert m.to_list() == rows_of(name)
    assert_free(m)
