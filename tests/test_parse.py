"""Reading the markup: worked examples, malformed input, and laws checked
against the reference parser."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
from korvanta import PromptFragment, PromptTemplate

from conftest import markup_hash, reference_markup, reference_parse, shape

T = lambda s: (s, None)  # noqa: E731
C = lambda name, *options: (name, list(options))  # noqa: E731

EXAMPLES = [
    ("", []),
    ("Hello, world", [T("Hello, world")]),
    ("Hi [name] !", [T("Hi "), C("name"), T(" !")]),
    ("[pick]red, green", [C("pick"), T("red, green")]),
    ("[pick|]", [C("pick")]),
    ("[pick|red,green#blue]", [C("pick", "red", "green", "blue")]),
    ("[ pick | a , b ]", [C(" pick ", " a ", " b ")]),
    ("[x|a,,#b]", [C("x", "a", "b")]),
    ("a|b#c,d", [T("a|b#c,d")]),
    (r"a\[b\]c\\d", [T("a[b]c\\d")]),
    (r"\[x]", [T("[x")]),
    ("one]two", [T("one")]),
    (r"one\ntwo", [T("one")]),
    ("ab\\", [T("ab")]),
    ("x[y|a,]z", [T("x")]),
    ("x[y|a|b]z", [T("x")]),
    ("x[y|,a]z", [T("x")]),
    ("[a][b]", [C("a"), C("b")]),
    ("[]", []),
    ("]x", []),
    ("[a[b]]", []),
    ("[a,b]", []),
    ("[a#b]", []),
    ("[a\\]", [C("a\\")]),
    ("[a", []),
    ("[a|b", []),
    ("text [a|b", [T("text ")]),
    ("\\", []),
    ("\\x", []),
    (r"\\\[\]", [T("\\[]")]),
    (r"a\\b", [T("a\\b")]),
    ("[x]\\[tail", [C("x"), T("[tail")]),
    ("a\\[[x]\\]b", [T("a["), C("x"), T("]b")]),
    ("[line\nbreak|\tx,y\r\n]", [C("line\nbreak", "\tx", "y\r\n")]),
    ("é€😀 [名|😀,ü]", [T("é€😀 "), C("名", "😀", "ü")]),
]


@pytest.mark.parametrize("markup, expected", EXAMPLES)
def test_worked_examples(markup, expected):
    assert shape(korvanta.parse(markup)) == expected
    assert reference_parse(markup) == expected


@pytest.mark.parametrize("markup", ["Hi [name] !", "", r"a\]b[c|d]"])
def test_every_parse_entry_gives_the_same_fragments(markup, template):
    expected = shape(korvanta.parse(markup))
    assert shape(PromptFragment.parse(markup)) == expected
    assert shape(PromptTemplate.parse(markup)) == expected
    assert shape(PromptFragment("x").parse(markup)) == expected
    assert shape(template.parse(template=markup)) == expected
    assert shape(PromptTemplate(markup, None)) == expected


def test_parse_returns_new_fragment_objects_each_time():
    first, second = korvanta.parse("[a]"), korvanta.parse("[a]")
    assert type(first) is list and type(first[0]) is PromptFragment
    assert first[0] is not second[0]


def test_long_inputs_cross_every_scanning_boundary():
    # Special characters at every offset of a wide scan block.
    for offset in range(40):
        text = "a" * offset + "[x]" + "b" * offset + "\\]" + "c" * offset
        assert shape(korvanta.parse(text)) == reference_parse(text)
    big = "word " * 200_000
    assert shape(korvanta.parse(big)) == [T(big)]


def test_a_million_controls():
    fragments = korvanta.parse("[a|b,c]x" * 1_000_000)
    assert len(fragments) == 2_000_000
    assert shape(fragments[-2:]) == [C("a", "b", "c"), T("x")]


class Markup(str):
    pass


def test_non_str_subclass_of_str_is_read_as_text():
    assert shape(korvanta.parse(Markup("[a|b]"))) == [C("a", "b")]


# ---------------------------------------------------------------- laws

markup_chars = st.sampled_from(list("ab \n[]\\|#,é😀"))
plain = st.text(alphabet=st.characters(blacklist_characters="[]\\|#,", blacklist_categories=("Cs",)), min_size=1)


@settings(max_examples=400)
@given(st.text(alphabet=markup_chars, max_size=40))
def test_parser_agrees_with_the_reference(markup):
    expected = reference_parse(markup)
    assert shape(korvanta.parse(markup)) == expected
    # Fragments view the text they were read from (the caller's str, or the
    # UTF-8 made for the call; a subclass's is copied) and keep it: here the
    # only other reference to it goes as soon as the call returns.
    for text in (lambda: "".join(list(markup)), lambda: Markup(markup)):
        assert shape(korvanta.parse(text())) == expected
        assert shape(PromptTemplate(text(), None)) == expected
    # Written back with one comma between options, whatever separated them.
    t = PromptTemplate(markup, None)
    assert str(t) == reference_markup(expected) and hash(t) == markup_hash(str(t))
    assert [str(f) for f in t] == [reference_markup([pair]) for pair in expected]


@settings(max_examples=300)
@given(st.text(alphabet=markup_chars, max_size=40))
def test_parsed_fragments_keep_the_invariants(markup):
    fragments = shape(korvanta.parse(markup))
    for (string, options), following in zip(fragments, fragments[1:] + [("", [])]):
        if options is None:
            assert string and following[1] is not None
        else:
            assert string and not set(string) & set("[]|#,")
            assert all(o and not set(o) & set("[]|#,") for o in options)


fragment_lists = st.lists(
    st.one_of(
        plain.filter(lambda s: "\\" not in s).map(lambda s: (s, None)),
        st.tuples(plain, st.lists(plain, max_size=3)),
    ),
    max_size=8,
)


@settings(max_examples=300)
@given(fragment_lists)
def test_markup_text_of_an_escape_free_template_parses_back(pairs):
    markup = reference_markup(pairs)
    template = PromptTemplate(markup, None)
    assert str(template) == markup
    again = korvanta.parse(str(template))
    assert shape(again) == shape(template.fragments)
    assert shape(again) == reference_parse(markup)


@pytest.mark.parametrize("size", [16, 64, 80])
def test_text_beyond_ascii_in_every_lane_of_a_block(size):
    """Made text is checked for ASCII 16 and 64 bytes at a time; a byte beyond
    ASCII in any lane must make a str of the right kind."""
    for lane in range(size - 1):
        text = "a" * lane + "\u00e9" + "b" * (size - 2 - lane)  # 2 bytes at `lane`
        assert len(text.encode()) == size
        made = str(PromptFragment(text))
        assert made == text and not made.isascii()
        assert korvanta.escape(text + "[") == text + "\\["
