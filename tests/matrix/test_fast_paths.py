"""The fast paths against the plain model.

Matrices whose cells are all 0 or 1 in rows of one length are reduced 64
cells per word, and "0"/"1" strings are evaluated as bit masks; everything
else goes the byte-wise way.  Whichever way a call goes, its result,
operations list and failure text must be the model's (tests/support/model.py), and
on 0/1 matrices the results must hold as GF(2) algebra (tests/gf2.py)."""

import random

import pytest

import gf2
import model
import quillmat
from helpers import outcome

Matrix = quillmat.Matrix
CELLS = [0, 1, 0, 1, 2, 3, 255]


def as_module(value):
    """A model result in the form helpers.outcome gives the module's."""
    if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], list):
        return ("Matrix", value[0]), value[1]  # a reduction: (rows, operations)
    return value


def assert_agree(panic_type, rows, *, reduced=None):
    """The reductions, kernel and rank of `rows` against the model.  The kernel is
    taken of `reduced` (the module's reduced rows) when given, else of `rows`."""
    m = Matrix(rows)
    kernel_of = rows if reduced is None else reduced
    for method, modelled, of in ((m.echelon_form, model.echelon_form, rows),
                                 (m.row_echelon_full_matrix, model.row_echelon_full_matrix, rows),
                                 (Matrix(kernel_of).kernel, model.kernel, kernel_of),
                                 (m.rank, model.rank, rows)):
        expected = model.outcome(lambda: as_module(modelled(of)), panic_type)
        got = outcome(method)
        assert got == expected, (method.__name__, rows if len(rows) < 20 else "(large)")


def assert_gf2(rows):
    """On a 0/1 matrix: a reduced echelon form that the operations list reaches
    from the rows, the rank, and a kernel basis of the null space."""
    reduced, operations = Matrix(rows).echelon_form()
    reduced = reduced.to_list()
    assert gf2.is_reduced_echelon(reduced) and gf2.replay(operations, rows) == reduced
    assert Matrix(reduced).rank() == gf2.rank(rows)
    kernel = Matrix(reduced).kernel()
    assert len(kernel) == len(rows[0]) - gf2.rank(rows) and gf2.rank(kernel) == len(kernel)
    for v in kernel:
        assert gf2.times(rows, v) == [0] * len(rows)


def random_rows(rng, bits_only):
    rows, cols = rng.randint(0, 12), rng.randint(0, 12)
    cells = [0, 1] if bits_only else CELLS
    matrix = [[rng.choice(cells) for _ in range(cols)] for _ in range(rows)]
    if not bits_only and matrix and rng.random() < 0.5:  # a ragged row
        r = rng.randrange(len(matrix))
        matrix[r] = matrix[r][: rng.randint(0, cols)] + [1] * rng.randint(0, 2)
    return matrix


def random_strings(rng, count, length, alphabet):
    return ["".join(rng.choice(alphabet) for _ in range(length)) for _ in range(count)]


def small_cases(seed, count):
    """Small matrices, every other one of 0/1 cells and one length, the others
    with cells 2, 3, 255 and ragged rows; and strings, every other set of "0"/"1"
    only, the others with other digits, a letter or a non-ASCII character."""
    rng = random.Random(seed)
    for case in range(count):
        rows = random_rows(rng, bits_only=case % 2 == 0)
        alphabet = "01" if case % 2 == 0 else rng.choice(["012", "01x", "01é", "019"])
        n = rng.choice([0, 1, 3, 5, 64, 65])
        points = random_strings(rng, rng.randint(0, 6), n, alphabet)
        monomials = random_strings(rng, rng.randint(0, 6), n + rng.choice([0, 0, -1, 1]), alphabet)
        g = [rng.choice(CELLS) for _ in range(rng.randint(0, len(monomials) + 1))]
        yield case, rows, points, monomials, g, rng.randint(0, 3)


SEED, COUNT = 20261208, 400


def test_small_matrices_agree_with_the_model(panic_type):
    for case, rows, *_ in small_cases(SEED, COUNT):
        reduced = None
        if case % 3:  # else kernel() of the matrix as it is, reduced or not
            try:
                reduced = Matrix(rows).echelon_form()[0].to_list()
            except BaseException:  # a ragged matrix may fail to reduce
                pass
        assert_agree(panic_type, rows, reduced=reduced)
        if case % 2 == 0 and rows and rows[0]:
            assert_gf2(rows)


