"""The leak measurer that the tests (test_leaks) and the leak gate
(tools/leak_gate.py) share: what rounds of calls leave behind."""
import ctypes
import gc
import sys
from array import array
from itertools import repeat

from helpers import swallow


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_meter():
    """A function giving the bytes of C heap in use (glibc's chunks in use plus
    its mmapped blocks), or None where the C library has no mallinfo2."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2
    mallinfo2.argtypes = []

    def used():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return used


def no_heap():
    return 0


def measure(fn, rounds, calls, heap_used=no_heap):
    """(Python blocks, C heap bytes) left behind by each of `rounds` rounds of
    `calls` calls of fn (what fn raises is swallowed), after gc.collect.  The
    marks go into a C array made beforehand, so that the measurement keeps no
    objects of its own alive between its marks."""
    marks = array("q", bytes(8 * 4 * rounds))
    for r in range(rounds):
        gc.collect()
        marks[4 * r] = sys.getallocatedblocks()
        marks[4 * r + 1] = heap_used()
        for _ in repeat(None, calls):  # a counter would keep its last int alive
            swallow(fn)
        gc.collect()
        marks[4 * r + 2] = sys.getallocatedblocks()
        marks[4 * r + 3] = heap_used()
    return [(marks[4 * r + 2] - marks[4 * r], marks[4 * r + 3] - marks[4 * r + 1])
            for r in range(rounds)]
