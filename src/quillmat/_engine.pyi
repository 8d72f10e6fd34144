"""The native algebraic-immunity engine behind quillmat.immunity."""

from collections.abc import Buffer, Callable

max_variables: int

def algebraic_immunity(
    table: Buffer, threads: int, progress: Callable[[int, int], object] | None, /
) -> tuple[int, bool, list[int], int, int]: ...
def immunity_profile(
    table: Buffer, max_degree: int, threads: int, progress: Callable[[int, int], object] | None, /
) -> list[tuple[int, int]]: ...
def annihilators(
    table: Buffer, degree: int, threads: int, progress: Callable[[int, int], object] | None, /
) -> list[list[int]]: ...
