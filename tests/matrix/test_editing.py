import pytest
from hypothesis import given, settings, strategies as st

import model
import quillmat
from helpers import index_failure

Matrix = quillmat.Matrix

ragged = st.lists(st.lists(st.integers(0, 255), max_size=5), max_size=5)
small_index = st.integers(0, 6)


@settings(max_examples=500, deadline=None)
@given(ragged, small_index, small_index)
def test_add_rows_matches_model(panic_type, rows, target, source):
    m = Matrix(rows)
    expected = [list(r) for r in rows]
    text = model.add_rows(expected, target, source)
    if text is None:
        assert m.add_rows(target, source) is None
    else:
        with pytest.raises(panic_type) as failure:
            m.add_rows(target, source)
        assert failure.value.args == (text,)
    assert m.to_list() == expected


def test_add_rows_short_row_changes_nothing(panic_type):
    # Row 1 is shorter than row 0: the addition fails at column 2 without
    # having changed columns 0 and 1.
    m = Matrix([[1, 1, 1], [0, 1], [1, 1, 1]])
    with pytest.raises(panic_type, match="the len is 2 but the index is 2"):
        m.add_rows(1, 0)
    assert m.to_list() == [[1, 1, 1], [0, 1], [1, 1, 1]]


@pytest.mark.parametrize("row1, row2, text", [(0, 7, index_failure(2, 7)),
                                              (7, 9, index_failure(2, 7))])
def test_swap_rows_checks_in_order(panic_type, row1, row2, text):
    m = Matrix([[1], [0, 1]])
    with pytest.raises(panic_type) as failure:
        m.swap_rows(row1, row2)
    assert failure.value.args == (text,)
    assert m.to_list() == [[1], [0, 1]]


@settings(max_examples=200, deadline=None)
@given(ragged, small_index, small_index)
def test_swap_rows_and_is_zero_row(rows, a, b):
    m = Matrix(rows)
    if max(a, b) < len(rows):
        m.swap_rows(a, b)
        rows[a], rows[b] = rows[b], rows[a]
        assert m.to_list() == rows
        assert m.is_zero_row(a) == (not any(rows[a]))


def test_is_zero_row_cases(panic_type):
    m = Matrix([[], [0, 2], [0, 0]])
    assert [m.is_zero_row(i) for i in range(3)] == [True, False, True]
    with pytest.raises(panic_type, match="the len is 3 but the index is 3"):
        m.is_zero_row(3)


def test_append_row_accepts_any_length():
    m = Matrix([])
    m.append_row([])
    assert (m.nrows(), m.ncols()) == (1, 0)
    m.append_row(b"\x01\x02\x03")
    m.append_row((4,))
    assert m.to_list() == [[], [1, 2, 3], [4]]


@pytest.mark.parametrize("rows, v, expected", [
    ([[1], [0], [1]], [1, 0, 1, 1], [[1, 1], [0, 0], [1, 1]]),  # extra entries ignored
    ([], [1, 2], []),
    ([[], [5]], range(2), [[0], [5, 1]]),
])
def test_append_column(rows, v, expected):
    m = Matrix(rows)
    assert m.append_column(v) is None
    assert m.to_list() == expected


def test_append_column_too_short_changes_nothing(panic_type):
    m = Matrix([[1], [0], [1]])
    with pytest.raises(panic_type) as failure:
        m.append_column([1])
    assert failure.value.args == (index_failure(1, 1),)
    assert m.to_list() == [[1], [0], [1]]


@pytest.mark.parametrize("method", ["append_row", "append_column"])
def test_vector_str_is_refused(method):
    m = Matrix([[1]])
    with pytest.raises(TypeError, match="^argument 'v': Can't extract `str` to `Vec`$"):
        getattr(m, method)("1")
    assert m.to_list() == [[1]]


@settings(max_examples=200, deadline=None)
@given(ragged, small_index, small_index)
def test_get_sub_matrix(panic_type, rows, start, end):
    m = Matrix(rows)
    if end < start:
        text = f"slice index starts at {start} but ends at {end}"
    elif end > len(rows):
        text = f"range end index {end} out of range for slice of length {len(rows)}"
    else:
        sub = m.get_sub_matrix(start, end)
        assert sub.to_list() == rows[start:end]
        if start < end:
            sub.add_rows(0, 0)  # the slice owns its rows
            assert m.to_list() == rows
        return
    with pytest.raises(panic_type) as failure:
        m.get_sub_matrix(start, end)
    assert failure.value.args == (text,)
