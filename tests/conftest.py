import os

import pytest
from hypothesis import settings

from helpers import provoke_failure

# Hypothesis profiles: tests that set no example count of their own (the state
# machine) take it from here.  The sanitizer run selects "thorough".
settings.register_profile("quick", deadline=None, max_examples=100)
settings.register_profile("thorough", deadline=None, max_examples=10_000, stateful_step_count=15)
settings.load_profile(os.environ.get("QUILLMAT_HYPOTHESIS_PROFILE", "quick"))


@pytest.fixture(scope="session")
def panic_type():
    return type(provoke_failure())
