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
def system_costs(
    n: int, bits: Buffer, chains: int
) -> list[
    tuple[
        tuple[float, float], tuple[int, int], tuple[float, float], tuple[int, int]
    ]
]: ...

# One try of the black-box method in stages (quillmat.immunity._cluster).
_Progress = Callable[[int, int], object] | None

def _split_plan(n: int, bits: Buffer, degree: int, blocks: int) -> tuple[int, int, int, int]: ...
def _split_sequence(
    n: int,
    bits: Buffer,
    degree: int,
    seed: int,
    attempt: int,
    blocks: int,
    block: int,
    done: int,
    vector: Buffer,
    count: int,
    threads: int,
    progress: _Progress,
) -> tuple[int, bytes, bytes]: ...
def _split_conclude(
    n: int,
    bits: Buffer,
    degree: int,
    seed: int,
    attempt: int,
    blocks: int,
    chains: Buffer,
    threads: int,
    progress: _Progress,
) -> tuple[int, int, int, bytes]: ...
def _split_combination(
    n: int,
    bits: Buffer,
    degree: int,
    seed: int,
    attempt: int,
    blocks: int,
    block: int,
    plan: Buffer,
    done: int,
    vector: Buffer,
    w: Buffer,
    count: int,
    threads: int,
    progress: _Progress,
) -> tuple[int, bytes, bytes]: ...
def _split_finish(
    n: int,
    bits: Buffer,
    degree: int,
    seed: int,
    attempt: int,
    blocks: int,
    plan: Buffer,
    w: Buffer,
    threads: int,
    progress: _Progress,
) -> tuple[list[list[int]], int, bool]: ...
def spectra(
    n: int, bits: Buffer, threads: int, progress: Callable[[int, int], object] | None
) -> tuple[bytes, int, bytes, int, int, int, list[tuple[int, int]]]: ...
def fast_algebraic_immunity(
    n: int,
    bits: Buffer,
    threads: int,
    progress: Callable[[int, int], object] | None,
    method: int,
    seed: int,
) -> tuple[
    int,
    bool,
    list[int],
    int,
    int,
    list[int],
    list[int],
    tuple[int, bool, list[int], int | None, int | None, bool, str],
]: ...
def walsh_spectrum(
    n: int, bits: Buffer, threads: int, progress: Callable[[int, int], object] | None
) -> bytes: ...
def algebraic_normal_form(
    n: int, bits: Buffer, threads: int, progress: Callable[[int, int], object] | None
) -> tuple[bytes, int]: ...
def vanishing_space(
    n: int,
    points: Buffer,
    degree: int,
    basis: bool,
    threads: int,
    progress: Callable[[int, int], object] | None,
) -> tuple[int, list[list[int]] | None]: ...
def bi_affine_space(
    n: int,
    points: Buffer,
    inputs: int,
    basis: bool,
    threads: int,
    progress: Callable[[int, int], object] | None,
) -> tuple[int, list[list[int]] | None]: ...
def component_immunities(
    n: int,
    m: int,
    values: Buffer,
    threads: int,
    progress: Callable[[int, int], object] | None,
    method: int,
    seed: int,
) -> bytes: ...
