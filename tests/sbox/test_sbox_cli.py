"""quillmat-immunity --sbox: records that agree with quillmat.sbox, tables in
every written form, and one-line errors with status 2."""

import json
import re
import subprocess
import sys

import pytest

from helpers import child_environment
from quillmat import sbox

from sboxes import AES, PRESENT, SAGE_DOCTEST

COMMAND = [sys.executable, "-m", "quillmat.immunity", "--no-progress", "--sbox"]
ERROR = re.compile(r"^\S+: error: .+\n\Z")


def run(*args, stdin=None):
    return subprocess.run([*COMMAND, *args], input=stdin, capture_output=True, text=True,
                          env=child_environment(), timeout=120)


def expected(table):
    graph = sbox.graph_algebraic_immunity(table)
    components = sbox.component_algebraic_immunity(table)
    return {
        "linear": len(sbox.sbox_equations(table, 1)),
        "quadratic": len(sbox.sbox_equations(table, 2)),
        "bi_affine": len(sbox.sbox_equations(table, bi_affine=True)),
        "graph_immunity": graph.degree, "graph_equations": graph.equations,
        "component_immunity": components.value, "worst_component": components.component,
        "component_distribution": {str(k): v for k, v in components.distribution.items()},
    }


def test_json_records_agree_with_the_api(tmp_path):
    aes = tmp_path / "aes.txt"
    # Sixteen bytes a line, as tables are printed, with comments.
    aes.write_text("# FIPS-197\n" + "\n".join(
        " ".join(f"{v:02x}" for v in AES[i:i + 16]) + "  # row" for i in range(0, 256, 16)))
    present = ",".join(map(str, PRESENT))
    doctest = ",".join(hex(v) for v in SAGE_DOCTEST)
    done = run("--json", present, "-", "--file", str(aes), stdin=doctest)
    assert done.returncode == 0 and done.stderr == ""
    records = [json.loads(line) for line in done.stdout.splitlines()]
    for record, name, table in zip(records, [present, doctest, str(aes)],
                                   [PRESENT, SAGE_DOCTEST, AES]):
        n = len(table).bit_length() - 1
        assert record == {"sbox": name, "n": n, "m": max(table).bit_length(), **expected(table)}
    assert len(records) == 3 and records[2]["quadratic"] == 39 and records[2]["bi_affine"] == 23


def test_text_output():
    done = run(bytes(AES).hex())
    assert done.returncode == 0
    assert done.stdout.splitlines() == [
        "sbox: argument 1 (8 -> 8 bits)",
        "equations of the graph: 0 linear, 39 of degree <= 2 (23 bi-affine)",
        "graph immunity: 2 (39 equations)",
        "component immunity: 4 (first at v = 0x1; 255 of immunity 4)",
    ]


@pytest.mark.parametrize("args, stdin, message", [
    (["1,2,3"], None, "argument 1: an S-box's table has 2**n values"),
    (["637"], None, "3 hex digits"),
    (["12,x,3,4"], None, "value 1 is 'x'"),
    (["6g"], None, "'6g' is not hex digits"),
    (["#nothing"], None, "no values"),
    (["-", "-"], "1,0", "standard input is read once"),
    ([], None, "no S-box given"),
    (["1,0", "--fast"], None, "--sbox and --fast"),
    (["1,0", "--jobs", "2"], None, "--sbox and --jobs"),
    (["1,0", "--threads", "0"], None, "--threads must be >= 1"),
    (["--file", "/nonexistent/table"], None, "cannot read /nonexistent/table"),
])
def test_bad_input_is_one_line_and_status_2(args, stdin, message):
    done = run(*args, stdin=stdin)
    assert done.returncode == 2 and done.stdout == ""
    assert ERROR.match(done.stderr) and message in done.stderr, done.stderr


def test_a_failed_write_is_an_error():
    with open("/dev/full", "w") as full:
        done = subprocess.run([*COMMAND, "1,0,3,2"], stdout=full, stderr=subprocess.PIPE,
                              text=True, env=child_environment(), timeout=60)
    assert done.returncode == 1 and "cannot write to standard output" in done.stderr
