"""Long calls give way to signals, a blocked write lets other threads run, and
a call that fails part way leaves nothing half-changed."""

import os
import random
import signal
import sys
import textwrap
import time

import pytest

import quillmat
from testing import plain_allocator, run_python
from gf2 import LOW_BIT
from helpers import Interrupted, interrupt_when_ready, raise_interrupted

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="reads /proc, sets rlimits or sizes pipes")


def random_bits(rows, columns, seed=1):
    """Rows of random 0/1 bytes."""
    rng = random.Random(seed)
    return [rng.randbytes(columns).translate(LOW_BIT) for _ in range(rows)]


# The sanitizer build runs the byte-wise ways about ten times slower: smaller
# calls still take long enough there.
SIZE = 0.5 if "QUILLMAT_SANITIZED" in os.environ else 1.0


def scaled(count):
    return int(count * SIZE)


def long_calls():
    """(name, receiver, call) of calls that each take well over the test's floor
    of 0.25 s, in a build with more optimisation than ours too (the wheel's)."""
    square = quillmat.Matrix(random_bits(3500, 3500))
    # A cell of 2 keeps the reduction off the bit-packed path.
    n = scaled(2300)
    ragged = quillmat.Matrix(random_bits(n, n) + [bytes(n - 1) + b"\x02"])
    # A reduced matrix of rank 1800 in 3600 columns, and a 2 in a zero row:
    # the byte-wise kernel, one vector per free column.
    r = scaled(1800)
    half, _ = quillmat.Matrix(random_bits(r, 2 * r)).echelon_form()
    reduced = quillmat.Matrix(half.to_list() + [[0] * (2 * r - 1) + [2]])
    points = ["".join(map(str, p)) for p in random_bits(2**15, 16)]
    monomials = points[:3000]
    return [
        ("echelon_form", square, lambda: square.echelon_form()),
        ("row_echelon_full_matrix", ragged, lambda: ragged.row_echelon_full_matrix()),
        ("kernel", reduced, lambda: reduced.kernel()),
        ("compute_vandermonde", square,
         lambda: quillmat.Matrix.compute_vandermonde(points[:scaled(16384)], monomials)),
        ("verify", square,
         lambda: quillmat.verify(points * scaled(4), [0] * len(monomials), monomials)),
        ("verify_2", square,
         lambda: quillmat.verify_2(points * scaled(300), [1] * 3000, monomials)),
    ]


@pytest.fixture(scope="module")
def calls():
    return long_calls()


@pytest.mark.parametrize("index", range(6), ids=[
    "echelon_form", "row_echelon_full_matrix", "kernel", "compute_vandermonde", "verify", "verify_2"])
def test_a_signal_handler_interrupts_a_long_call(calls, index):
    """An alarm 20 ms into the call raises the handler's exception well before the
    call could have finished, and the receiver is as it was."""
    name, receiver, call = calls[index]
    before = repr(receiver)
    started = time.perf_counter()
    call()
    whole = time.perf_counter() - started
    assert whole > 0.25, f"{name} takes only {whole:.2f} s: no test of interruption"
    previous = signal.signal(signal.SIGALRM, raise_interrupted)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        started = time.perf_counter()
        with pytest.raises(Interrupted):
            call()
        interrupted = time.perf_counter() - started
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert interrupted < max(0.2, whole / 2), (name, interrupted, whole)
    assert repr(receiver) == before


def test_sigint_ends_a_long_echelon_form_within_a_second():
    code = textwrap.dedent("""
        import os, sys, time, quillmat
        n = 6000
        rows = [os.urandom(n).translate(bytes(b & 1 for b in range(256))) for _ in range(n)]
        m = quillmat.Matrix(rows)
        print("ready", flush=True)
        try:
            m.echelon_form()
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
    """)
    status, out, sent = interrupt_when_ready(code, 0.5)
    answer, *when = out.split()
    assert status == 0 and answer == "interrupted", out
    elapsed = float(when[0]) - sent
    assert elapsed < 2.0  # about 10 ms here; the slack is for a loaded machine


