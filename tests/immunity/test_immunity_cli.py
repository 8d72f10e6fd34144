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
# The sanitizer runtime reserves terabytes of shadow memory at start, so a
# child under an address-space limit cannot start in the sanitizer build.
address_space_limited = pytest.mark.skipif("QUILLMAT_SANITIZED" in os.environ,
                                           reason="the sanitizer cannot start under RLIMIT_AS")
ERROR = re.compile(r"^\S+: error: .+\n\Z")
# Every field but the profile, for the tests that check them all.
ALL_FIELDS = "function,digest,n,algebraic_immunity,annihilator_of,annihilator_anf," \
    "annihilator_terms,dim_f,dim_complement"


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


def shown(text, where):
    """What a record's "function" holds: a short input itself, a long one's place."""
    return text if len(text) <= 64 else where


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
    assert obj["digest"].startswith("sha256:") and len(obj["digest"]) == 7 + 16
    assert len(obj) == 9 + (profile is not None), sorted(obj)


def lowest_degree(table):
    """The immunity by the Matrix API's at-once road: an independent computation."""
    with stepwise.quiet_stdout(True):
        return stepwise.algebraic_immunity(list(table), road="at-once").degree


def test_json_gives_a_checked_annihilator_of_the_lowest_degree():
    done = run("--json", "--fields", ALL_FIELDS, *FUNCTIONS)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert len(lines) == len(FUNCTIONS)
    for index, (text, line) in enumerate(zip(FUNCTIONS, lines), 1):
        obj = json.loads(line)
        f = immunity.truth_table(text)
        n = obj["n"]
        assert (obj["function"], 1 << n) == (shown(text, f"argument {index}"), len(f))
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
        assert len(obj) == 9, sorted(obj)


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
    done = run("--json", "--fields", ALL_FIELDS + ",profile", *FUNCTIONS[3:8])
    for index, (text, line) in enumerate(zip(FUNCTIONS[3:8], done.stdout.splitlines()), 1):
        result = immunity.algebraic_immunity(text)
        check_record(line, shown(text, f"argument {index}"), result, immunity.immunity_profile(text, result.degree))
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
        done = run("--json", "--fields", ALL_FIELDS, "--vars", str(n), result.anf)
        assert done.returncode == 0, done.stderr
        check_record(done.stdout, shown(result.anf, "argument 1"), immunity.algebraic_immunity(g))


