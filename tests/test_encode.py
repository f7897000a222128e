"""PromptTemplate.encode(), encode_batch() and label_ids(): rows to model
inputs with the template's own tokenizer, checked against a plain reference
that tokenizes the whole prompt and cuts fields one token at a time."""

import pickle
import random

import pytest

import korvanta
from korvanta import PromptTemplate

from conftest import raises

pytest.importorskip("tokenizers")

from trained_tokenizers import FAMILIES, TOKENIZERS, sentence  # noqa: E402
from whole_prompt import reference  # noqa: E402

TEMPLATES = [
    "Review: [text] It was [mask|great,terrible].",
    "[premise] Question: [hypothesis] Answer: [label|yes,no,maybe]",
    "Title: [title]\n[text] ([title]) [mask|good,bad] and [mood|sad,glad]!",
]


@pytest.fixture(params=sorted(TOKENIZERS))
def tokenizer(request):
    build, mask, pad = TOKENIZERS[request.param]
    return build(), mask, pad


def rows(n, seed=0, longest=40, short=()):
    """Review-like rows; the fields named in `short` hold a few plain words
    (a rare word is a dozen byte pieces in a vocabulary that lacks it)."""
    rng = random.Random(seed)
    names = ["text", "premise", "hypothesis", "title"]

    def value(name):
        text = sentence(rng, 1, 3 if name in short else longest)
        return text if name not in short or text.isascii() else value(name)
    return [{name: value(name) for name in names} for _ in range(n)]



@pytest.mark.parametrize("markup", TEMPLATES)
@pytest.mark.parametrize("max_length, shorten, side", [
    (None, None, "right"), (24, None, "right"), (24, None, "left"), (48, ["text", "premise"], "right")])
@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_rows_match_the_whole_prompt_tokenized_and_cut(family, markup, max_length, shorten, side):
    build, mask = FAMILIES[family]
    tok = build()
    t = PromptTemplate(markup, tok)
    shorten = shorten and [name for name in shorten if name in t.fields]
    batch = rows(60, seed=len(markup), short=set(t.fields) - set(t.fields if shorten is None else shorten))
    options = {"mask_token": mask, "max_length": max_length, "shorten": shorten, "truncation_side": side}
    got = t.encode_batch(batch, **options)
    # Again, now that the rows seen say which will be cut: each row goes another way, to the same result.
    assert t.encode_batch(batch, **options) == got
    for i, row in enumerate(batch):
        ids, positions = reference(markup, tok, mask, row, max_length, shorten, side)
        assert got["input_ids"][i] == ids, i
        assert got["mask_positions"][i] == positions
        assert got["attention_mask"][i] == [1] * len(ids)
        assert max_length is None or len(ids) <= max_length


def test_one_row_columns_and_rows_agree(tokenizer):
    tok, mask, _ = tokenizer
    t = PromptTemplate(TEMPLATES[2], tok)
    batch = rows(5)
    by_rows = t.encode_batch(batch, mask_token=mask, max_length=30)
    by_columns = t.encode_batch({name: [row[name] for row in batch] for name in t.fields}, mask_token=mask,
                                max_length=30)
    one = [t.encode(row, mask_token=mask, max_length=30) for row in batch]
    assert by_rows == by_columns
    assert by_rows == {key: [r[key] for r in one] for key in one[0]}


def test_row_text_never_makes_a_special_token(tokenizer):
    tok, mask, _ = tokenizer
    t = PromptTemplate("Review: [text] It was [mask|great,terrible].", tok)
    # Every special token but the unknown one, which unknown row text rightly gives.
    names = [added.content for added in tok.get_added_tokens_decoder().values() if "unk" not in added.content.lower()]
    specials = {tok.token_to_id(name) for name in names}
    texts = [f"a {name} b" for name in names] + ["".join(names), "[MASK]<mask>" * 3]
    got = t.encode_batch({"text": texts}, mask_token=mask)
    plain = t.encode({"text": ""}, mask_token=mask)["input_ids"]
    for ids, positions in zip(got["input_ids"], got["mask_positions"]):
        assert [ids[p] for p in positions] == [tok.token_to_id(mask)]
        row_part = ids[len(plain) - 4:len(ids) - 4]  # the row's tokens, between the template's own
        assert not set(row_part) & specials


