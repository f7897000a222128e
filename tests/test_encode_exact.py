"""encode on every tokenizer family, judged against the tokenizer itself: each
row's input_ids are what the tokenizer gives for the whole prompt; row text
never makes a special token; the caller's settings never leak in; label
words are the words as they read at their slot."""

import random

import pytest

import korvanta
from korvanta import PromptTemplate

from conftest import raises

pytest.importorskip("tokenizers")

import trained_tokenizers as trained  # noqa: E402
import whole_prompt  # noqa: E402
from trained_tokenizers import FAMILIES, sentence  # noqa: E402

WITH_TRANSFORMERS = {
    "sentencepiece": lambda: (trained.sentencepiece_converted(), "<mask>"),
    "wordpiece+transformers": lambda: (trained.wrapped(trained.wordpiece, "[MASK]", "[PAD]"), "[MASK]"),
    "unigram+transformers": lambda: (trained.wrapped(trained.unigram, "<mask>", "<pad>"), "<mask>"),
}


def build_family(name):
    if name in FAMILIES:
        build, mask = FAMILIES[name]
        return build(), mask
    tok, mask = WITH_TRANSFORMERS[name]()
    if tok is None:
        pytest.skip("needs transformers (and sentencepiece, protobuf)")
    return tok, mask


@pytest.fixture(params=[*FAMILIES, *WITH_TRANSFORMERS])
def family(request):
    return build_family(request.param)


def backend(tok):
    return getattr(tok, "backend_tokenizer", tok)


# Every kind of seam: at a space, at punctuation, letters touching, newlines,
# a field twice, fields side by side, scripts beyond Latin.
TEMPLATES = [
    "Review: [text] It was [mask|great,terrible].",
    "Review:[text]It was[mask|great,terrible]!",
    "[text]\nSentiment: [mask|good,bad]",
    "[text]. x [mask|a,b]",
    "«[title]» [text]\n\n[mask|oui,non] 🙂 ([title])",
    "[title][text] [mask|x] [title]",
]
EDGES = ["", " ", "  ", "\n", " \t ", "x", "don't", "a  b ", " lead", "trail ", "中文字符", "café naïve", "🙂👍",
         "ALL CAPS!", "Ωmega straße", "ﬁne", "Review", "film noir", "<s", "mask>", "這部電影很好看，我非常喜歡。",
         "مرحبا بالعالم", "ᚠᚢᚦ 𝔘𝔫𝔦", "x\u200by", "QUIZ [SEP E]"]


def sample_rows(n, seed):
    rng = random.Random(seed)
    def value():
        return rng.choice(EDGES) if rng.random() < 0.4 else sentence(rng, 1, 12)
    return [{"text": value(), "title": value()} for _ in range(n)]


def reference(tok, markup, row, mask):
    ids, positions = whole_prompt.reference(markup, tok, mask, row)
    return {"input_ids": ids, "mask_positions": positions}


@pytest.mark.parametrize("markup", TEMPLATES)
def test_every_row_is_the_whole_prompt_tokenized(family, markup):
    tok, mask = family
    t = PromptTemplate(markup, tok)
    batch = sample_rows(40, seed=len(markup))
    got = t.encode_batch(batch, mask_token=mask)
    for i, row in enumerate(batch):
        want = reference(tok, markup, row, mask)
        assert (got["input_ids"][i], got["mask_positions"][i]) == (want["input_ids"], want["mask_positions"]), row
    assert t.encode(batch[3], mask_token=mask)["input_ids"] == got["input_ids"][3]


@pytest.mark.parametrize("family", ["wordpiece", "folding", "sentencepiece"])
def test_a_mask_token_that_is_the_unknown_token(family):
    if family == "sentencepiece":
        tok = trained.sentencepiece_converted()
        if tok is None:
            pytest.skip("needs transformers (and sentencepiece, protobuf)")
    else:
        tok = FAMILIES[family][0]()
    unk = "<unk>" if family == "sentencepiece" else "[UNK]"
    markup = "Review: [text] It was [mask|great,terrible]."
    t = PromptTemplate(markup, tok)
    batch = sample_rows(40, seed=7) + [{"text": "ᚠᚢᚦ and ᚠ"}]
    got = t.encode_batch(batch, mask_token=unk)
    for i, row in enumerate(batch):
        want = reference(tok, markup, row, unk)
        assert (got["input_ids"][i], got["mask_positions"][i]) == (want["input_ids"], want["mask_positions"]), row
    # A spelling of the unknown token is read as text: only characters the vocabulary lacks give it.
    spelled = t.encode({"text": f"a {unk} b"}, mask_token=unk)
    unk_id = backend(tok).token_to_id(unk)
    lacking = sum(backend(tok).encode(c, add_special_tokens=False).ids.count(unk_id) for c in unk)
    assert spelled["input_ids"].count(unk_id) == 1 + lacking < 1 + len(unk)
    assert spelled["input_ids"][spelled["mask_positions"][0]] == unk_id


