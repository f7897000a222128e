"""PromptTemplate.render(): the finished prompt from a data row."""

import collections.abc
import itertools

import pytest
from hypothesis import given, strategies as st

from korvanta import PromptFragment, PromptTemplate

from conftest import assert_no_leak, raises, shape


def python_render(template, values):
    """The loop every user wrote before render() existed."""
    return "".join(f.string if f.options is None else str(values[f.string]) for f in template)


class Missing(dict):
    def __missing__(self, key):
        return f"<{key}>"


class Row(collections.abc.Mapping):
    def __init__(self, **values):
        self.values, self.asked = values, []

    def __getitem__(self, key):
        self.asked.append(key)
        return self.values[key]

    def __iter__(self):
        return iter(self.values)

    def __len__(self):
        return len(self.values)


class Shown:
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("markup, values, prompt", [
    ("Hi [name] ! It was [mask|great,terrible].", {"name": "Ann", "mask": "[MASK]"}, "Hi Ann ! It was [MASK]."),
    ("[a][a|x]", {"a": 1}, "11"),
    ("[n] [o] [s]", {"n": True, "o": Shown(), "s": 2.5}, "True shown 2.5"),
    ("raw: [v]", {"v": "a\\[b] \\"}, "raw: a\\[b] \\"),
    ("é [x] 😀", {"x": "ü"}, "é ü 😀"),
    ("[x]", {"x": "\ud800"}, "\ud800"),
    ("text only \\[kept\\]", 5, "text only [kept]"),
    ("", None, ""),
    ("[who] and [other]", Missing(who="me"), "me and <other>"),
])
def test_render(markup, values, prompt):
    t = PromptTemplate(markup, None)
    assert t.render(values) == prompt and type(t.render(values=values)) is str


def test_each_control_is_looked_up_once_in_order():
    row = Row(a="1", b="2")
    assert PromptTemplate("[b] [a|x] [b]", None).render(row) == "2 1 2"
    assert row.asked == ["b", "a", "b"]


def test_lookup_failures_pass_through():
    t = PromptTemplate("[known] [unknown] [never]", None)
    with pytest.raises(KeyError) as info:
        t.render({"known": "k"})
    assert info.value.args == ("unknown",)
    raises(TypeError, "'int' object is not subscriptable", t.render, 5)
    raises(TypeError, "field 'known' is None: fill it (a missing value is never written as text)", t.render,
           {"known": None})
    raises(TypeError, "PromptTemplate.render() missing 1 required positional argument: 'values'", t.render)
    raises(TypeError, "PromptTemplate.render() takes 1 positional arguments but 2 were given", t.render, {}, {})


def test_a_lookup_cannot_change_the_template():
    t = PromptTemplate("[a] [b]", None)

    class Meddling(dict):
        def __missing__(self, key):
            t.fragments = []
            return key

    raises(RuntimeError, "Already borrowed", t.render, Meddling())
    assert str(t) == "[a] [b]"


def test_new_fragments_are_rendered_with_their_own_names():
    t = PromptTemplate("[a]", None)
    assert t.render({"a": 1}) == "1"
    t.fragments = [PromptFragment("b", []), PromptFragment("", ["x"]), PromptFragment("")]
    assert t.render({"b": 2, "": 3}) == "23"
    t.__setstate__({"template": "[c]!"})
    assert t.render({"c": 4}) == "4!"


NAMES = st.text(alphabet="ab[|é", max_size=3)


@given(st.lists(st.tuples(NAMES, st.none() | st.lists(NAMES, max_size=2)), max_size=6),
       st.dictionaries(NAMES, st.text(max_size=4) | st.integers()), st.booleans())
def test_render_equals_the_python_loop(pairs, values, mapping_first):
    t = PromptTemplate(None, None)
    t.fragments = [PromptFragment(string, options) for string, options in pairs]
    names = {string for string, options in pairs if options is not None}
    row = {**{name: name.upper() for name in names}, **values}
    expected = python_render(t, row)
    # The first row rendered lends its keys to later lookups; rows with other
    # key objects, in another order, or other mappings find the same values.
    other_keys = {"".join(reversed(key))[::-1]: value for key, value in reversed(row.items())}
    rows = [Row(**row), row, other_keys] if mapping_first else [row, other_keys, Row(**row)]
    assert [t.render(r) for r in rows] == [expected] * 3
    assert shape(t) == [tuple(pair) for pair in pairs]


def test_names_from_templates_do_not_outlive_them():
    """Control names come from the caller's data; none of them may stay behind."""
    counter = itertools.count()

    def render_a_new_name():
        name = f"name{next(counter)}"
        assert PromptTemplate(f"[{name}]!", None).render({name: 1}) == "1!"

    assert_no_leak(render_a_new_name, repeat=2000)
