"""Pictures of the annihilator spaces: plot_profile and the command's --plot,
rendered for real to PNG by matplotlib's Agg renderer."""

import os
import random
import struct
import subprocess
import sys

import pytest

from helpers import child_environment
from quillmat import immunity

matplotlib = pytest.importorskip("matplotlib")

from quillmat.immunity._plot import plot_profile  # noqa: E402  (after the skip)

COMMAND = [sys.executable, "-m", "quillmat.immunity", "--no-progress"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def balanced(n, seed):
    table = [1] * 2 ** (n - 1) + [0] * 2 ** (n - 1)
    random.Random(seed).shuffle(table)
    return table


def png_size(path):
    """(width, height) of a PNG file, checking its signature and header chunk."""
    data = path.read_bytes()
    assert data[:8] == PNG_SIGNATURE and data[12:16] == b"IHDR", data[:16]
    return struct.unpack(">II", data[16:24])


def test_plot_profile_draws_both_dimensions_and_marks_the_immunity(tmp_path):
    f = balanced(8, 1)
    result = immunity.algebraic_immunity(f)
    profile = immunity.immunity_profile(f, 8)
    figure = plot_profile(f)
    ax, = figure.axes
    f_line, complement_line, mark = ax.get_lines()
    assert list(f_line.get_xdata()) == list(range(9))
    assert list(f_line.get_ydata()) == [dims.f for dims in profile]
    assert list(complement_line.get_ydata()) == [dims.complement for dims in profile]
    assert list(mark.get_xdata()) == [result.degree, result.degree]
    assert ax.get_yscale() == "symlog"
    path = tmp_path / "profile.png"
    figure.savefig(path)
    width, height = png_size(path)
    assert width >= 300 and height >= 200 and path.stat().st_size > 5000


def test_plot_profile_stops_at_max_degree_and_draws_on_a_given_axes():
    from matplotlib.figure import Figure

    figure = Figure()
    ax = figure.subplots()
    assert plot_profile("0x6996", 2, ax=ax) is figure
    assert list(ax.get_lines()[0].get_xdata()) == [0, 1, 2]


def test_the_command_writes_a_png_per_function(tmp_path):
    target = tmp_path / "ai.png"
    one = subprocess.run([*COMMAND, "--plot", str(target), "0x6996"], capture_output=True,
                         text=True, env=child_environment(), timeout=120)
    assert one.returncode == 0 and one.stderr == "", one.stderr
    png_size(target)
    several = subprocess.run([*COMMAND, "--plot", str(target), "--json", "0x6996", "0x8000",
                              "0110"], capture_output=True, text=True,
                             env=child_environment(), timeout=120)
    assert several.returncode == 0 and several.stderr == "", several.stderr
    assert len(several.stdout.splitlines()) == 3
    for k in (1, 2, 3):
        png_size(tmp_path / f"ai-{k}.png")


def test_without_matplotlib_the_command_says_what_to_install(tmp_path):
    # A matplotlib that cannot be imported, ahead of the real one.
    fake = tmp_path / "matplotlib"
    fake.mkdir()
    (fake / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    path = os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])
    done = subprocess.run([*COMMAND, "--plot", str(tmp_path / "x.png"), "0x6996"],
                          capture_output=True, text=True, timeout=120,
                          env=child_environment(PYTHONPATH=path))
    assert done.returncode == 1 and done.stdout == "", done
    assert done.stderr.count("\n") == 1 and "quillmat[plot]" in done.stderr, done.stderr
    assert not (tmp_path / "x.png").exists()
