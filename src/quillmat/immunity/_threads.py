"""Threads and cores: what "all cores" means, decided in one place."""

from __future__ import annotations

import operator

from quillmat import _engine


def available_cores() -> int:
    """The cores this process may run on: what "all cores" means for `threads`
    and for the workers of map_immunity."""
    return _engine.available_cores()


def checked_threads(threads: int | None, name: str = "threads") -> int:
    """A thread count for the engine: 0 asks it for all available cores."""
    if threads is None:
        return 0
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"{name} must be >= 1, not {count}")
    return count
