"""Training targets: labels, truncation that spares the answer, dropped rows,
padding sides and tensors, checked against a reference that writes the whole
prompt (the answer in place at a causal target slot), tokenizes it and labels
tokens by their characters."""

import random
import warnings

import pytest

import korvanta
from korvanta import PromptTemplate

from conftest import raises

pytest.importorskip("tokenizers")

import trained_tokenizers as trained  # noqa: E402
from trained_tokenizers import FAMILIES, sentence  # noqa: E402

IGNORED = -100


def backend(tok):
    return getattr(tok, "backend_tokenizer", tok)


def reference(tok, markup, row, targets, mask=None):
    """input_ids and labels of one row; `mask` None: causal."""
    prompt, spans, slots, stopped = "", [], [], False
    for fragment in korvanta.parse(markup):
        begin = len(prompt)
        if fragment.options is None:
            prompt += fragment.string
        elif fragment.options:
            answer = row.get(fragment.string)
            if mask is not None:
                prompt += mask
                slots.append((begin, len(prompt), fragment if fragment.string in targets else None, answer))
            elif fragment.string in targets:
                words = [o.strip() for o in fragment.options]
                prompt += words[answer] if isinstance(answer, int) else answer
                spans.append((begin, len(prompt)))
            else:
                prompt, stopped = prompt.rstrip(), True
                break
        else:
            prompt += str(row[fragment.string])
            if fragment.string in targets:
                spans.append((begin, len(prompt)))
    encoding = backend(tok).encode(prompt)
    ids, offsets, flags = list(encoding.ids), encoding.offsets, encoding.special_tokens_mask
    spelling = {i: added.content for i, added in backend(tok).get_added_tokens_decoder().items() if added.special}

    def end(k):  # a special token as the template writes it (not one made of text the vocabulary lacks)
        return flags[k] or spelling.get(ids[k]) == prompt[offsets[k][0]:offsets[k][1]].strip()

    labels = []
    for i, (b, e), special in zip(ids, offsets, flags):
        inside = not special and any(b < t and e > s and b < e or b == e and s < b < t for s, t in spans)
        label = i if inside else IGNORED
        for n, (s, t, fragment, answer) in enumerate(slots):
            if fragment is not None and b < t and e > s:
                words = [o.strip() for o in fragment.options]
                [label] = PromptTemplate(markup, tok).label_ids()[n][words.index(answer) if isinstance(answer, str)
                                                                   else answer]
        labels.append(label)
    # After each target's last token: the template's end token (blank tokens
    # before it too), then the special tokens the tokenizer adds.
    for s, t in spans:
        held = [k for k, (b, e) in enumerate(offsets) if not flags[k] and (b < t and e > s and b < e or b == e and s < b < t)]
        k, blank = (held[-1] + 1 if held else len(ids)), []
        while k < len(ids) and (end(k) or not prompt[offsets[k][0]:offsets[k][1]].strip()):
            if not end(k):
                blank.append(k)
                k += 1
                continue
            for j in [*blank, k]:
                labels[j] = ids[j]
            k += 1
            while k < len(ids) and flags[k]:
                labels[k] = ids[k]
                k += 1
            break
    if stopped:  # a causal input ends where the slot stands: the special tokens after the content go
        flags = backend(tok).encode("a").special_tokens_mask
        after = len(flags) - 1 - max(k for k, special in enumerate(flags) if not special)
        ids, labels = ids[:len(ids) - after], labels[:len(labels) - after]
    return ids, labels


