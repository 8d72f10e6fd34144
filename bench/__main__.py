"""Runs the benchmark: python -m bench [--quick] [--only WORKLOAD ...] [--out DIR].

Prints the table, writes it with a header to DIR/benchmarks.md and draws
DIR/benchmarks.png.  A full run writes to docs/; a partial one (--quick or
--only) to build/bench/, so it never replaces the published numbers."""

from __future__ import annotations

import argparse
import datetime
import sys
from pathlib import Path

from bench import environment, peer_m4ri
from bench.engine_workloads import ENGINE_WORKLOADS
from bench.main_job_profile import profile_main_job
from bench.report import (
    QUILLMAT,
    Measurement,
    ceilings_table,
    markdown_table,
    plot,
    targets_summary,
    timing_text,
    write_markdown,
)
from bench.timing import QUICK_RULE, ROOT, Limits, Rule, Timing
from bench.workloads import WORKLOADS, Workload

PROFILE = "profile"  # the profile section, selectable with --only like a workload
BUDGET_SECONDS = 60.0
HARD_LIMIT_SECONDS = 120.0
PROFILE_VARS, QUICK_PROFILE_VARS = 11, 8
ALL_WORKLOADS = WORKLOADS + ENGINE_WORKLOADS


def unavailable() -> dict[str, str]:
    """Peers that cannot run here, with the note that says so."""
    return {} if peer_m4ri.available() else {peer_m4ri.NAME: peer_m4ri.MISSING}


def measure_size(workload: Workload, size: int, limits: Limits,
                 missing: dict[str, str]) -> Measurement:
    inputs = workload.inputs(size)
    label = workload.label(size)
    timings: dict[str, Timing] = {}
    for peer, make_call in workload.calls.items():
        peer_limits = limits.raised(workload.limits[peer]) if peer in workload.limits else limits
        note = missing.get(peer) or peer_limits.skip_note(workload.name, peer)
        if note:
            timings[peer] = Timing.skipped(note)
        else:
            timings[peer] = make_call(inputs).measure(peer_limits)
            peer_limits.record(workload.name, peer, label, timings[peer])
        print(f"  {workload.name} {label} {peer}: {timing_text(timings[peer])}",
              file=sys.stderr, flush=True)
    results = {peer: t.result for peer, t in timings.items() if t.seconds is not None}
    try:
        differences = workload.check(inputs, results) if QUILLMAT in results else []
    except Exception as error:  # a result of an unexpected shape differs too
        differences = [f"the check failed: {error!r}"]
    for timing in timings.values():
        timing.result = None  # large results are not kept past their check
    return Measurement(workload, size, timings, differences)


def main(argv: list[str] | None = None) -> int:
    names = [w.name for w in ALL_WORKLOADS] + [PROFILE]
    parser = argparse.ArgumentParser(prog="scripts/bench", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes only: a smoke run")
    parser.add_argument("--only", action="append", choices=names, metavar="WORKLOAD",
                        help="run only this workload (repeatable): " + ", ".join(names))
    parser.add_argument("--out", type=Path, help="where benchmarks.md and .png go "
                        "(default: docs/ for a full run, build/bench/ otherwise)")
    args = parser.parse_args(argv)

    partial = args.quick or bool(args.only)
    out = args.out or ROOT / ("build/bench" if partial else "docs")
    limits = Limits(QUICK_RULE if args.quick else Rule(), BUDGET_SECONDS, HARD_LIMIT_SECONDS)
    started = datetime.datetime.now(datetime.timezone.utc)
    load_at_start = environment.load()
    missing = unavailable()
    for peer, note in missing.items():
        print(f"bench: {peer}: {note}", file=sys.stderr)

    measurements = []
    for workload in ALL_WORKLOADS:
        if args.only and workload.name not in args.only:
            continue
        for size in workload.quick_sizes if args.quick else workload.sizes:
            measurements.append(measure_size(workload, size, limits, missing))
    profile = None
    if not args.only or PROFILE in args.only:
        print("  profile of the main job", file=sys.stderr, flush=True)
        profile = profile_main_job(QUICK_PROFILE_VARS if args.quick else PROFILE_VARS)

    command = "bash scripts/bench" + (" --quick" if args.quick else "") + "".join(
        f" --only {name}" for name in args.only or [])
    header = environment.header(started, load_at_start, limits, command)
    print("\n" + markdown_table(measurements) + "\n\n" + targets_summary(measurements))
    if ceilings := ceilings_table(measurements):
        print("\n" + ceilings)
    out.mkdir(parents=True, exist_ok=True)
    write_markdown(out / "benchmarks.md", header, measurements, "benchmarks.png", profile)
    plot(out / "benchmarks.png", measurements)
    print(f"bench: wrote {out / 'benchmarks.md'} and {out / 'benchmarks.png'}", file=sys.stderr)

    differing = [m for m in measurements if m.differences]
    for m in differing:
        print(f"bench: {m.workload.name} {m.workload.label(m.size)}: results differ: "
              + "; ".join(m.differences), file=sys.stderr)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
