"""Truth tables read once into packed bits: every form packs to the same bits,
the packing is f(x) at bit x, and a packed table crosses to the engine and to
worker processes as it is."""

import pickle
import random

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
    assert _engine.algebraic_immunity(2, b"\x06", 1, None)[0] == 1
    for n, bits in [(3, b""), (3, b"\x00\x00"), (4, b"\x00")]:
        with pytest.raises(ValueError, match=r"len\(bits\) must be"):
            _engine.algebraic_immunity(n, bits, 1, None)
    for n in (-1, immunity.MAX_VARIABLES + 1):
        with pytest.raises(ValueError):
            _engine.algebraic_immunity(n, b"\x00", 1, None)
    with pytest.raises(ValueError):  # the degree is clamped before the door, never past n
        _engine.annihilators(2, b"\x06", 3, 1, None)


def test_the_door_ignores_the_bits_past_a_small_table():
    from quillmat import _engine
    for n, bits in [(0, b"\x01"), (1, b"\x02"), (2, b"\x06")]:
        junk = bytes([bits[0] | (0xFF << (1 << n) & 0xFF)])
        assert _engine.algebraic_immunity(n, junk, 1, None) == \
            _engine.algebraic_immunity(n, bits, 1, None)
        assert _engine.immunity_profile(n, junk, n, 0, None) == \
            _engine.immunity_profile(n, bits, n, 0, None)