def protected(tok, mask):
    """Every special token but the unknown one and byte pieces, which text the vocabulary lacks rightly gives."""
    ids = {i for i, added in backend(tok).get_added_tokens_decoder().items()
           if added.special and "unk" not in added.content.lower() and not added.content.startswith("<0x")}
    return ids | {backend(tok).token_to_id(mask)}


def test_row_text_never_makes_a_special_token(family):
    tok, mask = family
    t = PromptTemplate("Review: [text] It was [mask|great,terrible].", tok)
    spellings = [added.content for added in backend(tok).get_added_tokens_decoder().values()]
    texts = [f"a {s} b" for s in spellings] + ["".join(spellings), "</s><s>", "<pad><unk>", f"{mask}{mask}x",
                                               "[MASK]<mask>", "plain words"]
    got = t.encode_batch({"text": texts}, mask_token=mask)
    own = t.encode({"text": ""}, mask_token=mask)["input_ids"]
    guarded = protected(tok, mask)
    for text, ids, positions in zip(texts, got["input_ids"], got["mask_positions"]):
        assert [ids[p] for p in positions] == [backend(tok).token_to_id(mask)]
        assert sorted(i for i in ids if i in guarded) == sorted(i for i in own if i in guarded), text
    assert got["input_ids"][-1] == reference(tok, t.__str__(), {"text": "plain words"}, mask)["input_ids"]


def as_text(tok, prompt, field):
    """The whole prompt's ids, each special token spelled in the `field` span
    replaced by what its spelling reads as text."""
    special = {i: a.content for i, a in backend(tok).get_added_tokens_decoder().items() if a.special}
    whole = backend(tok).encode(prompt)
    ids = []
    for i, (a, b) in zip(whole.ids, whole.offsets):
        if not (a < field[1] and b > field[0] and special.get(i) == prompt[a:b].strip()):
            ids.append(i)
            continue
        ids += whole_prompt.read_as_text(tok, prompt[a:b])
    return ids


def special_review():
    """A tokenizer whose special token spells one of its ordinary added tokens ("Review")."""
    tok = trained.bytelevel_added()
    tok.add_special_tokens(["<Review>"])
    return tok


@pytest.mark.parametrize("name", [*FAMILIES, *WITH_TRANSFORMERS, "special_review"])
def test_special_spellings_read_as_text(name):
    tok = special_review() if name == "special_review" else build_family(name)[0]
    t = PromptTemplate("Say: [text]!", tok)
    spellings = [a.content for a in backend(tok).get_added_tokens_decoder().values() if a.special]
    texts = [form.format(s) for s in spellings for form in ("a {} b", "{}", "{0}{0} x{0}")]
    got = t.encode_batch({"text": texts})["input_ids"]
    assert got == [as_text(tok, f"Say: {text}!", (5, 5 + len(text))) for text in texts]


def test_a_mask_added_as_an_ordinary_token_comes_only_from_slots():
    tok = trained.llama().from_str(trained.llama().to_str())
    tok.add_tokens(["<mask>"])
    t = PromptTemplate("Say [text] then [mask|yes,no]", tok)
    got = t.encode_batch([{"text": "<mask> and <mask>"}, {"text": "nothing"}], mask_token="<mask>")
    mask_id = tok.token_to_id("<mask>")
    assert [row.count(mask_id) for row in got["input_ids"]] == [1, 1]
    assert [row[p] for row, p in zip(got["input_ids"], got["mask_positions"]) for p in [p[0]]] == [mask_id] * 2


def test_the_callers_settings_never_leak_in():
    transformers = pytest.importorskip("transformers")  # noqa: F841
    tok = trained.wrapped(trained.wordpiece, "[MASK]", "[PAD]")
    t = PromptTemplate("Review: [text] It was [mask|great,terrible].", tok)
    texts = [sentence(random.Random(i), 1, 30) for i in range(30)]
    fresh = t.encode_batch({"text": texts}), t.label_ids()
    tok(texts, padding=True)
    assert (t.encode_batch({"text": texts}), t.label_ids()) == fresh
    tok(texts, truncation=True, max_length=16)
    assert (t.encode_batch({"text": texts}), t.label_ids()) == fresh
    backend(tok).enable_padding(length=40)
    backend(tok).enable_truncation(8)
    backend(tok).encode_special_tokens = True
    assert (t.encode_batch({"text": texts}), t.label_ids()) == fresh
    assert backend(tok).truncation["max_length"] == 8 and backend(tok).encode_special_tokens  # only read