def test_label_words_tokenize_as_they_stand_at_the_slot(tokenizer):
    tok, _, _ = tokenizer
    t = PromptTemplate("[text] It was [mask|great,terrible] and [why|acting,plot]. [extra]", tok)
    words = t.label_ids(slots=["extra"])
    expected = [[tok.encode(" " + w, add_special_tokens=False).ids for w in ("great", "terrible")],
                [tok.encode(" " + w, add_special_tokens=False).ids for w in ("acting", "plot")], []]
    assert words == expected
    if "Ġgreat" in tok.get_vocab():  # byte-level BPE: the word after its space
        assert words[0][0] == [tok.token_to_id("Ġgreat")]
    rare = PromptTemplate("It was [mask|supercalifragilistic].", tok)
    pieces = tok.encode(" supercalifragilistic", add_special_tokens=False).tokens
    raises(ValueError, f"label word 'supercalifragilistic' of slot 'mask' is {len(pieces)} tokens, not one: "
           f"{pieces!r}", rare.label_ids, single_token=True)
    assert len(rare.label_ids()[0][0]) == len(pieces)


def test_a_causal_input_ends_at_the_first_slot(tokenizer):
    tok, _, _ = tokenizer
    t = PromptTemplate("Review: [text] It was [mask|great,terrible]. [more]", tok)
    row = {"text": "A moving film."}
    got = t.encode(row, mask_token=None)
    before = tok.encode("Review: A moving film. It was", add_special_tokens=False).ids
    prefix = tok.encode("a").ids[:1]  # [CLS] or <s>: only what comes before the content
    assert got["input_ids"] == prefix + before and got["mask_positions"] == [len(prefix + before)]
    assert t.encode(row, mask_token=None, add_special_tokens=False)["input_ids"] == before


def test_padding_and_arrays(tokenizer):
    np = pytest.importorskip("numpy")
    tok, mask, pad = tokenizer
    t = PromptTemplate(TEMPLATES[0], tok)
    batch = [{"text": "a"}, {"text": "A moving film, and a great plot"}]
    lists = t.encode_batch(batch, mask_token=mask, padding="longest", pad_token=pad)
    width = len(lists["input_ids"][1])
    short = len(t.encode(batch[0], mask_token=mask)["input_ids"])
    assert lists["input_ids"][0][short:] == [tok.token_to_id(pad)] * (width - short)
    assert lists["attention_mask"][0] == [1] * short + [0] * (width - short)
    arrays = t.encode_batch(batch, mask_token=mask, padding=width + 3, pad_token=pad, return_tensors="np")
    assert arrays["input_ids"].shape == (2, width + 3) and arrays["input_ids"].dtype == np.int64
    assert arrays["input_ids"][:, :width].tolist() == lists["input_ids"]
    assert arrays["mask_positions"].tolist() == lists["mask_positions"]
    one = t.encode(batch[1], mask_token=mask, return_tensors="np")
    assert one["input_ids"].tolist() == lists["input_ids"][1] and one["mask_positions"].shape == (1,)
    pytest.importorskip("pyarrow")
    answered = [dict(row, mask=answer) for row, answer in zip(batch, ("great", "terrible"))]
    for padding in (False, "longest"):  # Arrow rows may differ in length
        ragged = t.encode_batch(answered, mask_token=mask, padding=padding, pad_token=pad, targets="mask",
                                return_tensors="arrow")
        expected = t.encode_batch(answered, mask_token=mask, padding=padding, pad_token=pad, targets="mask")
        assert {key: column.to_pylist() for key, column in ragged.items()} == expected
    one = t.encode(batch[1], mask_token=mask, return_tensors="arrow")
    assert one["input_ids"].to_pylist() == lists["input_ids"][1] and str(one["input_ids"].type) == "int64"


class NotATokenizer:
    def encode(self, text):
        return text.split()


