import pytest
from hypothesis import given, settings, strategies as st

import gf2
import model
import quillmat
from testing import plain_allocator
from helpers import U64_MAX, index_failure
from model import UNWRAP

Matrix = quillmat.Matrix


digits = st.text("0123456789", max_size=4)
bits = st.integers(1, 5).flatmap(lambda n: st.lists(st.text("01", min_size=n, max_size=n),
                                                    max_size=8))


@settings(max_examples=300, deadline=None)
@given(st.lists(digits, max_size=6), st.lists(digits, max_size=6))
def test_vandermonde_evaluates_every_pair(support, monomials):
    assert Matrix.compute_vandermonde(support, monomials) == model.vandermonde(support, monomials)


@pytest.mark.parametrize("point, exponents, expected", [
    ("101", "100", 1), ("101", "010", 0), ("0", "0", 1), ("", "x!", 1), ("7", "", 1),
    ("110", "11", 1), ("1x", "1", 1), ("2", "8", 0), ("3", "5", 243), ("22", "44", 0),
    ("9", "9", 73), ("1é", "1", 1),
])
def test_single_cells(point, exponents, expected):
    assert Matrix.compute_vandermonde([point], [exponents]) == [[expected]]


@pytest.mark.parametrize("point, exponents", [
    ("1x", "11"), ("x", "1"), ("1", "x"), ("١", "1"), ("1", "１"), ("é", "1"), ("1", "é1"),
])
def test_non_digits_in_the_walk_fail(panic_type, point, exponents):
    with pytest.raises(panic_type) as failure:
        Matrix.compute_vandermonde([point], [exponents])
    assert failure.value.args == (UNWRAP,)


def test_vandermonde_on_an_instance_takes_no_receiver():
    assert Matrix([[5]]).compute_vandermonde(["1"], ["1"]) == [[1]]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.lists(st.integers(0, 1), max_size=3), max_size=3),
       st.lists(st.text("01", max_size=3), max_size=4),
       st.lists(st.text("01", max_size=3), max_size=4))
def test_fill_rows_appends_vandermonde_rows(rows, support, monomials):
    m = Matrix(rows)
    assert m.fill_rows(support, monomials).to_list() == (
        rows + Matrix.compute_vandermonde(support, monomials))
    assert m.to_list() == rows


@settings(max_examples=200, deadline=None)
@given(bits, st.data())
def test_added_column_is_the_replayed_plain_column(points, data):
    # Reduce an evaluation matrix, then add one more monomial's column: it
    # must equal the plain column transformed by the reduction's operations.
    if not points:
        return
    n = len(points[0])
    monomials = data.draw(st.lists(st.text("01", min_size=n, max_size=n), max_size=6))
    monom = data.draw(st.text("01", min_size=n, max_size=n))
    reduced, operations = Matrix(Matrix.compute_vandermonde(points, monomials)).echelon_form()
    grown = reduced.construct_and_add_column(points, monom, operations).to_list()
    plain = Matrix.compute_vandermonde(points, monomials + [monom])
    assert grown == [r + [c[-1]] for r, c in zip(reduced.to_list(), gf2.replay(operations, plain))]


@pytest.mark.parametrize("rows, support, operations, expected", [
    ([[1], [1]], ["11", "10"], [], [[1, 1], [1, 0]]),
    ([[1], [1]], ["11", "10"], [(1, 0)], [[1, 1], [1, 1]]),
    ([[1], [1]], ["11", "10", "00"], [], [[1, 1], [1, 0]]),  # extra points are ignored
    ([[1], [1]], ["11", "10"], [(0, 0), (1, 1)], [[1, 0], [1, 0]]),
    ([], [], [], []),
])
def test_construct_and_add_column(rows, support, operations, expected):
    assert Matrix(rows).construct_and_add_column(support, "01", operations).to_list() == expected


@pytest.mark.parametrize("rows, support, operations, text", [
    ([[1], [1]], ["11"], [], index_failure(1, 1)),
    ([], [], [(0, 0)], index_failure(0, 0)),
    ([[1], [1]], ["11", "10"], [(2, 0)], index_failure(2, 2)),
    ([[1], [1]], ["11", "10"], [(0, 5)], index_failure(2, 5)),
    ([[1], [1]], ["11", "10"], [(7, 9)], index_failure(2, 7)),  # target before source
    ([[1], [1]], ["1x", "10"], [(7, 9)], UNWRAP),  # evaluation before replay
])
def test_construct_and_add_column_failures(panic_type, rows, support, operations, text):
    m = Matrix(rows)
    with pytest.raises(panic_type) as failure:
        m.construct_and_add_column(support, "01", operations)
    assert failure.value.args == (text,)
    assert m.to_list() == rows


