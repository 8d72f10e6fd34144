"""Reading point sets and S-box tables, each checked once, into arrays of
unsigned 64-bit integers: the currency of the engine's point-by-point door."""

from __future__ import annotations

import importlib
import operator
import sys
from array import array
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from quillmat.immunity._table import MAX_VARIABLES, quoted

MAX_POINT_VARIABLES = 64
"""The most variables a point set may have: a point is a 64-bit integer."""


@dataclass(frozen=True)
class SBoxTable:
    """An S-box S: F_2^n -> F_2^m read and checked: its 2**n values, each below 2**m.

    Bit i of x is x_i and bit j of S(x) is y_j, as in a truth table."""

    n: int
    """Input bits."""
    m: int
    """Output bits."""
    values: array[int]
    """S(0), S(1), ..., S(2**n - 1), an array of unsigned 64-bit integers."""

    def __len__(self) -> int:
        return len(self.values)

    def __hash__(self) -> int:  # the array itself is not hashable
        return hash((self.n, self.m, self.values.tobytes()))

    def graph(self) -> array[int]:
        """The points (x, S(x)) of the graph as x | S(x) << n: y_j is variable n + j."""
        n = self.n
        return array("Q", (x | y << n for x, y in enumerate(self.values)))


def _integers(items: Sequence[object], what: str) -> array[int]:
    """Non-negative integers below 2**64, with the first bad item named."""
    try:
        return array("Q", items)  # type: ignore[arg-type]
    except (TypeError, OverflowError):
        pass
    numbers = array("Q")
    for index, item in enumerate(items):
        if isinstance(item, (bool, str, bytes)) or not hasattr(type(item), "__index__"):
            raise TypeError(f"{what}[{index}] is a {type(item).__name__!r}, not an int")
        number = operator.index(item)  # type: ignore[arg-type]
        if not 0 <= number < 1 << 64:
            raise ValueError(f"{what}[{index}] is {number}, not an integer from 0 to 2**64 - 1")
        numbers.append(number)
    return numbers


def _numpy_integers(values: Any, what: str) -> array[int]:
    numpy = importlib.import_module("numpy")  # by name: numpy is optional
    a = numpy.asarray(values)  # a subclass's own operators are not those of the integers
    if a.dtype.kind not in "biu":
        raise TypeError(f"{what} array holds integers, not {a.dtype}")
    if a.ndim != 1:
        raise ValueError(f"{what} array is one-dimensional; got one of shape {a.shape}")
    if a.dtype.kind == "i" and a.size and int(a.min()) < 0:
        index = int(numpy.flatnonzero(a < 0)[0])
        raise ValueError(f"{what}[{index}] is {a[index]}, not an integer from 0 to 2**64 - 1")
    return array("Q", numpy.ascontiguousarray(a, dtype=numpy.uint64).tobytes())


def _is_array(values: object) -> bool:
    numpy = sys.modules.get("numpy")
    return numpy is not None and isinstance(values, numpy.ndarray)


def _is_buffer(values: object) -> bool:
    """A memoryview or another object with the buffer protocol (an
    array.array among them), read item by item rather than iterated: a
    buffer of several dimensions has no items to iterate."""
    return isinstance(values, memoryview) or hasattr(type(values), "__buffer__")


def _from_buffer(values: object, what: str, item: str) -> array[int]:
    """A one-dimensional buffer's items; `what` names the whole in messages,
    `item` each value ("S" for S[3])."""
    view = memoryview(values)  # type: ignore[arg-type]
    if view.ndim != 1:
        raise ValueError(f"{what} is one-dimensional; got a buffer of shape {view.shape}")
    try:
        items = view.tolist()
    except NotImplementedError:
        raise TypeError(f"a buffer of format {view.format!r} holds no integers for {what}"
                        ) from None
    return _integers(items, item)


def _point_strings(points: Sequence[str], n: int) -> array[int]:
    numbers = array("Q")
    for index, text in enumerate(points):
        if not isinstance(text, str):
            raise TypeError(f"points[{index}] is a {type(text).__name__!r}; the points are "
                            "either all ints or all '0'/'1' strings")
        if len(text) != n or text.strip("01"):
            raise ValueError(f"points[{index}] is {quoted(text)}, not a string of {n} '0'/'1' "
                             "characters (character i is x_i)")
        numbers.append(int(text[::-1], 2) if n else 0)
    return numbers


def variables(n: Any, most: int, what: str = "n") -> int:
    if isinstance(n, bool) or not hasattr(type(n), "__index__"):
        raise TypeError(f"{what} must be an int, not {type(n).__name__!r}")
    count = operator.index(n)
    if not 0 <= count <= most:
        raise ValueError(f"{what} must be from 0 to {most}, not {count}")
    return int(count)


