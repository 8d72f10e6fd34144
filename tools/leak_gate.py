"""Leak gate: every entry point of quillmat, on its success path and on each
kind of failure, called in rounds of 10**4 calls; no round may leave more
Python blocks (sys.getallocatedblocks after gc.collect) or more C heap (glibc
mallinfo2) behind than it found, and the reference counts of the case's own
argument objects must end where they started.

    python tools/leak_gate.py                    # 3 * 10**4 measured calls per case
    python tools/leak_gate.py --calls 1000000    # the long run
    python tools/leak_gate.py -k compute_next    # cases whose name holds the text

Run it with the ordinary allocator: under PYTHONMALLOC=malloc
getallocatedblocks always reads 0.  Exit status 1 when a case grows, fails
its own outcome check, or the allocator cannot be watched.
"""
import argparse
import ctypes
import os
import signal
import sys
import time
from array import array
from concurrent.futures import Executor, Future

import quillmat

# The argument objects, the description of the surface and the measurer are
# the tests' own, from tests/support (scripts/leak-gate puts it on the path).
from helpers import (Hook, Interrupted, Items, Raised, failing_index, outcome,
                     provoke_failure, raise_, raise_interrupted, swallow)
from leaks import heap_meter, measure
from surface import BY_NAME, ENTRIES, bound

Matrix = quillmat.Matrix
ROUND = 10**4
WARM_UP = 2000


# --- measuring ----------------------------------------------------------------

def raised(fn):
    """The exception type a call ends with, or None."""
    got = outcome(fn)
    return got.type if isinstance(got, Raised) else None


# --- argument objects -------------------------------------------------------------

def fresh_int(value):
    return int(str(value))  # a new object, not a cached small int


def fresh_str(text):
    return "".join(list(text))  # a new, non-interned object


def fresh(value):
    """A copy of sample data made of new objects, whose reference counts can be watched."""
    if isinstance(value, (list, tuple)):
        return type(value)(fresh(v) for v in value)
    if isinstance(value, str):
        return fresh_str(value)
    if isinstance(value, bytes):
        return bytes(bytearray(value))
    if isinstance(value, int):
        return fresh_int(value)
    return value


# Bad values per parameter type: (kind, value factory, expected exception).
# "late" means the bad value comes after good items of the same argument, so
# the converted part must be released.
def bad_values(ptype):
    if ptype == "index":
        return [("type", lambda: 1.5, TypeError), ("range", lambda: -fresh_int(1), OverflowError),
                ("range-huge", lambda: fresh_int(2**64), OverflowError),
                ("user", lambda: Hook(lambda: raise_(KeyError)), KeyError),
                ("memory-raised", lambda: Hook(lambda: raise_(MemoryError)), MemoryError)]
    if ptype == "row":
        return [("type", lambda: fresh_str("01"), TypeError),
                ("range-late", lambda: [1, 0, fresh_int(256)], OverflowError),
                ("user-late", lambda: Items([1, 0], after=lambda: raise_(KeyError)), KeyError),
                ("memory-raised", lambda: [1, Hook(lambda: raise_(MemoryError))], MemoryError)]
    if ptype == "rows":
        return [("type", lambda: {}, TypeError),
                ("type-late", lambda: [[1, 0], [0, 1], fresh_str("x")], TypeError),
                ("range-late", lambda: [[1, 0], [0, fresh_int(256)]], OverflowError),
                ("user-late", lambda: Items([[1], [0]], after=lambda: raise_(KeyError)), KeyError),
                ("memory-raised", lambda: [[1], [Hook(lambda: raise_(MemoryError))]], MemoryError)]
    if ptype == "strings":
        return [("type-late", lambda: [fresh_str("01"), 5], TypeError),
                ("unicode-late", lambda: [fresh_str("01"), "\ud800"], UnicodeEncodeError),
                ("user-late", lambda: Items([fresh_str("01")], after=lambda: raise_(KeyError)),
                 KeyError),
                ("memory-raised",
                 lambda: Items([fresh_str("0")], after=lambda: raise_(MemoryError)), MemoryError)]
    if ptype == "str":
        return [("type", lambda: 5, TypeError), ("unicode", lambda: "1\udfff", UnicodeEncodeError)]
    if ptype == "ops":
        return [("type-late", lambda: [(0, 0), [0, 1]], TypeError),
                ("value-late", lambda: [(0, 0), (0, 1, 2)], ValueError),
                ("range-late", lambda: [(0, 0), (0, -1)], OverflowError),
                ("user-late", lambda: [(0, Hook(lambda: raise_(KeyError)))], KeyError)]
    raise ValueError(ptype)


