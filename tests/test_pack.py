"""Packing encoded rows, streaming them through a Packer, and collating them
into batches: against plain Python references, transformers' flattening
collator, and the encoders' own rows."""

import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvanta
from korvanta import DataCollator, Packer, PromptTemplate, pack

from conftest import raises

numpy = pytest.importorskip("numpy")


def reference_bfd(lengths, capacity):
    """Best fit decreasing as a textbook writes it: rows of example numbers."""
    rows, room = [], []
    for e in sorted(range(len(lengths)), key=lambda e: -lengths[e]):
        fits = [r for r in range(len(rows)) if room[r] >= lengths[e]]
        if fits:
            best = min(fits, key=lambda r: room[r])
        else:
            rows.append([])
            room.append(capacity)
            best = len(rows) - 1
        rows[best].append(e)
        room[best] -= lengths[e]
    return rows


def reference_sequential(lengths, capacity):
    rows, used = [], capacity + 1
    for e, length in enumerate(lengths):
        if used + length > capacity:
            rows.append([])
            used = 0
        rows[-1].append(e)
        used += length
    return rows


def examples_of(lengths, seed=0):
    rng = random.Random(seed)
    ids = [[rng.randrange(1000) for _ in range(n)] for n in lengths]
    labels = [[rng.choice([-100, i]) for i in row] for row in ids]
    return {"input_ids": ids, "labels": labels}


def check_packed(packed, encoded, capacity, numbers=None):
    """Every example whole, once, in order inside its row; columns consistent."""
    numbers = numbers if numbers is not None else list(range(len(encoded["input_ids"])))
    seen = []
    for r, row_index in enumerate(packed["row_index"]):
        assert row_index == sorted(row_index)
        ids, labels, positions = packed["input_ids"][r], packed["labels"][r], packed["position_ids"][r]
        assert len(ids) <= capacity
        assert packed["seq_lengths"][r] == [len(encoded["input_ids"][numbers.index(e)]) for e in row_index]
        assert packed["attention_mask"][r] == [1] * len(ids)
        at = 0
        for k, e in enumerate(row_index):
            source = numbers.index(e)
            n = len(encoded["input_ids"][source])
            assert ids[at:at + n] == encoded["input_ids"][source]
            assert positions[at:at + n] == list(range(n))
            want = list(encoded["labels"][source])
            if k > 0:
                want[0] = -100
            assert labels[at:at + n] == want
            at += n
        assert at == len(ids)
        seen += row_index
    return seen


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(1, 40), max_size=60), st.integers(40, 100), st.sampled_from(["bfd", "sequential"]))
def test_pack_against_references(lengths, capacity, strategy):
    encoded = examples_of(lengths)
    packed = pack(encoded, capacity, strategy=strategy)
    seen = check_packed(packed, encoded, capacity)
    assert sorted(seen) == list(range(len(lengths)))
    if strategy == "sequential":
        assert packed["row_index"] == reference_sequential(lengths, capacity)
    else:  # the same rows, ordered by their first example
        assert packed["row_index"] == sorted(map(sorted, reference_bfd(lengths, capacity)))


def test_an_arrow_table_packs_as_its_lists_do():
    pyarrow = pytest.importorskip("pyarrow")
    rng = random.Random(4)
    for strategy, overflow in (("bfd", "drop"), ("sequential", "raise")):
        lengths = [rng.randint(0, 60) if overflow == "drop" else rng.randint(1, 50) for _ in range(200)]
        encoded = {**examples_of(lengths, seed=9), "row_index": list(range(3, 203))}
        table = pyarrow.table(encoded).slice(10)  # offsets that do not start at 0
        rest = {key: value[10:] for key, value in encoded.items()}
        packed = pack(table, 50, strategy=strategy, overflow=overflow)
        assert packed.to_pydict() == pack(rest, 50, strategy=strategy, overflow=overflow)
        assert str(packed.schema.field("position_ids").type) == "list<item: int32>"
    narrow = pyarrow.table({"input_ids": pyarrow.array([[1, 2], [3]], pyarrow.list_(pyarrow.int32()))})
    assert pack(narrow, 4).to_pydict()["input_ids"] == [[1, 2, 3]]
    raises(ValueError, "an Arrow table's rows are packed as they are: its attention_mask must hold no padding (0)",
           pack, pyarrow.table({"input_ids": [[1, 2]], "attention_mask": [[1, 0]]}), 4)


