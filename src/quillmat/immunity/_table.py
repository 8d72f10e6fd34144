"""Truth tables: every input form read, and checked, once, into one value.

A `PackedTable` is the package's one currency for a Boolean function: n and
the 2**n values packed eight to a byte, little-endian, so that bit x of the
table (bit x % 8 of byte x // 8) is f(x).  It is what the engine's door
takes, what crosses to worker processes and what every function accepts
without reading it again.  `read_table` makes one from any input form; a
hex string goes to packed bits without passing through one byte per point.
What cannot be read is reported with the likely slip behind it (hex without
its 0x, a polynomial's text, the ASCII digits as bytes, a bare number).
"""

from __future__ import annotations

import importlib
import operator
import re
import sys
from collections.abc import Buffer, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Protocol, TypeAlias, Union

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


class TableOwner(Protocol):
    """An object that gives its own truth table, as SageMath's BooleanFunction
    does: `truth_table()` returns one of the other forms."""

    def truth_table(self) -> Any: ...


TruthTable = Union[PackedTable, Sequence[int], bytes, bytearray, memoryview, str, NumericArray,
                   Buffer, TableOwner]

HexOrder: TypeAlias = Literal["msb-first", "lsb-first"]
"""How a "0x..." str is read: "msb-first", its binary expansion is the table,
f(0) first (the top bit of the number); "lsb-first", bit x of the number is
f(x), as SageMath's BooleanFunction reads a hex str."""
HEX_ORDERS: tuple[str, ...] = ("msb-first", "lsb-first")

# '0'/'1' to the bytes 0/1 and back.
_VALUES = bytes.maketrans(b"01", b"\x00\x01")
_DIGITS = bytes.maketrans(b"\x00\x01", b"01")
# Each byte with its eight bits in the opposite order.
_REVERSED = bytes(int(format(b, "08b")[::-1], 2) for b in range(256))
_HEX = re.compile(r"[0-9a-fA-F]+")
# The characters of a polynomial's text, and one of its variables.
_POLYNOMIAL = re.compile(r"[x0-9*+ \t]+")
_VARIABLE = re.compile(r"x[0-9]")
_QUOTE = 40


def quoted(text: str) -> str:
    """`text` as a message quotes it: its repr, cut to its first 40 characters
    and "..." when longer, so that a megabyte of input never becomes a
    megabyte of message."""
    if len(text) <= _QUOTE:
        return repr(text)
    return repr(text[:_QUOTE]) + "..."


def packed_size(n: int) -> int:
    """The bytes of a packed table of n variables."""
    return ((1 << n) + 7) // 8


def read_table(f: TruthTable, *, hex_order: HexOrder = "msb-first") -> PackedTable:
    """f read and checked, as a PackedTable; a PackedTable is returned as it is.

    `hex_order` says how a "0x..." str is read (see HexOrder); it is ignored
    for every other form.  Raises TypeError for an object that is no truth
    table, and ValueError for a length that is not a power of two, a value
    other than 0 and 1, or more than MAX_VARIABLES variables."""
    if not (isinstance(hex_order, str) and hex_order in HEX_ORDERS):
        shown = quoted(hex_order) if isinstance(hex_order, str) else type(hex_order).__name__
        raise ValueError(f"hex_order is 'msb-first' or 'lsb-first', not {shown}")
    return _read(f, hex_order, owner=True)


def _read(f: object, hex_order: str, owner: bool) -> PackedTable:
    if isinstance(f, PackedTable):
        return f
    if isinstance(f, str):
        if f[:2] in ("0x", "0X"):
            return _from_hex(f, hex_order)
        return _from_values(_from_text(f))
    if isinstance(f, (bytes, bytearray)):
        return _from_values(bytes(f))
    if isinstance(f, memoryview):
        return _from_buffer(f)
    if _is_array(f):
        return _from_array(f)
    if isinstance(f, Sequence):  # by its items, even when it has a buffer too
        return _from_values(_from_sequence(f))
    kind = type(f).__name__
    if hasattr(type(f), "__index__") and not isinstance(f, bool):  # numpy's integers too
        number = operator.index(f)  # type: ignore[arg-type]
        example = quoted(hex(number)) if number >= 0 else "'0x6996'"
        raise TypeError(f"a truth table is a sequence of 0/1 values, bytes, a numpy array or a "
                        f"str, not {kind!r}: a number is ambiguous, since its leading zeros, and "
                        f"so n, are lost; pass the str {example} or a sequence of 0/1 values")
    if isinstance(f, Buffer):
        return _from_buffer(memoryview(f))
    method = getattr(f, "truth_table", None)
    if owner and callable(method):
        return _read(method(), hex_order, owner=False)
    raise TypeError("a truth table is a sequence of 0/1 values, bytes, a numpy array or a str, "
                    f"not {kind!r}")


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
        message = f"f[{index}] is {data[index]}; a truth table holds 0 and 1 only"
        if not data.translate(None, b"01"):
            message += ("; these are the ASCII digits '0' and '1': pass the str "
                        f"{quoted(data.decode('ascii'))}")
        raise ValueError(message)
    # Reversed, f(0) is the last binary digit: the lowest bit of the number.
    value = int(data.translate(_DIGITS)[::-1], 2)
    return PackedTable(n, value.to_bytes(packed_size(n), "little"))