# --- the entry points -------------------------------------------------------------
#
# Each entry point of tests/support/surface.py, called with fresh copies of its sample
# arguments on its sample receiver, with its failing arguments or on its
# failing receiver, and with a bad value in place of a good one.

class Case:
    def __init__(self, name, expected, make):
        # make() -> (the call, the objects whose reference counts are watched)
        self.name, self.expected, self.make = name, expected, make


def caller(entry, factory, args_factory, **keywords):
    """make() for a call of `entry` with fresh arguments on a fresh receiver."""
    def make():
        args = args_factory()
        if entry.changes:  # a new receiver per call, so that it does not grow
            def fn():
                return bound(entry, factory())(*args, **keywords)
            return fn, list(args)
        receiver = factory() if factory is not None else None
        method = bound(entry, receiver)
        return (lambda: method(*args, **keywords)), [receiver, *args]
    return make


def with_bad(good, position, value):
    def args_factory():
        args = list(good())
        args[position] = value()
        return tuple(args)
    return args_factory


def resumed_failure():
    """An index that lets an internal failure through, to be resumed."""
    return failing_index(Matrix([]), 0)


RESUMED = {"index": resumed_failure, "row": lambda: [1, resumed_failure()],
           "rows": lambda: [[1], [resumed_failure()]],
           "strings": lambda: Items([fresh_str("1")], after=resumed_failure().__index__),
           "ops": lambda: [(0, 0), (0, resumed_failure())]}


def cases():
    panic = type(provoke_failure())
    found = []
    for entry in ENTRIES:
        def add(kind, expected, make, name=entry.name):
            found.append(Case(f"{name}: {kind}", expected, make))

        ptypes = list(entry.kinds.values())
        factory = None if entry.rows is None else (lambda rows=entry.rows: Matrix(rows))
        good = lambda args=entry.args: fresh(args)  # noqa: E731
        add("success", None, caller(entry, factory, good))
        # Matching: one positional argument too many (for methods without parameters
        # the interpreter's own refusal), and an unknown keyword.
        if entry.form != "repr":
            add("matching", TypeError, caller(entry, factory, lambda good=good: (*good(), 0)))
        if ptypes:
            add("matching-keyword", TypeError, caller(entry, factory, good, x=0))
        # Conversion: each bad value in the first and in the last parameter (then the
        # earlier arguments are converted already and must be released).
        for position in sorted({0, len(ptypes) - 1}) if ptypes else []:
            for kind, value, expected in bad_values(ptypes[position]):
                add(f"conversion {position}:{kind}", expected,
                    caller(entry, factory, with_bad(good, position, value)))
        # Internal failure: failing arguments, or a receiver the operation fails on.
        if entry.failing is not None:
            add("panic", panic, caller(entry, factory, lambda args=entry.failing: fresh(args)))
        if entry.failing_rows is not None:
            add("panic", panic, caller(entry, lambda rows=entry.failing_rows: Matrix(rows), good))
        # A PanicException let through by the caller's object, resumed.
        if ptypes and ptypes[-1] != "str":
            add("panic-resumed", panic,
                caller(entry, factory, with_bad(good, len(ptypes) - 1, RESUMED[ptypes[-1]])))
        # Borrow: called while its receiver has an open borrow of the other kind
        # (taken by an outer call whose argument runs this one).
        if entry.receiver != "none":
            def make(entry=entry, factory=factory, good=good):
                m, args = factory(), good()
                method = bound(entry, m)

                def during():
                    if raised(lambda: method(*args)) is not RuntimeError:
                        raise AssertionError(f"{entry.name} did not meet the open borrow")
                    return 0
                hook = Hook(during)
                fn = ((lambda: m.get(hook, 0)) if entry.receiver == "exclusive" else
                      (lambda: m.swap_rows(hook, 0)))
                return fn, [m, *args, hook]
            add("borrow", None, make)
    # A real allocation failure: a row of 2**62 cells is reserved before it is filled.
    found.append(Case("compute_next: memory", MemoryError, caller(
        BY_NAME["compute_next"], lambda: Matrix([]), lambda: ([fresh_str("0")], [fresh_str("1")], 2**62, []))))
    return found + interrupt_cases() + engine_cases()


