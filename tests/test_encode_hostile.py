"""Tokenizers, rows and arrays that lie or fight back: every lie is an
exception that names what came back, never a crash or a wrong result."""

import gc
import re
import resource
import weakref

import pytest

from korvanta import PromptTemplate

from conftest import raises


class Encoding:
    def __init__(self, ids, offsets, special_tokens_mask):
        self.ids, self.offsets, self.special_tokens_mask = ids, offsets, special_tokens_mask


class WordTokenizer:
    """Words are tokens, numbered as met; [MASK] and [PAD] are special. `twist`
    changes each encoding (or the whole batch) before it is handed back."""

    SPECIAL = {"[PAD]": 0, "[MASK]": 1}
    mask_token = "[MASK]"

    def __init__(self, twist=None, batch_twist=None):
        self.twist, self.batch_twist, self.vocab = twist, batch_twist, dict(self.SPECIAL)

    def token_to_id(self, token):
        return self.vocab.get(token)

    def encode_batch(self, texts, add_special_tokens=True):
        encodings = []
        for text in texts:
            words = [(m.group(), m.span()) for m in re.finditer(r"\S+", text)]
            ids = [self.vocab.setdefault(word, len(self.vocab)) for word, _ in words]
            encoding = Encoding(ids, [span for _, span in words], [int(w in self.SPECIAL) for w, _ in words])
            encodings.append(self.twist(encoding) if self.twist else encoding)
        return self.batch_twist(encodings) if self.batch_twist else encodings


class Index:
    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        self.victim.clear()
        return 3


def set_ids(ids):
    def twist(encoding):
        encoding.ids = ids(encoding)
        return encoding
    return twist


def index_emptying(encoding):
    encoding.ids = [Index(encoding.offsets)] + encoding.ids[1:]
    return encoding


def set_attribute(name, value):
    def twist(encoding):
        setattr(encoding, name, value(encoding))
        return encoding
    return twist


M = "encode_batch"


@pytest.mark.parametrize("tokenizer, exception, message", [
    (WordTokenizer(batch_twist=lambda e: e[:-1]), TypeError, f"the tokenizer's {M} returned 0 encodings for 1 texts"),
    (WordTokenizer(batch_twist=lambda e: 5), TypeError, f"the tokenizer's {M} returned 5, not a list of encodings"),
    (WordTokenizer(set_attribute("offsets", lambda e: e.offsets[1:])), TypeError,
     f"the tokenizer's {M} returned an encoding whose ids, offsets and special_tokens_mask differ in length "
     "(1, 0, 1)"),
    (WordTokenizer(set_attribute("special_tokens_mask", lambda e: [])), TypeError,
     f"the tokenizer's {M} returned an encoding whose ids, offsets and special_tokens_mask differ in length "
     "(1, 1, 0)"),
    (WordTokenizer(set_attribute("offsets", lambda e: 7)), TypeError,
     f"the tokenizer's {M} returned an encoding whose offsets is 7, not a sequence"),
    (WordTokenizer(set_ids(lambda e: ["x"] + e.ids[1:])), TypeError,
     f"the tokenizer's {M} returned an id that is not an int: 'x'"),
    (WordTokenizer(index_emptying), TypeError, f"the tokenizer's {M} returned an id that is not an int: <"),
    (WordTokenizer(set_ids(lambda e: [-5] + e.ids[1:])), ValueError,
     f"the tokenizer's {M} returned the id -5, not one of 0 to 2**63-1"),
    (WordTokenizer(set_ids(lambda e: [2**70] + e.ids[1:])), ValueError,
     f"the tokenizer's {M} returned the id {2**70}, not one of 0 to 2**63-1"),
    (WordTokenizer(set_attribute("offsets", lambda e: [(0, 99)] * len(e.ids))), ValueError,
     f"the tokenizer's {M} returned the offsets (0, 99) for a text of 1 characters"),
    (WordTokenizer(set_attribute("offsets", lambda e: [(0, "1")] * len(e.ids))), TypeError,
     f"the tokenizer's {M} returned an offset that is not a pair of ints: (0, '1')"),
    (WordTokenizer(set_attribute("special_tokens_mask", lambda e: [None] * len(e.ids))), TypeError,
     f"the tokenizer's {M} returned a special_tokens_mask entry that is not an int: None"),
])
def test_a_tokenizer_that_lies_is_named(tokenizer, exception, message):
    t = PromptTemplate("a [text] [mask|x]", tokenizer)
    error = pytest.raises(exception, t.encode, {"text": "b"}).value
    assert str(error).startswith(message)


