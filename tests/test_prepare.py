"""korvanta prepare end to end on generated files: what it writes against
encode_batch on the same rows, its report against a count made here, bad rows,
and an interrupted run."""

import json
import random
import subprocess
import sys

import pytest

import korvanta

pytest.importorskip("jinja2")
pyarrow = pytest.importorskip("pyarrow")
pytest.importorskip("tokenizers")
import pyarrow.parquet  # noqa: E402

import trained_tokenizers as trained  # noqa: E402
from trained_tokenizers import WORDS  # noqa: E402

CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>\\n' }}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")


def conversation(rng):
    messages = [{"role": "system", "content": "Be brief."}] if rng.random() < 0.4 else []
    for _ in range(rng.randint(1, 4)):
        for role in ("user", "assistant"):
            messages.append({"role": role, "content": " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 30)))})
    return {"messages": messages}


@pytest.fixture(scope="module")
def tokenizer_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("tokenizer") / "tokenizer.json"
    trained.bytelevel().save(str(path))
    return path


@pytest.fixture(scope="module")
def rows():
    rng = random.Random(5)
    return [conversation(rng) for _ in range(180)]


def write_inputs(folder, rows, kind):
    """Three shards of input, JSONL or Parquet."""
    folder.mkdir()
    for k in range(3):
        part = rows[k * len(rows) // 3:(k + 1) * len(rows) // 3]
        if kind == "jsonl":
            (folder / f"{k}.jsonl").write_text("".join(json.dumps(row) + "\n" for row in part))
        else:
            pyarrow.parquet.write_table(pyarrow.Table.from_pylist(part), folder / f"{k}.parquet")
    return folder


def read_shards(folder):
    shards = sorted(folder.glob("part-*.parquet"))
    assert not list(folder.glob("*.partial"))
    return pyarrow.concat_tables([pyarrow.parquet.read_table(shard) for shard in shards]).to_pydict(), shards


def learnt_runs(labels):
    return sum(1 for k, label in enumerate(labels) if label != -100 and (k == 0 or labels[k - 1] == -100))


@pytest.mark.parametrize("kind, workers", [("jsonl", 1), ("parquet", 2)])
def test_prepare_writes_what_encode_batch_gives(tmp_path, tokenizer_file, rows, kind, workers):
    source = write_inputs(tmp_path / "in", rows, kind)
    report = korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, chat=CHATML, max_length=64,
                              overflow="drop", shard_rows=50, batch_size=32, workers=workers)
    chat = korvanta.ChatTemplate(trained.bytelevel(), template=CHATML)
    want = chat.encode_batch([row["messages"] for row in rows], max_length=64, overflow="drop")
    got, shards = read_shards(tmp_path / "out")
    assert {name: got[name] for name in want} == want  # row_index: the whole input's, not a batch's
    assert len(shards) == -(-len(want["row_index"]) // 50) and report["output"]["shards"] == [s.name for s in shards]
    answers = sum(1 for row in rows for message in row["messages"] if message["role"] == "assistant")
    kept = sum(learnt_runs(labels) for labels in want["labels"])
    assert report["rows"] == {"read": 180, "encoded": 180, "rejected": 0, "dropped": 180 - len(want["row_index"]),
                              "split": 0, "written": len(want["row_index"])}
    assert report["answers"] == {"total": answers, "kept": kept, "lost": answers - kept}
    assert report["tokens"]["kept"] == sum(map(len, want["input_ids"]))
    assert sum(report["lengths"]["examples"]["counts"]) == len(want["input_ids"])
    assert json.loads((tmp_path / "out" / "report.json").read_text()) == report


def test_packed_and_split_rows_hold_every_example_once(tmp_path, tokenizer_file, rows):
    source = write_inputs(tmp_path / "in", rows, "jsonl")
    report = korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, chat=CHATML, max_length=192,
                              overflow="split", pack=True, batch_size=40)
    chat = korvanta.ChatTemplate(trained.bytelevel(), template=CHATML)
    want = chat.encode_batch([row["messages"] for row in rows], max_length=192, overflow="split")
    expected = sorted(zip(want["row_index"], want["input_ids"]))
    got, _ = read_shards(tmp_path / "out")
    examples = []
    for ids, lengths, numbers in zip(got["input_ids"], got["seq_lengths"], got["row_index"]):
        assert len(ids) <= 192 and sum(lengths) == len(ids)
        at = 0
        for length, number in zip(lengths, numbers):
            examples.append((number, ids[at:at + length]))
            at += length
    assert sorted(examples) == expected
    conversations = set(want["row_index"])
    assert (report["rows"]["split"], report["rows"]["dropped"]) == (len(want["row_index"]) - len(conversations),
                                                                    len(rows) - len(conversations))
    assert report["rows"]["split"] > 0
    assert report["output_rows"] == len(got["input_ids"])
    assert report["padding"]["output"] < report["padding"]["unpacked"]


def test_bad_rows_are_named_or_set_aside(tmp_path, tokenizer_file, rows):
    source = tmp_path / "in.jsonl"
    lines = [json.dumps(row) for row in rows[:10]]
    lines[2] = "{not json"
    lines[5] = json.dumps({"text": "no messages"})
    lines[7] = json.dumps({"messages": None})
    source.write_text("\n".join(lines) + "\n")
    with pytest.raises(ValueError) as caught:
        korvanta.prepare(source, tmp_path / "stop", tokenizer=tokenizer_file, chat=CHATML)
    assert str(caught.value).startswith(f"{source}: line 3: not JSON: ")
    assert not list((tmp_path / "stop").glob("part-*"))
    report = korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, chat=CHATML, skip_bad=True)
    rejects = [json.loads(line) for line in (tmp_path / "out" / "rejects.jsonl").read_text().splitlines()]
    assert [(r["place"], r["reason"][:12]) for r in rejects] == [
        (f"{source}: line 3", "not JSON: Ex"), (f"{source}: line 6", "no column 'm"), (f"{source}: line 8", "column 'mess")]
    assert report["rows"]["rejected"] == 3 and report["rows"]["written"] == 7
    assert read_shards(tmp_path / "out")[0]["row_index"] == [0, 1, 3, 4, 6, 8, 9]


@pytest.mark.parametrize("workers", [1, 2])
def test_rows_the_template_refuses_are_set_aside_and_its_failure_stops_the_run(tmp_path, tokenizer_file, rows,
                                                                                  workers):
    source = tmp_path / "in.jsonl"
    lines = [json.dumps(row) for row in rows[:9]]
    lines[4] = lines[5] = json.dumps({"messages": [{"role": "user"}]})  # a batch of two, neither has a content
    lines[7] = json.dumps({"messages": [{"role": "user", "content": 5}]})
    source.write_text("\n".join(lines) + "\n")
    report = korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, chat=CHATML, skip_bad=True,
                              batch_size=2, workers=workers)
    rejects = [json.loads(line) for line in (tmp_path / "out" / "rejects.jsonl").read_text().splitlines()]
    assert [(r["place"], r["reason"]) for r in rejects] == [
        (f"{source}: line 5", "'dict object' has no attribute 'content'"),
        (f"{source}: line 6", "'dict object' has no attribute 'content'"),
        (f"{source}: line 8", 'can only concatenate str (not "int") to str')]
    assert (report["rows"]["rejected"], report["rows"]["encoded"]) == (3, 6)
    assert read_shards(tmp_path / "out")[0]["row_index"] == [0, 1, 2, 3, 6, 8]
    with pytest.raises(ValueError, match="^the chat template cannot be used: "):
        korvanta.prepare(source, tmp_path / "stop", tokenizer=tokenizer_file, chat="{% for %}", workers=workers)