def _from_hex(text: str, order: str) -> PackedTable:
    """Hex digits, read in either order.  Most significant bit first, the
    binary expansion is the table, f(0) first: each byte of bytes.fromhex
    holds f(8k) .. f(8k + 7) from its top bit down, so reversing each byte's
    bits packs it.  Least significant bit first, bit x of the number is f(x):
    the bytes of bytes.fromhex, last first, are the packed table."""
    digits = text[2:]
    if len(digits) > (1 << MAX_VARIABLES) // 4:
        raise ValueError(f"a hex truth table of more than {MAX_VARIABLES} variables")
    if not _HEX.fullmatch(digits):
        raise ValueError(f"not a hex truth table: {quoted(text)}")
    n = _variables(4 * len(digits))
    if order == "lsb-first":
        if len(digits) == 1:  # four values: the low half of one byte
            digits = "0" + digits
        return PackedTable(n, bytes.fromhex(digits)[::-1])
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
        message = f"character {index} of the truth table is {text[index]!r}, not '0' or '1'"
        # What the str more likely is: hex digits without their 0x, or a polynomial.
        if _HEX.fullmatch(text):
            message += f"; hex digits need the 0x prefix: {quoted('0x' + text)}"
        elif _POLYNOMIAL.fullmatch(text) and _VARIABLE.search(text):
            message += "; for a polynomial's text, use from_anf(text, n)"
        raise ValueError(message)
    return data.translate(_VALUES)


def _from_sequence(values: Sequence[object]) -> bytes:
    # bytes() of a list or tuple reads its items; of anything else it may read
    # a buffer's raw bytes, or make n zero bytes of an object with __index__.
    items = values if type(values) in (list, tuple, range) else list(values)
    try:
        return bytes(items)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        pass
    numpy = sys.modules.get("numpy")
    numpy_bool = numpy.bool_ if numpy is not None else bool
    data = bytearray(len(items))
    for index, value in enumerate(items):
        if isinstance(value, numpy_bool):  # numpy's bool has no __index__
            number = 1 if value else 0
        elif isinstance(value, str) or not hasattr(type(value), "__index__"):
            raise TypeError(f"f[{index}] is a {type(value).__name__!r}, not 0 or 1")
        else:
            number = operator.index(value)  # type: ignore[arg-type]
        if number not in (0, 1):
            raise ValueError(f"f[{index}] is {value!r}; a truth table holds 0 and 1 only")
        data[index] = number
    return bytes(data)


def _from_buffer(view: memoryview) -> PackedTable:
    """A buffer's items: one byte each for a format of one byte, else as
    memoryview.tolist() reads them."""
    if view.ndim != 1:
        raise ValueError("a truth table is one-dimensional; got a buffer of shape "
                         f"{view.shape}")
    code = view.format.lstrip("@=<>!")
    if view.itemsize == 1 and code in ("B", "c", "?"):
        return _from_values(view.tobytes())
    if code == "b":  # -1 is byte 255: only a table of 0 and 1 is read as bytes
        data = view.tobytes()
        if not data.translate(None, b"\x00\x01"):
            return _from_values(data)
    try:
        items = view.tolist()
    except NotImplementedError:
        raise TypeError(f"a buffer of format {view.format!r} cannot be read as a truth table"
                        ) from None
    return _from_values(_from_sequence(items))


def _is_array(f: object) -> bool:
    """A numpy array or an array of a subclass (galois's GF(2) arrays are one),
    without importing numpy: an array exists only once numpy is imported."""
    numpy = sys.modules.get("numpy")
    return numpy is not None and isinstance(f, numpy.ndarray)


def _from_array(f: object) -> PackedTable:
    numpy = importlib.import_module("numpy")  # by name: see NumericArray
    array = numpy.asarray(f)  # a subclass's own operators are not those of the integers
    if array.ndim != 1:
        raise ValueError(f"a truth table is one-dimensional; got an array of shape {array.shape}")
    if array.dtype.kind not in "biu":
        raise TypeError(f"a truth table array holds bools or integers, not {array.dtype}")
    n = _variables(array.size)
    bad = numpy.flatnonzero((array != 0) & (array != 1))
    if bad.size:
        raise ValueError(f"f[{bad[0]}] is {array[bad[0]]}; a truth table holds 0 and 1 only")
    return PackedTable(n, numpy.packbits(array.astype(numpy.uint8), bitorder="little").tobytes())
