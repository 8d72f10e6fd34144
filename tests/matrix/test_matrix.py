import array
import collections
import collections.abc

import pytest
from hypothesis import given, settings, strategies as st

import quillmat
from helpers import U64_MAX, Idx, index_failure

Matrix = quillmat.Matrix
ROWS = st.lists(st.lists(st.integers(0, 255), max_size=7), max_size=7)
PROPERTY = settings(max_examples=200, deadline=None)


class Seq(collections.abc.Sequence):
    """A generic sequence: results must not depend on the list and tuple internals."""

    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


class OldStyle:
    """Iterated through __getitem__ alone, without a length."""

    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, i):
        return self._items[i]


ROW_FORMS = [list, tuple, bytes, bytearray, Seq, OldStyle, collections.deque,
             lambda r: array.array("B", r), lambda r: memoryview(bytes(r)),
             lambda r: [Idx(c) for c in r], lambda r: Seq(map(Idx, r)),
             lambda r: [bool(c) if c < 2 else c for c in r]]
OUTER_FORMS = [list, tuple, Seq, OldStyle, collections.deque]


@pytest.mark.parametrize("rows, ncols", [
    ([], 0), ([[]], 0), ([[], [1, 1]], 0), ([[1, 0, 1], [1]], 3), ([[7, 255]], 2)])
def test_inspection_examples(rows, ncols):
    m = Matrix(rows)
    assert (m.nrows(), m.ncols(), m.to_list(), repr(m), str(m)) == (
        len(rows), ncols, rows, repr(rows), repr(rows))


@pytest.mark.parametrize("rows, row, col, failure", [
    ([], 0, 0, (0, 0)),
    ([[], [1, 1]], 0, 0, (0, 0)),          # the row's own length counts, not ncols
    ([[1, 0, 1], [1]], 1, 2, (1, 2)),
    ([[1, 0, 1], [1]], 2, 0, (2, 2)),
    ([[1]], 5, U64_MAX, (1, 5)),         # the row bound is tested first
    ([[1]], 0, U64_MAX, (1, U64_MAX)),
])
def test_get_failures(panic_type, rows, row, col, failure):
    m = Matrix(rows)
    with pytest.raises(panic_type) as info:
        m.get(row, col)
    assert info.value.args == (index_failure(*failure),) and m.to_list() == rows


@pytest.mark.parametrize("elements, rows", [
    ([b"\x01\x00", (0, 1)], [[1, 0], [0, 1]]), ((), []), ([[True, False]], [[1, 0]]),
    ([range(3), bytearray(b"\xff")], [[0, 1, 2], [255]])])
def test_accepted_forms(elements, rows):
    assert Matrix(elements).to_list() == rows


@given(ROWS)
@PROPERTY
def test_round_trip(panic_type, rows):
    m = Matrix(rows)
    out = m.to_list()
    assert out == rows and all(type(c) is int for r in out for c in r)
    assert repr(m) == str(m) == repr(rows)
    assert (m.nrows(), m.ncols()) == (len(rows), len(rows[0]) if rows else 0)
    for r in range(len(rows) + 2):
        for c in range(max(map(len, rows), default=0) + 2):
            if r < len(rows) and c < len(rows[r]):
                assert m.get(r, c) == rows[r][c]
                continue
            with pytest.raises(panic_type) as info:
                m.get(r, c)
            expected = index_failure(len(rows), r) if r >= len(rows) else index_failure(len(rows[r]), c)
            assert info.value.args == (expected,)


@given(ROWS, st.data())
@PROPERTY
def test_row_forms_agree(rows, data):
    wrapped = [data.draw(st.sampled_from(ROW_FORMS))(r) for r in rows]
    m = Matrix(data.draw(st.sampled_from(OUTER_FORMS))(wrapped))
    assert m.to_list() == rows and repr(m) == repr(Matrix(rows))


@given(ROWS)
@PROPERTY
def test_copy_and_to_list_are_fresh(rows):
    source = [list(r) for r in rows]
    m = Matrix(source)
    c = m.copy()
    assert type(c) is Matrix and c is not m and c.to_list() == rows
    a, b = m.to_list(), m.to_list()
    assert a is not b and all(x is not y for x, y in zip(a, b))
    for lst in (a, source):  # neither the argument nor a result is shared with the matrix
        lst.append([1])
        for r in lst:
            r.append(2)
    assert m.to_list() == rows and c.to_list() == rows


def test_copy_is_deep():
    m = Matrix([[1, 0]])
    c = m.copy()
    c.append_row([1, 1])
    m.append_row([0])
    assert (m.to_list(), c.to_list()) == ([[1, 0], [0]], [[1, 0], [1, 1]])
