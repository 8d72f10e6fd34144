import pytest
from hypothesis import given, settings, strategies as st

import model
import quillmat
from helpers import Raised, index_failure, outcome
from model import length_failure

VERIFIERS = [quillmat.verify, quillmat.verify_2]


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 4).flatmap(lambda n: st.tuples(
    st.lists(st.text("01", min_size=n, max_size=n), max_size=8),
    st.lists(st.text("01", min_size=n, max_size=n), max_size=6))), st.data())
def test_verifiers_agree_with_direct_evaluation(points_and_monomials, data):
    z, mapping = points_and_monomials
    g = data.draw(st.lists(st.integers(0, 255), max_size=len(mapping)))
    expected = model.verify(z, g, mapping)
    assert quillmat.verify(z, g, mapping) == quillmat.verify_2(z, g, mapping) == expected


@pytest.mark.parametrize("z, g, mapping, expected", [
    ([], [1, 1], [], (True, None)),  # no point: nothing is checked
    (["1", "11"], [], ["111"], (True, None)),
    (["11"], [1], ["10"], (False, (0, "11"))),
    (["11", "01"], [1, 1], ["00", "10"], (False, (1, "01"))),
    (["1"], [2], ["1"], (True, None)),  # only the parity of the coefficients counts
    (["1"], [1, 3], ["1", "0"], (True, None)),
    (["1"], [255, 1], ["1", "1"], (True, None)),  # the 8-bit sum wraps to 0
    (["1"], [1], ["0", "0000"], (False, (0, "1"))),  # monomials beyond g are never read
    (["1", "11"], [1], ["1"], (False, (0, "1"))),  # a failing point hides later ones
    (["2"], [1], ["1"], (False, (0, "2"))),  # code points, not digits
    (["b"], [1], ["a"], (False, (0, "b"))),
    (["1"], [0, 0], ["1"], ("PanicException", index_failure(1, 1))),
    (["11"], [1], ["1"], ("PanicException", length_failure(1, 2))),
    (["é"], [1], ["1"], ("PanicException", length_failure(1, 2))),  # byte lengths
    (["é"], [1], ["ab"], (False, (0, "é"))),  # "a" <= "é", then the point has no more characters
])
@pytest.mark.parametrize("function", VERIFIERS)
def test_verify_examples(panic_type, function, z, g, mapping, expected):
    if expected[0] == "PanicException":
        expected = Raised(panic_type, expected[1])
    assert outcome(lambda: function(z, g, mapping)) == expected


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text("01a", max_size=3), max_size=4), st.lists(st.integers(0, 3), max_size=4),
       st.lists(st.text("01é", max_size=3), max_size=4))
def test_verifiers_fail_alike(panic_type, z, g, mapping):
    expected = model.outcome(lambda: model.verify(z, g, mapping), panic_type)
    assert outcome(lambda: quillmat.verify(z, g, mapping)) == expected
    assert outcome(lambda: quillmat.verify_2(z, g, mapping)) == expected


@pytest.mark.parametrize("args, error, text", [
    (("1", [1], ["1"]), TypeError, "argument 'z': Can't extract `str` to `Vec`"),
    ((["1"], "1", ["1"]), TypeError, "argument 'g': Can't extract `str` to `Vec`"),
    ((["1"], [1], "1"), TypeError, "argument 'mapping': Can't extract `str` to `Vec`"),
    (([1], [1], ["1"]), TypeError, "argument 'z': 'int' object cannot be converted to 'PyString'"),
    ((["1"], [256], ["1"]), OverflowError, "out of range integral type conversion attempted"),
    # Conversion runs in parameter order: z's error hides g's.
    (("1", [256], "1"), TypeError, "argument 'z': Can't extract `str` to `Vec`"),
])
@pytest.mark.parametrize("function", VERIFIERS)
def test_verify_conversion_errors(function, args, error, text):
    with pytest.raises(error) as raised:
        function(*args)
    assert str(raised.value) == text


@pytest.mark.parametrize("function", VERIFIERS)
def test_verify_by_keyword_and_matching_errors(function):
    name = function.__name__
    assert function(mapping=["1"], g=[1], z=["0"]) == (True, None)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 3 positional arguments but 4 were given$"):
        function(1, 2, 3, 4)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 2 required positional arguments: 'g' and 'mapping'$"):
        function([])