CASES = [
    # markup ({end}: the family's end token), targets, mask (None: causal), row maker
    ("Question: [q] Answer: [a]", ("a",), None, lambda rng: {"q": sentence(rng, 1, 12), "a": sentence(rng, 1, 8)}),
    ("Q: [q]\nA:[a]", ("a",), None, lambda rng: {"q": sentence(rng, 1, 6), "a": " " + sentence(rng, 1, 6)}),
    ("[text] It was [mask|great,terrible].", ("mask",), None, lambda rng: {"text": sentence(rng), "mask": rng.randrange(2)}),
    ("[text] It was [mask|great, terrible]. [why]", ("mask",), "MASK",
     lambda rng: {"text": sentence(rng), "why": "x", "mask": rng.choice(["great", "terrible", 0, 1])}),
    ("[q] -> [a] [b|x,y] [c]", ("a",), None, lambda rng: {"q": sentence(rng, 1, 5), "a": sentence(rng, 1, 5), "c": "z"}),
    ("Review: [text]\nAnswer: [a]{end}", ("a",), None, lambda rng: {"text": sentence(rng), "a": sentence(rng, 1, 6)}),
    ("Q: [q]\nA: [a]{end}\nQ: [q2]\nA: [a2]\n{end}{end}", ("a", "a2"), None,
     lambda rng: {"q": sentence(rng, 1, 6), "a": sentence(rng, 1, 6) if rng.random() < 0.8 else "",
                  "q2": sentence(rng, 1, 6), "a2": rng.choice(["\n", " ", "ᚠ 中文", sentence(rng, 1, 6)])}),
]
MASKS = {"wordpiece": "[MASK]", "bytelevel": "<mask>", "unigram": "<mask>", "llama": "</s>", "llama_bytes": "</s>"}
ENDS = {"wordpiece": "\\[SEP\\]", "bytelevel": "</s>", "unigram": "</s>", "llama": "</s>", "llama_bytes": "</s>"}


@pytest.mark.parametrize("family", sorted(MASKS))
@pytest.mark.parametrize("markup, targets, mask, make", CASES)
def test_labels_are_the_targets_tokens(family, markup, targets, mask, make):
    tok = FAMILIES[family][0]()
    mask = MASKS[family] if mask else None
    markup = markup.replace("{end}", ENDS[family])
    t = PromptTemplate(markup, tok)
    rng = random.Random(len(markup))
    batch = [make(rng) for _ in range(25)]
    if mask and any(len(word) != 1 for words in t.label_ids() for word in words):
        with pytest.raises(ValueError, match="tokens, not one"):  # one mask predicts one token
            t.encode_batch(batch, mask_token=mask, targets=targets)
        return
    got = t.encode_batch(batch, mask_token=mask, targets=targets)
    for i, row in enumerate(batch):
        ids, labels = reference(tok, markup, row, targets, mask)
        assert (got["input_ids"][i], got["labels"][i]) == (ids, labels), row
    assert any(label != IGNORED for labels in got["labels"] for label in labels)


@pytest.mark.parametrize("family", sorted(MASKS))
def test_truncation_spares_the_answer_unless_named(family):
    tok = FAMILIES[family][0]()
    t = PromptTemplate("Question: [q] Answer: [a]", tok)
    rng = random.Random(1)
    batch = [{"q": sentence(rng, 20, 40), "a": sentence(rng, 2, 5)} for _ in range(20)]
    whole = t.encode_batch(batch, mask_token=None, targets="a")
    cut = t.encode_batch(batch, mask_token=None, targets="a", max_length=32)
    for full, short in zip(whole["labels"], cut["labels"]):
        assert len(short) <= 32 and [x for x in short if x != IGNORED] == [x for x in full if x != IGNORED]
    both = t.encode_batch(batch, mask_token=None, targets="a", max_length=16, shorten=["q", "a"])
    assert all(len(ids) == 16 for ids in both["input_ids"])


