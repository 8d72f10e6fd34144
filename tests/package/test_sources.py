"""Rules the C++ sources keep, checked on their text."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
# Only Ref (src/python/ref.hpp) gives up references: everywhere else a
# reference is held by a Ref, so that no path, a C++ exception's included,
# can leak or release it twice.
REF = SRC / "python" / "ref.hpp"
RELEASE = re.compile(r"\bPy_(?:X?DECREF|CLEAR|X?SETREF|DecRef)\b")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def raw_releases(text):
    """(line, text) of each reference released by hand, comments left out."""
    code = COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)
    return [(code.count("\n", 0, m.start()) + 1, m.group()) for m in RELEASE.finditer(code)]


SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".h", ".cc"))


@pytest.mark.skipif(not SRC.is_dir(), reason="the C++ sources are not beside the tests")
def test_references_are_released_only_by_ref():
    assert REF in SOURCES and raw_releases(REF.read_text())  # the rule's one exception is there
    found = [f"{p.relative_to(SRC)}:{line}: {name}" for p in SOURCES if p != REF
             for line, name in raw_releases(p.read_text())]
    assert not found, "references released by hand, not by a Ref:\n" + "\n".join(found)


@pytest.mark.parametrize("text, found", [
    ("Py_DECREF(x);", [(1, "Py_DECREF")]),
    ("a;\n  Py_XDECREF(y); Py_CLEAR(z);", [(2, "Py_XDECREF"), (2, "Py_CLEAR")]),
    ("Py_SETREF(a, b); Py_XSETREF(c, d); Py_DecRef(e);",
     [(1, "Py_SETREF"), (1, "Py_XSETREF"), (1, "Py_DecRef")]),
    ("// a comment naming Py_DECREF\n/* and Py_CLEAR\n */ Py_INCREF(x); My_Py_DECREF_x", []),
])
def test_the_rule_sees_what_it_should(text, found):
    assert raw_releases(text) == found