@pytest.mark.parametrize("column, operations, expected", [
    ([1, 1], [(0, 1)], [0, 1]), ([1, 0], [(1, 0)], [1, 1]), ([1], [(0, 0)], [0]),
    ([1, 0], [(0, 1), (1, 0), (0, 1)], [0, 1]),  # three additions exchange two bits
    ([3, 0], [(0, 1)], [1, 0]), ([3, 0], [(1, 0)], [3, 1]),  # low bit of the sum; untouched 3 stays
])
def test_replay_on_a_column(column, operations, expected):
    # A one-row receiver whose column comes from "digit strings" equal to the wanted bytes.
    support = [str(c) for c in column]
    rows = [[] for _ in column]
    grown = Matrix(rows).construct_and_add_column(support, "1", operations)
    assert [r[0] for r in grown.to_list()] == expected


@settings(max_examples=200, deadline=None)
@given(bits, st.data())
def test_compute_next_grows_a_square(points, data):
    if not points:
        return
    n = len(points[0])
    monomials = data.draw(st.lists(st.text("01", min_size=n, max_size=n),
                                   min_size=len(points), max_size=len(points)))
    idx = len(points) - 1
    m = Matrix(Matrix.compute_vandermonde(points[:idx], monomials[:idx]))
    reduced, operations = m.echelon_form()
    grown = reduced.compute_next(monomials, points, idx, operations).to_list()
    full = Matrix.compute_vandermonde(points, monomials)
    column = gf2.replay(operations, [[row[idx]] for row in full[:idx]])
    assert grown[:idx] == [r + c for r, c in zip(reduced.to_list(), column)]
    assert grown[idx] == full[idx]  # the new row is appended as evaluated


@pytest.mark.parametrize("rows, monoms, points, idx, operations, expected", [
    ([], ["00"], ["11"], 0, [], [[1]]),
    ([[1]], ["00", "10"], ["11", "01"], 1, [], [[1, 1], [1, 0]]),
    ([[1]], ["00", "10"], ["11", "01"], 1, [(0, 0)], [[1, 0], [1, 0]]),  # new row untouched
    ([], ["0", "1", "1"], ["1", "1"], 2, [], [[1, 1, 1]]),
])
def test_compute_next(rows, monoms, points, idx, operations, expected):
    assert Matrix(rows).compute_next(monoms, points, idx, operations).to_list() == expected


@pytest.mark.parametrize("rows, monoms, points, idx, operations, text", [
    ([[1]], ["00"], ["11"], 0, [], index_failure(0, 0)),  # the column append
    ([], [], ["1"], 0, [], index_failure(0, 0)),
    ([], ["1"], [], 0, [], index_failure(0, U64_MAX)),
    ([], [], [], 0, [], index_failure(0, U64_MAX)),  # the last point is taken before monomial 0
    ([], ["0", "1"], ["1", "1"], 2, [], index_failure(2, 2)),  # building the row
    ([], ["0", "1", "1"], ["1"], 2, [], index_failure(1, 1)),  # building the column
    ([], ["0", "x"], ["1", "1"], 1, [], UNWRAP),
    # The row's failures come before the column's, the column's before the replay's.
    ([], ["0", "1"], ["1x", "1"], 5, [], index_failure(2, 2)),
    ([], ["0", "11"], ["1x", "1"], 1, [(9, 9)], UNWRAP),
    ([], ["0", "1"], ["1", "1"], 1, [(9, 9)], index_failure(1, 9)),
    ([], ["0"], ["1"], U64_MAX, [], "capacity overflow"),
    ([], ["0"], ["1"], 2**63 - 1, [], "capacity overflow"),
])
def test_compute_next_failures(panic_type, rows, monoms, points, idx, operations, text):
    m = Matrix(rows)
    with pytest.raises(panic_type) as failure:
        m.compute_next(monoms, points, idx, operations)
    assert failure.value.args == (text,)
    assert m.to_list() == rows


@plain_allocator
def test_compute_next_memory_error_for_an_impossible_row():
    with pytest.raises(MemoryError):
        Matrix([]).compute_next(["0"], ["1"], 2**62, [])


def test_step_by_step_construction_matches_the_whole():
    # Grow an evaluation matrix of all monomials of degree <= 1 in 3 variables
    # at 4 points, one step at a time; the end result is the whole matrix.
    monomials = ["000", "100", "010", "001"]
    points = ["110", "011", "101", "111"]
    m, operations = Matrix([]), []
    for idx in range(4):
        m = m.compute_next(monomials[:idx + 1], points[:idx + 1], idx, operations)
    assert m.to_list() == Matrix.compute_vandermonde(points, monomials)
