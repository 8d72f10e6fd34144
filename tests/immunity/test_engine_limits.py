"""The engine at its limits: low immunities at many variables, Ctrl-C in every
long stretch, memory refused before the work, threads the system will not
give, and forks made while calls run.  Each runs in a child process, through
the engine's door (quillmat._engine), with a timeout."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from helpers import child_environment, interrupt_when_ready

SANITIZED = "QUILLMAT_SANITIZED" in os.environ
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="reads rusage in KiB, sets rlimits")


def run_child(code, timeout=60):
    """Runs `code` in a child interpreter, in a process group of its own;
    returns its stdout, failing on a non-zero status or a timeout, after
    which the whole group is killed (a child it forked may hang too)."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_environment(),
                             start_new_session=True)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        pytest.fail(f"the child did not end within {timeout} s")
    assert child.returncode == 0, out[-2000:] + err[-2000:]
    return out


# A function of low immunity at many variables: x0, whose degree-1 systems
# have a row per point of the cube and a few dozen columns.
X0 = """
import resource, time
from quillmat import _engine
n = {n}
x0 = b"\\xaa" * (1 << (n - 3))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.monotonic()
result = _engine.algebraic_immunity(n, x0, 0, None, 1, 0)
seconds = time.monotonic() - start
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
print(result, f"{{seconds:.2f}}", f"{{grown:.0f}}")
"""


@linux_only
def test_a_low_immunity_is_cheap_at_many_variables():
    out = run_child(X0.format(n=26), timeout=120)
    result, seconds, grown = out.rsplit(maxsplit=2)
    assert result == "(1, False, [0, 1], 1, 1, True, 'dense')"  # x0 + 1, and x0 for x0 + 1
    # A stored system of that degree would take minutes and gigabytes; the
    # sanitizer's build is several times slower than the plain one.
    assert float(seconds) < (30 if SANITIZED else 5), f"{seconds} s"
    assert float(grown) < 200, f"{grown} MiB"


CTRL_C = """
import random, sys, time
from quillmat import _engine
n = {n}
table = random.Random({seed}).randbytes(1 << (n - 3))
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
    sys.exit(1)
"""


@pytest.mark.parametrize("wait", [0.3, 0.9, 2.0])
def test_ctrl_c_is_prompt_in_every_stretch(wait):
    # Rows of high weight at high degrees, hundreds of thousands of subsets
    # each, among the stretches the search goes through.
    code = CTRL_C.format(n=20, seed=3, call="_engine.algebraic_immunity(n, table, 0, None, 1, 0)")
    status, out, sent = interrupt_when_ready(code, wait)
    lines = out.split()
    assert status == 0 and lines[0] == "interrupted", out
    late = float(lines[1]) - sent
    assert late < 0.5, f"KeyboardInterrupt {late:.3f} s after SIGINT"


@pytest.mark.parametrize("wait", [0.5, 3.0, 8.0])
def test_ctrl_c_is_prompt_in_the_black_box(wait):
    # Products, Berlekamp and Massey's algorithm and its check, at degrees
    # whose systems have tens of thousands of columns.
    code = CTRL_C.format(n=17, seed=4, call="_engine.algebraic_immunity(n, table, 0, None, 2, 1)")
    status, out, sent = interrupt_when_ready(code, wait)
    lines = out.split()
    assert status == 0 and lines[0] == "interrupted", out
    late = float(lines[1]) - sent
    assert late < 0.5, f"KeyboardInterrupt {late:.3f} s after SIGINT"


FORK_IN_PROGRESS = """
import os, random
from quillmat import _engine
big = random.Random(5).randbytes(1 << 14)  # 17 variables: seconds of work on 4 threads
small = random.Random(6).randbytes(1 << 9)  # 12 variables
expected = _engine.algebraic_immunity(12, small, 1, None, 1, 0)
forked = []

def progress(done, total):
    if not forked:
        forked.append(os.fork())
        if forked[0] != 0:
            # The parent waits for the child, then stops its own call.
            raise KeyError(os.waitpid(forked[0], 0)[1])

try:
    _engine.algebraic_immunity(17, big, 4, progress, 1, 0)
    outcome = "finished"
except RuntimeError as error:
    outcome = str(error)
except KeyError as error:
    print("parent: the child's status", error.args[0], flush=True)
    os._exit(0)
print("child:", outcome, flush=True)
# The child's engine works again, its threads its own.
print("child again:", _engine.algebraic_immunity(12, small, 4, None, 1, 0) == expected, flush=True)
os._exit(0)
"""


