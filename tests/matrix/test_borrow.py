import pytest

import quillmat
from helpers import Hook

Matrix = quillmat.Matrix
ROWS = [[1, 0], [0, 1]]


def attempt(action, log):
    """Run `action`, logging the text of a RuntimeError instead of raising it."""
    try:
        action()
    except RuntimeError as exc:
        log.append(str(exc))


@pytest.mark.parametrize("reader", [
    lambda m: m.get(0, 1), lambda m: m.nrows(), lambda m: m.ncols(), lambda m: m.to_list(),
    lambda m: m.copy().to_list(), lambda m: repr(m),
    lambda m: m.get(Hook(lambda: m.nrows() - 1), 1),   # a third shared borrow
], ids=["get", "nrows", "ncols", "to_list", "copy", "repr", "nested"])
@pytest.mark.parametrize("param", ["row", "col"])
def test_shared_borrows_coexist(reader, param):
    # m is borrowed (shared) while `param` converts; reading it meanwhile must work.
    m, seen = Matrix(ROWS), []
    args = {"row": 0, "col": 0, param: Hook(lambda: seen.append(reader(m)) or 1)}
    assert m.get(**args) == (ROWS[1][0] if param == "row" else ROWS[0][1])
    assert seen == [reader(Matrix(ROWS))] and m.to_list() == ROWS


def test_exclusive_request_during_shared_borrow():
    m, log = Matrix(ROWS), []
    assert m.get(Hook(lambda: attempt(lambda: m.append_row([1]), log) or 0), 0) == 1
    assert log == ["Already borrowed"] and m.to_list() == ROWS
    # Let through, the borrow error ends the outer call unchanged.
    caught = []

    def let_through():
        try:
            m.append_row([1])
        except RuntimeError as exc:
            caught.append(exc)
            raise
    with pytest.raises(RuntimeError) as info:
        m.get(Hook(let_through), 0)
    assert info.value is caught[0] and str(info.value) == "Already borrowed"


@pytest.mark.parametrize("request_, text", [
    (lambda m: m.get(0, 0), "Already mutably borrowed"),
    (lambda m: m.nrows(), "Already mutably borrowed"),
    (lambda m: repr(m), "Already mutably borrowed"),
    (lambda m: m.append_row([0]), "Already borrowed"),
])
def test_requests_during_exclusive_borrow(request_, text):
    m, log = Matrix(ROWS), []
    m.append_row([Hook(lambda: attempt(lambda: request_(m), log) or 1), 0])
    assert log == [text] and m.to_list() == ROWS + [[1, 0]]


@pytest.mark.parametrize("failing", [
    lambda m: m.get(1.5, 0), lambda m: m.get(-1, 0), lambda m: m.get(9, 0), lambda m: m.get(0),
    lambda m: m.get(Hook(lambda: m.get(9, 9)), 0),
    lambda m: m.append_row("x"), lambda m: m.append_row([256]), lambda m: m.append_row(),
], ids=["type", "overflow", "failure", "matching", "resumed", "row-str", "row-byte", "row-none"])
def test_borrow_released_on_every_way_out(failing):
    m = Matrix(ROWS)
    with pytest.raises(BaseException):
        failing(m)
    assert m.get(1, 1) == 1
    m.append_row([1, 1])  # an exclusive borrow needs the flag back at zero
    assert m.to_list() == ROWS + [[1, 1]]
