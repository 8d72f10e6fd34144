"""quillmat, as the benchmark calls it: inputs are converted before timing,
results (new matrices, operation lists, Python lists) are part of the call."""

from __future__ import annotations

import quillmat

from bench.timing import Job, Statement

NAME = "quillmat"


def _matrix(inputs) -> quillmat.Matrix:
    return quillmat.Matrix(inputs.rows)


def get(inputs) -> Statement:
    return Statement("m.get(0, 0)", {"m": _matrix(inputs)})


def nrows(inputs) -> Statement:
    return Statement("m.nrows()", {"m": _matrix(inputs)})


def construct(inputs) -> Statement:
    return Statement("Matrix(rows)", {"Matrix": quillmat.Matrix, "rows": inputs.rows})


def to_list(inputs) -> Statement:
    return Statement("m.to_list()", {"m": _matrix(inputs)})


def echelon_form(inputs) -> Statement:
    return Statement("m.echelon_form()", {"m": _matrix(inputs)})


def row_echelon_full_matrix(inputs) -> Statement:
    return Statement("m.row_echelon_full_matrix()", {"m": _matrix(inputs)})


def kernel(inputs) -> Statement:
    return Statement("m.kernel()", {"m": _matrix(inputs)})


def rank(inputs) -> Statement:
    # rank() counts the leading columns of an echelon form: reduce first.
    return Statement("m.echelon_form()[0].rank()", {"m": _matrix(inputs)})


def evaluation(inputs) -> Statement:
    return Statement("Matrix.compute_vandermonde(points, monomials)",
                     {"Matrix": quillmat.Matrix, "points": inputs.point_strings,
                      "monomials": inputs.monomial_strings})


def verification(inputs) -> Statement:
    return Statement("verify_2(points, coefficients, monomials)",
                     {"verify_2": quillmat.verify_2, "points": inputs.point_strings,
                      "coefficients": [1] * len(inputs.monomial_strings),
                      "monomials": inputs.monomial_strings})


def main_job(inputs) -> Job:
    return Job(["-m", "bench.job", f"{NAME}:{inputs.method}", inputs.function, str(inputs.n)])


def algebraic_immunity(truth_table: list[int], method: str = "stepwise") -> int:
    """The engine, or a road of quillmat.immunity.stepwise with file descriptor 1
    sent to /dev/null meanwhile (the reduction may announce row exchanges there)."""
    from quillmat import immunity
    from quillmat.immunity import stepwise

    if method == "engine":
        return immunity.algebraic_immunity(truth_table).degree
    with stepwise.quiet_stdout(True):
        return stepwise.algebraic_immunity(truth_table, road=method).degree
