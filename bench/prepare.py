"""korvanta prepare against the same job done the ways users do it today:
conversations in JSONL files on disk to Parquet files on disk, with the
assistant's answers as labels.

    python bench/prepare.py [--conversations 100000] [--max-length 512] [--rounds 2]

- `korvanta prepare` (the command), with --workers 1 (the tokenizer's own
  threads) and --workers 2 (processes);
- `datasets`: load_dataset("json") -> Dataset.map(ChatTemplate.encode_batch,
  batched=True, num_proc=2) -> to_parquet;
- TRL: load_dataset("json") -> SFTTrainer's own preparation with
  assistant_only_loss=True (a {% generation %}-tagged ChatML template, so that
  it labels the same tokens) -> to_parquet.

Each side runs as its own process, in turn, alternating the order per round;
wall time (rows/s), the CPU time of the process and its children, the peak
resident memory of its largest process and the peak of all its processes
together (proportional set sizes, sampled four times a second) are reported.
The conversations are the benchmark's own (bench/run.py: 2-8 turns of review
sentences) and the tokenizer its 32k byte-level BPE with a ChatML template,
saved as a transformers folder.
"""

import argparse
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

DATASETS_MAP = """
import sys, datasets, korvanta
from transformers import AutoTokenizer
datasets.disable_caching(); datasets.disable_progress_bars()
source, tokenizer, out, max_length = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
chat = korvanta.ChatTemplate(AutoTokenizer.from_pretrained(tokenizer))
rows = datasets.load_dataset("json", data_files=sorted(__import__("glob").glob(source + "/*.jsonl")), split="train")
encoded = rows.map(chat.encode_batch, batched=True, num_proc=2, remove_columns=rows.column_names,
                   fn_kwargs={"max_length": max_length, "overflow": "drop"})
encoded.to_parquet(out + "/data.parquet")
"""

TRL = """
import sys, tempfile, types, datasets
from transformers import AutoTokenizer
from trl import SFTConfig, SFTTrainer
datasets.disable_caching(); datasets.disable_progress_bars()
source, tokenizer, out, max_length, tagged = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
tokenizer = AutoTokenizer.from_pretrained(tokenizer)
tokenizer.chat_template = tagged
rows = datasets.load_dataset("json", data_files=sorted(__import__("glob").glob(source + "/*.jsonl")), split="train")
config = SFTConfig(output_dir=tempfile.mkdtemp(), max_length=max_length, assistant_only_loss=True, report_to=[],
                   use_cpu=True, bf16=False)
trainer = types.SimpleNamespace(_tokenizer=tokenizer, completion_only_loss=None, chat_template=None)
prepared = SFTTrainer._prepare_dataset(trainer, rows, tokenizer, config, packing=False, formatting_func=None,
                                       dataset_name="train")
prepared.to_parquet(out + "/data.parquet")
"""


def tree_memory(pid):
    """The memory of a process and its descendants now (MB): the sum of their
    proportional set sizes, so that pages they share are counted once."""
    children = {}
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(stat.parent.name))
    total, todo = 0, [pid]
    while todo:
        process = todo.pop()
        todo += children.get(process, [])
        try:
            rollup = pathlib.Path(f"/proc/{process}/smaps_rollup").read_text()
        except OSError:
            continue
        total += next(int(line.split()[1]) for line in rollup.splitlines() if line.startswith("Pss:"))
    return total / 1024


def run(command):
    """Wall seconds, CPU seconds (with its children), the peak memory (MB) of its
    largest process and the peak of all its processes together (sampled), for
    a command."""
    import os
    import threading

    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    peak_tree, done = 0.0, threading.Event()

    def sample():
        nonlocal peak_tree
        while not done.wait(0.25):
            peak_tree = max(peak_tree, tree_memory(process.pid))

    sampler = threading.Thread(target=sample)
    sampler.start()
    _, status, usage = os.wait4(process.pid, 0)
    done.set()
    sampler.join()
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise SystemExit(f"{command[:4]} failed ({process.returncode})")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, peak_tree


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--conversations", type=int, default=100_000)
    parser.add_argument("--max-length", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--no-trl", action="store_true")
    parser.add_argument("--sides", help="run only the sides whose names contain one of these words (comma-separated)")
    arguments = parser.parse_args()

    from run import CHATML, CHATML_TAGGED, byte_level_32k, chat_conversations

    work = pathlib.Path(tempfile.mkdtemp(prefix="korvanta-bench-prepare-"))
    source, tokenizer_folder = work / "in", work / "tokenizer"
    source.mkdir()
    tokenizer = byte_level_32k()
    tokenizer.chat_template = CHATML
    tokenizer.save_pretrained(tokenizer_folder)
    n = arguments.conversations
    distinct = chat_conversations(min(n, 20_000))
    for part in range(3):
        with open(source / f"part-{part}.jsonl", "w") as out:
            for k in range(part * n // 3, (part + 1) * n // 3):
                out.write(json.dumps({"messages": distinct[k % len(distinct)]}) + "\n")
    size = sum(f.stat().st_size for f in source.iterdir())
    print(f"{n:,} conversations, {size / 1e6:,.0f} MB of JSONL, max_length {arguments.max_length}")

    prepare = [sys.executable, "-m", "korvanta", "prepare", str(source), "--tokenizer", str(tokenizer_folder),
               "--chat", "--max-length", str(arguments.max_length), "--overflow", "drop", "--no-progress"]
    sides = {
        "korvanta prepare --workers 1": lambda out: prepare + ["--out", out, "--workers", "1"],
        "korvanta prepare --workers 2": lambda out: prepare + ["--out", out, "--workers", "2"],
        "datasets map(num_proc=2)": lambda out: [sys.executable, "-c", DATASETS_MAP, str(source), str(tokenizer_folder),
                                                 out, str(arguments.max_length)],
    }
    if not arguments.no_trl:
        sides["TRL SFTTrainer preparation"] = lambda out: [sys.executable, "-c", TRL, str(source), str(tokenizer_folder),
                                                           out, str(arguments.max_length), CHATML_TAGGED]
    if arguments.sides:
        words = arguments.sides.split(",")
        sides = {name: side for name, side in sides.items() if any(word in name for word in words)}
    results = {name: [] for name in sides}
    for round_ in range(arguments.rounds):
        for name in (list(sides) if round_ % 2 == 0 else list(sides)[::-1]):
            out = work / "out"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            wall, cpu, peak, peak_tree = run(sides[name](str(out)))
            results[name].append((wall, cpu, peak))
            print(f"  round {round_}: {name}: {wall:.1f} s ({n / wall:,.0f} rows/s), CPU {cpu:.1f} s, "
                  f"peak {peak:,.0f} MB (its processes together {peak_tree:,.0f} MB)")
    if not any(name.startswith("korvanta") for name in results):
        shutil.rmtree(work)
        return
    best = min((name for name in results if name.startswith("korvanta")),
               key=lambda name: statistics.median(w for w, _, _ in results[name]))
    ours = statistics.median(w for w, _, _ in results[best])
    print(f"korvanta prepare at its best ({best}): {n / ours:,.0f} rows/s")
    for name in results:
        if not name.startswith("korvanta"):
            theirs = statistics.median(w for w, _, _ in results[name])
            print(f"  {name}: {n / theirs:,.0f} rows/s; korvanta prepare is {theirs / ours:.2f} x as fast")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
