"""Truth tables: every input form read, and checked, once, into one value.

A `PackedTable` is the package's one currency for a Boolean function: n and
the 2**n values packed eight to a byte, little-endian, so that bit x of the
table (bit x % 8 of byte x // 8) is f(x).  It is what the engine's door
takes, what crosses to worker processes and what every function accepts
without reading it again.  `read_table` makes one from any input form; a
hex string goes to packed bits without passing through one byte per point.
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Protocol, Union

from quillmat import _engine

MAX_VARIABLES: int = _engine.max_variables
"""The most variables a truth table may have."""


class NumericArray(Protocol):
    """A one-dimensional numpy array of bools or integers, as type checkers see
    it: numpy is optional, and an installed quillmat must type-check without it."""

    @property
    def dtype(self) -> Any: ...

    def tolist(self) -> Any: ...


@dataclass(frozen=True)
class PackedTable:
    """A truth table of n variables, read and checked: bit x of `bits` (bit
    x % 8 of byte x // 8) is f(x).  The bits past 2**n in the last byte of a
    table of fewer than three variables are 0."""

    n: int
    """The number of variables."""
    bits: bytes
    """The (2**n + 7) // 8 bytes of the table, f(0) the lowest bit of the first."""

    def __post_init__(self) -> None:
        if type(self.n) is not int or type(self.bits) is not bytes:
            raise TypeError("a PackedTable is an int n and the bytes of its bits")
        if not 0 <= self.n <= MAX_VARIABLES:
            raise ValueError(f"a truth table of {self.n} variables; at most {MAX_VARIABLES} "
                             "are supported")
        if len(self.bits) != packed_size(self.n):
            raise ValueError(f"a truth table of {self.n} variables packs into "
                             f"{packed_size(self.n)} bytes, not {len(self.bits)}")
        if self.n < 3 and self.bits[0] >> (1 << self.n):
            raise ValueError(f"the bits past the {1 << self.n} values of the table are not 0")

    def __len__(self) -> int:
        return 1 << self.n

    def weight(self) -> int:
        """The number of points where f is 1."""
        return int.from_bytes(self.bits, "little").bit_count()

    def unpacked(self) -> bytes:
        """One byte per point, 0 or 1, f(0) first."""
        size = 1 << self.n
        text = format(int.from_bytes(self.bits, "little"), f"0{size}b")[::-1]
        return text.encode("ascii").translate(_VALUES)


TruthTable = Union[PackedTable, Sequence[int], bytes, bytearray, memoryview, str, NumericArray]

# '0'/'1' to the bytes 0/1 and back.
_VALUES = bytes.maketrans(b"01", b"\x00\x01")
_DIGITS = bytes.maketrans(b"\x00\x01", b"01")
# Each byte with its eight bits in the opposite order.
_REVERSED = bytes(int(format(b, "08b")[::-1], 2) for b in range(256))
_HEX = re.compile(r"[0-9a-fA-F]+")


def packed_size(n: int) -> int:
    """The bytes of a packed table of n variables."""
    return ((1 << n) + 7) // 8


def read_table(f: TruthTable) -> PackedTable:
    """f read and checked, as a PackedTable; a PackedTable is returned as it is.

    Raises TypeError for an object that is no truth table, and ValueError for
    a length that is not a power of two, a value other than 0 and 1, or more
    than MAX_VARIABLES variables."""
    if isinstance(f, PackedTable):
        return f
    if isinstance(f, str):
        if f[:2] in ("0x", "0X"):
            return _from_hex(f)
        return _from_values(_from_text(f))
    if isinstance(f, (bytes, bytearray)):
        return _from_values(bytes(f))
    if isinstance(f, memoryview) and f.itemsize == 1 and f.format in ("B", "b", "c", "?"):
        return _from_values(f.tobytes())
    if isinstance(f, memoryview):
        return _from_values(_from_sequence(f.tolist()))
    if _is_array(f):
        return _from_array(f)
    if isinstance(f, Sequence):
        return _from_values(_from_sequence(f))
    raise TypeError("a truth table is a sequence of 0/1 values, bytes, a numpy array or a str, "
                    f"not {type(f).__name__!r}")


def _variables(size: int) -> int:
    """n for a table of `size` values, with the length checks every form shares."""
    n = size.bit_length() - 1
    if size == 0 or size != 1 << n:
        raise ValueError(f"a truth table has 2**n values; got {size}")
    if n > MAX_VARIABLES:
        raise ValueError(f"a truth table of {n} variables; at most {MAX_VARIABLES} are supported")
    return n


def _from_values(data: bytes) -> PackedTable:
    """A table given as one byte per point."""
    n = _variables(len(data))
    if data.translate(None, b"\x00\x01"):
        index = next(i for i, value in enumerate(data) if value > 1)
        raise ValueError(f"f[{index}] is {data[index]}; a truth table holds 0 and 1 only")
    # Reversed, f(0) is the last binary digit: the lowest bit of the number.
    value = int(data.translate(_DIGITS)[::-1], 2)
    return PackedTable(n, value.to_bytes(packed_size(n), "little"))


def _from_hex(text: str) -> PackedTable:
    """Hex digits whose binary expansion, most significant bit first, is the
    table, f(0) first: each byte of bytes.fromhex holds f(8k) .. f(8k + 7)
    from its top bit down, so reversing each byte's bits packs it."""
    digits = text[2:]
    if len(digits) > (1 << MAX_VARIABLES) // 4:
        raise ValueError(f"a hex truth table of more than {MAX_VARIABLES} variables")
    if not _HEX.fullmatch(digits):
        raise ValueError(f"not a hex truth table: {text[:40]!r}")
    n = _variables(4 * len(digits))
    if len(digits) == 1:  # four values: the high half of one byte
        digits += "0"
    return PackedTable(n, bytes.fromhex(digits).translate(_REVERSED))


def _from_text(text: str) -> bytes:
    try:
        data = text.encode("ascii")
    except UnicodeEncodeError:
        data = b"\xff" * len(text)  # reported below, by position
    if data.translate(None, b"01"):
        index = next(i for i, c in enumerate(text) if c not in "01")
        raise ValueError(f"character {index} of the truth table is {text[index]!r}, not '0' or '1'")
    return data.translate(_VALUES)


def _from_sequence(values: Sequence[object]) -> bytes:
    try:
        return bytes(values)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        pass
    # Name the first value that is not 0 or 1.
    for index, value in enumerate(values):
        if isinstance(value, str) or not hasattr(type(value), "__index__"):
            raise TypeError(f"f[{index}] is a {type(value).__name__!r}, not 0 or 1")
        if value.__index__() not in (0, 1):  # type: ignore[attr-defined]
            raise ValueError(f"f[{index}] is {value!r}; a truth table holds 0 and 1 only")
    raise TypeError(f"a {type(values).__name__!r} that cannot be read as a truth table")


def _is_array(f: object) -> bool:
    """A numpy array, without importing numpy unless the object comes from it."""
    return type(f).__module__ == "numpy" and hasattr(f, "dtype")


def _from_array(f: object) -> PackedTable:
    numpy = importlib.import_module("numpy")  # by name: see NumericArray
    array = numpy.asarray(f)
    if array.ndim != 1:
        raise ValueError(f"a truth table is one-dimensional; got an array of shape {array.shape}")
    if array.dtype.kind not in "biu":
        raise TypeError(f"a truth table array holds bools or integers, not {array.dtype}")
    n = _variables(array.size)
    bad = numpy.flatnonzero((array != 0) & (array != 1))
    if bad.size:
        raise ValueError(f"f[{bad[0]}] is {array[bad[0]]}; a truth table holds 0 and 1 only")
    return PackedTable(n, numpy.packbits(array.astype(numpy.uint8), bitorder="little").tobytes())
