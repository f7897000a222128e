"""PromptTemplate and its iterator: construction, attributes, sequence
behaviour, string forms, hash and state."""

import gc
import sys
import weakref

import pytest

import korvanta
from korvanta import PromptFragment, PromptTemplate

from conftest import assert_no_leak, markup_hash, raises, shape, swallow


class Tokenizer:
    pass


@pytest.mark.parametrize("markup", [None, ""])
def test_empty_templates(markup):
    t = PromptTemplate(markup, None)
    assert len(t) == 0 and not t
    assert str(t) == repr(t) == ""
    assert t.__getstate__() == {"template": ""}
    assert hash(t) == 3476900567878811119 == markup_hash("")
    assert list(t) == [] and t.fragments == []


def test_tokenizer_is_kept_as_is():
    tok, other = Tokenizer(), Tokenizer()
    t = PromptTemplate("[a]", tok)
    assert t.tokenizer is tok
    t.tokenizer = other
    assert t.tokenizer is other
    t.tokenizer = None
    assert t.tokenizer is None
    raises(AttributeError, "can't delete attribute", delattr, t, "tokenizer")
    raises(AttributeError, "can't delete attribute", delattr, t, "fragments")
    assert str(t) == "[a]"


def test_fragments_are_copies_both_ways(template):
    assert template.fragments is not template.fragments
    template.fragments[0].string = "changed"
    template[0].string = "changed"
    assert str(template) == "Hi [name] ! [label|good,bad]"
    f = PromptFragment("mine", [])
    template.fragments = [f]
    f.string = "later"
    assert str(template) == "[mine]"