# --- interrupted calls --------------------------------------------------------------
#
# A timer signal 50 microseconds after the call begins, while it is long at
# work: its handler's exception comes out of the interruption point that runs
# the handlers, and the call must leave nothing behind (its copy of the
# matrix, its converted arguments, a half-built result).  Should the signal
# come before the call (a busy machine), the same exception comes from the
# interpreter instead, and the measurement still holds.

def interrupted(call):
    def fn():
        signal.setitimer(signal.ITIMER_REAL, 5e-5)
        try:
            call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    return fn


def interrupt_cases():
    if not hasattr(signal, "setitimer"):
        return []
    signal.signal(signal.SIGALRM, raise_interrupted)
    rows = [bytes((r * 7 + c * 13) % 3 & 1 for c in range(256)) for r in range(256)]
    with_two = rows[:-1] + [bytes(255) + b"\x02"]  # the byte-wise reduction
    points = [format(x, "012b") for x in range(4096)]
    monomials = points[:256]

    def case(name, make_call):
        def make():
            call, watched = make_call()
            return interrupted(call), watched
        return Case(f"{name}: interrupted", Interrupted, make)

    def method(name, rows, *args):
        def make_call():
            m = Matrix(rows)
            method = getattr(m, name)
            return (lambda: method(*args)), [m, *args]
        return make_call

    def function(fn, *args):
        return lambda: ((lambda: fn(*args)), list(args))

    reduced, _ = Matrix(rows).echelon_form()
    return [
        case("echelon_form", method("echelon_form", rows)),
        case("row_echelon_full_matrix", method("row_echelon_full_matrix", with_two)),
        case("kernel", method("kernel", reduced.to_list() + [bytes(255) + b"\x02"])),
        case("echelon_form_last_row_dep", method("echelon_form_last_row_dep", rows)),
        case("compute_vandermonde", function(Matrix.compute_vandermonde, points, monomials)),
        case("verify_2", function(quillmat.verify_2, points * 4, [1] * 256, monomials)),
    ]


# --- the algebraic-immunity engine ----------------------------------------------------
#
# The engine hands work for the two sides of a function to a thread of its own;
# each hand-off can leave a few hundred bytes in another thread's glibc cache,
# which reads as C-heap growth in one round.  The calls here need no such
# hand-off: a function of no variables (settled without elimination) and
# annihilators() (one system, solved on the calling thread).  The threads
# themselves are the fuzz target's business, under ASan's leak checker.

def table3():
    return bytes([0, 1, 1, 1, 0, 0, 1, 0])  # a function of 3 variables, a new object per call


def packed3():
    return bytearray(b"\x4e")  # table3 packed, bit x = f(x): a new object per call


def quiet_progress(done, total):
    return None


def raising_progress(done, total):
    raise_(KeyError)