def test_evaluations_agree_with_the_model(panic_type):
    for _, rows, points, monomials, g, idx in small_cases(SEED, COUNT):
        monom = monomials[0] if monomials else ""
        m = Matrix(rows)
        for call, modelled in (
                (lambda: Matrix.compute_vandermonde(points, monomials),
                 lambda: model.vandermonde(points, monomials)),
                (lambda: m.fill_rows(points, monomials),
                 lambda: ("Matrix", model.fill_rows(rows, points, monomials))),
                (lambda: m.construct_and_add_column(points, monom, []),
                 lambda: ("Matrix", model.construct_and_add_column(rows, points, monom, []))),
                (lambda: Matrix([]).compute_next(monomials, points, idx, []),
                 lambda: ("Matrix", model.compute_next([], monomials, points, idx, []))),
                (lambda: quillmat.verify(points, g, monomials),
                 lambda: model.verify(points, g, monomials)),
                (lambda: quillmat.verify_2(points, g, monomials),
                 lambda: model.verify(points, g, monomials))):
            assert outcome(call) == model.outcome(modelled, panic_type), (points, monomials, g)


def test_verify_2_on_bit_strings():
    # Points and terms of "0"/"1" up to 64 characters are compared as bit masks;
    # beyond 64 characters, and for points of another length, term by term.
    rng = random.Random(3)
    for n in (1, 7, 63, 64, 65, 130):
        terms = random_strings(rng, 12, n, "01")
        g = [rng.choice(CELLS) for _ in terms]
        for _ in range(30):
            z = random_strings(rng, rng.randint(1, 8), n, "01")
            z += random_strings(rng, 1, n, "0") if rng.random() < 0.3 else []
            assert quillmat.verify_2(z, g, terms) == model.verify(z, g, terms)


WIDE_SHAPES = [(65, 130), (130, 65), (150, 150), (3, 300)]


def wide(rng, rows, cols, kind):
    if kind == "low rank":  # repeated combinations of a few rows
        basis = [[rng.getrandbits(1) for _ in range(cols)] for _ in range(5)]
        matrix = [[0] * cols for _ in range(rows)]
        for row in matrix:
            for b in rng.sample(basis, rng.randint(0, 3)):
                row[:] = [x ^ y for x, y in zip(row, b)]
        return matrix
    density = 0.5 if kind == "dense" else 0.03
    return [[int(rng.random() < density) for _ in range(cols)] for _ in range(rows)]


@pytest.mark.parametrize("kind", ["dense", "sparse", "low rank"])
@pytest.mark.parametrize("rows, cols", WIDE_SHAPES, ids=[f"{r}x{c}" for r, c in WIDE_SHAPES])
def test_wide_bit_matrices(panic_type, rows, cols, kind):
    # Several 64-bit words per row, where the packed elimination decides a word
    # of columns at a time.  kernel() of the unreduced matrix too: there earlier
    # pivot values feed later ones.
    matrix = wide(random.Random(f"{rows} {cols} {kind}"), rows, cols, kind)
    assert_agree(panic_type, matrix)
    assert_agree(panic_type, matrix, reduced=Matrix(matrix).echelon_form()[0].to_list())
    assert_gf2(matrix)


@pytest.mark.parametrize("value, row, col", [(2, 0, 0), (3, 17, 40), (255, 39, 69), (2, 5, 65)])
def test_one_stray_cell_takes_the_byte_path(panic_type, value, row, col):
    # One cell that is not 0 or 1, wherever it sits, sends a wide matrix the
    # byte-wise way, with its own treatment of that cell.
    rng = random.Random(value * 1000 + row)
    matrix = [[rng.getrandbits(1) for _ in range(70)] for _ in range(40)]
    matrix[row][col] = value
    assert_agree(panic_type, matrix)


@pytest.mark.parametrize("n", [70, 600])
def test_few_rows_per_word(panic_type, n):
    # Few rows live in each word of columns, where the elimination visits only
    # those: an identity grown by a random row and column, as the step-by-step
    # search builds it, and rows whose ones fall in one word each.
    rng = random.Random(n)
    grown = [[int(r == c) for c in range(n)] + [rng.getrandbits(1)] for r in range(n)]
    grown.append([rng.getrandbits(1) for _ in range(n + 1)])
    rng.shuffle(grown)
    blocky = [[int(c // 64 == r % 10 and rng.random() < 0.3) for c in range(640)]
              for r in range(n)]
    for matrix in (grown, blocky):
        assert_agree(panic_type, matrix)
        assert_gf2(matrix)


def test_large_bit_matrices_agree_with_replay():
    # Sizes beyond one 64-bit word per row, where the packed elimination works in words.
    rng = random.Random(7)
    for n, m in ((63, 130), (130, 64), (200, 200)):
        rows = [[rng.getrandbits(1) for _ in range(m)] for _ in range(n)]
        reduced, operations = Matrix(rows).echelon_form()
        assert gf2.replay(operations, rows) == reduced.to_list()
        for v in reduced.kernel():
            assert gf2.times(rows, v) == [0] * len(rows)
