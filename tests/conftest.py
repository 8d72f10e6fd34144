import os
import subprocess
import sys

import pytest
from hypothesis import settings

from helpers import child_environment, provoke_failure

# Hypothesis profiles: tests that set no example count of their own (the state
# machine) take it from here.  The sanitizer run selects "thorough".
settings.register_profile("quick", deadline=None, max_examples=100)
settings.register_profile("thorough", deadline=None, max_examples=10_000, stateful_step_count=15)
settings.load_profile(os.environ.get("QUILLMAT_HYPOTHESIS_PROFILE", "quick"))

# AddressSanitizer's operator new reports an impossible size and aborts instead
# of throwing std::bad_alloc (allocator_may_return_null only covers malloc), so
# a test that needs the allocator to refuse such a request runs in the plain
# build only; the leak gate covers the same MemoryError paths there.
plain_allocator = pytest.mark.skipif("QUILLMAT_SANITIZED" in os.environ,
                                     reason="the sanitizer aborts on impossible allocations")


@pytest.fixture(scope="session")
def panic_type():
    return type(provoke_failure())


def run_python(code, env_extra=None):
    """Run `code` in a fresh interpreter; return (returncode, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=child_environment(**(env_extra or {})), timeout=120)
    return proc.returncode, proc.stdout, proc.stderr
