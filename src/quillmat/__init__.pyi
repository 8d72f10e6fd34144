# Type stubs of the quillmat extension module.  The module itself is native;
# these describe its Python surface for type checkers and editors, with a
# docstring for each method that editors show.  The full reference of every
# method (what it does, whether it changes the receiver, the borrow it takes)
# is docs/matrix.md.

from collections.abc import Sequence
from typing import SupportsIndex, final, type_check_only

__all__ = ["Matrix", "verify", "verify_2"]

# Matrix cells are bytes: every int given for a cell must lie in 0..255, and
# every index (row, column, slice bound, operation pair) in 0..2**64 - 1 on a
# 64-bit build; anything else raises OverflowError.  A `str` is refused
# wherever a list is expected, although it is itself a Sequence[str].

@final
class Matrix:
    """A dense matrix over GF(2), one byte per cell, built and reduced step by step.

    Cells hold 0 and 1 (any byte 0..255 is stored; each method says what it
    does with others); rows may differ in length.  The four editing methods
    change the matrix in place and return None; every other method leaves it
    unchanged and returns fresh objects.  An impossible request (an index
    beyond the matrix) raises PanicException."""

    def __new__(cls, elements: Sequence[Sequence[int]]) -> Matrix:
        """A matrix of the given rows: a sequence of sequences of ints 0..255 (bytes too)."""
    def __repr__(self) -> str:
        """The rows as Python writes a list of lists of ints: "[[1, 0], [0, 1]]"."""
    def get_sub_matrix(self, start: SupportsIndex, end: SupportsIndex) -> Matrix:
        """A new matrix of rows start .. end - 1, each copied whole."""
    def to_list(self) -> list[list[int]]:
        """The rows as new lists of ints, one per row."""
    def nrows(self) -> int:
        """The number of rows."""
    def ncols(self) -> int:
        """The length of row 0, or 0 without rows (other rows are not looked at)."""
    def copy(self) -> Matrix:
        """A deep copy: later changes to either leave the other alone."""
    def get(self, row: SupportsIndex, col: SupportsIndex) -> int:
        """The cell at (row, col), 0..255."""
    def add_rows(self, target: SupportsIndex, source: SupportsIndex) -> None:
        """Row target += row source over GF(2) (byte XOR), over the first ncols() cells. Changes the matrix."""
    def swap_rows(self, row1: SupportsIndex, row2: SupportsIndex) -> None:
        """Exchange two rows, each whole. Changes the matrix."""
    def is_zero_row(self, row: SupportsIndex) -> bool:
        """Whether every cell of the row is 0."""
    def reduced_echelon_form_last_row(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """The last row worked into rows above that are already reduced: a new matrix and its operations list.

        Each time the last row moves up by an exchange, the line "inverting" is
        written to file descriptor 1 (not sys.stdout).  The matrix itself is
        not changed, but it is borrowed exclusively while the call runs."""
    def echelon_form_last_row_dep(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """A simpler last-row reduction that leaves an echelon form, not reduced; prints nothing."""
    def echelon_form(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """The reduced row echelon form of a copy, by Gauss-Jordan over GF(2), and its operations list.

        The operations list holds pairs (target, source), "row target += row
        source", in the order applied; an exchange is three such pairs.
        Replayed on the original rows with add_rows it gives the result."""
    def row_echelon_full_matrix(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """The same form as echelon_form; on cells other than 0 and 1 any non-zero cell is a pivot."""
    def append_row(self, v: Sequence[int]) -> None:
        """Append v as the new last row (any length). Changes the matrix."""
    def append_column(self, v: Sequence[int]) -> None:
        """Append v[i] to the end of row i, for every row (v needs one entry per row). Changes the matrix."""
    def rank(self) -> int:
        """The number of distinct leading columns: the rank of a matrix ALREADY in echelon form.

        It does not reduce: on an unreduced matrix the answer is not its rank
        (a random 1024 x 1024 matrix gives about 10).  Reduce first:
        m.echelon_form()[0].rank()."""
    def kernel(self) -> list[list[int]]:
        """A null-space basis, one vector per free column, of a matrix ALREADY in reduced row echelon form.

        It does not reduce: on an unreduced matrix the vectors need not lie
        in the null space.  Use m.echelon_form()[0].kernel()."""
    @staticmethod
    def compute_vandermonde(support: Sequence[str], monomials: Sequence[str]) -> list[list[int]]:
        """The evaluation matrix: cell (r, c) is monomial c at point r.

        Points and monomials are strings of digits, one per variable: "101"
        is the point x0 = 1, x1 = 0, x2 = 1, and the monomial x0*x2."""
    def compute_next(
        self,
        monom_slice: Sequence[str],
        support_slice: Sequence[str],
        idx: SupportsIndex,
        operations: Sequence[tuple[int, int]],
    ) -> Matrix:
        """A copy grown by a point and a monomial: a new column (the last monomial at the first idx points, with operations replayed on it) and a new row (the last point at every monomial)."""
    def construct_and_add_column(
        self, support: Sequence[str], monom: str, operations: Sequence[tuple[int, int]]
    ) -> Matrix:
        """A copy with a new column: monom at each point (one per row), with operations replayed on it."""
    def fill_rows(self, support_slice: Sequence[str], monom_slice: Sequence[str]) -> Matrix:
        """A copy with one new row per point: the point's value at every monomial."""

def verify(
    z: Sequence[str], g: Sequence[int], mapping: Sequence[str]
) -> tuple[bool, tuple[int, str] | None]:
    """Whether the polynomial with coefficients g on the monomials mapping vanishes on every point of z.

    (True, None) when it does, else (False, (k, z[k])) for the first point
    where it is 1."""
def verify_2(
    z: Sequence[str], g: Sequence[int], mapping: Sequence[str]
) -> tuple[bool, tuple[int, str] | None]:
    """The same answer as verify, computed without a list per point."""

# The exception that an internal failure raises (an index beyond the matrix, a
# malformed string).  It exists for type checkers only: the module has no
# attribute of this name.  At run time the class is created on the first
# failure, its qualified name is "pyo3_runtime.PanicException", and it derives
# from BaseException, so `except Exception` does not catch it.  Import it
# under `if TYPE_CHECKING:` to annotate with it; README.md shows how to
# recognise it at run time.  @type_check_only says that it has no run-time
# counterpart, so stubtest does not look for it in the module and needs no
# allowlist entry.
@type_check_only
class PanicException(BaseException): ...
