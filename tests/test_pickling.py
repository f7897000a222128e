"""Templates travel: pickling with every protocol, copying, and a real
tokenizer sent to a spawned worker process."""

import copy
import multiprocessing
import pickle

import pytest

from korvanta import PromptTemplate

from conftest import shape


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


def test_state_keeps_its_single_entry():
    t = PromptTemplate("[a]", Tokenizer("tok"))
    reduced = t.__reduce_ex__(2)
    assert reduced[2] == {"template": "[a]"}


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


def test_escaped_text_comes_back_as_its_markup_text_parses():
    # The state carries the unescaped markup text "a[b]c", so what that text
    # parses to comes back: the escaped brackets become a control.
    t = PromptTemplate(r"a\[b\]c", None)
    assert shape(pickle.loads(pickle.dumps(t))) == [("a", None), ("b", []), ("c", None)]


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
