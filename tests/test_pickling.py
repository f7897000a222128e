"""Templates travel: pickling with every protocol, copying, and a real
tokenizer sent to a spawned worker process."""

import copy
import copyreg
import multiprocessing
import pickle

import pytest
from hypothesis import given, settings, strategies as st

from korvanta import PromptFragment, PromptTemplate

from conftest import markup_hash, raises, shape


class Tokenizer:
    def __init__(self, name):
        self.name = name


class Subclassed(PromptTemplate):
    pass


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("cls", [PromptTemplate, Subclassed])
def test_every_protocol(protocol, cls):
    t = cls("Hi [name] ! [label|good,bad#ugly]", Tokenizer("tok"))
    restored = pickle.loads(pickle.dumps(t, protocol))
    assert type(restored) is cls
    assert shape(restored) == shape(t)
    assert restored.tokenizer.name == "tok" and restored.tokenizer is not t.tokenizer


def test_the_tokenizer_travels_in_the_state_beside_the_single_entry():
    tok = Tokenizer("tok")
    t = PromptTemplate("[a]", tok)
    assert t.__getstate__() == {"template": "[a]"}
    assert t.__reduce_ex__(2) == (copyreg.__newobj__, (PromptTemplate, None, None), {"template": "[a]", "tokenizer": tok})
    assert PromptTemplate("[a]", None).__reduce_ex__(2)[2] == {"template": "[a]"}  # None comes from __new__


def test_copy_shares_and_deepcopy_copies_the_tokenizer():
    tok = Tokenizer("tok")
    t = PromptTemplate("a[b|c]", tok)
    shallow, deep = copy.copy(t), copy.deepcopy(t)
    assert shallow.tokenizer is tok
    assert deep.tokenizer is not tok and deep.tokenizer.name == "tok"
    for clone in (shallow, deep):
        assert clone is not t and shape(clone) == shape(t)
    shallow.fragments = []
    assert len(t) == 2


PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def round_trips(obj):
    """Every way an object travels: each pickle protocol, copy and deepcopy."""
    return [pickle.loads(pickle.dumps(obj, p)) for p in PROTOCOLS] + [copy.copy(obj), copy.deepcopy(obj)]


@pytest.mark.parametrize("markup, state, text", [
    (r"Array a\[0\] says: [text]", r"Array a\[0\] says: [text]", "Array a[0] says: [text]"),
    (r"a\\b [x|a#b] \]", r"a\\b [x|a,b] \]", r"a\b [x|a,b] ]"),
    ("Hi [name] !", "Hi [name] !", "Hi [name] !"),
])
def test_parsed_templates_travel_as_escaped_markup(markup, state, text):
    t = PromptTemplate(markup, None)
    assert t.__getstate__() == {"template": state}
    assert str(t) == repr(t) == text and hash(t) == markup_hash(text)
    for clone in round_trips(t):
        assert shape(clone) == shape(t)


def test_fragments_no_markup_can_carry_travel_beside_it():
    t = PromptTemplate(None, None)
    t.fragments = [PromptFragment("lang", ["C#", "C++"]), PromptFragment(""), PromptFragment("a"), PromptFragment("b")]
    state = t.__getstate__()
    assert state == {"template": "[lang|C#,C++]ab",
                     "fragments": [("lang", ["C#", "C++"]), ("", None), ("a", None), ("b", None)]}
    assert str(t) == "[lang|C#,C++]ab" and hash(t) == markup_hash("[lang|C#,C++]ab")
    for clone in round_trips(t):
        assert shape(clone) == [("lang", ["C#", "C++"]), ("", None), ("a", None), ("b", None)]


def test_states_of_earlier_versions_parse_as_before():
    u = PromptTemplate(None, None)
    u.__setstate__({"template": "a[b]c"})
    assert shape(u) == [("a", None), ("b", []), ("c", None)]
    u.__setstate__({"fragments": [["x", ("y",)]], "template": "ignored"})
    assert shape(u) == [("x", ["y"])]


