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
import sys

import pytest

from testing import plain_allocator, run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "docs/immunity.md", "docs/matrix.md"]
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


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1])
    for document in DOCUMENTS:
        name = document.replace("/", "_").replace(".md", "_examples.py")
        (out / name).write_text(program(document))