def test_an_interrupted_run_leaves_only_complete_shards(tmp_path, tokenizer_file, rows, monkeypatch):
    write_table, calls = pyarrow.parquet.ParquetWriter.write_table, []

    def interrupted_in_the_third_shard(writer, table, *args, **options):
        calls.append(table.num_rows)
        write_table(writer, table, *args, **options)
        if len(calls) == 5:  # 20 + 10 rows, 10 + 20 rows, then 20 rows of the third shard
            raise KeyboardInterrupt  # Ctrl-C, with some of the shard's bytes on disk

    source = write_inputs(tmp_path / "in", rows, "parquet")
    monkeypatch.setattr(pyarrow.parquet.ParquetWriter, "write_table", interrupted_in_the_third_shard)
    with pytest.raises(KeyboardInterrupt):
        korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, chat=CHATML, shard_rows=30, batch_size=20)
    got, shards = read_shards(tmp_path / "out")
    assert calls == [20, 10, 10, 20, 20]
    assert [shard.name for shard in shards] == ["part-00000.parquet", "part-00001.parquet"]
    assert got["row_index"] == list(range(60))
    assert not (tmp_path / "out" / "report.json").exists()


def test_the_command(tmp_path, tokenizer_file, rows):
    source = write_inputs(tmp_path / "in", rows[:30], "jsonl")
    template = tmp_path / "chatml.jinja"
    template.write_text(CHATML)
    command = [sys.executable, "-m", "korvanta", "prepare", str(source), "--tokenizer", str(tokenizer_file),
               "--chat", str(template), "--out", str(tmp_path / "out"), "--no-progress"]
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("rows: 30 read, 30 written, 0 dropped (too long), 0 rejected")
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert report["command"][:2] == ["korvanta", "prepare"]
    done = subprocess.run(command, capture_output=True, text=True)  # the folder is not empty now
    assert (done.returncode, done.stderr) == (1, f"korvanta prepare: error: {tmp_path / 'out'} is not empty: "
                                                 "give a new or empty folder\n")