def test_a_fork_in_a_progress_callback_ends_the_call_in_the_child():
    out = run_child(FORK_IN_PROGRESS, timeout=60)
    assert out.splitlines() == [
        "child: the engine's work cannot go on in a process forked while it ran",
        "child again: True",
        "parent: the child's status 0",
    ], out


FORK_BESIDE_A_CALL = """
import os, random, re, threading, time
from quillmat import _engine
big = random.Random(25).randbytes(1 << 22)  # 25 variables

def held():
    # What the engine holds when it refuses a system of terabytes.
    try:
        _engine.annihilators(25, big, 12, 1, None, 1, 0)
    except MemoryError as error:
        return float(re.search(r"([0-9.]+) GiB of it held", str(error)).group(1))

alone = held()
table = random.Random(5).randbytes(1 << 15)  # 18 variables
running = threading.Event()

def long_call():
    _engine.annihilators(18, table, 9, 1, lambda done, total: running.set(), 1, 0)

thread = threading.Thread(target=long_call, daemon=True)
thread.start()
running.wait()
time.sleep(0.3)
beside = held()
pid = os.fork()
if pid == 0:
    print("child", held() == alone, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
print("parent", beside > alone, flush=True)
os._exit(0)
"""


def test_a_child_forked_beside_a_call_starts_with_nothing_reserved():
    out = run_child(FORK_BESIDE_A_CALL, timeout=60)
    assert out.split() == ["child", "True", "parent", "True"], out


NO_THREADS = """
import os, random, resource
from quillmat import _engine
n = 16
table = random.Random(9).randbytes(1 << (n - 3))
expected = [_engine.algebraic_immunity(n, table, 1, None, 1, 0),
            _engine.annihilators(n, table, 7, 1, None, 1, 0)]
if os.getuid() == 0:
    # Root ignores RLIMIT_NPROC: the child becomes nobody first.
    os.setgid(65534)
    os.setuid(65534)
resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
got = [_engine.algebraic_immunity(n, table, 8, None, 1, 0),
       _engine.annihilators(n, table, 7, 8, None, 1, 0)]
print(got == expected, flush=True)
# Without the exit handlers: a leak checker's own threads would be refused too.
os._exit(0)
"""


@linux_only
def test_threads_the_system_refuses_leave_the_work_to_the_caller():
    out = run_child(NO_THREADS, timeout=120)
    assert out == "True\n"


BEYOND_MEMORY = """
import random, resource, time
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
from quillmat import _engine
n = 19
table = [1] * 2**18 + [0] * 2**18
random.Random(19).shuffle(table)
table = int("".join(map(str, reversed(table))), 2).to_bytes(1 << (n - 3), "little")
for call in (lambda: _engine.algebraic_immunity(n, table, 0, None, 1, 0),
             lambda: _engine.immunity_profile(n, table, 9, 0, None, 1, 0)):
    start = time.monotonic()
    try:
        call()
    except MemoryError as error:
        print(f"{time.monotonic() - start:.2f}", "GiB" in str(error))
    else:
        print("no MemoryError")
"""


@linux_only
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs more address space")
def test_a_search_beyond_memory_raises_before_its_work():
    # A balanced function of 19 variables needs its degree-9 systems (2 GiB
    # each), more than a 2 GiB address space allows; the degrees below take
    # minutes.
    lines = run_child(BEYOND_MEMORY, timeout=60).splitlines()
    assert len(lines) == 2, lines
    for line in lines:
        seconds, named = line.split()
        assert float(seconds) < 5 and named == "True", lines


FULL_RANK_BELOW = """
import time
from quillmat import _engine
n, d = {n}, {d}
# 1 at the points of weight > d: no annihilator of degree d, and the first
# rows in order (the points of the low variables) span only a corner.
bits = int("".join("1" if bin(x).count("1") > d else "0" for x in reversed(range(1 << n))), 2)
bits = bits.to_bytes((1 << n) // 8, "little")
start = time.monotonic()
basis = _engine.annihilators(n, bits, d, 0, None, 1, 0)
print(len(basis), f"{{time.monotonic() - start:.2f}}")
"""


def test_a_degree_without_annihilators_is_read_in_few_chunks():
    # Read in order, its 2**19 rows took a chunk after another: seconds.
    count, seconds = run_child(FULL_RANK_BELOW.format(n=19, d=4), timeout=120).split()
    assert count == "0"
    assert float(seconds) < 1.5, f"{seconds} s"