def test_pack_reads_arrays_padding_and_row_index():
    encoded = {"input_ids": [[5, 6, 7], [8], [9, 10]], "labels": [[5, 6, 7], [-100], [9, 10]], "row_index": [0, 2, 3]}
    padded = {"input_ids": numpy.array([[0, 5, 6, 7], [0, 0, 0, 8], [0, 0, 9, 10]], dtype=numpy.int32),
              "attention_mask": numpy.array([[0, 1, 1, 1], [0, 0, 0, 1], [0, 0, 1, 1]]),
              "labels": numpy.array([[-100, 5, 6, 7], [-100, -100, -100, -100], [-100, -100, 9, 10]]),
              "row_index": numpy.array([0, 2, 3])}
    as_lists = pack(encoded, 4, strategy="sequential")
    assert pack(padded, 4, strategy="sequential") == as_lists
    assert as_lists["row_index"] == [[0, 2], [3]]
    assert as_lists["labels"] == [[5, 6, 7, -100], [9, 10]]
    tensors = pack(encoded, 4, strategy="sequential", padding=True, pad_token_id=1, padding_side="left",
                   return_tensors="np")
    assert tensors["input_ids"].tolist() == [[5, 6, 7, 8], [1, 1, 9, 10]]
    assert tensors["labels"].tolist() == [[5, 6, 7, -100], [-100, -100, 9, 10]]
    assert tensors["attention_mask"].tolist() == [[1, 1, 1, 1], [0, 0, 1, 1]]
    assert tensors["seq_lengths"] == [[3, 1], [2]]
    pyarrow = pytest.importorskip("pyarrow")
    columns = {key: pyarrow.array(value) for key, value in encoded.items()}  # list arrays in, list arrays out
    arrow = pack(columns, 4, strategy="sequential", return_tensors="arrow")
    assert {key: value.to_pylist() for key, value in arrow.items()} == as_lists
    packer = Packer(4, strategy="sequential", return_tensors="arrow")
    streamed = [packer.add(columns), packer.flush()]
    assert sum((part["input_ids"].to_pylist() for part in streamed), []) == as_lists["input_ids"]
    assert pack({"input_ids": [[1] * 5, [2]]}, 4, overflow="drop")["row_index"] == [[1]]


def test_pack_refusals():
    raises(ValueError, "example 1 is 5 tokens long, more than max_length=4; pass overflow='drop' to leave such "
           "examples out", pack, {"input_ids": [[1], [1] * 5]}, 4)
    raises(TypeError, "pack() needs a mapping with an 'input_ids' column (what encode_batch returns), not list",
           pack, [[1, 2]], 4)
    raises(TypeError, "input_ids must hold rows of token ids (lists of int, or a 2-D integer array), not int",
           pack, {"input_ids": [1, 2]}, 4)
    raises(ValueError, "labels row 0 holds 1 values, but its input_ids row holds 2", pack,
           {"input_ids": [[1, 2]], "labels": [[1]]}, 4)
    raises(ValueError, "strategy must be 'bfd' or 'sequential', not 'ffd'", pack, {"input_ids": [[1]]}, 4,
           strategy="ffd")
    raises(ValueError, "padding needs a pad id: pass pad_token_id=", pack, {"input_ids": [[1]]}, 4, padding=True)
    raises(ValueError, "max_length must be None or a positive number of tokens, not 0", pack, {"input_ids": [[1]]}, 0)


