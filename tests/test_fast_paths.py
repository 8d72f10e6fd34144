"""Fast paths against general paths.

QUILLMAT_GENERAL_PATHS=1 turns every fast path off.  The same seeded inputs
run here and in a process with that setting must give identical results,
operations lists and failure texts."""

import os
import random
import subprocess
import sys

import quillmat

Matrix = quillmat.Matrix
CELLS = [0, 1, 0, 1, 2, 3, 255]


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


def outcome(call):
    try:
        result = call()
    except BaseException as failure:
        return f"{type(failure).__name__}: {failure}"
    if isinstance(result, tuple) and isinstance(result[0], Matrix):
        return repr((result[0].to_list(), result[1]))
    return repr(result.to_list() if isinstance(result, Matrix) else result)


def outcomes(seed, count):
    rng = random.Random(seed)
    seen = []
    for case in range(count):
        rows = random_rows(rng, bits_only=case % 2 == 0)
        m = Matrix(rows)
        reduced = m
        if case % 3:
            try:
                reduced = m.echelon_form()[0]
            except BaseException:  # a ragged matrix may fail to reduce
                pass
        seen += [outcome(m.echelon_form), outcome(m.row_echelon_full_matrix),
                 outcome(reduced.kernel), outcome(m.rank)]
        # Strings: mostly "0"/"1", sometimes other digits, a letter or a non-ASCII character.
        alphabet = "01" if case % 2 == 0 else rng.choice(["012", "01x", "01é", "019"])
        n = rng.choice([0, 1, 3, 5, 64, 65])
        points = random_strings(rng, rng.randint(0, 6), n, alphabet)
        monomials = random_strings(rng, rng.randint(0, 6), n + rng.choice([0, 0, -1, 1]), alphabet)
        g = [rng.choice(CELLS) for _ in range(rng.randint(0, len(monomials) + 1))]
        idx = rng.randint(0, 3)
        seen += [outcome(lambda: Matrix.compute_vandermonde(points, monomials)),
                 outcome(lambda: m.fill_rows(points, monomials)),
                 outcome(lambda: m.construct_and_add_column(points, monomials[0] if monomials else "", [])),
                 outcome(lambda: Matrix([]).compute_next(monomials, points, idx, [])),
                 outcome(lambda: quillmat.verify(points, g, monomials)),
                 outcome(lambda: quillmat.verify_2(points, g, monomials))]
    return seen


def wide_outcomes(seed):
    """Bit matrices over several 64-bit words per row, where the packed
    elimination decides a word of columns at a time: dense, sparse, and of
    low rank (repeated combinations of a few rows), in both shapes."""
    rng = random.Random(seed)
    seen = []
    for rows, cols in ((65, 130), (130, 65), (150, 150), (3, 300)):
        for kind in ("dense", "sparse", "low rank"):
            if kind == "low rank":
                basis = [[rng.getrandbits(1) for _ in range(cols)] for _ in range(5)]
                matrix = [[0] * cols for _ in range(rows)]
                for row in matrix:
                    for b in rng.sample(basis, rng.randint(0, 3)):
                        row[:] = [x ^ y for x, y in zip(row, b)]
            else:
                density = 0.5 if kind == "dense" else 0.03
                matrix = [[int(rng.random() < density) for _ in range(cols)] for _ in range(rows)]
            m = Matrix(matrix)
            # kernel() of an unreduced matrix: earlier pivot values feed later ones.
            seen += [outcome(m.echelon_form), outcome(m.row_echelon_full_matrix),
                     outcome(m.echelon_form()[0].kernel), outcome(m.kernel), outcome(m.rank)]
    # One cell that is not 0 or 1 sends a wide matrix to the byte path, wherever it sits.
    for value, (r, c) in zip((2, 3, 255, 2), ((0, 0), (17, 40), (39, 69), (5, 65))):
        matrix = [[rng.getrandbits(1) for _ in range(70)] for _ in range(40)]
        matrix[r][c] = value
        m = Matrix(matrix)
        seen += [outcome(m.echelon_form), outcome(m.row_echelon_full_matrix), outcome(m.kernel)]
    # Few rows live in each word of columns, where the elimination visits only those:
    # an identity grown by a random row and column, as the step-by-step search
    # builds it, and rows whose ones fall in one word each.
    for n in (70, 600):
        grown = [[int(r == c) for c in range(n)] + [rng.getrandbits(1)] for r in range(n)]
        grown.append([rng.getrandbits(1) for _ in range(n + 1)])
        rng.shuffle(grown)
        blocky = [[int(c // 64 == r % 10 and rng.random() < 0.3) for c in range(640)]
                  for r in range(n)]
        for matrix in (grown, blocky):
            m = Matrix(matrix)
            seen += [outcome(m.echelon_form), outcome(m.row_echelon_full_matrix),
                     outcome(m.kernel)]
    return seen


def general_path(function, *args):
    """function(*args) from this module, run in a process with the fast paths off."""
    env = dict(os.environ, QUILLMAT_GENERAL_PATHS="1")
    code = f"import test_fast_paths as t; print(repr(t.{function}{args!r}))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          cwd=os.path.dirname(__file__), timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return eval(done.stdout)


def assert_same(fast, general):
    assert len(fast) == len(general)
    for index, (a, b) in enumerate(zip(fast, general)):
        assert a == b, (index, a[:300], b[:300])


def test_fast_and_general_paths_agree():
    seed, count = 20261208, 400
    assert_same(outcomes(seed, count), general_path("outcomes", seed, count))


def test_wide_bit_matrices_agree_with_general_path():
    assert_same(wide_outcomes(11), general_path("wide_outcomes", 11))


def test_large_bit_matrices_agree_with_replay():
    # Sizes beyond one 64-bit word per row, where the packed elimination works in words.
    rng = random.Random(7)
    for n, m in ((63, 130), (130, 64), (200, 200)):
        rows = [[rng.getrandbits(1) for _ in range(m)] for _ in range(n)]
        reduced, operations = Matrix(rows).echelon_form()
        work = [row[:] for row in rows]
        for target, source in operations:
            work[target] = [a ^ b for a, b in zip(work[target], work[source])]
        assert work == reduced.to_list()
        for v in reduced.kernel():
            assert all(sum(a & b for a, b in zip(row, v)) % 2 == 0 for row in rows)