@pytest.mark.parametrize("add", [
    lambda tok: tok.add_tokens(["brilliant film"]),
    lambda tok: backend(tok).add_special_tokens(["<new>"]),
    lambda tok: tok.add_special_tokens({"additional_special_tokens": ["<new>"]}),
])
def test_tokens_added_in_place_count_from_the_next_call(add):
    pytest.importorskip("transformers")
    tok = trained.wrapped(trained.bytelevel, "<mask>", "<pad>")
    t = PromptTemplate("Review: [text] <new> [mask|a,b]", tok)
    row = {"text": "A brilliant film"}
    before = t.encode(row)["input_ids"]
    add(tok)
    after = t.encode(row)["input_ids"]
    assert after == reference(tok, str(t), row, "<mask>")["input_ids"] != before


def test_a_word_made_special_in_place_is_read_as_text_once_the_tokenizer_is_assigned_again():
    tok = trained.wordpiece().from_str(trained.wordpiece().to_str())
    t = PromptTemplate("Review: [text] [mask|a,b]", tok)
    great = tok.token_to_id("great")
    assert great in t.encode({"text": "great"}, mask_token="[MASK]")["input_ids"]
    tok.add_special_tokens(["great"])  # a word the vocabulary holds: no id changes, so no call can see it
    t.tokenizer = tok
    assert great not in t.encode({"text": "great"}, mask_token="[MASK]")["input_ids"]


LABEL_TEMPLATES = ["It was [mask|great, terrible].", "Sentiment:\n[mask|good,bad]", "[mask|yes,no] it is",
                   "Was it[mask|great,awful]?"]


@pytest.mark.parametrize("markup", LABEL_TEMPLATES)
def test_label_words_read_as_at_their_slot(family, markup):
    tok, _ = family
    t = PromptTemplate(markup, tok)
    [[first, second]] = t.label_ids()
    slot = korvanta.parse(markup)
    before = "".join(f.string for f in slot[:1] if f.options is None)
    for word, got in zip([o.strip() for o in next(f for f in slot if f.options).options], (first, second)):
        encoding = backend(tok).encode(before + word, add_special_tokens=False)
        span = (len(before), len(before) + len(word))
        want = [i for i, (b, e) in zip(encoding.ids, encoding.offsets) if b < span[1] and e > span[0]]
        if len(want) > 1 and backend(tok).id_to_token(want[0]) == "▁":  # put before the word, not of it
            want = want[1:]
        assert got == want
        assert all(backend(tok).id_to_token(i).strip("▁Ġ Ċ\n") for i in got), got
    spaced = PromptTemplate(markup.replace(", ", ","), tok)
    assert spaced.label_ids() == t.label_ids()


def test_a_tokenizer_with_a_component_written_in_python():
    from tokenizers import pre_tokenizers

    class Spaces:
        def pre_tokenize(self, pretok):
            pretok.split(lambda i, text: text.split(" ", "removed"))

    tok = trained.wordpiece().from_str(trained.wordpiece().to_str())
    tok.pre_tokenizer = pre_tokenizers.PreTokenizer.custom(Spaces())
    t = PromptTemplate("Review: [text] [mask|a,b]", tok)
    rows = [{"text": "a great film"}, {"text": "says [SEP] and [MASK] loudly"}]
    got = t.encode_batch(rows, mask_token="[MASK]")
    assert got["input_ids"][0] == reference(tok, str(t), rows[0], "[MASK]")["input_ids"]
    assert [ids.count(tok.token_to_id("[SEP]")) for ids in got["input_ids"]] == [1, 1]  # spellings read as text
    tok.enable_truncation(8)
    error = raises(ValueError, "the tokenizer cannot be copied (Custom PreTokenizer cannot be serialized): encode() "
                   "works on a copy when the tokenizer truncates or pads or reads special tokens as text; turn that "
                   "off (no_truncation(), no_padding(), encode_special_tokens = False)", t.encode, rows[0],
                   mask_token="[MASK]")
    assert error.__cause__ is not None
