import pytest
from hypothesis import given, settings, strategies as st

import gf2
import quillmat
from helpers import index_failure

Matrix = quillmat.Matrix


@st.composite
def bit_matrices(draw, max_side=9):
    rows = draw(st.integers(0, max_side))
    cols = draw(st.integers(0, max_side))
    return [draw(st.lists(st.integers(0, 1), min_size=cols, max_size=cols)) for _ in range(rows)]


REDUCTIONS = ["echelon_form", "row_echelon_full_matrix"]


@settings(max_examples=300, deadline=None)
@given(bit_matrices())
def test_reductions_of_bit_matrices(rows):
    m = Matrix(rows)
    (first, first_ops), (second, second_ops) = m.echelon_form(), m.row_echelon_full_matrix()
    reduced = first.to_list()
    assert (reduced, first_ops) == (second.to_list(), second_ops)
    assert gf2.is_reduced_echelon(reduced)
    # The operations list is the whole story: replaying it on the input gives the result.
    assert gf2.replay(first_ops, rows) == reduced
    assert first.rank() == gf2.rank(rows)
    assert m.to_list() == rows  # the receiver is left alone


@settings(max_examples=300, deadline=None)
@given(bit_matrices())
def test_kernel_spans_the_null_space(rows):
    reduced, _ = Matrix(rows).echelon_form()
    kernel = reduced.kernel()
    ncols = len(rows[0]) if rows else 0
    assert len(kernel) == (ncols - gf2.rank(rows) if rows else 0)
    for v in kernel:
        assert len(v) == ncols and set(v) <= {0, 1}
        assert gf2.times(rows, v) == [0] * len(rows)
    assert gf2.rank(kernel) == len(kernel)


@pytest.mark.parametrize("rows, reduced, ops", [
    ([[0, 1, 1], [1, 1, 0], [1, 0, 1]], [[1, 0, 1], [0, 1, 1], [0, 0, 0]],
     [(0, 1), (1, 0), (0, 1), (2, 0), (0, 1), (2, 1)]),
    ([[1, 0], [0, 1]], [[1, 0], [0, 1]], []),
    ([[1, 1], [1, 0]], [[1, 0], [0, 1]], [(1, 0), (0, 1)]),
    ([[0, 0], [0, 1], [1, 1]], [[1, 0], [0, 1], [0, 0]], [(0, 2), (2, 0), (0, 2), (0, 1)]),
    ([], [], []),
    ([[], [1]], [[], [1]], []),
])
@pytest.mark.parametrize("method", REDUCTIONS)
def test_reduction_examples(method, rows, reduced, ops):
    result, operations = getattr(Matrix(rows), method)()
    assert (result.to_list(), operations) == (reduced, ops)


@pytest.mark.parametrize("method, rows, reduced, ops", [
    # A 3 is no pivot for echelon_form, and its XOR keeps whole bytes ...
    ("echelon_form", [[3, 1], [1, 1]], [[2, 0], [3, 1]], [(0, 1), (1, 0), (0, 1), (0, 1)]),
    # ... while row_echelon_full_matrix pivots on any non-zero byte and keeps low bits.
    ("row_echelon_full_matrix", [[3, 1], [1, 1]], [[3, 1], [0, 0]], [(1, 0)]),
    ("row_echelon_full_matrix", [[1, 1], [3, 2]], [[0, 1], [3, 2]], [(0, 1)]),
    ("echelon_form", [[1, 1], [3, 2]], [[1, 1], [3, 2]], []),
    # Rows longer than row 0 carry their extra cells along unchanged.
    ("echelon_form", [[1, 0], [1, 1, 7]], [[1, 0], [0, 1, 7]], [(1, 0)]),
    ("row_echelon_full_matrix", [[1, 0], [1, 1, 7]], [[1, 0], [0, 1, 7]], [(1, 0)]),
])
def test_reductions_differ_outside_bits(method, rows, reduced, ops):
    result, operations = getattr(Matrix(rows), method)()
    assert (result.to_list(), operations) == (reduced, ops)


@pytest.mark.parametrize("method, rows, text", [
    ("echelon_form", [[1, 0, 1], [1]], index_failure(1, 1)),  # the addition reaches column 1
    ("echelon_form", [[0, 1], []], index_failure(0, 0)),      # the pivot search reaches row 1
    ("echelon_form", [[1, 1], [0]], index_failure(1, 1)),     # the elimination test in column 1
    ("row_echelon_full_matrix", [[1, 0, 1], [1]], index_failure(1, 1)),
    ("row_echelon_full_matrix", [[0, 1], []], index_failure(0, 0)),
    # The target row is checked before the pivot row.
    ("row_echelon_full_matrix", [[0, 1, 1], [1, 1]], index_failure(2, 2)),
    ("kernel", [[1, 0, 0], [0, 0]], index_failure(2, 2)),  # pivot detection
    ("kernel", [[1, 0, 0], [0, 1]], index_failure(2, 2)),  # back-substitution
])
def test_short_rows_fail_and_leave_the_receiver(panic_type, method, rows, text):
    m = Matrix(rows)
    with pytest.raises(panic_type) as failure:
        getattr(m, method)()
    assert failure.value.args == (text,)
    assert m.to_list() == rows


@pytest.mark.parametrize("rows, expected", [
    ([], 0), ([[], []], 0), ([[0, 0]], 0), ([[1, 1], [1, 0]], 1), ([[0, 2, 1]], 1),
    ([[2, 0]], 0), ([[0, 1], [1, 0], [0, 1, 1]], 2),
])
def test_rank_counts_distinct_leading_ones(rows, expected):
    assert Matrix(rows).rank() == expected


@pytest.mark.parametrize("rows, kernel", [
    ([[1, 0, 1, 1], [0, 1, 1, 0]], [[1, 1, 1, 0], [1, 0, 0, 1]]),
    ([[0, 0, 1]], [[1, 0, 0], [0, 1, 0]]),
    ([[0, 0, 0], [0, 0, 0]], [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
    ([[1, 0], [0, 1]], []),
    ([], []),
    ([[]], []),
    ([[1, 3]], [[3, 1]]),  # byte products enter the sum unreduced
    # Not reduced: pivot 1's row holds a 1 in pivot column 2, so the fill order matters.
    # Pivots are filled in increasing column order: v[1] is computed before v[2] is set.
    ([[0, 1, 1, 1], [0, 0, 1, 1]], [[1, 0, 0, 0], [0, 1, 1, 1]]),
])
def test_kernel_examples(rows, kernel):
    assert Matrix(rows).kernel() == kernel