def read_points(points: Any, n: int) -> tuple[int, array[int]]:
    """(n, the points as unsigned 64-bit integers), each point checked to lie
    in F_2^n: an int whose bit i is x_i, or a str of n '0'/'1' characters
    whose character i is x_i ("110" is x0 = x1 = 1, x2 = 0, the int 3)."""
    count = variables(n, MAX_POINT_VARIABLES)
    if isinstance(points, (str, bytes)):
        raise TypeError("points is a sequence of points, each an int or a '0'/'1' str, not a "
                        f"single {type(points).__name__!r}")
    if isinstance(points, array) and points.typecode == "Q":
        values = points
    elif _is_array(points):
        values = _numpy_integers(points, "points")
    elif _is_buffer(points):
        values = _from_buffer(points, "a point set", "points")
    elif isinstance(points, Sequence) or hasattr(points, "__iter__"):
        items = points if type(points) in (list, tuple) else list(points)
        if items and isinstance(items[0], str):
            return count, _point_strings(items, count)
        values = _integers(items, "points")
    else:
        raise TypeError("points is a sequence of points, each an int or a '0'/'1' str, not "
                        f"{type(points).__name__!r}")
    if count < 64 and values and max(values) >> count:
        index = next(i for i, v in enumerate(values) if v >> count)
        raise ValueError(f"points[{index}] is {values[index]:#x}, which has a 1 past "
                         f"x{count - 1 if count else 0}: it is no point of F_2^{count} "
                         f"(it needs n >= {values[index].bit_length()})")
    return count, values


def read_sbox(sbox: Any, n: int | None = None, m: int | None = None) -> SBoxTable:
    """An S-box read and checked: a sequence of ints (an sboxU S-box is one),
    bytes, an array.array, a numpy array, any buffer of integers, an object
    with input_size() and output_size() called on each x (SageMath's SBox),
    or one with truth_table() (SageMath's BooleanFunction, an S-box of one
    output bit); an SBoxTable as it is.  n and m are inferred (m from the
    largest value) unless given, and checked when given."""
    bits = None if m is None else variables(m, MAX_POINT_VARIABLES, "m")
    if isinstance(sbox, SBoxTable):
        table = sbox if bits is None or bits == sbox.m else _checked(sbox.values, bits)
    else:
        table = _read_sbox(sbox, bits)
    if n is not None and variables(n, MAX_VARIABLES, "n") != table.n:
        raise ValueError(f"an S-box of n = {n} input bits has 2**{n} values, not {len(table)}")
    return table


def _read_sbox(sbox: Any, m: int | None) -> SBoxTable:
    if isinstance(sbox, str):
        raise TypeError("an S-box is its table of values (a sequence of ints, bytes, an array), "
                        "not a str; the command line reads comma-separated or hex tables")
    sizes = getattr(sbox, "input_size", None), getattr(sbox, "output_size", None)
    if callable(sizes[0]) and callable(sizes[1]) and callable(sbox):
        size = 1 << operator.index(sizes[0]())
        values = _integers([sbox(x) for x in range(size)], "S")
        return _checked(values, operator.index(sizes[1]()) if m is None else m)
    if isinstance(sbox, array) and sbox.typecode == "Q":
        values = sbox
    elif _is_array(sbox):
        values = _numpy_integers(sbox, "the S-box's")
    elif isinstance(sbox, (bytes, bytearray)):
        values = array("Q", iter(sbox))
    elif _is_buffer(sbox):
        values = _from_buffer(sbox, "an S-box's table", "S")
    elif isinstance(sbox, Sequence):
        values = _integers(sbox, "S")
    elif callable(getattr(sbox, "truth_table", None)):
        values = _integers(list(sbox.truth_table()), "S")  # type: ignore[attr-defined]
        return _checked(values, 1)
    else:
        raise TypeError("an S-box is a sequence of ints, bytes, an array or a SageMath SBox, "
                        f"not {type(sbox).__name__!r}")
    return _checked(values, m)


def _checked(values: array[int], m: int | None) -> SBoxTable:
    size = len(values)
    n = size.bit_length() - 1
    if size == 0 or size != 1 << n:
        raise ValueError(f"an S-box's table has 2**n values, one for each input; got {size}")
    if n > MAX_VARIABLES:
        raise ValueError(f"an S-box of {n} input bits; at most {MAX_VARIABLES} are supported")
    largest = max(values)
    bits = max(1, largest.bit_length()) if m is None else m
    if largest >> bits:
        index = values.index(largest)
        raise ValueError(f"S({index}) = {largest} is not below 2**{bits} (m = {bits})")
    return SBoxTable(n, bits, values)
