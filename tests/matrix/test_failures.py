import os

import pytest

import quillmat
from testing import run_python
from helpers import Hook, failing_index, index_failure, provoke_failure

Matrix = quillmat.Matrix
BANNER = "Python stack trace below:"


def test_failure_type(panic_type):
    assert (panic_type.__module__, panic_type.__name__, panic_type.__qualname__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert panic_type.__bases__ == (BaseException,) and not issubclass(panic_type, Exception)
    assert isinstance(panic_type.__doc__, str) and panic_type.__doc__.strip()
    assert type(provoke_failure()) is panic_type  # created once, then reused


def test_failure_value_and_diagnostic(panic_type, capfd):
    m = Matrix([[1, 0], [0, 1]])
    with pytest.raises(panic_type) as info:
        m.get(99, 0)
    assert info.value.args == (index_failure(2, 99),) and str(info.value) == index_failure(2, 99)
    assert index_failure(2, 99) in capfd.readouterr().err
    assert m.to_list() == [[1, 0], [0, 1]]


def test_diagnostic_bypasses_sys_stderr():
    rc, out, err = run_python(
        "import io, sys, quillmat\n"
        "sys.stderr = io.StringIO()\n"
        "try: quillmat.Matrix([]).get(3, 0)\n"
        "except BaseException as e: print(type(e).__name__, repr(sys.stderr.getvalue()))\n")
    assert rc == 0 and out.split() == ["PanicException", "''"], err
    assert index_failure(0, 3) in err


def _two_failures(env=None):
    """The fd 2 output of two failures in a fresh process, one part per failure."""
    rc, out, err = run_python(
        "import os, quillmat\n"
        "for i in (5, 6):\n"
        "    try: quillmat.Matrix([[1]]).get(i, 0)\n"
        "    except BaseException: pass\n"
        "    os.write(2, b'@@\\n')\n", env)
    assert rc == 0, err
    first, second, rest = err.split("@@\n")
    assert index_failure(1, 5) in first and index_failure(1, 6) in second and rest == ""
    return first, second


def test_backtrace_hint_only_once():
    first, second = _two_failures()
    assert len([line for line in first.splitlines() if "QUILLMAT_BACKTRACE" in line]) == 1
    assert "QUILLMAT_BACKTRACE" not in second


def test_backtrace_on_request():
    plain, _ = _two_failures()
    traced, _ = _two_failures({"QUILLMAT_BACKTRACE": "1"})
    assert len(traced.splitlines()) > len(plain.splitlines()) + 1


class FailingRows:
    def __init__(self, m):
        self.m = m

    def __getitem__(self, i):
        return self.m.get(99, 0)


@pytest.mark.parametrize("call, banners", [
    (lambda m: m.get(failing_index(m, 0), 0), 1),
    (lambda m: m.get(0, failing_index(m, 0)), 1),
    (lambda m: m.get(failing_index(m, 2), 0), 3),   # one resumption per level
    (lambda m: Matrix([[0, failing_index(m, 1)]]), 2),
    (lambda m: Matrix(FailingRows(m)), 1),            # raised by the iterator itself
], ids=["row", "col", "nested", "cell", "iterator"])
def test_failure_resumed_through_conversion(panic_type, capfd, call, banners):
    m = Matrix([[1, 0], [0, 1]])
    with pytest.raises(panic_type) as info:
        call(m)
    assert info.value.args == (index_failure(2, 99),)  # the text survives every level
    assert capfd.readouterr().err.count(BANNER) == banners
    assert m.to_list() == [[1, 0], [0, 1]]


def test_python_raised_failures(panic_type, capfd):
    # The exact type is resumed with its str(); a subclass is an ordinary error.
    def fail(exc):
        raise exc
    with pytest.raises(panic_type) as info:
        Matrix([[1]]).get(Hook(lambda: fail(panic_type("raised in Python"))), 0)
    assert info.value.args == ("raised in Python",) and BANNER in capfd.readouterr().err
    sub = type("SubFailure", (panic_type,), {})("custom")
    with pytest.raises(panic_type) as info:
        Matrix([[1]]).get(Hook(lambda: fail(sub)), 0)
    assert info.value is sub and BANNER not in capfd.readouterr().err


@pytest.mark.skipif("QUILLMAT_SANITIZED" in os.environ or not os.path.exists("/proc/self/status"),
                    reason="sanitizer builds cannot run under RLIMIT_AS; needs /proc")
def test_out_of_memory_becomes_memory_error():
    rc, out, err = run_python(
        "import resource, quillmat\n"
        "m = quillmat.Matrix([bytes(300 * 2**20)])\n"
        "vm = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize:'))\n"
        "hard = resource.getrlimit(resource.RLIMIT_AS)[1]\n"
        "resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + 100 * 2**20, hard))\n"
        "try: m.copy(); print('copied')\n"
        "except MemoryError: print('MemoryError')\n"
        "print(m.nrows(), m.ncols(), m.get(0, 5))\n")
    assert rc == 0, err
    assert out.split() == ["MemoryError", "1", str(300 * 2**20), "0"]