@linux_only
def test_inverting_on_a_full_pipe_drained_by_a_thread_finishes():
    """Standard output is a 4 KiB pipe read by a thread of the same process:
    the 999 "inverting" lines must not wait on it while holding the lock."""
    code = textwrap.dedent("""
        import fcntl, os, threading, quillmat
        n = 1000
        rows = [bytes(1 if c == k + 1 else 0 for c in range(n)) for k in range(n - 1)]
        m = quillmat.Matrix(rows + [bytes([1] + [0] * (n - 1))])
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
        saved = os.dup(1)
        os.dup2(write_end, 1)
        chunks = []
        def drain():
            while data := os.read(read_end, 65536):
                chunks.append(data)
        reader = threading.Thread(target=drain)
        reader.start()
        m.reduced_echelon_form_last_row()
        os.dup2(saved, 1)
        os.close(write_end)
        reader.join()
        lines = b"".join(chunks).split(b"\\n")
        print(len(lines) - 1, set(lines[:-1]))
    """)
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == "999 {b'inverting'}"


@linux_only
@plain_allocator
def test_append_column_out_of_memory_leaves_every_row_as_it_was():
    code = textwrap.dedent("""
        import resource, quillmat
        m = quillmat.Matrix([bytes(600_000)] * 1000)
        status = open("/proc/self/status").read()
        used = int(status.split("VmSize:")[1].split()[0]) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        # Room for a third of the rows to grow, not for all of them.
        resource.setrlimit(resource.RLIMIT_AS, (used + 150 * 2**20, hard))
        try:
            m.append_column(b"\\x01" * 1000)
            outcome = "appended"
        except MemoryError:
            outcome = "MemoryError"
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        longer = 0
        for i in range(m.nrows()):
            try:
                m.get(i, 600_000)
                longer += 1
            except BaseException:
                pass
        print(outcome, longer)
    """)
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.split() in (["MemoryError", "0"], ["appended", "1000"])
    assert out.split()[0] == "MemoryError", "the limit left room for every row: no test"


@pytest.mark.parametrize("raised, stops", [
    (KeyboardInterrupt, True), (SystemExit, True), (MemoryError, True),
    (TypeError, False), (ValueError, False), (OverflowError, False)])
def test_a_len_that_raises_stops_the_conversion_unless_it_is_an_error(raised, stops):
    # An Exception from __len__ only means "no size hint", as for list(); anything
    # else (Ctrl-C, exit, memory) propagates and changes nothing.
    class Sequence:
        def __len__(self):
            raise raised

        def __getitem__(self, index):
            if index < 2:
                return 1
            raise IndexError

    m = quillmat.Matrix([[0, 0]])
    if stops:
        with pytest.raises(raised):
            m.append_row(Sequence())
        assert m.to_list() == [[0, 0]]
    else:
        m.append_row(Sequence())
        assert m.to_list() == [[0, 0], [1, 1]]


@linux_only
def test_a_lying_len_keeps_no_address_space():
    code = textwrap.dedent("""
        import quillmat
        class Liar:
            def __len__(self):
                return 2**33
            def __getitem__(self, index):
                if index < 2:
                    return 1
                raise IndexError
        def vm():
            status = open("/proc/self/status").read()
            return int(status.split("VmSize:")[1].split()[0]) * 1024
        before = vm()
        m = quillmat.Matrix([Liar()] * 4)
        print(m, (vm() - before) // 2**20)
    """)
    rc, out, err = run_python(code)
    assert rc == 0, err
    matrix, grown = out.rsplit(" ", 1)
    assert matrix == "[[1, 1], [1, 1], [1, 1], [1, 1]]"
    assert int(grown) < 256, f"the call kept {grown} MiB of address space"
