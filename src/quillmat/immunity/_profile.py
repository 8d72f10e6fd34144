"""The measures a paper reports beside the algebraic immunity, computed
natively in one pass: the ANF and the degree (a Moebius transform), the
Walsh spectrum (a fast Walsh-Hadamard transform), the nonlinearity, the
correlation immunity and resiliency, and the absolute indicator (the
autocorrelation, from the spectrum)."""

from __future__ import annotations

from array import array
from dataclasses import dataclass
from typing import NamedTuple

from quillmat import _engine
from quillmat.immunity._table import PackedTable


class Spectra(NamedTuple):
    anf: bytes
    degree: int
    walsh: bytes
    nonlinearity: int
    correlation_immunity: int
    absolute_indicator: int
    distribution: list[tuple[int, int]]


def spectra(table: PackedTable, threads: int) -> Spectra:
    return Spectra(*_engine.spectra(table.n, table.bits, threads, None))


def anf_terms(n: int, packed: bytes) -> tuple[str, ...]:
    """The monomials of a packed ANF as exponent strings, in canonical order:
    by degree, then by the variables' indices as itertools.combinations
    lists them."""
    value = int.from_bytes(packed, "little") & ((1 << (1 << n)) - 1)
    masks = []
    while value:
        low = value & -value
        masks.append(low.bit_length() - 1)
        value ^= low
    masks.sort(key=lambda m: (m.bit_count(), [i for i in range(n) if m >> i & 1]))
    return tuple(format(m, f"0{n}b")[::-1] if n else "" for m in masks)


def walsh_array(packed: bytes) -> array[int]:
    values = array("i")
    values.frombytes(packed)
    if values.itemsize != 4:  # pragma: no cover (every platform CPython runs on)
        raise RuntimeError("this platform's C int is not 32 bits")
    if array("i", [1]).tobytes() != b"\x01\x00\x00\x00":  # big-endian: the engine's are little
        values.byteswap()
    return values


@dataclass(frozen=True)
class Profile:
    """The measures of a Boolean function f of n variables; each field says its
    definition (docs/immunity.md, "The profile of a function")."""

    n: int
    """The number of variables."""
    weight: int
    """wt(f): the number of x with f(x) = 1."""
    balanced: bool
    """wt(f) = 2**(n-1)."""
    degree: int
    """The algebraic degree: the highest degree of a term of the ANF (-1 for f = 0)."""
    anf_terms: int
    """The number of terms of the ANF (see algebraic_normal_form for the terms)."""
    nonlinearity: int
    """2**(n-1) - max |W(a)| / 2: the distance from f to the nearest affine function."""
    walsh_distribution: dict[int, int]
    """|W(a)| -> how many a have it, for W(a) = sum_x (-1)**(f(x) + a.x)."""
    correlation_immunity: int
    """The largest t with W(a) = 0 for every a of weight 1 .. t (Xiao and Massey); n when
    W vanishes at every a != 0."""
    resiliency: int
    """correlation_immunity when f is balanced, else -1 (as SageMath's resiliency_order)."""
    absolute_indicator: int
    """max over a != 0 of |r(a)|, r(a) = sum_x (-1)**(f(x) + f(x + a)) the autocorrelation."""
    algebraic_immunity: int | None
    """The algebraic immunity (see algebraic_immunity), or None where not asked."""
    fast_algebraic_immunity: int | None
    """The fast algebraic immunity (see fast_algebraic_immunity), or None where not asked."""