@pytest.mark.parametrize("args, stdin, where", [
    (["0120"], None, "argument 1: character"),
    (["0110", "011"], None, "argument 2: a truth table has 2**n values; got 3"),
    (["0x"], None, "argument 1: not a hex truth table"),
    (["0x6996", "-"], "0110\n\n01x1\n", "line 3 of standard input: character"),
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


# --- Failures: each in one line, with its status --------------------------------

ONE_LINE = re.compile(r"^\S+: .+\n\Z")


def child(*args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60, preexec_fn=None):
    """The command in a child of its own session, ended for good at `timeout`."""
    proc = subprocess.Popen([*COMMAND, "--no-progress", *args], stdin=stdin, stdout=stdout,
                            stderr=subprocess.PIPE, text=True, env=child_environment(),
                            start_new_session=True, preexec_fn=preexec_fn)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"still running after {timeout} s")
    finally:
        kill_group(proc.pid)
        proc.communicate()
    return proc.returncode, out, err


def kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def memory_limit(size):
    def limit():
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    return limit


def test_closed_standard_output_is_a_failed_write():
    status, _, err = child("0x6996", stdout=None, preexec_fn=lambda: os.close(1))
    assert (status, bool(ERROR.match(err))) == (1, True), (status, err)
    assert "standard output" in err


def test_a_full_device_is_a_failed_write():
    with open("/dev/full", "w") as full:
        status, _, err = child("0x6996", "0110", stdout=full)
    assert status == 1 and ERROR.match(err), (status, err)
    assert "No space left on device" in err and "Traceback" not in err


def test_help_to_a_full_device_is_a_failed_write():
    with open("/dev/full", "w") as full:
        status, _, err = child("--help", stdout=full)
    assert status == 1 and ERROR.match(err), (status, err)


def test_dash_with_standard_input_closed_is_bad_input():
    status, out, err = child("-", stdin=None, preexec_fn=lambda: os.close(0))
    assert status == 2 and ERROR.match(err) and "standard input" in err, (status, err)


def test_a_file_that_is_not_utf8_names_the_file_and_line(tmp_path):
    source = tmp_path / "functions"
    source.write_bytes(b"0110\n# fine\n0x69\xff96\n")
    done = run("--file", str(source))
    assert done.returncode == 2 and ERROR.match(done.stderr), done.stderr
    assert f"line 3 of {source}" in done.stderr and "UTF-8" in done.stderr


@address_space_limited
def test_want_of_memory_is_one_line_and_status_1():
    # 18 variables need about 1 GiB by the dense method; the process may use
    # 600 MiB, so the engine refuses the system before it starts.
    status, out, err = child("--method", "dense", balanced_hex(18, 3),
                             preexec_fn=memory_limit(600 << 20))
    assert status == 1 and ERROR.match(err), (status, err)
    assert "memory" in err and "Traceback" not in err


@address_space_limited
def test_a_line_that_never_ends_is_refused_in_bounded_memory():
    with open("/dev/zero", "rb") as zeros:
        status, out, err = child("-", stdin=zeros, preexec_fn=memory_limit(1 << 30), timeout=60)
    assert status == 2 and ERROR.match(err), (status, err[-2000:])
    assert "line 1 of standard input is longer than" in err


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as listing:
            return [int(p) for p in listing.read().split()]
    except FileNotFoundError:
        return []


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as text:
            return text.read().replace(b"\0", b" ").decode(errors="replace")
    except FileNotFoundError:
        return ""


def workers_of(pid):
    """The worker processes under `pid`: its children, or the children of its
    fork server when it has one, less multiprocessing's resource tracker."""
    workers = []
    for process in children_of(pid):
        line = command_line(process)
        if "forkserver" in line:
            workers += children_of(process)
        elif "resource_tracker" not in line:
            workers.append(process)
    return workers


def started_workers(proc, count, within=20.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        workers = workers_of(proc.pid)
        if len(workers) >= count:
            return workers
        time.sleep(0.05)
    pytest.fail(f"{count} workers did not start: {workers_of(proc.pid)}")


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except FileNotFoundError:
        return True


def slow_command(jobs):
    """Two functions of 17 variables, many seconds each."""
    return subprocess.Popen([*COMMAND, "--no-progress", "--jobs", jobs, balanced_hex(17, 1),
                             balanced_hex(17, 2)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=child_environment(), start_new_session=True)


def test_a_worker_killed_is_one_line_and_status_1():
    # As the kernel's OOM killer would: SIGKILL to one worker of --jobs 2.
    proc = slow_command("2")
    try:
        workers = started_workers(proc, 2)
        time.sleep(0.5)
        os.kill(workers[0], signal.SIGKILL)
        out, err = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail("still running 20 s after a worker died")
    finally:
        kill_group(proc.pid)
        proc.communicate()
    assert proc.returncode == 1 and ERROR.match(err), (proc.returncode, err[-2000:])
    assert "worker" in err and out == ""


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_sigterm_and_sighup_stop_the_workers_and_end_in_one_line(signum, jobs):
    # The signal goes to the command alone, as `kill PID` sends it; its
    # workers stop because it stops them.
    proc = slow_command(jobs)
    try:
        workers = started_workers(proc, 2) if jobs == "2" else []
        time.sleep(1.0)
        sent = time.monotonic()
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=10)
        ended = time.monotonic()
        deadline = time.monotonic() + 5
        while not all(map(gone, workers)) and time.monotonic() < deadline:
            time.sleep(0.05)
        left = [pid for pid in workers if not gone(pid)]
    except subprocess.TimeoutExpired:
        pytest.fail("still running 10 s after the signal")
    finally:
        kill_group(proc.pid)
        proc.communicate()
    assert proc.returncode == 128 + signum, (proc.returncode, err[-2000:])
    assert ONE_LINE.match(err) and signal.Signals(signum).name in err, err
    assert out == "" and left == [] and ended - sent < 3.0


def test_a_million_jobs_for_two_functions_start_no_crowd():
    started = time.monotonic()
    status, out, err = child("--json", "--jobs", "1000000", "0110", "0x6996", timeout=10)
    assert status == 0, err
    assert len(out.splitlines()) == 2 and time.monotonic() - started < 10


# --- Input forms and hints -------------------------------------------------------


def records(*args, stdin=None):
    done = run("--json", *args, stdin=stdin)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def without_place(objs):
    return [{k: v for k, v in obj.items() if k != "function"} for obj in objs]


def test_hex_order_lsb_first_reads_bit_i_as_f_of_i():
    # 0x0001 lsb-first is f(0) = 1 only: the table 1000000000000000, which is
    # 0x8000 msb-first; 0x6996 reads alike both ways, 0x0017 does not.
    assert without_place(records("--hex-order", "lsb-first", "0x0001", "0x0017")) == \
        without_place(records("0x8000", "0xe800"))
    assert without_place(records("--hex-order", "msb-first", "0x8000")) == \
        without_place(records("0x8000"))
    assert "SageMath" in run("--help").stdout and "lsb-first" in run("--help").stdout


def test_table_reads_one_function_from_a_whole_file(tmp_path):
    digits = hex_table(9, 7)[2:]
    source = tmp_path / "table"
    source.write_text("0x" + "\n".join(digits[i:i + 50] for i in range(0, len(digits), 50))
                      + "\n\n")
    bare = tmp_path / "bare"
    bare.write_text("  " + " ".join(digits[i:i + 7] for i in range(0, len(digits), 7)))
    bits = tmp_path / "bits"
    table = immunity.truth_table("0x" + digits)
    bits.write_text("\n".join("".join(map(str, table[i:i + 64])) for i in range(0, 512, 64)))
    expected = without_place(records("0x" + digits))
    assert without_place(records("--table", str(source))) == expected
    assert without_place(records("--table", str(bare))) == expected
    assert without_place(records("--table", str(bits), "--table-digits", "bits")) == expected
    assert without_place(records("--table", "-", stdin=source.read_text())) == expected
    obj, = records("--table", str(source))
    assert obj["function"] == str(source)
    done = run("--table", str(source), "--table-digits", "bits")
    assert done.returncode == 2 and ERROR.match(done.stderr), done.stderr


@pytest.mark.parametrize("args, hint", [
    (["6996"], "0x prefix"),
    (["0110", "1234abcd"], "0x prefix"),
    (["x0*x1 + x2"], "needs --vars"),
])
def test_a_function_in_another_form_gets_a_hint(args, hint):
    done = run(*args)
    assert done.returncode == 2 and ERROR.match(done.stderr), done.stderr
    assert hint in done.stderr and "from_anf" not in done.stderr, done.stderr


def test_version():
    done = run("--version")
    assert done.returncode == 0 and done.stderr == ""
    assert re.fullmatch(r"quillmat-immunity \d+\.\d+\.\d+\S*\n", done.stdout), done.stdout


# --- Records ---------------------------------------------------------------------


def test_records_name_a_long_input_by_place_and_digest(tmp_path):
    long = hex_table(9, 3)
    source = tmp_path / "functions"
    source.write_text(f"0x6996\n{long}\n")
    short, named = records("--file", str(source))
    assert short["function"] == "0x6996" and named["function"] == f"line 2 of {source}"
    assert named["digest"] == "sha256:" + __import__("hashlib").sha256(
        immunity.read_table(long).bits).hexdigest()[:16]
    assert "annihilator_terms" not in named and long not in json.dumps(named)
    # The annihilator once, as text: the record is hardly longer.
    big = records(balanced_hex(12, 4))[0]
    assert len(json.dumps(big)) < len(big["annihilator_anf"]) + 400


def test_fields_choose_the_keys_in_order():
    obj, = records("--fields", "n,algebraic_immunity,annihilator_terms", "0x6996")
    assert list(obj) == ["n", "algebraic_immunity", "annihilator_terms"]
    assert obj["annihilator_terms"] == list(immunity.algebraic_immunity("0x6996").annihilator)
    done = run("--json", "--fields", "n,nonesuch", "0x6996")
    assert done.returncode == 2 and "nonesuch" in done.stderr and ERROR.match(done.stderr)


def test_tsv_is_a_header_and_a_line_per_function():
    done = run("--tsv", "--profile", "0x6996", "0x8000", "01")
    assert done.returncode == 0, done.stderr
    header, *rows = [line.split("\t") for line in done.stdout.splitlines()]
    assert header[:4] == ["function", "digest", "n", "algebraic_immunity"]
    assert header[-1] == "profile" and len(rows) == 3
    assert all(len(row) == len(header) for row in rows)
    as_json = records("--profile", "0x6996", "0x8000", "01")
    for row, obj in zip(rows, as_json):
        values = dict(zip(header, row))
        assert values["n"] == str(obj["n"]) and values["annihilator_anf"] == obj["annihilator_anf"]
        assert values["profile"] == " ".join(f"{f},{c}" for f, c in obj["profile"])
    done = run("--tsv", "--fields", "digest,n", "0x6996")
    assert done.stdout.splitlines()[0] == "digest\tn"


def test_profile_with_jobs_says_what_it_says_without():
    functions = FUNCTIONS[3:9]
    expected = run("--json", "--profile", *functions)
    assert expected.returncode == 0, expected.stderr
    assert run("--json", "--profile", "--jobs", "2", *functions).stdout == expected.stdout
    assert run("--profile", "--jobs", "2", *functions).stdout == run("--profile", *functions).stdout


# --- Progress --------------------------------------------------------------------


class RecordingBar:
    def __init__(self):
        self.shown, self.updates = [], 0

    def set_postfix_str(self, text, refresh=True):
        self.shown.append(text)

    def update(self, count):
        self.updates += count

    def close(self):
        pass


def percents(bar):
    return [int(text.split("%")[0]) for text in bar.shown if text]


def test_progress_within_a_function_only_rises():
    from quillmat.immunity._cli import Progress

    bar = RecordingBar()
    progress = Progress(bar)
    # The engine's total grows as it learns, so its share done falls at times.
    for done, total in [(0, 100), (30, 100), (40, 400), (50, 100), (50, 1000), (600, 1000),
                        (700, 2000), (2000, 2000)]:
        progress.work(done, total)
    shown = percents(bar)
    assert shown == sorted(shown) and shown[-1] == 100 and 30 in shown and 60 in shown
    # The next function starts from 0 again.
    progress.functions_done(1)
    progress.work(10, 100)
    assert bar.updates == 1 and percents(bar)[-1] == 10


def test_the_bar_knows_the_count_of_arguments():
    from quillmat.immunity import _cli

    args = _cli.parser().parse_args(["0110", "0x6996"])
    assert _cli.known_count(args) == 2
    assert _cli.known_count(_cli.parser().parse_args(["0110", "-"])) is None


def test_results_are_written_with_the_bar_off_the_screen():
    import io

    from quillmat.immunity._cli import Output, Progress

    events = []

    class ShownBar(RecordingBar):
        disable, start_t, delay = False, 0.0, 0.0

        def clear(self):
            events.append("clear")

        def refresh(self):
            events.append("refresh")

    class Stream(io.StringIO):
        def write(self, text):
            events.append("write")
            return super().write(text)

    stream = Stream()
    Output(stream, Progress(ShownBar())).write("a result")
    assert events == ["clear", "write", "refresh"] and stream.getvalue() == "a result\n"


def test_the_black_box_method_gives_the_same_immunity():
    tables = [hex_table(7, 4), hex_table(10, 5), "0x6996"]
    fields = "algebraic_immunity,annihilator_of,dim_f,dim_complement,method,canonical"
    dense = run("--json", "--fields", fields, "--method", "dense", *tables)
    black_box = run("--json", "--fields", fields, "--method", "black-box", "--seed", "7",
                    "--jobs", "2", *tables)
    assert dense.returncode == black_box.returncode == 0, dense.stderr + black_box.stderr
    for want, got in zip(map(json.loads, dense.stdout.splitlines()),
                         map(json.loads, black_box.stdout.splitlines()), strict=True):
        assert (want["method"], got["method"]) == ("dense", "black-box")
        assert got["algebraic_immunity"] == want["algebraic_immunity"]
        assert got["annihilator_of"] == want["annihilator_of"]
        for key in ("dim_f", "dim_complement"):
            assert got[key] in (None, want[key])
    # A dimension the method did not prove prints as "?".
    text = run("--method", "black-box", "--profile", hex_table(10, 5))
    assert text.returncode == 0 and "?" in text.stdout, text.stdout + text.stderr
    bad = run("--method", "sparse", "0110")
    assert bad.returncode == 2 and "invalid choice: 'sparse'" in bad.stderr


def test_estimate_predicts_without_computing():
    # 24 variables would take hours; the estimate answers at once, the same
    # figures as the function's.
    big = hex_table(24, 1)
    done = run("--estimate", "--json", "-", stdin=f"0x6996\n{big}\n")
    assert done.returncode == 0, done.stderr
    small, large = (json.loads(line) for line in done.stdout.splitlines())
    expected = immunity.estimate(big)
    assert (large["n"], large["bound"]) == (24, expected.bound)
    assert large["dense"] == {"seconds": expected.dense.seconds, "bytes": expected.dense.memory}
    assert large["black-box"]["bytes"] == expected.black_box.memory
    assert small["function"] == "0x6996" and small["bound"] == 2
    text = run("--estimate", "0x6996")
    assert text.returncode == 0 and text.stdout.startswith("0x6996: 4 variables, immunity at most 2")
    bad = run("--estimate", "0x699")
    assert bad.returncode == 2 and ONE_LINE.match(bad.stderr) and bad.stdout == ""


def test_fast_and_report_print_what_the_functions_give():
    majority = "".join(str(int(2 * bin(x).count("1") > 7)) for x in range(128))
    done = run("--fast", "--json", majority, "0x6996")
    assert done.returncode == 0, done.stderr
    first, second = (json.loads(line) for line in done.stdout.splitlines())
    fast = immunity.fast_algebraic_immunity(majority)
    assert (first["fast_algebraic_immunity"], first["degree_g"], first["degree_product"]) == (
        fast.value, fast.degree_g, fast.degree_product) == (6, 1, 5)
    assert first["g_anf"] == immunity.anf(fast.g) and first["from_annihilator"] is False
    assert second["from_annihilator"] is True and second["fast_algebraic_immunity"] == 2
    report = run("--report", "--json", "0x6996")
    record = json.loads(report.stdout)
    p = immunity.profile("0x6996")
    assert record["nonlinearity"] == p.nonlinearity == 0 and record["resiliency"] == 3
    assert record["walsh_distribution"] == {"0": 15, "16": 1}
    assert record["fast_algebraic_immunity"] == 2 and record["algebraic_immunity"] == 1
    line = run("--report", "0x6996").stdout
    assert line.startswith("function=0x6996 n=4 weight=8 balanced=True degree=1")
    bad = run("--fast", "--jobs", "2", "0x6996")
    assert bad.returncode == 2 and ONE_LINE.match(bad.stderr) and "--jobs" in bad.stderr
