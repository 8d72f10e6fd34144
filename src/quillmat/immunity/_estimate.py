"""What a search for the algebraic immunity costs, before any work.

The engine gives each solver's cost, in its units, of each side's system at
each degree (the models that choose the solvers); this module adds them up
as each search goes and turns units into seconds at rates measured on the
reference machine by `python -m bench.estimates`, which prints the
predictions beside measured runs (docs/benchmarks.md, "Estimates").
"""

from __future__ import annotations

from typing import NamedTuple

from quillmat import _engine
from quillmat.immunity._table import PackedTable

# Cost units a second, fitted to the runs of bench.methods at 16 to 21
# variables (random balanced functions and Tr(x^-1)): the dense solver's
# ran at 2.6e10 to 6.9e10, the black-box solver's at 3.7e9 to 1.2e10.
DENSE_UNITS_PER_SECOND = 5e10
BLACK_BOX_UNITS_PER_SECOND = 6.5e9


class Cost(NamedTuple):
    """A prediction of one method's run: seconds and peak bytes."""

    seconds: float
    memory: int


def search_costs(table: PackedTable, chains: int, sides_together: bool
                 ) -> list[tuple[Cost, Cost]]:
    """(dense, black-box) for each immunity a = 0 .. bound the function might have."""
    n = table.n
    systems = _engine.system_costs(n, table.bits, chains)

    def dense(s: int, d: int) -> tuple[float, int]:
        # The dense search decides a side by the cheaper of its system and
        # the other side's dual one, of degree n - d - 1.
        (units, memory), dual = (systems[d][0][s], systems[d][1][s]), n - d - 1
        if 0 <= dual < len(systems) and systems[dual][0][1 - s] < units:
            return systems[dual][0][1 - s], systems[dual][1][1 - s]
        return units, memory

    result = []
    ascent, ascent_memory = 0.0, 0
    for a in range(len(systems)):
        # The black-box search goes up from degree 0, both sides a degree,
        # side by side on two cores.
        costs = systems[a][2]
        ascent += max(costs) if sides_together else sum(costs)
        ascent_memory = max(ascent_memory, *systems[a][3])
        # The dense search decides the degree below the immunity, then the
        # immunity, where the dual of a degree decided already is known.
        units, memory = 0.0, 0
        for d in {a - 1, a} if a > 0 else {0}:
            for s in (0, 1):
                if d == a and n - a - 1 == a - 1:
                    continue
                u, m = dense(s, d)
                units, memory = units + u, max(memory, m)
        result.append((Cost(units / DENSE_UNITS_PER_SECOND, memory),
                       Cost(ascent / BLACK_BOX_UNITS_PER_SECOND, ascent_memory)))
    return result
