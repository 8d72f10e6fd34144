"""The native algebraic-immunity engine behind quillmat.immunity.

Every function takes n, the number of variables (0 .. max_variables), and
bits, the truth table packed eight points to a byte: a C-contiguous buffer of
(2**n + 7) // 8 bytes whose byte x // 8 holds f(x) in bit x % 8.  threads is
the most threads the work may use, 0 for one per available core; progress is
None or a callable progress(done, total).  method is 0 (a cost model
chooses), 1 (dense) or 2 (black-box); seed, 0 .. 2**64 - 1, gives the
black-box method's random choices.  A dimension it did not prove is None.
"""

from collections.abc import Buffer, Callable

max_variables: int

def algebraic_immunity(
    n: int,
    bits: Buffer,
    threads: int,
    progress: Callable[[int, int], object] | None,
    method: int,
    seed: int,
) -> tuple[int, bool, list[int], int | None, int | None, bool, str]: ...
def immunity_profile(
    n: int,
    bits: Buffer,
    max_degree: int,
    threads: int,
    progress: Callable[[int, int], object] | None,
    method: int,
    seed: int,
) -> list[tuple[int | None, int | None]]: ...
def annihilators(
    n: int,
    bits: Buffer,
    degree: int,
    threads: int,
    progress: Callable[[int, int], object] | None,
    method: int,
    seed: int,
) -> list[list[int]]: ...
def available_cores() -> int: ...
def _inject_faults(fault: int, count: int) -> None: ...