def test_every_error_says_what_to_do(tokenizer):
    tok, mask, pad = tokenizer
    t = PromptTemplate(TEMPLATES[0], tok)
    row = {"text": "a b c"}
    raises(TypeError, "the template's tokenizer ('NotATokenizer' object) offers no 'encode_batch': encode() needs "
           "a tokenizers.Tokenizer or a fast tokenizer of transformers",
           PromptTemplate(TEMPLATES[0], NotATokenizer()).encode, row)
    raises(ValueError, "the template has slots but the tokenizer names no mask token: pass mask_token= (a token, "
           "or None for a causal model)", t.encode, row)
    raises(ValueError, "mask_token 'nope' is not a token of the tokenizer", t.encode, row, mask_token="nope")
    own = len(tok.encode(f"Review:  It was {mask}.").ids)  # its own: the prompt with the field empty
    raises(ValueError, f"the template alone needs {own} tokens, more than max_length=3",
           t.encode, {"text": ""}, mask_token=mask, max_length=3)
    two = PromptTemplate("[a] [b] [mask|x]", tok)
    long = "b " * 6 + "b"
    needed = len(two.encode({"a": "", "b": long}, mask_token=mask)["input_ids"])  # all but field a
    raises(ValueError, f"row 1 needs {needed} tokens without the fields it may shorten, more than max_length=8",
           two.encode_batch, [{"a": "a", "b": "b"}, {"a": "a", "b": long}], mask_token=mask, max_length=8,
           shorten=["a"])
    raises(KeyError, "\"'text' (row 1): the row has no field 'text' (it has no keys)\"", t.encode_batch, [row, {}],
           mask_token=mask)
    sep = "SEP" if mask == "[MASK]" else None
    if sep:
        raises(KeyError, "\"'SEP' (row 0): the row has no field 'SEP' (its keys: 'text'); the tokenizer has a special token [SEP]: to "
               "write it, escape the brackets in the template (\\\\[SEP\\\\])\"",
               PromptTemplate("[text] [SEP] [mask|x]", tok).encode, row, mask_token=mask)
    for option, value, message in [
        ("truncation_side", "middle", "truncation_side must be 'right' or 'left', not 'middle'"),
        ("padding", "max", "padding must be False, 'longest' or a number of tokens, not 'max'"),
        ("return_tensors", "tf", "return_tensors must be None, 'np', 'pt' or 'arrow', not 'tf'"),
        ("overflow", "cut", "overflow must be 'raise' or 'drop', not 'cut'"),
        ("padding_side", "top", "padding_side must be 'right' or 'left', not 'top'"),
        ("overflow", None, "overflow must be 'raise' or 'drop', not None"),
        ("targets", "nope", "targets names 'nope', which is neither a field nor a slot of the template (its fields "
                            "and slots: 'text', 'mask')"),
        ("shorten", "txt", "shorten names 'txt', which is neither a field nor a slot of the template (its fields "
                           "and slots: 'text', 'mask')"),
        ("slots", ["text", "txt"], "slots names 'txt', which is neither a field nor a slot of the template (its "
                                   "fields and slots: 'text', 'mask')"),
        ("max_length", 0, "max_length must be None or a positive number of tokens, not 0"),
    ]:
        raises(ValueError, message, t.encode, row, mask_token=mask, **{option: value})
    raises(TypeError, "add_special_tokens must be True or False, not str", t.encode, row, mask_token=mask,
           add_special_tokens="yes")
    raises(TypeError, "single_token must be True or False, not int", t.label_ids, single_token=1)
    raises(ValueError, "slots names 'nope', which is neither a field nor a slot of the template (it has none)",
           PromptTemplate("plain", tok).label_ids, slots="nope")
    raises(ValueError, "targets names slot 'text', which has no options: a target slot's answer is one of its "
           "options", t.encode, row, mask_token=mask, slots="text", targets="text")
    raises(ValueError, "padding needs a pad token: pass pad_token=", t.encode, row, mask_token=mask, padding=True)
    for tensors in ("np", "pt"):
        raises(ValueError, f"return_tensors='{tensors}' needs rows of one length: pass padding='longest' or "
               "padding=N", t.encode_batch, [row, {"text": "a"}], mask_token=mask, return_tensors=tensors)
    raises(ValueError, "column 'b' has 1 rows, but column 'a' has 2", two.encode_batch,
           {"a": ["x", "y"], "b": ["z"]}, mask_token=mask)
    raises(TypeError, "PromptTemplate.encode() got an unexpected keyword argument 'truncation'", t.encode, row,
           truncation=True)


@pytest.mark.parametrize("markup", ["[text] It was [mask|great,terrible,].", "[text] :] [mask|a]"])
def test_a_template_cut_short_is_refused_by_encode_and_render(tokenizer, markup):
    tok, mask, _ = tokenizer
    with pytest.raises(korvanta.MarkupError) as expected:
        korvanta.validate(markup)
    for t in (PromptTemplate(markup, tok), pickle.loads(pickle.dumps(PromptTemplate(markup, tok)))):
        for call in (lambda: t.encode({"text": "x"}, mask_token=mask), lambda: t.render({"text": "x", "mask": "m"})):
            with pytest.raises(korvanta.MarkupError) as got:
                call()
            assert got.value.args == expected.value.args


def test_the_cache_follows_the_tokenizer_and_the_fragments():
    wordpiece, bytelevel = TOKENIZERS["wordpiece"][0](), TOKENIZERS["bytelevel"][0]()
    t = PromptTemplate("Say [text] now", wordpiece)
    first = t.encode({"text": "great film"})["input_ids"]
    t.tokenizer = bytelevel
    assert t.encode({"text": "great film"})["input_ids"] == bytelevel.encode("Say great film now").ids != first
    t.fragments = korvanta.parse("[text]!")
    assert t.encode({"text": "great film"})["input_ids"] == bytelevel.encode("great film!").ids
    assert (t.fields, t.slots) == (("text",), ())
    assert PromptTemplate(TEMPLATES[2], None).fields == ("title", "text")
    assert PromptTemplate(TEMPLATES[2], None).slots == ("mask", "mood")
