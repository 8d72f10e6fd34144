import gc
import io
import os
import sys

import pytest

import leaks
import quillmat
import surface
from helpers import Hook, Idx, raise_, swallow

Matrix = quillmat.Matrix
M = Matrix([[1, 0, 1], [0, 1, 1]])
ROWS = [[1, 0], (0, 1), b"\x01\x01"]


def type_error_with_cause():
    raise TypeError("t") from KeyError()


def failing_call(entry):
    """The entry's internal failure: its failing arguments, or its failing receiver."""
    if entry.failing is not None:
        return lambda: surface.bound(entry, surface.receiver(entry))(*entry.failing)
    return lambda: surface.bound(entry, Matrix(entry.failing_rows))(*entry.args)


# Every entry point on success and with its internal failure (from the
# surface's description), then the other kinds of failure, once each.
CASES = {
    **{entry.name: (lambda entry=entry: surface.call(entry)) for entry in surface.ENTRIES},
    **{entry.name + "-failure": failing_call(entry) for entry in surface.ENTRIES
       if entry.failing is not None or entry.failing_rows is not None},
    "new-keyword": lambda: Matrix(elements=ROWS),
    "new-matching": lambda: Matrix(ROWS, rows=1),
    "new-type": lambda: Matrix([[1], [2], "x"]),
    "new-overflow": lambda: Matrix([[1, 2], [3, 256]]),
    "new-user-error": lambda: Matrix([[1], [Hook(lambda: raise_(ValueError()))]]),
    "new-resumed": lambda: Matrix([[Hook(lambda: M.get(99, 0))]]),
    "noarg-refused": lambda: M.nrows(1),
    "get-index": lambda: M.get(1, Idx(2)),
    "get-keywords": lambda: M.get(col=1, row=0),
    "get-matching": lambda: M.get(0, row=1),
    "get-type": lambda: M.get(0, 1.5),
    "get-prefixed-cause": lambda: M.get(Hook(type_error_with_cause), 0),
    "get-overflow": lambda: M.get(2**64, 0),
    "get-resumed": lambda: M.get(Hook(lambda: M.get(99, 0)), 0),
    "compute_next-pair-error": lambda: M.compute_next(["0"], ["1"], 0, [(0, 1, 2)]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_no_object_leaks(name, monkeypatch):
    fn = CASES[name]
    # Resumed failures print a traceback through sys.stderr; keep it out of the count.
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    def call():
        try:
            fn()
        finally:
            sys.stderr.seek(0), sys.stderr.truncate()
    for _ in range(200):
        swallow(call)
    growth = []
    for _ in range(3):  # a real leak grows in every round, a cache filling up does not
        ((blocks, _),) = leaks.measure(call, 1, 2000)
        growth.append(blocks)
        if blocks < 50:
            break
    assert min(growth) < 50, growth


def test_argument_references_restored():
    row0, row1 = [1, 0], [0, 1]
    rows = [row0, row1]
    value = int("299")  # not a cached small int, so its count is observable
    index = Idx(value)
    tall = Matrix([[7]] * 300)
    watched = [rows, row0, row1, index, value, tall]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(300):
        Matrix(rows), Matrix(elements=rows), repr(tall), tall.copy(), tall.nrows()
        assert tall.get(index, 0) == 7
        for failing in (lambda: Matrix(rows, rows), lambda: Matrix([row0, row1, "x"]),
                        lambda: Matrix([row0, [index]]),   # 299 does not fit a cell
                        lambda: tall.get(index, index),    # internal failure
                        lambda: tall.get(index, 1.5),      # after one converted index
                        lambda: tall.get(index, 0, 0)):
            swallow(failing)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


BIG = Matrix([[0] * 1000] * 1000)  # 1 MB of cells
NATIVE = {  # each call keeps >= 0.5 MB of row storage if it leaks
    "copy": BIG.copy,
    "to_list": BIG.to_list,
    "new": lambda: Matrix([bytes(1 << 16)] * 8),
    "new-bad-cell": lambda: Matrix([[0] * (1 << 19) + [256]]),
    "new-bad-row": lambda: Matrix([bytes(1 << 16)] * 8 + ["x"]),
}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or "QUILLMAT_SANITIZED" in os.environ,
                    reason="needs /proc and the plain allocator")
@pytest.mark.parametrize("name", list(NATIVE))
def test_no_native_leaks(name):
    # Row storage is invisible to the Python allocator: watch the resident size instead.
    for _ in range(20):
        swallow(NATIVE[name])
    gc.collect()
    before = _rss()
    for _ in range(150):
        swallow(NATIVE[name])
    gc.collect()
    assert _rss() - before < 24 * 2**20