@pytest.mark.parametrize("pairs, message", [
    (5, "'int' object cannot be converted to 'Sequence'"),
    ([("a",)], "'tuple' object cannot be converted to 'PromptFragment'"),
    (["ab"], "'str' object cannot be converted to 'PromptFragment'"),
    ([(1, None)], "'int' object cannot be converted to 'PyString'"),
    ([("a", 1)], "'int' object cannot be converted to 'Sequence'"),
])
def test_a_fragments_entry_that_does_not_fit_keeps_the_template(pairs, message):
    t = PromptTemplate("[keep]", None)
    raises(TypeError, message, t.__setstate__, {"fragments": pairs})
    assert str(t) == "[keep]"


WORD = st.text(alphabet="ab[]|#,\\ é", max_size=4)
FRAGMENTS = st.lists(st.tuples(WORD, st.none() | st.lists(WORD, max_size=3)), max_size=5)


@given(FRAGMENTS)
@settings(max_examples=150)
def test_every_template_built_from_python_travels_exactly(pairs):
    t = PromptTemplate(None, Tokenizer("tok"))
    t.fragments = [PromptFragment(string, options) for string, options in pairs]
    for clone in round_trips(t):
        assert shape(clone) == [tuple(pair) for pair in pairs]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_fragments_travel_with_every_protocol(protocol):
    for f in [PromptFragment(), PromptFragment("x", []), PromptFragment("[a]", ["", "b#"])]:
        clone = pickle.loads(pickle.dumps(f, protocol))
        assert type(clone) is PromptFragment and (clone.string, clone.options) == (f.string, f.options)


class Attributes(PromptTemplate):
    pass


class Slots(PromptFragment):
    __slots__ = ("weight", "unset")


class SlotsAndDict(PromptTemplate):
    __slots__ = ("weight", "__dict__")


@pytest.mark.parametrize("make", [
    lambda: Attributes("[a] b", Tokenizer("tok")),
    lambda: Slots("x", ["y"]),
    lambda: SlotsAndDict("[a]", None),
])
def test_subclasses_keep_their_own_attributes(make):
    obj = make()
    obj.weight = [1, 2]
    if hasattr(obj, "__dict__"):
        obj.label = "kept"
    for clone in round_trips(obj):
        assert type(clone) is type(obj) and str(clone) == str(obj) and clone.weight == [1, 2]
        assert getattr(clone, "__dict__", None) == getattr(obj, "__dict__", None)
        assert not hasattr(clone, "unset")


class OwnState(PromptFragment):
    def __getstate__(self):
        return {"mine": self.string}

    def __setstate__(self, state):
        self.string = state["mine"] + "!"


def test_a_subclass_with_its_own_state_gets_what_it_gives():
    f = OwnState("x")
    f.extra = 1
    for clone in round_trips(f):
        assert clone.string == "x!" and not hasattr(clone, "extra")


def test_unpicklable_tokenizer_fails_with_its_own_error():
    class Local:
        pass

    with pytest.raises((pickle.PicklingError, AttributeError)) as info:
        pickle.dumps(PromptTemplate("[a]", Local()))
    assert "Local" in str(info.value)
    with pytest.raises(TypeError, match="cannot pickle '_thread.lock' object"):
        import threading

        pickle.dumps(PromptTemplate("[a]", threading.Lock()))


def word_level_tokenizer():
    tokenizers = pytest.importorskip("tokenizers")
    from tokenizers.models import WordLevel
    from tokenizers.pre_tokenizers import Whitespace

    vocab = {"[UNK]": 0, "the": 1, "film": 2, "was": 3, "great": 4, "terrible": 5, "it": 6, ".": 7}
    tokenizer = tokenizers.Tokenizer(WordLevel(vocab, unk_token="[UNK]"))
    tokenizer.pre_tokenizer = Whitespace()
    return tokenizer


def test_real_tokenizer_travels_to_a_spawned_worker():
    import workers

    tokenizer = word_level_tokenizer()
    t = Subclassed("[text] it was [mask|great,terrible] .", tokenizer)
    rows = [{"text": "the film"}, {"text": "film"}]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.starmap(workers.encode_filled, [(t, row) for row in rows])
    assert results == [
        ("Subclassed", "the film it was great .", [1, 2, 6, 3, 4, 7]),
        ("Subclassed", "film it was great .", [2, 6, 3, 4, 7]),
    ]


class Holder:
    """A tokenizer that refers back to its template, as real pipelines' objects do."""


