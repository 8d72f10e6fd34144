"""Pictures of the annihilator spaces: dim Ann_d(f) and dim Ann_d(f + 1) against d.

matplotlib is an optional extra (quillmat[plot]), imported only here and
only when a picture is asked for.  The figures are matplotlib.figure.Figure
objects made without pyplot, so drawing touches no global state and needs no
display: figure.savefig writes a PNG with the Agg renderer.
"""

from __future__ import annotations

import importlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from quillmat.immunity._table import TruthTable, read_table

if TYPE_CHECKING:
    from quillmat.immunity import Dimensions

INSTALL_HINT = 'matplotlib is needed for plots: pip install "quillmat[plot]"'


def matplotlib_figure() -> Any:
    """matplotlib.figure.Figure, or ImportError with what to install."""
    try:
        # By name: matplotlib is optional, and type checkers of an installed
        # quillmat must not need it.
        return importlib.import_module("matplotlib.figure").Figure
    except ImportError:
        raise ImportError(INSTALL_HINT) from None


def plot_profile(f: TruthTable, max_degree: int | None = None, *, ax: Any = None,
                 threads: int | None = None) -> Any:
    """A figure of dim Ann_d(f) and dim Ann_d(f + 1) for d = 0 .. max_degree
    (by default n, the whole range), on a symmetric log scale so that the
    zeros below the immunity show, with the immunity marked.

    Draws on `ax` when given (and returns its figure), else on a new
    matplotlib Figure; save it with figure.savefig("profile.png")."""
    from quillmat.immunity import algebraic_immunity, immunity_profile

    Figure = matplotlib_figure()
    table = read_table(f)
    result = algebraic_immunity(table, threads=threads)
    top = table.n if max_degree is None else max_degree
    profile = immunity_profile(table, top, threads=threads)
    return draw_profile(profile, result.degree, ax=ax, title=f"{table.n} variables",
                        figure_type=Figure)


def draw_profile(profile: Sequence[Dimensions], degree: int, *, ax: Any = None,
                 title: str | None = None, figure_type: Any = None) -> Any:
    """The picture of a profile already computed, `degree` its immunity."""
    if ax is None:
        Figure = figure_type or matplotlib_figure()
        figure = Figure(figsize=(6.4, 4.2), layout="constrained")
        ax = figure.subplots()
    else:
        figure = ax.figure
    degrees = list(range(len(profile)))
    ax.plot(degrees, [dims.f for dims in profile], marker="o", label=r"$\dim\,\mathrm{Ann}_d(f)$")
    ax.plot(degrees, [dims.complement for dims in profile], marker="s", linestyle="--",
            label=r"$\dim\,\mathrm{Ann}_d(f + 1)$")
    # Below the immunity both dimensions are 0: a symmetric log scale is
    # linear near 0, so they show on the axis instead of vanishing.
    ax.set_yscale("symlog", linthresh=1)
    ax.set_ylim(bottom=0)
    ax.axvline(degree, color="0.4", linestyle=":", label=f"algebraic immunity {degree}")
    ax.set_xticks(degrees)
    ax.set_xlabel("degree d")
    ax.set_ylabel("dimension")
    ax.grid(True, alpha=0.3)
    if title:
        ax.set_title(title)
    ax.legend(loc="upper left")
    return figure
