"""Rules the C++ sources keep, checked on their text."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
# Only Ref (src/cpython/ref.hpp) gives up references: everywhere else a
# reference is held by a Ref, so that no path, a C++ exception's included,
# can leak or release it twice.
REF = SRC / "cpython" / "ref.hpp"
# A Ref is released into a C-API call that steals it only by the kit's
# wrappers of those calls (src/cpython/steal.hpp): released inside any other
# argument list, it is lost when a later argument throws.
STEAL = SRC / "cpython" / "steal.hpp"
RELEASE = re.compile(r"\bPy_(?:X?DECREF|CLEAR|X?SETREF|DecRef)\b")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
# Comments, string and character literals: blanked out before a rule reads the code.
NOT_CODE = re.compile(r"""//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])+'""", re.S)
RELEASE_CALL = re.compile(r"(?:\.|->)\s*release\s*\(\s*\)")


def blank(pattern, text):
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)


def raw_releases(text):
    """(line, text) of each reference released by hand, comments left out."""
    code = blank(COMMENT, text)
    return [(code.count("\n", 0, m.start()) + 1, m.group()) for m in RELEASE.finditer(code)]


def releases_in_arguments(text):
    """Line of each `.release()` made inside a call's parentheses (or brackets).

    The innermost bracket open around the call decides: `(` or `[` is an
    argument list (or an expression within one); `{` opens a block, where
    `return x.release();` and `y = x.release();` are statements, unless it
    is a braced argument, `f({..})` or `f(a, {..})`, which is looked through.
    """
    code = blank(NOT_CODE, text)
    starts = {m.start(): m for m in RELEASE_CALL.finditer(code)}
    found, opened = [], []
    for i, char in enumerate(code):
        if i in starts:
            for bracket, at in reversed(opened):
                if bracket in "([":
                    found.append(code.count("\n", 0, i) + 1)
                    break
                if code[:at].rstrip()[-1:] not in ("(", ","):
                    break
        if char in "([{":
            opened.append((char, i))
        elif char in ")]}" and opened:
            opened.pop()
    return found


SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".h", ".cc"))
needs_sources = pytest.mark.skipif(not SRC.is_dir(), reason="the C++ sources are not beside the tests")


@needs_sources
def test_references_are_released_only_by_ref():
    assert REF in SOURCES and raw_releases(REF.read_text())  # the rule's one exception is there
    found = [f"{p.relative_to(SRC)}:{line}: {name}" for p in SOURCES if p != REF
             for line, name in raw_releases(p.read_text())]
    assert not found, "references released by hand, not by a Ref:\n" + "\n".join(found)


@needs_sources
def test_no_reference_is_released_inside_an_argument_list():
    # the rule's one exception is there, and needs to be
    assert STEAL in SOURCES and releases_in_arguments(STEAL.read_text())
    found = [f"{p.relative_to(SRC)}:{line}: {p.read_text().splitlines()[line - 1].strip()}"
             for p in SOURCES if p != STEAL for line in releases_in_arguments(p.read_text())]
    assert not found, ("a Ref released inside an argument list (build the arguments first, "
                       "then move them in through cpython/steal.hpp):\n" + "\n".join(found))


@pytest.mark.parametrize("text, found", [
    ("Py_DECREF(x);", [(1, "Py_DECREF")]),
    ("a;\n  Py_XDECREF(y); Py_CLEAR(z);", [(2, "Py_XDECREF"), (2, "Py_CLEAR")]),
    ("Py_SETREF(a, b); Py_XSETREF(c, d); Py_DecRef(e);",
     [(1, "Py_SETREF"), (1, "Py_XSETREF"), (1, "Py_DecRef")]),
    ("// a comment naming Py_DECREF\n/* and Py_CLEAR\n */ Py_INCREF(x); My_Py_DECREF_x", []),
])
def test_the_rule_sees_what_it_should(text, found):
    assert raw_releases(text) == found


@pytest.mark.parametrize("text, found", [
    # released into a call, directly or within an expression or braced argument
    ('f(a, x.release());', [1]),
    ('Py_BuildValue("(iNN)", 1,\n  t.release(), to_int(v).release());', [2, 2]),
    ("PyList_SET_ITEM(l.get(), i, r.release());", [1]),
    ("g(h(p->release()));", [1]),
    ("f(x ? a.release() : nullptr);", [1]),
    ("f({a.release(), b});\nf(a, {b.release()});", [1, 2]),
    ("items[r.release()];", [1]),
    ("void f() {\n  if (x) {\n    g(y.release ( ));\n  }\n}", [3]),
    # statements: returned, stored, passed on as a whole; lambdas are bodies
    ("return x.release();", []),
    ("Ref f() {\n  return std::apply(core, std::move(v)).release();\n}", []),
    ("static PyObject* name = interned(\"n\").release();", []),
    ("barrier([&] { return make().release(); });", []),
    ("Ref r{x.release()};", []),
    ("f(x.get()); set_raised(std::move(x)); lock.released();", []),
    # comments and literals are not code
    ('// f(x.release());\n/* g(y.release()) */ raise(E, "h(z.release())"); c = \'(\';'
     "\nreturn a.release();", []),
])
def test_the_argument_rule_sees_what_it_should(text, found):
    assert releases_in_arguments(text) == found