@pytest.mark.parametrize(
    "value, expected",
    [
        ([], []),
        ((), []),
        ("", []),
        ([PromptFragment("a"), PromptFragment("a"), PromptFragment("", [""])], [("a", None), ("a", None), ("", [""])]),
        (PromptTemplate("x[y|z]", None), [("x", None), ("y", ["z"])]),
        (PromptTemplate(None, None), []),
    ],
)
def test_fragments_setter_accepts_sequences_of_fragments(template, value, expected):
    template.fragments = value
    assert shape(template.fragments) == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("ab", TypeError, "'str' object cannot be converted to 'PromptFragment'"),
        ([PromptFragment("a"), 1], TypeError, "'int' object cannot be converted to 'PromptFragment'"),
        ((f for f in [PromptFragment("a")]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
        ({PromptFragment("a")}, TypeError, "'set' object cannot be converted to 'Sequence'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_fragments_setter_refusals_keep_the_template(template, value, error, message):
    raises(error, message, setattr, template, "fragments", value)
    assert str(template) == "Hi [name] ! [label|good,bad]"


def test_assigning_a_template_to_itself(template):
    raises(RuntimeError, "Already mutably borrowed", setattr, template, "fragments", template)
    assert str(template) == "Hi [name] ! [label|good,bad]"


def test_empty_template_assigned_to_options_gives_an_empty_list():
    f = PromptFragment("x")
    f.options = PromptTemplate(None, None)
    assert f.options == []


@pytest.mark.parametrize("index, expected", [(0, ("Hi ", None)), (True, ("name", [])), (False, ("Hi ", None)),
                                             (3, ("label", ["good", "bad"]))])
def test_indexing(template, index, expected):
    assert shape([template[index]]) == [expected]


def test_index_objects():
    class Index:
        def __index__(self):
            return 1

    t = PromptTemplate("a[b]", None)
    assert t[Index()].string == "b"


@pytest.mark.parametrize(
    "index, error, message",
    [
        (4, IndexError, "index out of bounds: the len is 4 but the index is 4"),
        (2**63, IndexError, "index out of bounds: the len is 4 but the index is 9223372036854775808"),
        (2**64 - 1, IndexError, "index out of bounds: the len is 4 but the index is 18446744073709551615"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        ("0", TypeError, "'str' object cannot be interpreted as an integer"),
        (slice(0, 1), TypeError, "'slice' object cannot be interpreted as an integer"),
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_index_refusals(template, index, error, message):
    raises(error, message, template.__getitem__, index)
    assert_no_leak(swallow(error, template.__getitem__, index))


def test_index_conversion_reenters_the_template(template):
    class Sneaky:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                template.fragments = []
            assert len(template) == 4  # reading is fine under shared access
            return 0

    assert template[Sneaky()].string == "Hi "


def test_sequence_protocol(template):
    import operator

    assert operator.getitem(template, 1).string == "name"
    assert [f.string for f in template] == ["Hi ", "name", " ! ", "label"]
    # The membership test walks new copies, which are never equal to anything else.
    assert template[0] not in template


def test_iterator():
    t = PromptTemplate("a[b|c]", None)
    it = iter(t)
    assert iter(it) is it
    other = iter(t)
    t.fragments = []
    del t
    first = next(it)
    first.string = "changed"
    assert shape([first, next(it)]) == [("changed", None), ("b", ["c"])]
    assert shape(other) == [("a", None), ("b", ["c"])]
    for _ in range(2):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.value is None and info.value.args == (None,)
    assert next(it, "done") == "done" and iter(it) is it


def test_iterator_class():
    it = iter(PromptTemplate(None, None))
    cls = type(it)
    assert (cls.__name__, cls.__module__, cls.__qualname__) == ("PromptFragmentIter", "builtins", "PromptFragmentIter")
    assert cls.__text_signature__ == "(self)" and cls.__doc__ == ""
    assert not hasattr(korvanta, "PromptFragmentIter")
    raises(TypeError, "No constructor defined", cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert list(it) == []


def test_hash_and_equality():
    a, b = PromptTemplate("[pick|red,green#blue]", 1), PromptTemplate("[pick|red,green,blue]", 2)
    assert str(a) == "[pick|red,green,blue]"
    assert hash(a) == hash(b) == markup_hash(str(a)) and a != b
    assert hash(PromptTemplate("abc", None)) == -1222198482973350627


def test_state_round_trip_keeps_own_tokenizer():
    t = PromptTemplate(r"Hi [name] ! \[x\]", "tok")
    u = PromptTemplate(None, "mine")
    assert u.__setstate__(t.__getstate__()) is None
    assert shape(u) == shape(t) and u.tokenizer == "mine"  # the escaped text comes back exactly


@pytest.mark.parametrize("state", [{}, {"other": 1}, {"Template": 1}])
def test_setstate_without_template_changes_nothing(template, state):
    template.__setstate__(state)
    assert str(template) == "Hi [name] ! [label|good,bad]"


@pytest.mark.parametrize(
    "state, message, markup",
    [
        ({"template": 1}, "'int' object cannot be converted to 'PyString'", "Hi [name] ! [label|good,bad]"),
        ({1: "x"}, "'int' object cannot be converted to 'PyString'", "Hi [name] ! [label|good,bad]"),
        ([], "'list' object cannot be converted to 'PyDict'", "Hi [name] ! [label|good,bad]"),
        ({"template": "[new]", 2: 3}, "'int' object cannot be converted to 'PyString'", "[new]"),
    ],
)
def test_setstate_failures(template, state, message, markup):
    raises(TypeError, message, template.__setstate__, state)
    assert str(template) == markup
    assert_no_leak(swallow(TypeError, template.__setstate__, state))


def test_setstate_reads_dict_storage_not_overridden_iteration(template):
    class State(dict):
        def __iter__(self):
            raise AssertionError("not used")

        def items(self):
            raise AssertionError("not used")

    template.__setstate__(State(template="[s]"))
    assert str(template) == "[s]"


def test_python_subclass():
    class Mine(PromptTemplate):
        def __new__(cls, template, tokenizer, extra=None):
            self = super().__new__(cls, template, tokenizer)
            self.extra = extra
            return self

    t = Mine("a[b]", "tok", extra=1)
    assert type(t) is Mine and t.extra == 1
    assert shape(iter(t)) == [("a", None), ("b", [])]
    assert t[1].string == "b" and hash(t) == markup_hash("a[b]") and len(t) == 2
    t.__setstate__({"template": "[c]"})
    assert t.__getstate__() == {"template": "[c]"}


def test_a_tokenizer_cycle_is_collected():
    class Cyclic:
        pass

    tok = Cyclic()
    t = PromptTemplate("[a]", tok)
    tok.template = t
    alive = weakref.ref(tok)
    del t, tok
    gc.collect()
    assert alive() is None


def test_old_tokenizer_finalizer_finds_the_template_busy():
    seen = []
    t = PromptTemplate("[a]", None)

    class Finalizing:
        def __del__(self):
            for action in (lambda: t.tokenizer, lambda: setattr(t, "tokenizer", 1)):
                try:
                    action()
                except RuntimeError as error:
                    seen.append(str(error))

    t.tokenizer = Finalizing()
    t.tokenizer = "next"
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert t.tokenizer == "next"


def test_template_failures_leak_nothing(template):
    for call, error in [
        (lambda: PromptTemplate(5, None), TypeError),
        (lambda: setattr(template, "fragments", [PromptFragment("a"), 1]), TypeError),
        (lambda: setattr(template, "fragments", template), RuntimeError),
        (lambda: template.__setstate__({"template": "[x]", 1: 1}), TypeError),
        (lambda: PromptTemplate.__getstate__(template, 1), TypeError),
        (lambda: next(iter(PromptTemplate(None, None))), StopIteration),
        (lambda: type(iter(template))(), TypeError),
        (lambda: template["0"], TypeError),
    ]:
        assert_no_leak(swallow(error, call))
    tok = Tokenizer()
    before = sys.getrefcount(tok)
    for _ in range(50):
        t = PromptTemplate("[a]", tok)
        t.tokenizer = tok
        list(iter(t))
        del t
    assert sys.getrefcount(tok) == before


@pytest.mark.parametrize("offset", [0, 1, 15, 16, 17, 31, 40])
@pytest.mark.parametrize("char", ["é", "€", "😀", "\x7f"])
def test_markup_text_with_a_character_anywhere(offset, char):
    text = "a" * offset + char + "b" * 20
    t = PromptTemplate(None, None)
    t.fragments = [PromptFragment(text), PromptFragment("n" + char, [char * 17, "x"])]
    expected = text + "[n" + char + "|" + char * 17 + ",x]"
    assert str(t) == repr(t) == expected and hash(t) == markup_hash(expected)
    assert str(t.fragments[1]) == "[n" + char + "|" + char * 17 + ",x]"