def engine_entry_points():
    """name: (the callable, good arguments, [(kind, bad arguments, expected exception)]).
    A short call reports progress once, when the work is done: a progress callable
    that raises fails it there."""
    from quillmat import _engine, immunity, sbox

    def black_box(function):
        """`function` by the black-box method; a last argument "always" makes
        every try fail its check, and another str is taken as the method."""
        def call(*args):
            method, faults = "black-box", 0
            if isinstance(args[-1], str) and not args[-1].startswith("0x"):
                *args, last = args
                method, faults = ("black-box", 10**6) if last == "always" else (last, 0)
            _engine._inject_faults(2 if faults else 0, faults)
            try:
                return function(*args, method=method, seed=7)
            finally:
                _engine._inject_faults(0, 0)
        return call

    def door_failures(good, threads_at, degree_at=None):
        # The door takes (n, bits, [degree,] threads, progress, method, seed).
        def replaced(position, value):
            def args():
                args = list(good())
                args[position] = value()
                return tuple(args)
            return args
        last = threads_at + 1  # progress
        found = [
            ("n", replaced(0, lambda: -fresh_int(1)), ValueError),
            ("n-type", replaced(0, lambda: fresh_str("3")), TypeError),
            ("buffer", replaced(1, lambda: [0, 1]), TypeError),
            ("length", replaced(1, lambda: bytes(3)), ValueError),
            ("threads", replaced(threads_at, lambda: -fresh_int(1)), ValueError),
            ("threads-user", replaced(threads_at, lambda: Hook(lambda: raise_(KeyError))), KeyError),
            ("progress-raises", replaced(last, lambda: raising_progress), KeyError),
            ("progress-not-callable", replaced(last, lambda: 5), TypeError),
            ("matching", lambda: (*good(), 0), TypeError),
            ("method", replaced(last + 1, lambda: fresh_int(3)), ValueError),
            ("seed", replaced(last + 2, lambda: -fresh_int(1)), ValueError),
        ]
        if degree_at is not None:
            found += [("degree", replaced(degree_at, lambda: -fresh_int(1)), ValueError),
                      ("degree-huge", replaced(degree_at, lambda: fresh_int(2**70)), ValueError)]
        return found

    class Inline(Executor):
        """Each task run at once, on the calling thread."""

        def submit(self, fn, /, *args, **kwargs):
            future = Future()
            try:
                future.set_result(fn(*args, **kwargs))
            except BaseException as error:  # noqa: BLE001 (the future carries it)
                future.set_exception(error)
            return future

    # A try of two chains in stages on a table of 8 variables at degree 3.
    split_table = bytes(range(7, 39))
    split = (8, split_table, 3, 1, 0, 2)

    def sequence_state():
        return _engine._split_sequence(*split, 0, 0, b"", 2, 1, None)

    def whole_chains():
        terms = _engine._split_plan(8, split_table, 3, 2)[2]
        return bytearray(b"".join(_engine._split_sequence(*split, b, 0, b"", terms, 1, None)[2]
                                  for b in range(2)))

    class Falsy:
        def __bool__(self):
            raise KeyError("no truth value")

    def words(*values):
        return bytearray(b"".join(v.to_bytes(8, "little") for v in values))

    # One-byte bytes objects are immortal: a bytearray's reference count can be watched.
    ai = lambda: (0, bytearray(b"\x01"), 1, quiet_progress, 0, 1)  # noqa: E731
    profile = lambda: (0, bytearray(b"\x00"), 0, 1, quiet_progress, 2, 1)  # noqa: E731
    basis = lambda: (3, packed3(), 2, 1, quiet_progress, 2, 1)  # noqa: E731
    return {
        "_engine.algebraic_immunity": (_engine.algebraic_immunity, ai, door_failures(ai, 2)),
        "_engine.immunity_profile": (_engine.immunity_profile, profile, door_failures(profile, 3, 2)),
        "_engine.annihilators": (_engine.annihilators, basis, door_failures(basis, 3, 2)),
        "_engine.available_cores": (_engine.available_cores, lambda: (), [
            ("matching", lambda: (fresh_int(1),), TypeError),
        ]),
        "_engine._inject_faults": (_engine._inject_faults, lambda: (0, fresh_int(0)), [
            ("fault", lambda: (fresh_int(3), 0), ValueError),
        ]),
        # The profile's spectra.
        "_engine.spectra": (_engine.spectra, lambda: (3, packed3(), 1, quiet_progress), [
            ("length", lambda: (3, bytes(3), 1, None), ValueError),
            ("progress-raises", lambda: (3, packed3(), 1, raising_progress), KeyError),
        ]),
        "_engine.fast_algebraic_immunity": (_engine.fast_algebraic_immunity,
                                            lambda: (3, packed3(), 1, quiet_progress, 1, 1), [
            ("method", lambda: (3, packed3(), 1, None, fresh_int(3), 1), ValueError),
            ("progress-raises", lambda: (3, packed3(), 1, raising_progress, 1, 1), KeyError),
        ]),
        "immunity.fast_algebraic_immunity": (immunity.fast_algebraic_immunity,
                                             lambda: (fresh_str("0xe8e8"),), [
            ("length", lambda: ([0, 1, 1],), ValueError),
        ]),
        "_engine.algebraic_normal_form": (_engine.algebraic_normal_form,
                                          lambda: (3, packed3(), 1, None), [
            ("length", lambda: (3, bytes(2), 1, None), ValueError),
        ]),
        "_engine.walsh_spectrum": (_engine.walsh_spectrum, lambda: (3, packed3(), 1, None), [
            ("length", lambda: (3, bytes(2), 1, None), ValueError),
        ]),
        "immunity.profile": (immunity.profile, lambda: (fresh_str("0x1ee1"),), [
            ("value", lambda: ([0, fresh_int(2)],), ValueError),
        ]),
        # Point sets and S-boxes: the door takes points and tables as uint64s.
        "_engine.vanishing_space": (_engine.vanishing_space,
                                    lambda: (4, words(1, 2, 7), 2, True, 1, quiet_progress), [
            ("words", lambda: (4, bytearray(7), 2, True, 1, None), ValueError),
            ("degree", lambda: (4, words(1), fresh_int(5), True, 1, None), ValueError),
            ("n", lambda: (fresh_int(65), words(1), 1, True, 1, None), ValueError),
            ("basis", lambda: (4, words(1), 1, Falsy(), 1, None), KeyError),
            ("memory", lambda: (64, words(1), 20, False, 1, None), MemoryError),
            ("progress-raises", lambda: (4, words(1), 1, False, 1, raising_progress), KeyError),
        ]),
        "_engine.bi_affine_space": (_engine.bi_affine_space,
                                    lambda: (4, words(1, 6, 11), 2, True, 1, None), [
            ("inputs", lambda: (4, words(1), fresh_int(5), True, 1, None), ValueError),
        ]),
        "_engine.component_immunities": (_engine.component_immunities,
                                         lambda: (2, 2, words(0, 1, 3, 2), 1, quiet_progress, 1,
                                                  1), [
            ("size", lambda: (2, 2, words(0, 1, 3), 1, None, 1, 1), ValueError),
            ("m", lambda: (2, fresh_int(31), words(0, 1, 3, 2), 1, None, 1, 1), ValueError),
            ("progress-raises", lambda: (2, 2, words(0, 1, 3, 2), 1, raising_progress, 1, 1),
             KeyError),
        ]),
        "sbox.vanishing_polynomials": (sbox.vanishing_polynomials,
                                       lambda: ([fresh_int(1), 2, 7], 2, 3), [
            ("strings", lambda: ([fresh_str("101"), "011"], 1, 3), None),
            ("point", lambda: ([fresh_int(9)], 1, 3), ValueError),
            ("mixed", lambda: ([fresh_str("101"), 3], 1, 3), TypeError),
            ("negative", lambda: ([-fresh_int(1)], 1, 3), ValueError),
        ]),
        "sbox.sbox_equations": (
            lambda table, degree=2, bi_affine=False: sbox.sbox_equations(table, degree,
                                                                         bi_affine=bi_affine),
            lambda: ([7, 6, 0, 4, 2, 5, 1, 3],), [
            ("bi-affine", lambda: (bytes([7, 6, 0, 4, 2, 5, 1, 3]), 2, True), None),
            ("length", lambda: ([fresh_int(1), 2, 3],), ValueError),
            ("value", lambda: ([fresh_int(1), 2.5],), TypeError),
        ]),
        "sbox.graph_algebraic_immunity": (sbox.graph_algebraic_immunity,
                                          lambda: (array("Q", [7, 6, 0, 4, 2, 5, 1, 3]),), [
            ("wide", lambda: ([0, fresh_int(1) << 63],), ValueError),
        ]),
        "sbox.component_algebraic_immunity": (
            lambda table, method="auto": sbox.component_algebraic_immunity(table, method=method,
                                                                           threads=1),
            lambda: ([7, 6, 0, 4, 2, 5, 1, 3],), [
                ("method", lambda: ([7, 6, 0, 4, 2, 5, 1, 3], fresh_str("sparse")), ValueError),
            ]),
        # The stages of a try, and states that are no try's.
        "_engine.system_costs": (_engine.system_costs, lambda: (3, packed3(), fresh_int(2)), [
            ("chains", lambda: (3, packed3(), fresh_int(0)), ValueError),
        ]),
        "_engine._split_plan": (_engine._split_plan, lambda: (3, packed3(), 2, fresh_int(2)), [
            ("blocks", lambda: (3, packed3(), 2, fresh_int(300)), ValueError),
        ]),
        "_engine._split_sequence": (_engine._split_sequence,
                                    lambda: (*split, 1, 0, bytearray(), 3, 1, quiet_progress), [
            ("state", lambda: (*split, 0, 4, bytearray(), 1, 1, None), ValueError),
            ("vector", lambda: (*split, 0, 2, bytearray(sequence_state()[1][:-8]), 1, 1, None),
             ValueError),
            ("words", lambda: (*split, 0, 2, bytearray(7), 1, 1, None), ValueError),
            ("block", lambda: (*split, fresh_int(2), 0, b"", 1, 1, None), ValueError),
            ("progress-raises", lambda: (*split, 0, 0, b"", 2, 1, raising_progress), KeyError),
        ]),
        "_engine._split_conclude": (_engine._split_conclude,
                                    lambda: (*split, whole_chains(), 1, quiet_progress), [
            ("chains", lambda: (*split, bytearray(sequence_state()[2]), 1, None), ValueError),
        ]),
        "_engine._split_combination": (_engine._split_combination,
                                       lambda: (*split, 0, words(2, 0, 0), 0, b"", b"", 1, 1,
                                                None), [
            ("state", lambda: (*split, 0, words(0, 0, 0), 3, b"", b"", 1, 1, None), ValueError),
            ("plan", lambda: (*split, 0, words(7), 0, b"", b"", 1, 1, None), ValueError),
        ]),
        "_engine._split_finish": (_engine._split_finish,
                                  lambda: (*split, words(2, 0, 0), bytearray(8 * 93), 1, None), [
            ("no-kernel", lambda: (*split, words(0, 0, 0), bytearray(8 * 93), 1, None),
             ValueError),
            ("w", lambda: (*split, words(2, 0, 0), bytearray(8), 1, None), ValueError),
        ]),
        "immunity.estimate": (lambda f, chains=1: immunity.estimate(f, chains=chains),
                              lambda: (fresh_str("0x1ee1"),), [
            ("chains", lambda: (fresh_str("0x1ee1"), fresh_int(0)), ValueError),
        ]),
        "immunity.algebraic_immunity[executor]": (
            lambda f, executor=None: immunity.algebraic_immunity(
                f, executor=Inline() if executor is None else executor, chains=1, seed=3),
            lambda: (fresh_str("0x6"),), [
                ("executor", lambda: (fresh_str("0x1ee1"), object()), TypeError),
            ]),
        # The black-box method, its proofs and the error of a failed one.
        "immunity.algebraic_immunity[black-box]": (black_box(immunity.algebraic_immunity),
                                                   lambda: (fresh_str("0x1ee1"),), [
            ("unproved", lambda: (fresh_str("0x1ee1"), "always"), RuntimeError),
            ("method", lambda: (fresh_str("0x1ee1"), "sparse"), ValueError),
        ]),
        "immunity.annihilators[black-box]": (black_box(immunity.annihilators),
                                             lambda: (fresh_str("0x1ee1"), 2), [
            ("too-large", lambda: (fresh_str("0x" + "0" * 31 + "1"), 3), RuntimeError),
        ]),
        "immunity.immunity_profile[black-box]": (black_box(immunity.immunity_profile),
                                                 lambda: (fresh_str("0x1ee1"), 4), []),
        "immunity.algebraic_immunity": (immunity.algebraic_immunity, lambda: ([fresh_int(1)],), [
            ("progress-raises", lambda: ([1],), KeyError),
            ("length", lambda: ([0, 1, 1],), ValueError),
        ]),
        "immunity.immunity_profile": (immunity.immunity_profile, lambda: ([0], 3), [
            ("degree", lambda: ([0], -fresh_int(1)), ValueError),
        ]),
        "immunity.annihilators": (immunity.annihilators, lambda: (list(table3()), 2), [
            ("degree", lambda: (table3(), -fresh_int(1)), ValueError),
            ("progress-raises", lambda: (fresh_str("01101001"), 1), KeyError),
        ]),
        # Every form of truth table, and each way one can be wrong.
        "immunity.truth_table": (immunity.truth_table, lambda: ([fresh_int(1), 0, 1, 1],), [
            ("bools", lambda: ([True, False],), None),
            ("bytearray", lambda: (bytearray(table3()),), None),
            ("memoryview", lambda: (memoryview(array("H", [0, 1])),), None),
            ("text", lambda: (fresh_str("0110"),), None),
            ("hex", lambda: (fresh_str("0x6996"),), None),
            ("packed", lambda: (immunity.read_table(fresh_str("0x6996")),), None),
            ("length", lambda: ([0, 1, 1],), ValueError),
            ("value", lambda: ([0, 1, 1, fresh_int(2)],), ValueError),
            ("type", lambda: ([0, fresh_str("1")],), TypeError),
            ("text-bad", lambda: (fresh_str("01x0"),), ValueError),
            ("hex-bad", lambda: (fresh_str("0x69g6"),), ValueError),
            ("object", lambda: (object(),), TypeError),
        ]),
    }


