"""The Matrix API's roads to the algebraic immunity (quillmat.immunity.stepwise),
and the example program that shows them."""

import itertools
import math
import pathlib
import random
import subprocess
import sys

import pytest

import gf2

from quillmat.immunity import stepwise as ai

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "algebraic_immunity.py"


def brute_force(table):
    """The lowest d for which the monomials of degree <= d are dependent on
    the support of f or of f + 1, by rank of the evaluation matrices."""
    n = len(table).bit_length() - 1
    for d in range(n + 1):
        monomials = ai.monomials_by_degree(n, d)
        for value in (1, 0):
            rows = [[int(all(p >= e for p, e in zip(point, m))) for m in monomials]
                    for point in ai.support(table, value)]
            if gf2.rank(rows) < len(monomials):
                return d
    raise AssertionError("every function has an annihilator")


def vanishes(monomials, points):
    return all(sum(all(p >= e for p, e in zip(x, m)) for m in monomials) % 2 == 0
               for x in points)


def tables():
    for n in (1, 2, 3):
        yield from (list(t) for t in itertools.product((0, 1), repeat=2**n))
    rng = random.Random(2026)
    for n in (4, 5, 6):
        yield from ([rng.randint(0, 1) for _ in range(2**n)] for _ in range(40))


@pytest.fixture
def quiet(capfd):
    """The reductions announce row exchanges on file descriptor 1; swallow them."""
    yield
    capfd.readouterr()


@pytest.mark.parametrize("method", list(ai.ROADS))
def test_immunity_matches_brute_force(quiet, method):
    for table in tables():
        result = ai.algebraic_immunity(table, road=method)
        assert result.degree == brute_force(table), table
        assert result.degree == max(map(ai.degree, result.monomials))
        assert vanishes(result.monomials, ai.support(table, 0 if result.of_complement else 1))


@pytest.mark.parametrize("n", range(3, 10))
def test_majority(quiet, n):
    assert ai.algebraic_immunity(ai.majority(n), road="at-once").degree == math.ceil(n / 2)


def run(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), *args],
                          capture_output=True, text=True, timeout=120)


def test_command_line_prints_a_verified_annihilator():
    done = run("majority", "--vars", "5")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "algebraic immunity: 3" in lines
    assert "verify on the support of f: (True, None)" in lines
    assert "inverting" not in lines  # kept off standard output unless asked for
    assert "x0*x1*x2" in done.stdout


def test_truth_tables_by_hex_and_bits_agree():
    assert run("0x6").stdout.splitlines()[1:3] == run("0110").stdout.splitlines()[1:3]


@pytest.mark.parametrize("args, message", [
    (["011"], "2**n values; got 3"),
    (["foo"], "(or name a function: majority, random)"),
    (["0xzz"], "not a hex truth table"),
    (["majority", "--vars", "0"], "out of range"),
    (["random", "--vars", "15", "--method", "stepwise"], "out of range"),
    (["random", "--vars", "21"], "out of range"),
    (["--no-such-option"], "unrecognized arguments"),
    (["majority", "--vars", "x"], "invalid int value"),
])
def test_bad_input_is_one_line_and_status_2(args, message):
    done = run(*args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr
