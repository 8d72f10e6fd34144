"""The results as a table (printed and written to markdown) and as a log-log plot."""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

from bench.timing import Timing
from bench.workloads import Ceiling, Workload

QUILLMAT = "quillmat"
COLOURS = {QUILLMAT: "tab:blue", "galois": "tab:orange", "numpy": "tab:green", "M4RI": "tab:red",
           "CPython": "tab:purple", "SageMath": "tab:brown", "Matrix stepwise": "tab:gray",
           "Matrix at-once": "tab:olive"}  # one colour per peer in every panel
COLUMNS = ["Workload", "Size", "quillmat", "Peer", "Peer time", "Peer / quillmat", "Target",
           "Met", "Notes"]


@dataclass
class Measurement:
    """Every peer's timing of one workload at one size, taken in the same run."""

    workload: Workload
    size: int
    timings: dict[str, Timing]
    differences: list[str]  # how peers' results differ from quillmat's, if they do

    def ratio(self, peer: str) -> float | None:
        ours, theirs = self.timings[QUILLMAT].seconds, self.timings[peer].seconds
        if ours is None or theirs is None or ours == 0:
            return None
        return theirs / ours

    def verdict(self, peer: str) -> str | None:
        """None when no target applies here; else "yes", "no", or "—" (not measured)."""
        target = self.workload.targets.get(peer)
        if target is None or not target.applies(self.size):
            return None
        ratio = self.ratio(peer)
        if ratio is None:
            return "—"
        return "yes" if ratio >= target.min_ratio else "no"

    def ceilings(self) -> list[tuple[Ceiling, str]]:
        """The targets on quillmat alone at this size, each with "yes", "no" or "—"."""
        ours = self.timings[QUILLMAT]
        return [(c, "—" if ours.seconds is None else
                 "yes" if c.met(ours.seconds, ours.peak_kib) else "no")
                for c in self.workload.ceilings if c.size == self.size]


def seconds_text(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def timing_text(timing: Timing) -> str:
    if timing.seconds is None:
        return timing.note
    text = seconds_text(timing.seconds)
    if timing.peak_kib is not None:
        text += f", {timing.peak_kib / 1024:.0f} MiB peak"
    return text


def ratio_text(ratio: float | None) -> str:
    if ratio is None:
        return "—"
    return f"{ratio:.3g}x" if ratio < 100 else f"{ratio:.0f}x"


def table_rows(measurements: list[Measurement]) -> list[list[str]]:
    rows = []
    for m in measurements:
        ours = m.timings[QUILLMAT]
        for peer in m.workload.peers():
            theirs = m.timings[peer]
            ratio = m.ratio(peer)
            target = m.workload.targets.get(peer)
            verdict = m.verdict(peer)
            notes = [t.note for t in (ours, theirs) if t.seconds is not None and t.note]
            notes += [f"results differ: {d}" for d in m.differences]
            rows.append([m.workload.name, m.workload.label(m.size), timing_text(ours), peer,
                         timing_text(theirs), ratio_text(ratio),
                         target.text() if verdict else "",
                         {"no": "**no**", None: ""}.get(verdict, verdict), "; ".join(notes)])
    return rows


def targets_summary(measurements: list[Measurement]) -> str:
    """How many of the targets that apply in this run are met, and which are not."""
    met, missed = 0, []
    for m in measurements:
        for peer in m.workload.peers():
            verdict = m.verdict(peer)
            if verdict == "yes":
                met += 1
            elif verdict is not None:
                missed.append(f"{m.workload.name} {m.workload.label(m.size)} vs {peer}")
        for ceiling, verdict in m.ceilings():
            if verdict == "yes":
                met += 1
            else:
                missed.append(f"{m.workload.name} {m.workload.label(m.size)} "
                              f"{ceiling.text()}")
    if not met and not missed:
        return "No target applies at these sizes."
    return f"Targets met: {met} of {met + len(missed)}." + (
        f"  Not met: {', '.join(missed)}." if missed else "")


def markdown_table(measurements: list[Measurement]) -> str:
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    lines += ["| " + " | ".join(row) + " |" for row in table_rows(measurements)]
    return "\n".join(lines)


def ceilings_table(measurements: list[Measurement]) -> str:
    """The targets on quillmat's own time and memory, when any applies: empty otherwise."""
    rows = [[m.workload.name, m.workload.label(m.size), timing_text(m.timings[QUILLMAT]),
             ceiling.text(), {"no": "**no**"}.get(verdict, verdict)]
            for m in measurements for ceiling, verdict in m.ceilings()]
    if not rows:
        return ""
    columns = ["Workload", "Size", "quillmat", "Target", "Met"]
    lines = ["| " + " | ".join(columns) + " |", "|" + "---|" * len(columns)]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def workload_list(measurements: list[Measurement]) -> str:
    seen: dict[str, str] = {}
    for m in measurements:
        seen.setdefault(m.workload.name, m.workload.what)
    return "\n".join(f"- `{name}`: {what}" for name, what in seen.items())


def write_markdown(path: Path, header: list[str], measurements: list[Measurement],
                   plot_name: str, profile: str | None) -> None:
    parts = ["# Benchmarks", "", *header, "", "## Workloads", "", workload_list(measurements),
             "", "## Results", "", targets_summary(measurements), "", markdown_table(measurements),
             ""]
    ceilings = ceilings_table(measurements)
    if ceilings:
        parts += ["Targets on quillmat's own time and peak memory:", "", ceilings, ""]
    parts += [f"![time against size, log-log, one panel per workload]({plot_name})", ""]
    if profile:
        parts += [profile, ""]
    path.write_text("\n".join(parts))


def plot(path: Path, measurements: list[Measurement]) -> None:
    """One log-log panel of time against size per workload with several sizes."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    by_workload: dict[str, list[Measurement]] = {}
    for m in measurements:
        if m.workload.plotted:
            by_workload.setdefault(m.workload.name, []).append(m)
    panels = {name: ms for name, ms in by_workload.items() if len(ms) > 1}
    if not panels:
        return
    columns = min(3, len(panels))
    rows = math.ceil(len(panels) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(5 * columns, 4 * rows), squeeze=False)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    for ax, (name, ms) in zip(axes.flat, panels.items(), strict=False):
        workload = ms[0].workload
        for peer in [QUILLMAT, *workload.peers()]:
            points = [(workload.x(m.size), m.timings[peer].seconds) for m in ms
                      if m.timings[peer].seconds is not None]
            if points:
                xs, ys = zip(*points, strict=True)
                ax.plot(xs, ys, marker="o", label=peer, color=COLOURS.get(peer),
                        linewidth=2.5 if peer == QUILLMAT else 1.2)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_title(name)
        ax.set_xlabel(workload.axis)
        ax.set_ylabel("seconds per call")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