def engine_cases():
    found = []
    for name, (function, good, variants) in engine_entry_points().items():
        def make(function=function, args_factory=good, progress=None):
            args = args_factory()
            keywords = {} if progress is None else {"progress": progress}
            return (lambda: function(*args, **keywords)), [*args, *keywords.values()]
        found.append(Case(f"{name}: success", None, make))
        for kind, args, expected in variants:
            # quillmat.immunity takes progress as a keyword.
            progress = raising_progress if name.startswith("immunity.") and "progress" in kind else None
            found.append(Case(f"{name}: {kind}", expected,
                              lambda make=make, args=args, progress=progress: make(args_factory=args, progress=progress)))
    return found


def planted_leaks():
    """Cases that leak on purpose, one per detector: each must be caught."""
    kept = []
    malloc = ctypes.CDLL(None).malloc
    malloc.restype, malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    victim = [fresh_str("watched")]
    return [
        Case("planted: Python block per call", None,
             lambda: ((lambda: kept.append(object())), [])),
        Case("planted: C heap per call", None, lambda: ((lambda: malloc(32)), [])),
        Case("planted: reference per call", None,
             lambda: ((lambda: incref(victim[0])), [victim[0]])),
    ]


# --- running ------------------------------------------------------------------------

def reachable(objects):
    """The objects and everything inside them (list and tuple items, the items of
    an Items), each once: the reference counts to watch."""
    found, seen = [], set()
    stack = list(objects)
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        found.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, Items):
            stack.extend(obj.items)
    return found


