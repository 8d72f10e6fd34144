"""Argument objects and small helpers shared by the tests and the leak gate
(tools/leak_gate.py imports this module too, so it needs neither pytest nor
hypothesis)."""
import os
import signal
import subprocess
import sys
import time
from typing import NamedTuple

import quillmat

# The widest index a 64-bit build converts: one more raises OverflowError.
U64_MAX = 2**64 - 1


def index_failure(length, index):
    """The text of the internal failure for `index` beyond a list of `length`."""
    return f"index out of bounds: the len is {length} but the index is {index}"


def provoke_failure():
    """The exception raised by an out-of-range read, which is always an internal failure."""
    try:
        quillmat.Matrix([]).get(0, 0)
    except BaseException as exc:  # the failure type derives from BaseException only
        return exc
    raise AssertionError("reading from an empty matrix did not fail")


def raise_(exc):
    """Raise `exc` (an exception or an exception class), from inside an expression."""
    raise exc


class Hook:
    """Not an int, but converts to one through __index__, which runs `action` (may raise)."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def Idx(value):
    return Hook(lambda: value)


def failing_index(m, depth):
    """An __index__ that lets the failure of m.get(99, 0) through, `depth` calls further down."""
    if depth == 0:
        return Hook(lambda: m.get(99, 0))
    inner = failing_index(m, depth - 1)
    return Hook(lambda: m.get(inner, 0))


class Items:
    """A sequence that is not a list.  __len__ says `length` (or raises it, when
    it is an exception); __iter__ runs `before` (which may raise) and returns an
    iterator over `items` that then yields `after()` (which may raise)."""

    def __init__(self, items, length=None, before=None, after=None):
        self.items, self.length, self.before, self.after = items, length, before, after

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.before is not None:
            self.before()
        return self._walk()

    def _walk(self):
        yield from self.items
        if self.after is not None:
            yield self.after()


def swallow(fn):
    """Call fn, letting nothing it raises through."""
    try:
        fn()
    except BaseException:
        pass


class Raised(NamedTuple):
    """How a call failed: the exception's type and text."""
    type: type[BaseException]
    text: str


def plain(value):
    """`value` with every Matrix replaced by ("Matrix", its rows), for comparing."""
    if isinstance(value, quillmat.Matrix):
        return "Matrix", value.to_list()
    if type(value) in (list, tuple):  # a named tuple stays as it is
        return type(value)(plain(v) for v in value)
    return value


def outcome(fn):
    """A comparable account of a call: its result as plain data, or how it failed."""
    try:
        result = fn()
    except BaseException as exc:
        return Raised(type(exc), str(exc))
    return plain(result)


class Interrupted(Exception):
    """What the signal handler below raises."""


def raise_interrupted(signum, frame):
    raise Interrupted


def ctrl_c_as_in_a_terminal():
    """For subprocess's preexec_fn: a child that Ctrl-C interrupts even when the
    tests run where SIGINT is ignored (a background job of a script), because
    Python keeps an ignored SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def child_environment(**extra):
    """This process's environment for a child, without a native-backtrace
    request (which would change what failures print), and with `extra`."""
    env = {k: v for k, v in os.environ.items() if k != "QUILLMAT_BACKTRACE"}
    env.update(extra)
    return env


def interrupt_when_ready(code, wait):
    """Runs `code` in a child Python that prints "ready" when it starts its long
    call, sends it SIGINT `wait` seconds later, and returns the child's status,
    its output after "ready" and when the signal went (time.monotonic, which is
    one clock for every process here)."""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_environment(),
                             preexec_fn=ctrl_c_as_in_a_terminal)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(wait)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        raise AssertionError("still running 10 s after SIGINT") from None
    finally:
        child.kill()
        child.communicate()
    return child.returncode, out + err, sent
