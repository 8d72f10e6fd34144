"""The examples of README.md and docs/ run as written and print what their
`# -> ` comments show.

The ```python blocks of one file continue one another, so they run as one
program in a fresh interpreter, unbuffered, so that the "inverting" lines
written to file descriptor 1 keep their place among the prints.  Each
`# -> TEXT` comment is one line that its block must print, in order; a block
without one must print nothing.  `python tests/package/test_readme.py DIR` writes each
file's program to DIR (scripts/typecheck checks them with mypy --strict).
"""

import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from helpers import child_environment
from testing import plain_allocator, run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "docs/immunity.md", "docs/matrix.md", "docs/sbox.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
SHOWN = "# -> "
HEADER = re.compile(r"^<line (\d+)>$")


def examples(document):
    """(line of the block's first code line, code) for each ```python block."""
    text = (ROOT / document).read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]


def program(document):
    return "".join(f"print('<line {line}>')\n{code}" for line, code in examples(document))


# The error examples ask for an impossible allocation, which the sanitizer aborts on.
@plain_allocator
@pytest.mark.parametrize("document", DOCUMENTS)
def test_examples_print_what_they_show(document):
    blocks = examples(document)
    assert len(blocks) >= 2, f"the examples of {document} were not found"
    rc, out, err = run_python(program(document), {"PYTHONUNBUFFERED": "1"})
    assert rc == 0, err
    printed = {}
    for text in out.splitlines():
        header = HEADER.match(text)
        if header:
            current = printed.setdefault(int(header.group(1)), [])
        else:
            current.append(text)
    for line, code in blocks:
        shown = [text.split(SHOWN, 1)[1] for text in code.splitlines() if SHOWN in text]
        assert printed[line] == shown, f"{document} line {line}"


COMMAND = re.compile(r"^    (?:\.venv/bin/)?quillmat-immunity (.*?)(?:\s+#.*)?$", re.MULTILINE)


def commands(document):
    """The arguments of each quillmat-immunity command line shown in `document`,
    up to a redirection of its output."""
    found = []
    for m in COMMAND.finditer((ROOT / document).read_text()):
        words = shlex.split(m.group(1))
        found.append(words[:words.index(">")] if ">" in words else words)
    return found


@pytest.mark.parametrize("document", ["README.md", "docs/immunity.md", "docs/sbox.md"])
def test_the_commands_shown_work_as_written(document):
    found = commands(document)
    assert len(found) >= 2, f"the commands of {document} were not found"
    for args in found:
        done = subprocess.run([sys.executable, "-m", "quillmat.immunity", "--no-progress", *args],
                              capture_output=True, text=True, cwd=ROOT, timeout=120,
                              env=child_environment())
        assert (done.returncode, done.stderr) == (0, ""), args
        assert done.stdout, args


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1])
    for document in DOCUMENTS:
        name = document.replace("/", "_").replace(".md", "_examples.py")
        (out / name).write_text(program(document))
