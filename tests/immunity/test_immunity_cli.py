"""The command line (quillmat-immunity, also python -m quillmat.immunity): output
that agrees with the API, the ways functions come in, one-line errors, a
closed pipe and Ctrl-C."""

import json
import os
import random
import re
import signal
import subprocess
import sys
import time

import pytest

from helpers import child_environment, ctrl_c_as_in_a_terminal
from quillmat import immunity
from quillmat.immunity import stepwise

COMMAND = [sys.executable, "-m", "quillmat.immunity"]
ERROR = re.compile(r"^\S+: error: .+\n\Z")


def run(*args, stdin=None):
    return subprocess.run([*COMMAND, "--no-progress", *args], input=stdin, capture_output=True,
                          text=True, env=child_environment(), timeout=120)


def hex_table(n, seed):
    rng = random.Random(seed)
    return "0x" + "".join(rng.choice("0123456789abcdef") for _ in range(max(1, (1 << n) // 4)))


FUNCTIONS = ["01", "1", "0000", "0x6996", "0XFFFE", "0x8000", hex_table(6, 1), hex_table(8, 2),
             hex_table(9, 3), "0110" * 8]


def paragraphs(out):
    return [block.splitlines() for block in out.strip("\n").split("\n\n")]


def check_record(line, text, result, profile=None):
    """A line of --json output against the API's `result` for `text`."""
    obj = json.loads(line)
    of_complement = {"f": False, "f+1": True}[obj["annihilator_of"]]
    assert (obj["function"], obj["n"], obj["algebraic_immunity"], of_complement) == (
        text, result.n, result.degree, result.of_complement)
    assert obj["annihilator_terms"] == list(result.annihilator)
    assert obj["annihilator_anf"] == result.anf
    assert [obj["dim_f"], obj["dim_complement"]] == [result.dim_f, result.dim_complement]
    assert obj.get("profile") == (profile and [list(dims) for dims in profile])
    assert len(obj) == 8 + (profile is not None), sorted(obj)


def lowest_degree(table):
    """The immunity by the Matrix API's at-once road: an independent computation."""
    with stepwise.quiet_stdout(True):
        return stepwise.algebraic_immunity(list(table), road="at-once").degree


def test_json_gives_a_checked_annihilator_of_the_lowest_degree():
    done = run("--json", *FUNCTIONS)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert len(lines) == len(FUNCTIONS)
    for text, line in zip(FUNCTIONS, lines):
        obj = json.loads(line)
        f = immunity.truth_table(text)
        n = obj["n"]
        assert (obj["function"], 1 << n) == (text, len(f))
        # The annihilator, read back from its text, is not zero and vanishes
        # wherever its side of f is 1; its degree is the immunity, which the
        # Matrix road confirms.
        g = immunity.from_anf(obj["annihilator_anf"], n)
        side = {"f": f, "f+1": bytes(1 - v for v in f)}[obj["annihilator_of"]]
        assert any(g) and not any(a & b for a, b in zip(g, side)), text
        assert obj["algebraic_immunity"] == max(t.count("1") for t in obj["annihilator_terms"])
        assert obj["algebraic_immunity"] == lowest_degree(f), text
        assert immunity.anf(obj["annihilator_terms"]) == obj["annihilator_anf"]
        dims = {"f": obj["dim_f"], "f+1": obj["dim_complement"]}
        assert dims[obj["annihilator_of"]] >= 1
        assert len(obj) == 8, sorted(obj)


def test_text_says_what_json_says():
    records = [json.loads(line) for line in run("--json", *FUNCTIONS).stdout.splitlines()]
    blocks = paragraphs(run(*FUNCTIONS).stdout)
    assert len(blocks) == len(records)
    for obj, block in zip(records, blocks):
        side = {"f": "f", "f+1": "f + 1"}[obj["annihilator_of"]]
        terms = obj["annihilator_anf"].split(" + ")
        assert len(block) == 4
        assert block[0].startswith("function: ") and f"({obj['n']} variable" in block[0]
        assert block[1] == f"algebraic immunity: {obj['algebraic_immunity']}"
        head, _, shown = block[2].partition(": ")
        assert head.startswith(f"annihilator of {side} ({len(terms)} term")
        if len(terms) <= 12:
            assert shown == obj["annihilator_anf"]
        else:  # the first twelve and a count of the rest
            assert shown.startswith(" + ".join(terms[:12]) + f" + ... ({len(terms) - 12} more term")
        assert block[3].endswith(f"f {obj['dim_f']}, f + 1 {obj['dim_complement']}")


def test_all_terms_prints_the_whole_annihilator():
    text = hex_table(9, 3)
    result = immunity.algebraic_immunity(text)
    assert len(result.annihilator) > 12
    (block,) = paragraphs(run("--all-terms", text).stdout)
    assert block[2].partition(": ")[2] == result.anf


def test_profile_agrees_with_the_api():
    done = run("--json", "--profile", *FUNCTIONS[3:8])
    for text, line in zip(FUNCTIONS[3:8], done.stdout.splitlines()):
        result = immunity.algebraic_immunity(text)
        check_record(line, text, result, immunity.immunity_profile(text, result.degree))
    (block,) = paragraphs(run("--profile", "0x6996").stdout)
    assert block[4].endswith("0: 0 0, 1: 1 1")


def test_jobs_and_threads_change_nothing_but_speed():
    expected = run("--json", *FUNCTIONS).stdout
    assert run("--json", "--threads", "1", *FUNCTIONS).stdout == expected
    assert run("--json", "--jobs", "2", *FUNCTIONS).stdout == expected


def test_dash_and_files_read_a_function_a_line_in_order(tmp_path):
    stdin = "\n".join(["  0x6996  ", "", FUNCTIONS[6], "0110"]) + "\n\n"
    source = tmp_path / "functions"
    source.write_text("# a comment\n0x8000  # after a function\n\n01\n")
    done = run("--json", "01", "-", "0x8000", "--file", str(source), stdin=stdin)
    assert done.returncode == 0, done.stderr
    expected = run("--json", "01", "0x6996", FUNCTIONS[6], "0110", "0x8000", "0x8000", "01").stdout
    assert done.stdout == expected


def test_polynomials_with_vars():
    # The annihilator printed for a function, read back as a polynomial, vanishes
    # wherever the function is 1.
    rng = random.Random(5)
    for n in (1, 3, 6):
        table = bytes(rng.randrange(2) for _ in range(1 << n))
        result = immunity.algebraic_immunity(table)
        g = immunity.from_anf(result.anf, n)
        side = [1 - b for b in table] if result.of_complement else table
        assert any(g) and not any(a & b for a, b in zip(g, side))
        # The command reads the same text the same way.
        done = run("--json", "--vars", str(n), result.anf)
        assert done.returncode == 0, done.stderr
        check_record(done.stdout, result.anf, immunity.algebraic_immunity(g))


@pytest.mark.parametrize("args, stdin, where", [
    (["0120"], None, "argument 1: character 2"),
    (["0110", "011"], None, "argument 2: a truth table has 2**n values; got 3"),
    (["0x"], None, "argument 1: not a hex truth table"),
    (["0x6996", "-"], "0110\n\n01x1\n", "line 3 of standard input: character 2"),
    (["--vars", "2", "x0*x2"], None, "x2"),
    (["--vars", "2", "x0 x1"], None, "x0 x1"),
    (["--file", "/nonexistent/functions"], None, "/nonexistent/functions"),
    (["--threads", "0", "0110"], None, "--threads"),
    (["--jobs", "0", "0110"], None, "--jobs"),
    (["--threads", "x", "0110"], None, "invalid int value"),
    (["--no-such-option", "0110"], None, "unrecognized arguments"),
    ([], None, "no function"),
])
def test_bad_input_is_one_line_and_status_2(args, stdin, where):
    done = run(*args, stdin=stdin)
    assert done.returncode == 2
    assert ERROR.match(done.stderr) and where in done.stderr, done.stderr


def test_bad_input_after_good_input_keeps_what_was_done():
    done = run("--json", "0110", "0x6996", "012")
    assert done.returncode == 2 and ERROR.match(done.stderr)
    assert done.stdout == run("--json", "0110", "0x6996").stdout


def test_a_closed_pipe_ends_quietly(tmp_path):
    # Like `... | head -1`: the reader takes one line and goes away.
    rng = random.Random(0)
    source = tmp_path / "functions"
    source.write_text("".join(hex_table(rng.randrange(2, 9), k) + "\n" for k in range(3000)))
    with source.open() as stdin:
        child = subprocess.Popen([*COMMAND, "--no-progress", "-"], stdin=stdin,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=child_environment())
        first = child.stdout.readline()
        child.stdout.close()
        _, err = child.communicate(timeout=120)
    assert first.startswith(b"function: ")
    assert err == b"", err.decode()[-2000:]
    assert child.returncode == 0


def balanced_hex(n, seed):
    table = [1] * 2 ** (n - 1) + [0] * 2 ** (n - 1)
    random.Random(seed).shuffle(table)
    return "0x" + format(int("".join(map(str, table)), 2), f"0{2**n // 4}x")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_ends_with_status_130(jobs):
    # Functions of 17 variables take many seconds each.  Ctrl-C signals the whole
    # process group, the workers of --jobs too.
    child = subprocess.Popen([*COMMAND, "--no-progress", "--jobs", jobs,
                              balanced_hex(17, 1), balanced_hex(17, 2)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=child_environment(), start_new_session=True,
                             preexec_fn=ctrl_c_as_in_a_terminal)
    try:
        time.sleep(1.5)
        sent = time.monotonic()
        os.killpg(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=10)
        ended = time.monotonic()
    except subprocess.TimeoutExpired:
        pytest.fail("still running 10 s after SIGINT")
    finally:
        try:
            os.killpg(child.pid, signal.SIGKILL)  # workers left behind included
        except ProcessLookupError:
            pass
        child.communicate()
    assert child.returncode == 130, (out, err)
    assert re.match(r"^\S+: interrupted\n\Z", err), err
    assert out == ""
    assert ended - sent < 2.0
