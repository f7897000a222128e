"""PromptFragment: construction, attributes, string forms, hash and state."""

import copy
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvanta import PromptFragment, PromptTemplate

from conftest import markup_hash, raises


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, string, options",
    [
        ((), {}, "", None),
        ((None, None), {}, "", None),
        (("x",), {}, "x", None),
        ((), {"option": ["a"]}, "", ["a"]),
        (("x", []), {}, "x", []),
        ((), {"option": ["a", "a", ""], "string": "n"}, "n", ["a", "a", ""]),
        ((Text("sub"), [Text("o")]), {}, "sub", ["o"]),
        (("[x|y]\n",), {}, "[x|y]\n", None),
    ],
)
def test_constructor(args, kwargs, string, options):
    fragment = PromptFragment(*args, **kwargs)
    assert (fragment.string, fragment.options) == (string, options)
    assert type(fragment.string) is str


@pytest.mark.parametrize(
    "args, message",
    [
        ((5,), "argument 'string': 'int' object cannot be converted to 'PyString'"),
        ((b"x",), "argument 'string': 'bytes' object cannot be converted to 'PyString'"),
        (("x", ("a",)), "argument 'option': 'tuple' object cannot be converted to 'PyList'"),
        (("x", "ab"), "argument 'option': 'str' object cannot be converted to 'PyList'"),
        ((1, 2), "argument 'string': 'int' object cannot be converted to 'PyString'"),
        (("x", ["a", 1]), "'int' object cannot be converted to 'PyString'"),
        (("x", [None]), "'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_refusals(args, message):
    raises(TypeError, message, PromptFragment, *args)


def test_constructor_accepts_list_subclasses_and_iterates_them():
    class Options(list):
        def __iter__(self):
            return iter(["from", "iter"])

    assert PromptFragment("x", Options(["a"])).options == ["from", "iter"]


@pytest.mark.parametrize(
    "value, stored",
    [
        (None, None),
        ([], []),
        (("a",), ["a"]),
        ("ab", ["a", "b"]),
        ("", []),
        (["x", Text("y")], ["x", "y"]),
        (range(0), []),
    ],
)
def test_options_setter_accepts_any_sequence(value, stored):
    fragment = PromptFragment("x", ["old"])
    fragment.options = value
    assert fragment.options == stored


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        ({"a"}, "'set' object cannot be converted to 'Sequence'"),
        ((s for s in "ab"), "'generator' object cannot be converted to 'Sequence'"),
        (b"ab", "'int' object cannot be converted to 'PyString'"),
        (["a", 2], "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_options_setter_refusals_keep_the_old_value(value, message):
    fragment = PromptFragment("x", ["old"])
    raises(TypeError, message, setattr, fragment, "options", value)
    assert fragment.options == ["old"]


@pytest.mark.parametrize("value", [None, 5, ["a"]])
def test_string_setter_takes_only_str(value):
    fragment = PromptFragment("x")
    raises(TypeError, f"'{type(value).__qualname__}' object cannot be converted to 'PyString'",
           setattr, fragment, "string", value)
    assert fragment.string == "x"
    fragment.string = Text("y")
    assert fragment.string == "y"


@pytest.mark.parametrize("name", ["string", "options"])
def test_attributes_cannot_be_deleted(name):
    fragment = PromptFragment("x", ["a"])
    raises(AttributeError, "can't delete attribute", delattr, fragment, name)
    assert (fragment.string, fragment.options) == ("x", ["a"])


def test_reads_are_copies():
    fragment = PromptFragment("x", ["a"])
    fragment.options.append("b")
    assert fragment.options == ["a"]
    assert fragment.options is not fragment.options


@pytest.mark.parametrize(
    "fragment, text, representation",
    [
        (PromptFragment("Hello, world"), "Hello, world", '"Hello, world"'),
        (PromptFragment("pick", []), "[pick]", "[pick]"),
        (PromptFragment("pick", ["red", "green", "blue"]), "[pick|red,green,blue]", "[pick]"),
        (PromptFragment("pick", [""]), "[pick|]", "[pick]"),
        (PromptFragment("pick", ["", ""]), "[pick|,]", "[pick]"),
        (PromptFragment('say "hi"'), 'say "hi"', '"say "hi""'),
        (PromptFragment(""), "", '""'),
        (PromptFragment("a\\[b|", ["#", "]"]), "[a\\[b||#,]]", "[a\\[b|]"),
    ],
)
def test_markup_text_and_representation(fragment, text, representation):
    assert str(fragment) == text
    assert repr(fragment) == representation


def test_hash_worked_values():
    assert hash(PromptFragment("abc")) == -1222198482973350627
    assert hash(PromptFragment("[x]")) == hash(PromptFragment("x", []))
    assert hash(PromptFragment("x")) != hash(PromptFragment("x", []))
    a, b = PromptFragment("abc"), PromptFragment("abc")
    assert hash(a) == hash(b) and a != b and len({a, b}) == 2


@given(st.text(), st.one_of(st.none(), st.lists(st.text(), max_size=4)))
def test_hash_is_siphash13_of_the_markup_text(string, options):
    string = string.encode("utf-8", "replace").decode("utf-8", "replace")
    if options is not None:
        options = [o.encode("utf-8", "replace").decode("utf-8", "replace") for o in options]
    fragment = PromptFragment(string, options)
    assert hash(fragment) == markup_hash(str(fragment))


def test_hash_follows_changes():
    fragment = PromptFragment("a")
    before = hash(fragment)
    fragment.options = []
    assert hash(fragment) == markup_hash("[a]") != before


@pytest.mark.parametrize(
    "fragment, state",
    [
        (PromptFragment("x"), {"string": "x"}),
        (PromptFragment("x", []), {"string": "x", "options": []}),
        (PromptFragment("x", ["a", "b"]), {"string": "x", "options": ["a", "b"]}),
    ],
)
def test_state_and_pickling(fragment, state):
    assert fragment.__getstate__() == state
    assert list(fragment.__getstate__()) == list(state)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(fragment, protocol))
        assert type(restored) is PromptFragment
        assert (restored.string, restored.options) == (fragment.string, fragment.options)
    for clone in (copy.copy(fragment), copy.deepcopy(fragment)):
        assert clone is not fragment and clone.__getstate__() == state


@pytest.mark.parametrize(
    "state, string, options",
    [
        ({"string": "y"}, "y", ["a"]),
        ({}, "x", ["a"]),
        ({"other": 1, "STRING": 2}, "x", ["a"]),
        ({"options": ("b",)}, "x", ["b"]),
        ({"options": []}, "x", []),
        ({"options": "cd", "string": "z"}, "z", ["c", "d"]),
    ],
)
def test_setstate_applies_known_entries(state, string, options):
    fragment = PromptFragment("x", ["a"])
    assert fragment.__setstate__(state) is None
    assert (fragment.string, fragment.options) == (string, options)


@pytest.mark.parametrize(
    "state, message, string, options",
    [
        ([("string", "y")], "'list' object cannot be converted to 'PyDict'", "x", ["a"]),
        ({"options": None}, "'NoneType' object cannot be converted to 'Sequence'", "x", ["a"]),
        ({"string": "y", 1: 2}, "'int' object cannot be converted to 'PyString'", "y", ["a"]),
        ({"string": None}, "'NoneType' object cannot be converted to 'PyString'", "x", ["a"]),
        ({"string": "y", "options": [1]}, "'int' object cannot be converted to 'PyString'", "y", ["a"]),
    ],
)
def test_setstate_stops_at_the_first_failing_entry(state, message, string, options):
    fragment = PromptFragment("x", ["a"])
    raises(TypeError, message, fragment.__setstate__, state)
    assert (fragment.string, fragment.options) == (string, options)


def test_python_subclass():
    class Mine(PromptFragment):
        pass

    fragment = Mine("x", ["a"])
    assert type(fragment) is Mine and str(fragment) == "[x|a]"
    fragment.extra = 1  # a Python subclass has a dict of its own
    restored = copy.deepcopy(fragment)
    assert type(restored) is Mine and str(restored) == "[x|a]"


@pytest.mark.parametrize("count", [1, 2, 3, 5, 14, 15])
@pytest.mark.parametrize("total", [0, 1, 9, 13, 14, 15, 16, 40])
def test_option_lists_of_every_size_keep_their_options(count, total):
    # Options of every length, empty ones included, read back alike everywhere.
    options = ["" for _ in range(count)]
    for i in range(total):
        options[i % count] += chr(ord("a") + i % 26)
    f = PromptFragment("n", options)
    copies = [f.options, copy.deepcopy(f).options, f.__getstate__()["options"],
              PromptTemplate(None, None).parse(str(f))[0].options if all(options) else options]
    assert all(c == options for c in copies)
    assert str(f) == "[n|" + ",".join(options) + "]" and hash(f) == markup_hash(str(f))
    t = PromptTemplate(None, None)
    t.fragments = [f, f]
    assert [g.options for g in t] == [options, options]
