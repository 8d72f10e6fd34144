import pytest
from hypothesis import given, settings, strategies as st

import gf2
import quillmat
from testing import run_python
from helpers import U64_MAX, index_failure

Matrix = quillmat.Matrix
REDUCED, DEP = "reduced_echelon_form_last_row", "echelon_form_last_row_dep"


def run(capfd, method, rows):
    """The method's (matrix rows, operations) and the number of "inverting" lines it printed."""
    capfd.readouterr()
    result, operations = getattr(Matrix(rows), method)()
    out = capfd.readouterr().out
    assert set(out.splitlines()) <= {"inverting"}
    return result.to_list(), operations, out.count("inverting\n")


@pytest.mark.parametrize("rows, reduced, dep", [
    ([[1, 0, 0], [0, 1, 0], [1, 1, 1]],
     ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [(2, 0), (1, 2), (1, 2), (2, 1), (1, 2), (1, 2)], 1),
     ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [(2, 0), (2, 1)], 0)),
    ([[0, 1, 1, 0], [0, 0, 1, 1], [1, 0, 0, 0]],
     ([[1, 0, 0, 0], [0, 1, 0, 1], [0, 0, 1, 1]],
      [(0, 2), (2, 0), (0, 2), (1, 2), (2, 1), (1, 2), (1, 2)], 2),
     ([[1, 0, 0, 0], [0, 1, 1, 0], [0, 0, 1, 1]], [(0, 2), (2, 0), (0, 2), (1, 2), (2, 1), (1, 2)], 0)),
    ([[1, 0], [0, 1], [1, 1]],
     ([[1, 0], [0, 1], [0, 0]], [(2, 0), (1, 2), (1, 2), (2, 1), (1, 2)], 1),
     ([[1, 0], [0, 1], [0, 0]], [(2, 0), (2, 1)], 0)),
    ([[0, 0, 1], [1, 0, 1]], ([[0, 0, 1], [1, 0, 1]], [], 0), ([[0, 0, 1], [1, 0, 1]], [], 0)),
    ([[1, 1, 0], [0, 0, 0], [0, 1, 1]],
     ([[1, 1, 0], [0, 1, 1], [0, 0, 0]], [(1, 2), (2, 1), (1, 2)], 1),
     ([[1, 1, 0], [0, 1, 1], [0, 0, 0]], [(1, 2), (2, 1), (1, 2)], 0)),
    # An all-zero last row: one settling sweep from the bottom, printing nothing.
    ([[0, 1, 0], [1, 0, 0], [0, 0, 0]],
     ([[1, 0, 0], [0, 1, 0], [0, 0, 0]], [(1, 0), (0, 1), (1, 0)], 0),
     ([[1, 0, 0], [0, 1, 0], [0, 0, 0]], [(1, 0), (0, 1), (1, 0)], 0)),
    ([[0, 0, 1], [0, 1, 0], [1, 0, 0], [0, 0, 0]],
     ([[1, 0, 0], [0, 0, 1], [0, 1, 0], [0, 0, 0]], [(2, 1), (1, 2), (2, 1), (1, 0), (0, 1), (1, 0)], 0),
     ([[1, 0, 0], [0, 0, 1], [0, 1, 0], [0, 0, 0]], [(2, 1), (1, 2), (2, 1), (1, 0), (0, 1), (1, 0)], 0)),
    # The settling rules differ: dep adds equal leaders only in the last column.
    ([[0, 1, 1], [0, 1, 0], [0, 0, 0]],
     ([[0, 1, 1], [0, 0, 1], [0, 0, 0]], [(1, 0)], 0), ([[0, 1, 1], [0, 1, 0], [0, 0, 0]], [], 0)),
    ([[0, 0, 1], [0, 0, 1], [0, 0, 0]],
     ([[0, 0, 1], [0, 0, 0], [0, 0, 0]], [(1, 0)], 0), ([[0, 0, 1], [0, 0, 0], [0, 0, 0]], [(1, 0)], 0)),
    ([[1, 1]], ([[1, 1]], [], 0), ([[1, 1]], [], 0)),
    ([[0, 0]], ([[0, 0]], [], 0), ([[0, 0]], [], 0)),
    ([[], [1]], ([[], [1]], [], 0), ([[], [1]], [], 0)),
    # dep's settling pass never looks at the last row.
    ([[0, 1], [1, 0], [2, 0]], "unwrap", ([[1, 0], [0, 1], [2, 0]], [(1, 0), (0, 1), (1, 0)], 0)),
    ([[2, 0], [0, 2]], "unwrap", ([[2, 0], [0, 2]], [], 0)),
])
def test_last_row_examples(capfd, panic_type, rows, reduced, dep):
    for method, expected in ((REDUCED, reduced), (DEP, dep)):
        if expected == "unwrap":
            with pytest.raises(panic_type, match="^called `Option::unwrap\\(\\)` on a `None` value$"):
                getattr(Matrix(rows), method)()
        else:
            assert run(capfd, method, rows) == expected


@pytest.mark.parametrize("rows, text", [
    ([], index_failure(0, U64_MAX)),
    ([[1, 0, 1], [1, 0]], index_failure(2, 2)),  # the merge's row addition
])
@pytest.mark.parametrize("method", [REDUCED, DEP])
def test_last_row_failures_leave_the_receiver(panic_type, method, rows, text):
    m = Matrix(rows)
    with pytest.raises(panic_type) as failure:
        getattr(m, method)()
    assert failure.value.args == (text,)
    assert m.to_list() == rows


@st.composite
def reduced_plus_a_row(draw):
    n = draw(st.integers(1, 7))
    rows = draw(st.lists(st.lists(st.integers(0, 1), min_size=n, max_size=n), max_size=6))
    top = Matrix(rows).echelon_form()[0].to_list() if rows else []
    return top + [draw(st.lists(st.integers(0, 1), min_size=n, max_size=n))]


@settings(max_examples=300, deadline=None)
@given(reduced_plus_a_row())
@pytest.mark.parametrize("method", [REDUCED, DEP])
def test_operations_replay_to_the_result(method, rows):
    result, operations = getattr(Matrix(rows), method)()
    result = result.to_list()
    assert gf2.replay(operations, rows) == result
    assert gf2.rank(result) == gf2.rank(rows)


def test_inverting_reaches_file_descriptor_1_before_return():
    code = ("import os, quillmat\n"
            "quillmat.Matrix([[1, 1, 0], [0, 0, 0], [0, 1, 1]]).reduced_echelon_form_last_row()\n"
            "os.write(1, b'after\\n')\n")
    assert run_python(code)[:2] == (0, "inverting\nafter\n")


def test_write_error_on_stdout_is_a_failure():
    code = ("import os, quillmat\n"
            "os.close(1)\n"
            "try:\n"
            "    quillmat.Matrix([[1, 1, 0], [0, 0, 0], [0, 1, 1]]).reduced_echelon_form_last_row()\n"
            "except BaseException as e:\n"
            "    os.write(2, ('caught ' + type(e).__name__ + ': ' + str(e)).encode())\n")
    returncode, _, err = run_python(code)
    assert "caught PanicException: failed printing to stdout: Bad file descriptor" in err