def run_case(case, calls, heap_used):
    fn, watched = case.make()
    watched = reachable(watched)
    got = raised(fn)
    if got is not case.expected and not (case.expected and got and issubclass(got, case.expected)):
        return f"outcome {got.__name__ if got else 'success'}, expected " \
               f"{case.expected.__name__ if case.expected else 'success'}"
    rounds = max(1, -(-calls // ROUND))
    for _ in range(WARM_UP):  # caches and free lists fill up here
        swallow(fn)
    refs = [sys.getrefcount(o) for o in watched]
    growth = measure(fn, rounds, ROUND, heap_used)
    problems = []
    if any(b > 0 for b, _ in growth):
        problems.append(f"Python blocks grew {[b for b, _ in growth]}")
    if any(h > 0 for _, h in growth):
        problems.append(f"C heap grew {[h for _, h in growth]} bytes")
    after = [sys.getrefcount(o) for o in watched]
    changed = [f"{type(o).__name__} {b} -> {a}" for o, b, a in zip(watched, refs, after) if a != b]
    if changed:
        problems.append(f"reference counts {', '.join(changed)}")
    return "; ".join(problems) or None


NO_THREAD_CACHE = "glibc.malloc.tcache_count=0"


def main():
    # glibc's per-thread cache keeps freed chunks counted as in use, and which
    # sizes it holds depends on where an interrupted call stopped.  Without it
    # the C heap reads exactly what is allocated: the gate runs itself again so.
    if NO_THREAD_CACHE not in os.environ.get("GLIBC_TUNABLES", ""):
        tunables = ":".join(filter(None, [os.environ.get("GLIBC_TUNABLES"), NO_THREAD_CACHE]))
        os.execve(sys.executable, [sys.executable, *sys.argv],
                  {**os.environ, "GLIBC_TUNABLES": tunables})
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=3 * ROUND,
                        help="measured calls per case, in rounds of 10**4 (default 3 * 10**4)")
    parser.add_argument("-k", dest="keyword", default="", help="only cases whose name holds this")
    options = parser.parse_args()
    if sys.getallocatedblocks() == 0:
        sys.exit("leak_gate: sys.getallocatedblocks() reads 0; run without PYTHONMALLOC=malloc")
    heap_used = heap_meter()
    if heap_used is None:
        sys.exit("leak_gate: this C library has no mallinfo2 (glibc 2.33 or newer needed)")

    # Failures write diagnostics to fd 2 and one reduction writes "inverting" to
    # fd 1: both go to /dev/null meanwhile.  A resumed failure has the interpreter
    # print the exception through sys.excepthook; the printing is the
    # interpreter's business, not the module's, so the hook does nothing here.
    report = os.fdopen(os.dup(1), "w", buffering=1)
    saved = os.dup(1), os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    sys.stdout.flush(), sys.stderr.flush()
    os.dup2(devnull, 1), os.dup2(devnull, 2)
    sys.excepthook = lambda *exc_info: None
    start, failed, total = time.monotonic(), [], 0
    rounds = max(1, -(-options.calls // ROUND))
    try:
        selected = [c for c in cases() if options.keyword in c.name]
        if not selected:
            sys.exit(f"leak_gate: no case matches {options.keyword!r}")
        nothing = measure(lambda: None, 2, ROUND, heap_used)
        if any(b > 0 or h > 0 for b, h in nothing):
            sys.exit(f"leak_gate: even empty rounds seem to grow: {nothing}")
        for case in planted_leaks():
            if run_case(case, ROUND, heap_used) is None:
                sys.exit(f"leak_gate: the planted leak '{case.name}' went unnoticed")
        for case in selected:
            problem = run_case(case, options.calls, heap_used)
            total += rounds * ROUND + WARM_UP
            status = "ok" if problem is None else f"LEAK: {problem}"
            if problem is not None:
                failed.append(case.name)
            print(f"{case.name:<52} {status}", file=report)
    finally:
        os.dup2(saved[0], 1), os.dup2(saved[1], 2)
        sys.excepthook = sys.__excepthook__
    per_entry = {}
    for case in selected:
        entry = case.name.split(":")[0]
        per_entry[entry] = per_entry.get(entry, 0) + rounds * ROUND
    print(f"leak gate: {len(selected)} cases over {len(per_entry)} entry points, "
          f"{rounds * ROUND} measured calls per case, at least {min(per_entry.values())} "
          f"per entry point ({total} calls in all) in {time.monotonic() - start:.0f} s",
          file=report)
    if failed:
        print(f"leak gate: {len(failed)} failed: {', '.join(failed)}", file=report)
        return 1
    print(f"leak gate: {len(selected)} passed, 0 failed", file=report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