def test_overflow_drops_what_cannot_fit_from_every_key():
    np = pytest.importorskip("numpy")
    tok = trained.wordpiece()
    t = PromptTemplate("Q: [q] A: [a]", tok)
    rows = [{"q": "a b", "a": "film"}, {"q": "a", "a": "film " * 30}, {"q": "the plot", "a": "great"}]
    raises(ValueError, "row 1 needs 36 tokens without the fields it may shorten, more than max_length=12",
           t.encode_batch, rows, targets="a", max_length=12)
    kept = t.encode_batch(rows, targets="a", max_length=12, overflow="drop")
    assert kept["row_index"] == [0, 2] and len(kept["input_ids"]) == len(kept["labels"]) == 2
    columns = {name: [row[name] for row in rows] for name in ("q", "a")}
    arrays = t.encode_batch(columns, targets="a", max_length=12, overflow="drop", padding="longest",
                            pad_token="[PAD]", return_tensors="np")
    assert arrays["row_index"].tolist() == [0, 2] and arrays["labels"].dtype == np.int64
    assert arrays["input_ids"].shape[0] == 2 and arrays["input_ids"][1][:len(kept["input_ids"][1])].tolist() == \
        kept["input_ids"][1]
    raises(ValueError, "the template alone needs 6 tokens, more than max_length=3", t.encode_batch, rows,
           max_length=3, overflow="drop")
    raises(ValueError, "row 0 needs 36 tokens without the fields it may shorten, more than max_length=12",
           t.encode, rows[1], targets="a", max_length=12, overflow="drop")  # one row is never left out


@pytest.mark.parametrize("side", ["right", "left", None])
def test_padding_sides(side):
    transformers = pytest.importorskip("transformers")  # noqa: F841
    tok = trained.wrapped(trained.bytelevel, "<mask>", "<pad>")
    tok.padding_side = "left"
    t = PromptTemplate("[text] It was [mask|great,terrible].", tok)
    rows = [{"text": "A film", "mask": 0}, {"text": "A moving film, and a plot", "mask": 1}]
    plain = t.encode_batch(rows, targets="mask")
    got = t.encode_batch(rows, targets="mask", padding="longest", padding_side=side)
    width, pad = len(plain["input_ids"][1]), tok.pad_token_id
    for i, ids in enumerate(plain["input_ids"]):
        fill = width - len(ids)
        before = fill if side in ("left", None) else 0  # None: the tokenizer's own side, here left
        assert got["input_ids"][i] == [pad] * before + ids + [pad] * (fill - before)
        assert got["attention_mask"][i] == [0] * before + [1] * len(ids) + [0] * (fill - before)
        assert got["labels"][i] == [IGNORED] * before + plain["labels"][i] + [IGNORED] * (fill - before)
        assert got["mask_positions"][i] == [p + before for p in plain["mask_positions"][i]]
        assert got["input_ids"][i][got["mask_positions"][i][0]] == tok.mask_token_id


def test_torch_tensors():
    torch = pytest.importorskip("torch")
    t = PromptTemplate("[text] It was [mask|great,terrible].", trained.bytelevel())
    got = t.encode_batch([{"text": "A film", "mask": 1}], mask_token="<mask>", targets="mask", return_tensors="pt",
                         overflow="drop")
    assert {key: value.dtype for key, value in got.items()} == dict.fromkeys(got, torch.int64)
    assert got["row_index"].tolist() == [0] and got["labels"].shape == got["input_ids"].shape


def test_rows_longer_than_the_model_give_one_warning():
    pytest.importorskip("transformers")
    tok = trained.wrapped(trained.wordpiece, "[MASK]", "[PAD]")
    tok.model_max_length = 12
    t = PromptTemplate("Review: [text]", tok)
    rows = [{"text": "a film"}, {"text": "film " * 20}, {"text": "plot " * 30}]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = t.encode_batch(rows)
        t.encode_batch(rows, max_length=40)
    assert [str(w.message) for w in caught] == [
        "row 1 is 24 tokens long, more than the tokenizer's model_max_length=12 (2 rows of this call are); pass "
        "max_length= to cut them"]
    assert len(got["input_ids"][2]) == 34


