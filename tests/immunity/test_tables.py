"""Truth tables read once into packed bits: every form packs to the same bits,
the packing is f(x) at bit x, and a packed table crosses to the engine and to
worker processes as it is."""

import array
import collections.abc
import ctypes
import mmap
import os
import json
import pathlib
import pickle
import random
import subprocess
import sys

import pytest

from quillmat import immunity
from quillmat.immunity import PackedTable, read_table


def tables(rng):
    for n in range(0, 11):
        for _ in range(6):
            yield bytes(rng.randrange(2) for _ in range(1 << n))


def test_every_form_packs_to_bit_x_equal_to_f_of_x():
    for table in tables(random.Random(3)):
        n = len(table).bit_length() - 1
        packed = read_table(table)
        # Bit x of the bytes, read as one little-endian number, is f(x).
        number = int.from_bytes(packed.bits, "little")
        assert [number >> x & 1 for x in range(1 << n)] == list(table)
        assert (packed.n, len(packed.bits), packed.weight()) == (n, -(-(1 << n) // 8), sum(table))
        text = "".join(map(str, table))
        forms = [list(table), bytearray(table), memoryview(table), text, packed]
        if n >= 2:  # hex: the binary expansion, most significant bit first, is the table
            forms.append("0x" + format(int(text, 2), f"0{(1 << n) // 4}x"))
        for form in forms:
            assert read_table(form) == packed, (form, packed)
        assert packed.unpacked() == table == immunity.truth_table(packed)


def test_a_packed_table_is_taken_as_it_is():
    packed = read_table("0x6996")
    assert read_table(packed) is packed
    assert immunity.algebraic_immunity(packed) == immunity.algebraic_immunity("0x6996")
    assert immunity.annihilators(packed, 2) == immunity.annihilators("0x6996", 2)
    # Two bytes of bits, not sixteen of values, in a pickle of n = 14: what a
    # worker process receives.
    big = read_table("0x" + "1" * (1 << 12))
    assert len(pickle.dumps(big)) < (1 << 14) // 8 + 200
    assert pickle.loads(pickle.dumps(big)) == big


@pytest.mark.parametrize("n, bits, error, message", [
    (2, b"\x06\x00", ValueError, "packs into 1 bytes, not 2"),
    (4, b"\x06", ValueError, "packs into 2 bytes, not 1"),
    (1, b"\x06", ValueError, "bits past the 2 values"),
    (0, b"\x02", ValueError, "bits past the 1 values"),
    (-1, b"\x00", ValueError, "-1 variables"),
    (immunity.MAX_VARIABLES + 1, b"", ValueError, "at most"),
    (2, bytearray(b"\x06"), TypeError, "bytes of its bits"),
    (2.0, b"\x06", TypeError, "an int n"),
    (True, b"\x01", TypeError, "an int n"),
])
def test_a_packed_table_checks_itself(n, bits, error, message):
    with pytest.raises(error, match=message):
        PackedTable(n, bits)


def test_the_door_checks_the_length_against_n():
    from quillmat import _engine
    assert _engine.algebraic_immunity(2, b"\x06", 1, None, 1, 0)[0] == 1
    for n, bits in [(3, b""), (3, b"\x00\x00"), (4, b"\x00")]:
        with pytest.raises(ValueError, match=r"len\(bits\) must be"):
            _engine.algebraic_immunity(n, bits, 1, None, 1, 0)
    for n in (-1, immunity.MAX_VARIABLES + 1):
        with pytest.raises(ValueError):
            _engine.algebraic_immunity(n, b"\x00", 1, None, 1, 0)
    with pytest.raises(ValueError):  # the degree is clamped before the door, never past n
        _engine.annihilators(2, b"\x06", 3, 1, None, 1, 0)


def test_the_door_ignores_the_bits_past_a_small_table():
    from quillmat import _engine
    for n, bits in [(0, b"\x01"), (1, b"\x02"), (2, b"\x06")]:
        junk = bytes([bits[0] | (0xFF << (1 << n) & 0xFF)])
        assert _engine.algebraic_immunity(n, junk, 1, None, 1, 0) == \
            _engine.algebraic_immunity(n, bits, 1, None, 1, 0)
        assert _engine.immunity_profile(n, junk, n, 0, None, 1, 0) == \
            _engine.immunity_profile(n, bits, n, 0, None, 1, 0)


# --- hex in either order ----------------------------------------------------------------

def test_lsb_first_hex_is_bit_x_of_the_number():
    rng = random.Random(11)
    for n in range(2, 12):
        for _ in range(4):
            digits = format(rng.getrandbits(1 << n), f"0{(1 << n) // 4}x")
            number = int(digits, 16)
            lsb = read_table("0x" + digits, hex_order="lsb-first").unpacked()
            assert list(lsb) == [number >> x & 1 for x in range(1 << n)]
            assert read_table("0X" + digits.upper(), hex_order="lsb-first").unpacked() == lsb
            # Most significant bit first, f(x) is bit 2**n - 1 - x = x + (1, ..., 1) of the
            # number: the same table with every variable complemented.
            msb = read_table("0x" + digits, hex_order="msb-first").unpacked()
            assert msb == read_table("0x" + digits).unpacked()
            assert all(msb[x] == lsb[x ^ ((1 << n) - 1)] for x in range(1 << n))


def test_the_two_hex_orders_by_hand():
    # lsb-first reads a hex str as a number whose bit x is f(x), as SageMath's
    # BooleanFunction does (checked against SageMath itself below).
    # 0xe8 = 0b11101000: bits 3, 5, 6 and 7, the points of weight >= 2, the majority
    # of three variables; most significant bit first it is the majority of x + 111.
    majority = bytes(int(bin(x).count("1") >= 2) for x in range(8))
    assert immunity.truth_table("0xe8", hex_order="lsb-first") == majority
    assert immunity.truth_table("0xe8") == bytes(majority[x ^ 7] for x in range(8))
    # One digit, four values: "0x1" is f(0) = 1 least significant bit first, f(3) = 1
    # most significant bit first.
    assert immunity.truth_table("0x1", hex_order="lsb-first") == bytes([1, 0, 0, 0])
    assert immunity.truth_table("0x1") == bytes([0, 0, 0, 1])


@pytest.mark.parametrize("order", ["lsb", "LSB-first", "", None, 1])
def test_a_bad_hex_order_names_both(order):
    for f in ("0x6996", [0, 1, 1, 0], read_table("0x6")):
        with pytest.raises(ValueError, match="'msb-first' or 'lsb-first'"):
            read_table(f, hex_order=order)


def test_hex_of_24_variables_reads_fast():
    import time
    text = "0x" + "1" * (1 << 22)
    for order in ("msb-first", "lsb-first"):
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            packed = read_table(text, hex_order=order)
            best = min(best, time.perf_counter() - start)
        assert packed.n == 24 and packed.weight() == 1 << 22
        assert best < 0.1, (order, best)
    # 0x1111...: f(x) = 1 at x = 3 mod 4 most significant bit first, at x = 0 mod 4 the other.
    assert read_table(text).bits[:1] == b"\x88"
    assert read_table(text, hex_order="lsb-first").bits[:1] == b"\x11"


# --- the objects people hold -------------------------------------------------------------

TABLE = bytes([0, 1, 1, 0, 1, 0, 0, 1])  # x0 + x1 + x2


@pytest.mark.parametrize("code", list("bBhHiIlLqQ"))
def test_an_array_array_is_read_by_its_items(code):
    # An array.array is a sequence with a buffer too: its raw bytes are no table.
    assert read_table(array.array(code, list(TABLE))) == read_table(TABLE)
    assert immunity.algebraic_immunity(array.array("i", [0, 1, 1, 0])).anf == "x0 + x1 + 1"
    with pytest.raises(ValueError, match=r"f\[2\] is -1"):
        read_table(array.array("i", [0, 1, -1, 0]))


class IndexedSequence(collections.abc.Sequence):
    """A sequence that is also a number: bytes() of it would be n zero bytes."""

    def __init__(self, values):
        self.values = list(values)

    def __getitem__(self, index):
        return self.values[index]

    def __len__(self):
        return len(self.values)

    def __index__(self):
        return len(self.values)


def test_a_sequence_with_index_is_read_by_its_items():
    assert read_table(IndexedSequence(TABLE)) == read_table(TABLE)
    with pytest.raises(ValueError, match=r"f\[1\] is 2"):
        read_table(IndexedSequence([0, 2, 1, 0]))


def test_buffers_are_read_item_by_item():
    # None of these is a Sequence: they are read through memoryview.
    assert read_table(pickle.PickleBuffer(bytearray(TABLE))) == read_table(TABLE)
    assert read_table(pickle.PickleBuffer(array.array("H", list(TABLE)))) == read_table(TABLE)
    with mmap.mmap(-1, len(TABLE)) as block:
        block.write(TABLE)
        assert read_table(block) == read_table(TABLE)
    with pytest.raises(ValueError, match=r"f\[3\] is 7"):
        read_table(pickle.PickleBuffer(array.array("q", [0, 1, 1, 7])))
    with pytest.raises(ValueError, match="one-dimensional"):
        read_table(memoryview(bytes(8)).cast("B", (2, 4)))
    with pytest.raises(TypeError, match="format '<i'"):
        read_table((ctypes.c_int * 4)(0, 1, 1, 0))


class FakeBooleanFunction:
    """What the reader sees of SageMath's BooleanFunction: not a sequence, and a
    truth_table() method that gives a tuple of bools, f(0) first."""

    def __init__(self, values, form=bool):
        self.values = tuple(form(v) for v in values)

    def truth_table(self):
        return self.values


def test_an_object_with_a_truth_table_method():
    for form in (bool, int):
        assert read_table(FakeBooleanFunction(TABLE, form)) == read_table(TABLE)
    assert immunity.algebraic_immunity(FakeBooleanFunction(TABLE)) == \
        immunity.algebraic_immunity(TABLE)
    with pytest.raises(ValueError, match="got 3"):
        read_table(FakeBooleanFunction([0, 1, 1]))


def test_a_list_of_numpy_bools():
    numpy = pytest.importorskip("numpy")
    values = list(numpy.array(list(TABLE), dtype=bool))
    assert type(values[0]) is numpy.bool_
    assert read_table(values) == read_table(TABLE)
    assert read_table([numpy.int64(v) for v in TABLE]) == read_table(TABLE)
    # A numpy integer is a number, though it has a buffer too.
    with pytest.raises(TypeError, match="ambiguous.*'0x6996'"):
        read_table(numpy.int64(0x6996))


def test_numpy_subclasses():
    numpy = pytest.importorskip("numpy")

    class Field(numpy.ndarray):
        """Like galois's GF(2) arrays: a subclass whose operators are its own."""

        def __ne__(self, other):
            raise AssertionError("a GF(2) array's != is the field's")

    # Read as arrays, not as the buffers they also are: a buffer of big-endian items
    # has no memoryview.tolist().
    for dtype in (numpy.uint8, numpy.int64, bool, ">i4"):
        array_ = numpy.array(list(TABLE), dtype=dtype).view(Field)
        assert read_table(array_) == read_table(TABLE)
    with pytest.raises(ValueError, match=r"f\[1\] is 3"):
        read_table(numpy.array([0, 3, 1, 0]).view(Field))
    with pytest.raises(TypeError, match="bools or integers, not float64"):
        read_table(numpy.zeros(4).view(Field))


# galois compiles its field arithmetic with numba's LLVM at import, code the
# sanitizer runtime cannot see into: the plain build's run covers it.
@pytest.mark.skipif("QUILLMAT_SANITIZED" in os.environ, reason="galois' JIT under the sanitizer")
def test_a_galois_array():
    galois = pytest.importorskip("galois")
    field_array = galois.GF(2)(list(TABLE))
    assert isinstance(field_array, sys.modules["numpy"].ndarray)  # a subclass, not numpy's own
    assert type(field_array).__module__ != "numpy"
    assert read_table(field_array) == read_table(TABLE)
    assert immunity.algebraic_immunity(field_array) == immunity.algebraic_immunity(TABLE)


def test_reading_imports_no_numpy():
    # numpy is imported for an array only, which cannot exist before numpy is.
    program = (
        "import array, sys\n"
        "from quillmat import immunity\n"
        "for f in ([0, 1, 1, 0], b'\\x00\\x01\\x01\\x00', '0110', '0x6', array.array('i', [0, 1, 1, 0]),"
        " memoryview(b'\\x00\\x01\\x01\\x00'), (True, False, False, True)):\n"
        "    immunity.read_table(f)\n"
        "for f in (5, None, 'x0 + x1', b'0110'):\n"
        "    try:\n"
        "        immunity.read_table(f)\n"
        "    except (TypeError, ValueError):\n"
        "        pass\n"
        "assert 'numpy' not in sys.modules, 'numpy was imported'\n")
    subprocess.run([sys.executable, "-c", program], check=True)


SAGE = json.loads((pathlib.Path(__file__).parent / "data" / "sage_hex.json").read_text())


@pytest.mark.parametrize("record", SAGE["records"], ids=lambda r: r["hex"])
def test_lsb_first_reads_hex_as_sagemath_does(record):
    # What SageMath's BooleanFunction(hex) made of each string (data/sage_hex.py
    # wrote the file with passagemath): its table, ANF, immunity and annihilator.
    n, table = record["n"], bytes(int(c) for c in record["truth_table"])
    text = "0x" + record["hex"]
    assert immunity.truth_table(text, hex_order="lsb-first") == table
    assert immunity.from_anf(record["anf"], n) == table  # x_i is bit i of x, as in Sage
    result = immunity.algebraic_immunity(text, hex_order="lsb-first")
    assert result.degree == record["algebraic_immunity"]
    # Sage's annihilator is one of ours: it vanishes where f, or f + 1, is 1.
    g = immunity.from_anf(record["annihilator"], n)
    assert any(g)
    assert not any(a & b for a, b in zip(g, table)) or not any(a & (1 - b) for a, b in zip(g, table))
    if record["hex"] != record["hex"][::-1]:  # the default order reads another table
        assert immunity.truth_table(text) != table