def test_ids_keep_64_bits_and_offsets_may_be_lists():
    big = 2**32 + 17
    tok = WordTokenizer(set_attribute("offsets", lambda e: [list(span) for span in e.offsets]))
    tok.vocab["huge"] = big
    tok.vocab["larger"] = 10**12
    got = PromptTemplate("a [text] [mask|x]", tok).encode({"text": "huge larger"})
    assert got["input_ids"][1:3] == [big, 10**12]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    tok.vocab["farther"] = 2**62
    PromptTemplate("a [text] [mask|x]", tok).encode_batch([{"text": "farther larger"}] * 100)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 50_000  # KiB: no table sized by the id


class Clearing:
    def __init__(self, victim):
        self.victim = victim

    def __str__(self):
        self.victim.clear()
        return "gone"


def test_rows_and_columns_changed_by_a_values_str():
    t = PromptTemplate("a [text] [title] [mask|x]", WordTokenizer())
    rows = [{"text": "one", "title": "t"}, {"text": "two", "title": "t"}]
    rows[0]["text"] = Clearing(rows)
    assert len(t.encode_batch(rows)["input_ids"]) == 2
    columns = {"text": ["one", "two"], "title": ["t", "u"]}
    columns["text"][0] = Clearing(columns["title"])
    assert len(t.encode_batch(columns)["input_ids"]) == 2


@pytest.mark.parametrize("rows, exception, message", [
    ({"name": "Ann"}, TypeError,
     "column 'name' is a 'str', not a list: pass a list of rows or a mapping of columns of equal-length lists"),
    (["Ann"], TypeError, "row 0 is a 'str', not a mapping: rows are mappings such as {\"text\": ...}"),
    ("Ann", TypeError, "rows must be a list of mappings such as {\"text\": ...} or a mapping of columns, not a 'str'"),
    ({"other": ["x"]}, KeyError, "\"'name': the batch has no column 'name' (its columns: 'other')\""),
    ([{"nam": 1, "x": 2}], KeyError, "\"'name' (row 0): the row has no field 'name' (its keys: 'nam', 'x')\""),
    ([{"name": "x"}, {"name": None}], TypeError,
     "row 1: field 'name' is None: fill it, or leave the row out (a missing value is never written as text)"),
    ({"name": ["x", "y", None]}, TypeError,
     "row 2: field 'name' is None: fill it, or leave the row out (a missing value is never written as text)"),
])
def test_rows_that_are_not_rows(rows, exception, message):
    raises(exception, message, PromptTemplate("Hi [name]", WordTokenizer()).encode_batch, rows)


@pytest.mark.parametrize("option, value, message", [
    ("mask_token", 5, "mask_token must be a str or None, not int"),
    ("pad_token", [], "pad_token must be a str or None, not list"),
    ("slots", 5, "slots must be a str or an iterable of str, not int"),
    ("shorten", [5], "shorten must be a str or an iterable of str, not list holding int"),
])
def test_an_option_of_the_wrong_type_is_named(option, value, message):
    raises(TypeError, message, PromptTemplate("Hi [name]", WordTokenizer()).encode, {"name": "x"}, **{option: value})


def test_arrays_are_checked_before_they_are_written(monkeypatch):
    numpy = pytest.importorskip("numpy")
    real = numpy.zeros
    monkeypatch.setattr(numpy, "zeros", lambda shape, dtype: real(1, dtype))
    with pytest.raises(TypeError, match=re.escape("numpy.zeros gave array([0]), not a C-contiguous int64 array of")):
        PromptTemplate("a [text]", WordTokenizer()).encode({"text": "b c d"}, return_tensors="np")
    monkeypatch.setattr(numpy, "zeros", lambda shape, dtype: real(shape, "int32"))
    with pytest.raises(TypeError, match="not a C-contiguous int64 array"):
        PromptTemplate("a [text]", WordTokenizer()).encode({"text": "b"}, return_tensors="np")


def test_a_cycle_through_the_encoding_cache_is_collected():
    tok = WordTokenizer()
    t = PromptTemplate("a [text] [mask|x]", tok)
    tok.template = t
    t.encode({"text": "b"})
    gone = weakref.ref(tok)
    del t, tok
    gc.collect()
    assert gone() is None


def test_a_cycle_through_a_str_subclass_cut_short_is_collected():
    class Markup(str):
        pass

    markup = Markup("a [text")  # kept for the MarkupError encode and render raise
    t = PromptTemplate(markup, None)
    markup.template = t
    gone = weakref.ref(markup)
    del markup, t
    gc.collect()
    assert gone() is None
