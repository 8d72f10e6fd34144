"""What the test modules share that needs pytest: marks, and a fresh
interpreter to run code in."""
import os
import subprocess
import sys

import pytest

from helpers import child_environment

# AddressSanitizer's operator new reports an impossible size and aborts instead
# of throwing std::bad_alloc (allocator_may_return_null only covers malloc), so
# a test that needs the allocator to refuse such a request runs in the plain
# build only; the leak gate covers the same MemoryError paths there.
plain_allocator = pytest.mark.skipif("QUILLMAT_SANITIZED" in os.environ,
                                     reason="the sanitizer aborts on impossible allocations")


def run_python(code, env_extra=None):
    """Run `code` in a fresh interpreter; return (returncode, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=child_environment(**(env_extra or {})), timeout=120)
    return proc.returncode, proc.stdout, proc.stderr
