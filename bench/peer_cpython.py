"""CPython itself: the cost of a call and of building rows, for the call
overhead and conversion workloads."""

from __future__ import annotations

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