def test_answers_that_are_not_answers():
    tok = trained.wordpiece()
    t = PromptTemplate("[text] It was [mask|great,terrible].", tok)
    for answer, message in [(2, "row 0: the answer to slot 'mask' must be one of ['great', 'terrible'] or an index "
                                "into them, not 2"),
                            ("good", "row 0: the answer to slot 'mask' must be one of ['great', 'terrible'] or an "
                                     "index into them, not 'good'")]:
        raises(ValueError, message, t.encode_batch, [{"text": "a", "mask": answer}], mask_token="[MASK]",
               targets="mask")
    raises(KeyError, "\"'mask' (row 0): the row has no field 'mask' (its keys: 'text')\"", t.encode,
           {"text": "a"}, mask_token=None, targets="mask")
    rare = PromptTemplate("It was [mask|supercalifragilistic,great].", tok)
    pieces = tok.encode(" supercalifragilistic", add_special_tokens=False).tokens
    raises(ValueError, f"label word 'supercalifragilistic' of slot 'mask' is {len(pieces)} tokens, not one: "
           f"{pieces!r}", rare.encode, {"mask": 0}, mask_token="[MASK]", targets="mask")


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_a_causal_input_leaves_the_closing_tokens_out_unless_it_is_trained_whole(family):
    tok = FAMILIES[family][0]()
    t = PromptTemplate("Review: [text]", tok)
    rows = [{"text": sentence(random.Random(seed), 1, 12)} for seed in range(5)]
    for row in rows:
        whole = backend(tok).encode("Review: " + row["text"])
        closing = len(whole.ids) - 1 - max(k for k, special in enumerate(whole.special_tokens_mask) if not special)
        assert t.encode(row, mask_token=None)["input_ids"] == whole.ids[:len(whole.ids) - closing]
        trained_whole = t.encode(row, mask_token=None, targets="text")
        assert trained_whole["input_ids"] == whole.ids
        assert trained_whole["labels"][len(whole.ids) - closing:] == whole.ids[len(whole.ids) - closing:]


def test_answers_and_columns_from_numpy_and_pandas():
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    tok = trained.wordpiece()
    t = PromptTemplate("[text] It was [mask|great,terrible].", tok)
    rows = [{"text": "a film", "mask": 0}, {"text": "the plot", "mask": 1}]
    want = t.encode_batch(rows, mask_token="[MASK]", targets="mask")
    frame = pd.DataFrame(rows)
    assert t.encode_batch(frame, mask_token="[MASK]", targets="mask") == want
    arrays = {"text": np.array(["a film", "the plot"]), "mask": np.array([0, 1])}
    assert t.encode_batch(arrays, mask_token="[MASK]", targets="mask") == want
    assert [t.encode(row, mask_token="[MASK]", targets="mask") for row in frame.to_dict("records")] == [
        t.encode(row, mask_token="[MASK]", targets="mask") for row in rows]
    raises(TypeError, "column 'text' is a 'ndarray', not a list: pass a list of rows or a mapping of columns of "
           "equal-length lists", t.encode_batch, {"text": np.array([["a"]]), "mask": [0]}, mask_token="[MASK]")


def test_what_the_tokenizer_lacks_or_breaks_is_said(monkeypatch):
    pytest.importorskip("transformers")
    tok = trained.wrapped(trained.bytelevel, "<mask>", "<pad>")
    t = PromptTemplate("[text] It was [mask|great,terrible].", tok)
    row = {"text": "a film"}
    tok.padding_side = "center"  # read only when padding
    assert t.encode(row) == t.encode(row, padding_side="right")
    raises(ValueError, "the tokenizer's padding_side is 'center': pass padding_side='right' or 'left'", t.encode,
           row, padding="longest")
    monkeypatch.setitem(__import__("sys").modules, "numpy", None)
    error = raises(ImportError, "return_tensors='np' needs numpy: pip install numpy", t.encode, row,
                   return_tensors="np")
    assert isinstance(error.__cause__, ImportError)  # why the import failed


def test_a_word_of_several_tokens_is_shown_by_its_ids_when_the_tokenizer_cannot_spell_them():
    class NoSpelling:
        def __init__(self, tok):
            self.tok = tok

        def __getattr__(self, name):
            if name == "id_to_token":
                raise AttributeError(name)
            return getattr(self.tok, name)

    tok = trained.wordpiece()
    ids = tok.encode(" supercalifragilistic", add_special_tokens=False).ids
    raises(ValueError, f"label word 'supercalifragilistic' of slot 'mask' is {len(ids)} tokens, not one: {ids!r}",
           PromptTemplate("It was [mask|supercalifragilistic,great].", NoSpelling(tok)).label_ids,
           single_token=True)