def test_packer_streams_what_pack_makes():
    rng = random.Random(3)
    lengths = [rng.randint(1, 30) for _ in range(300)]
    encoded = examples_of(lengths, seed=1)
    for strategy in ("bfd", "sequential"):
        packer = Packer(64, strategy=strategy, open_rows=4)
        rows = {key: [] for key in ("input_ids", "labels", "position_ids", "seq_lengths", "row_index", "attention_mask")}
        for start in range(0, 300, 37):
            batch = {key: value[start:start + 37] for key, value in encoded.items()}
            for key, value in packer.add(batch).items():
                rows[key] += value
        for key, value in packer.flush().items():
            rows[key] += value
        seen = check_packed(rows, encoded, 64)
        assert sorted(seen) == list(range(300))
        if strategy == "sequential":
            assert rows == pack(encoded, 64, strategy="sequential")
        else:  # fuller rows than a batch packed alone would give
            assert len(rows["row_index"]) <= 1.05 * -(-sum(lengths) // 64) + 1
    packer = Packer(8)
    packer.add({"input_ids": [[1]], "labels": [[1]]})
    raises(ValueError, "a Packer packs batches that all carry labels, or none: this batch differs from the ones "
           "before", packer.add, {"input_ids": [[1]]})


@pytest.fixture(scope="module")
def causal():
    transformers = pytest.importorskip("transformers")
    import trained_tokenizers as trained

    tok = transformers.PreTrainedTokenizerFast(tokenizer_object=trained.bytelevel(), pad_token="<pad>",
                                               eos_token="</s>")
    return tok


def test_pack_true_is_pack_of_encode_batch(causal):
    pytest.importorskip("jinja2")
    rng = random.Random(5)
    import trained_tokenizers as trained

    rows = {"question": [trained.sentence(rng) for _ in range(40)], "answer": [trained.sentence(rng) for _ in range(40)]}
    template = PromptTemplate("Q: [question] A: [answer]", causal)
    options = dict(targets="answer", max_length=48, overflow="drop", shorten=[])
    assert template.encode_batch(rows, pack=True, **options) == pack(template.encode_batch(rows, **options), 48)
    chat = korvanta.ChatTemplate(causal, roles={"user": "U: [content]\n", "assistant": "A: [content]</s>\n"})
    conversations = [[{"role": "user", "content": q}, {"role": "assistant", "content": a}]
                     for q, a in zip(rows["question"], rows["answer"])]
    packed = chat.encode_batch(conversations, max_length=40, overflow="drop", pack=True)
    assert packed == pack(chat.encode_batch(conversations, max_length=40, overflow="drop"), 40)
    assert sum(map(len, packed["row_index"])) < 40  # some were too long and left out; the rest kept their numbers
    raises(ValueError, "pack=True needs max_length=, the length of a packed row", chat.encode_batch, conversations,
           pack=True)
    raises(ValueError, "pack=True packs the rows of encode_batch(); encode() makes one row", chat.encode,
           conversations[0], max_length=40, pack=True)


def test_collator_matches_transformers_flattening():
    transformers = pytest.importorskip("transformers")
    rng = random.Random(7)
    features = [{"input_ids": [rng.randrange(50) for _ in range(rng.randint(1, 9))]} for _ in range(6)]
    for feature in features[::2]:
        feature["labels"] = [rng.choice([-100, i]) for i in feature["input_ids"]]
    for with_labels in (True, False):
        batch = [dict(f, labels=f.get("labels", f["input_ids"])) if with_labels else {"input_ids": f["input_ids"]}
                 for f in features]
        theirs = transformers.DataCollatorWithFlattening(return_flash_attn_kwargs=True, return_tensors="np")(batch)
        ours = DataCollator(0, padding_free=True, return_tensors="np")(batch)
        assert ours.keys() == theirs.keys()
        for key in ours:
            assert numpy.asarray(ours[key]).tolist() == numpy.asarray(theirs[key]).tolist(), key
            assert numpy.asarray(ours[key]).dtype == numpy.asarray(theirs[key]).dtype, key
    # Packed rows flattened: the same as their examples given one by one.
    encoded = examples_of([3, 5, 2, 7, 1], seed=2)
    packed = pack(encoded, 8)
    rows = [dict(zip(packed, values)) for values in zip(*packed.values())]
    examples = [{"input_ids": i, "labels": label} for i, label in zip(encoded["input_ids"], encoded["labels"])]
    order = [e for row in packed["row_index"] for e in row]
    flat = DataCollator(0, padding_free=True, return_tensors=None)
    assert flat(rows) == flat([examples[e] for e in order])


def test_collator_pads():
    packed = pack({"input_ids": [[1, 2], [3], [4, 5, 6]]}, 4, strategy="sequential")
    rows = [dict(zip(packed, values)) for values in zip(*packed.values())]
    collate = DataCollator(9, pad_to_multiple_of=4, return_tensors=None)
    assert collate(rows) == {"input_ids": [[1, 2, 3, 9], [4, 5, 6, 9]], "labels": [[-100, 2, -100, -100],
                             [-100, 5, 6, -100]], "position_ids": [[0, 1, 0, 0], [0, 1, 2, 0]]}
    plain = DataCollator(9, return_tensors="np")([{"input_ids": [1, 2], "labels": [-100, 2]},
                                                  {"input_ids": [3], "labels": [3]}])
    assert plain["input_ids"].tolist() == [[1, 2], [3, 9]]
    assert plain["attention_mask"].tolist() == [[1, 1], [1, 0]]
    assert plain["labels"].tolist() == [[-100, 2], [3, -100]]
    again = pickle.loads(pickle.dumps(collate))
    assert again(rows) == collate(rows)
    raises(ValueError, "a batch's rows must all carry labels, or none", collate,
           [{"input_ids": [1], "labels": [1]}, {"input_ids": [2]}])
    raises(TypeError, "a collator takes a list of rows, each a mapping with an 'input_ids' list, not int", collate, [1])