def graphs():
    """Templates whose tokenizer leads back to the template, and how to find it again."""
    plain = PromptTemplate("[a] b", None)
    plain.tokenizer = plain
    yield plain, lambda t: t.tokenizer
    held = PromptTemplate("[a] b", Holder())
    held.tokenizer.template = held
    yield held, lambda t: t.tokenizer.template
    in_tuple = PromptTemplate("[a] b", None)
    in_tuple.tokenizer = ("vocab", [in_tuple])
    yield in_tuple, lambda t: t.tokenizer[1][0]


@pytest.mark.parametrize("index", range(3))
def test_copies_keep_cycles_through_the_tokenizer(index):
    t, back = list(graphs())[index]
    for clone in [pickle.loads(pickle.dumps(t, p)) for p in PROTOCOLS] + [copy.deepcopy(t)]:
        assert clone is not t and back(clone) is clone and str(clone) == "[a] b"
    assert back(copy.copy(t)) is t


class Observing(PromptTemplate):
    """Reads itself whenever an attribute is set: restored whole before its own attributes."""

    __slots__ = ("label", "__dict__")

    def __setattr__(self, name, value):
        super().__setattr__("seen", (len(self), str(self), self.tokenizer))
        super().__setattr__(name, value)


class ObservingFragment(PromptFragment):
    __slots__ = ("label", "seen")

    def __setattr__(self, name, value):
        object.__setattr__(self, "seen", str(self))
        object.__setattr__(self, name, value)


class Labeled(PromptTemplate):
    """Made from a label, as the README's advice on __new__ shows."""

    TEMPLATES = {"sentiment": "[text] It was [mask|great,terrible]."}

    def __new__(cls, label, tokenizer):
        self = super().__new__(cls, cls.TEMPLATES[label], tokenizer)
        self.label = label
        return self

    def __init__(self, label, tokenizer):
        pass

    def __getnewargs__(self):
        return (self.label, None)


class LabeledByKeyword(Labeled):
    def __new__(cls, *, label, tokenizer):
        return super().__new__(cls, label, tokenizer)

    def __getnewargs_ex__(self):
        return (), {"label": self.label, "tokenizer": None}


def test_subclasses_are_restored_whole_then_given_their_attributes():
    t = Observing("[a] b", "tok")
    t.label = "x"
    f = ObservingFragment("s", ["o"])
    f.label = 1
    for clone in round_trips(t):
        assert clone.label == "x" and clone.seen == (2, "[a] b", "tok")
    for clone in round_trips(f):
        assert clone.label == 1 and clone.seen == "[s|o]"


@pytest.mark.parametrize("cls", [Labeled, LabeledByKeyword])
def test_subclasses_are_recreated_with_their_own_new_arguments(cls):
    tok = Holder()
    t = cls("sentiment", None) if cls is Labeled else cls(label="sentiment", tokenizer=None)
    t.tokenizer = tok
    tok.template = t
    for clone in round_trips(t):
        assert type(clone) is cls and clone.label == "sentiment" and str(clone) == str(t)
        assert clone.tokenizer.template is clone or clone.tokenizer is tok


@pytest.mark.parametrize("data", [
    # pickle.dumps(PromptTemplate(r"a\[0\] [x|y,z]", {"vocab": ["a"]}), protocol) of release 0.4.0
    b"ccopy_reg\n__newobj__\np0\n(ckorvanta\nPromptTemplate\np1\nN(dp2\nVvocab\np3\n(lp4\nVa\np5\nastp6\nRp7\n"
    b"(dp8\nVtemplate\np9\nVa\\u005c[0\\u005c] [x|y,z]\np10\nsb.",
    b"\x80\x02ckorvanta\nPromptTemplate\nq\x00N}q\x01X\x05\x00\x00\x00vocabq\x02]q\x03X\x01\x00\x00\x00aq\x04as\x86"
    b"q\x05\x81q\x06}q\x07X\x08\x00\x00\x00templateq\x08X\x0e\x00\x00\x00a\\[0\\] [x|y,z]q\tsb.",
])
def test_pickles_of_the_previous_release_still_load(data):
    t = pickle.loads(data)
    assert shape(t) == [("a[0] ", None), ("x", ["y", "z"])] and t.tokenizer == {"vocab": ["a"]}
