"""The README's examples run as written and print what their `# -> ` comments show.

The ```python blocks continue one another, so they run as one program in a
fresh interpreter, unbuffered, so that the "inverting" lines written to file
descriptor 1 keep their place among the prints.  Each `# -> TEXT` comment is
one line that its block must print, in order; a block without one must print
nothing.  `python tests/test_readme.py` writes that program to standard output
(scripts/typecheck checks it with mypy --strict).
"""

import pathlib
import re
import sys

from conftest import run_python, plain_allocator

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
SHOWN = "# -> "
HEADER = re.compile(r"^<README\.md line (\d+)>$")


def examples():
    """(line of the block's first code line, code) for each ```python block."""
    text = README.read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]


def program():
    return "".join(f"print('<README.md line {line}>')\n{code}" for line, code in examples())


# The error examples ask for an impossible allocation, which the sanitizer aborts on.
@plain_allocator
def test_readme_examples_print_what_they_show():
    blocks = examples()
    assert len(blocks) >= 8, "the README's examples were not found"
    rc, out, err = run_python(program(), {"PYTHONUNBUFFERED": "1"})
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
        assert printed[line] == shown, f"README.md line {line}"


if __name__ == "__main__":
    sys.stdout.write(program())
