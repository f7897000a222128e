"""validate(), MarkupError and escape(): where and why a template stops
parsing, and text put into templates safely."""

import copy
import pickle

import pytest
from hypothesis import given, strategies as st

import korvanta
from korvanta import MarkupError

from conftest import raises, shape

UNESCAPED = "unescaped ']' (write \\] for a literal bracket)"
BACKSLASH = "backslash that escapes nothing (write \\\\ for a literal backslash)"
UNCLOSED = "'[' was never closed (write \\[ for a literal bracket)"
BRACKET = "'[' inside a control"


@pytest.mark.parametrize("markup, msg, pos", [
    ("one]two", UNESCAPED, 3),
    ("\\[x]", UNESCAPED, 3),
    ("ab\\", BACKSLASH, 2),
    ("one\\ntwo", BACKSLASH, 3),
    ("[a", UNCLOSED, 0),
    ("ok [a|b,", UNCLOSED, 3),
    ("[", UNCLOSED, 0),
    ("[a[b]]", BRACKET, 2),
    ("Smiley :[ then [text]", BRACKET, 15),
    ("[[", BRACKET, 1),
    ("[]", "empty control name", 1),
    ("[|a]", "empty control name", 1),
    ("[#a]", "empty control name", 1),
    ("[a,b]", "',' in a control name", 2),
    ("[a#b]", "'#' in a control name", 2),
    ("x[y|,a]z", "empty option", 4),
    ("x[y|a,]z", "empty option", 6),
    ("x[y|a|b]z", "second '|' in a control", 5),
    ("x[y||b]z", "second '|' in a control", 4),
    ("[text] It was [mask|great,terrible,].", "empty option", 35),
])
def test_the_first_malformed_place(markup, msg, pos):
    error = raises(MarkupError, f"{msg}: line 1 column {pos + 1} (char {pos})", korvanta.validate, markup)
    assert (error.msg, error.template, error.pos, error.lineno, error.colno) == (msg, markup, pos, 1, pos + 1)
    assert error.args == (msg, markup, pos)


@pytest.mark.parametrize("markup", ["", "plain", "a\\[0\\] [x]", "[x|a#b]", "[x|]", "[ a |\nb,,c]\\\\", "é[ü|ß]"])
def test_well_formed_templates_pass(markup):
    assert korvanta.validate(markup) is None
    assert korvanta.validate(template=markup) is None


def test_positions_count_characters_and_lines():
    markup = "línea uno\nzwei 😀 [x]\n😀é]"
    error = raises(MarkupError, f"{UNESCAPED}: line 3 column 3 (char 23)", korvanta.validate, markup)
    assert markup[error.pos] == "]" and (error.lineno, error.colno) == (3, 3)


def test_markup_error_is_a_value_error_that_travels():
    assert issubclass(MarkupError, ValueError) and MarkupError.__module__ == "korvanta"
    error = MarkupError("why", "ab\ncd", 4)
    assert (error.lineno, error.colno, str(error)) == (2, 2, "why: line 2 column 2 (char 4)")
    error.note = "kept"
    for clone in [pickle.loads(pickle.dumps(error, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
            copy.copy(error), copy.deepcopy(error)]:
        assert type(clone) is MarkupError and clone.args == error.args and clone.__dict__ == error.__dict__
    raises(TypeError, "MarkupError.__init__() missing 1 required positional argument: 'pos'", MarkupError, "a", "b")
    raises(TypeError, "argument 'template': 'int' object cannot be converted to 'PyString'", MarkupError, "a", 1, 0)


def element_start(markup, error):
    """Where the element that failed begins: the control's '[' for a control."""
    if markup[error.pos] in "]\\" and error.msg in (UNESCAPED, BACKSLASH) or error.msg == UNCLOSED:
        return error.pos
    return markup.rindex("[", 0, error.pos)


@given(st.text(alphabet="ab [[]]|#,\\\né😀", max_size=30))
def test_validate_and_parse_agree(markup):
    try:
        korvanta.validate(markup)
    except MarkupError as error:
        start = element_start(markup, error)
        assert start <= error.pos < len(markup)
        assert shape(korvanta.parse(markup)) == shape(korvanta.parse(markup[:start]))
        korvanta.validate(markup[:start])
    else:
        assert str(korvanta.PromptTemplate(markup, None)) == "".join(str(f) for f in korvanta.parse(markup))


@pytest.mark.parametrize("text, escaped", [
    ("", ""),
    ("plain, | # text", "plain, | # text"),
    ("a[b]c\\d", "a\\[b\\]c\\\\d"),
    ("[[]]", "\\[\\[\\]\\]"),
    ("é\\😀", "é\\\\😀"),
])
def test_escape(text, escaped):
    assert korvanta.escape(text) == escaped and korvanta.escape(text=text) == escaped


class Text(str):
    pass


@given(st.text())
def test_escaped_text_parses_back_to_itself(text):
    escaped = korvanta.escape(Text(text))
    assert type(escaped) is str
    assert shape(korvanta.parse(escaped)) == ([(text, None)] if text else [])
    korvanta.validate(escaped)


def test_escape_refusals():
    raises(TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'", korvanta.escape, b"x")
    raises(TypeError, "escape() missing 1 required positional argument: 'text'", korvanta.escape)
    with pytest.raises(UnicodeEncodeError):
        korvanta.escape("\ud800")
