"""CPython itself: the cost of a call and of building rows, for the call
overhead and conversion workloads, and of building a reduction's or an
evaluation's result objects alone, the floor for any extension that returns
them."""

from __future__ import annotations

import quillmat

from bench.timing import Statement

NAME = "CPython"


def dict_get(inputs) -> Statement:
    return Statement("d.get(0, 0)", {"d": {0: 1}})


def bit_length(inputs) -> Statement:
    return Statement("x.bit_length()", {"x": 5})


def rows_to_bytes(inputs) -> Statement:
    return Statement("[bytes(r) for r in rows]", {"rows": inputs.rows})


def bytes_to_lists(inputs) -> Statement:
    return Statement("[list(b) for b in byte_rows]",
                     {"byte_rows": [bytes(r) for r in inputs.rows]})


# The floors: what building a result of the same shape costs CPython itself,
# whoever computes it.


def operations_list(inputs) -> Statement:
    """A reduction's operations list alone: the same (target, source) pairs,
    zipped from lists of their (shared) ints."""
    _, operations = quillmat.Matrix(inputs.rows).echelon_form()
    return Statement("list(zip(targets, sources))",
                     {"targets": [t for t, _ in operations], "sources": [s for _, s in operations]})


def evaluation_lists(inputs) -> Statement:
    """An evaluation matrix's list of lists alone, from its rows as bytes."""
    rows = quillmat.Matrix.compute_vandermonde(inputs.point_strings, inputs.monomial_strings)
    return Statement("[list(b) for b in byte_rows]", {"byte_rows": [bytes(r) for r in rows]})