def test_prepare_fills_a_prompt_template(tmp_path, tokenizer_file):
    rng = random.Random(9)
    rows = [{"question": " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 40))),
             "answer": rng.choice(["yes", "no"]), "other": k} for k in range(150)]
    source = write_inputs(tmp_path / "in", rows, "parquet")
    markup = "Question: [question] Answer: [answer]"
    report = korvanta.prepare(source, tmp_path / "out", tokenizer=tokenizer_file, template=markup, targets=["answer"],
                              max_length=24, overflow="drop", batch_size=16)
    want = korvanta.PromptTemplate(markup, trained.bytelevel()).encode_batch(
        rows, max_length=24, overflow="drop", targets="answer")
    got, _ = read_shards(tmp_path / "out")
    assert {name: got[name] for name in ("input_ids", "attention_mask", "labels", "row_index")} == {
        name: want[name] for name in ("input_ids", "attention_mask", "labels", "row_index")}
    assert report["rows"]["dropped"] == 150 - len(want["row_index"]) and "answers" not in report


def test_every_kind_of_input_and_a_transformers_tokenizer_folder(tmp_path, rows):
    datasets = pytest.importorskip("datasets")
    transformers = pytest.importorskip("transformers")
    folder = tmp_path / "tokenizer"
    tokenizer = transformers.PreTrainedTokenizerFast(tokenizer_object=trained.bytelevel(), eos_token="</s>")
    tokenizer.chat_template = CHATML
    tokenizer.save_pretrained(folder)
    some = rows[:40]
    (tmp_path / "array.json").write_text(json.dumps(some, indent=1))
    datasets.Dataset.from_list(some).save_to_disk(tmp_path / "saved")
    want = korvanta.ChatTemplate(tokenizer).encode_batch([row["messages"] for row in some])
    for name in ("array.json", "saved"):
        korvanta.prepare(tmp_path / name, tmp_path / f"out-{name}", tokenizer=folder, chat=True)
        got, _ = read_shards(tmp_path / f"out-{name}")
        assert {key: got[key] for key in want} == want, name
