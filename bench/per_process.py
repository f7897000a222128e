"""What a worker process costs: receiving a template (its tokenizer included),
its first call, its memory, and Dataset.map with one and two processes.

    python bench/per_process.py      (needs transformers and datasets)

The tokenizer is a byte-level BPE of 32,000 tokens trained on the spot, wrapped
as a transformers fast tokenizer; rows are the benchmark's reviews.
"""

import pathlib
import pickle
import subprocess
import sys
import time

import datasets

from korvanta import PromptTemplate

sys.path[:0] = [str(pathlib.Path(__file__).resolve().parent), str(pathlib.Path(__file__).resolve().parent.parent / "tests")]
from run import byte_level_32k, review_rows  # noqa: E402

OPTIONS = {"max_length": 128, "targets": "answer"}

# Runs in a fresh interpreter: the template arrives as pickled bytes on stdin.
WORKER = r"""
import pickle, sys, time
def peak():  # this program's own peak (ru_maxrss would count the parent's image it was forked from)
    status = open("/proc/self/status").read()
    return int(status.split("VmHWM:")[1].split()[0])
started = time.perf_counter()
import korvanta
imported = time.perf_counter()
import transformers  # what unpickling the tokenizer imports
library = time.perf_counter() - imported
imported = time.perf_counter()
template = pickle.loads(sys.stdin.buffer.read())
loaded = time.perf_counter()
held = peak()
template, rows, options = template
first = time.perf_counter(); template.encode_batch(rows, **options); first = time.perf_counter() - first
second = time.perf_counter(); template.encode_batch(rows, **options); second = time.perf_counter() - second
print(imported - started - library, library, loaded - imported, first, second, held, peak())
"""


def main():
    datasets.disable_progress_bars()
    datasets.disable_caching()
    template = PromptTemplate("Question: [question]\nAnswer: [answer]</s>", byte_level_32k())
    data = review_rows(100_000)
    rows = [{"question": row["text"], "answer": other["text"][:80]} for row, other in zip(data, data[1:] + data[:1])]
    payload = pickle.dumps((template, rows[:1000], OPTIONS))  # what a worker receives
    alone = len(pickle.dumps(template))
    runs = [subprocess.run([sys.executable, "-c", WORKER], input=payload, capture_output=True, check=True)
            for _ in range(3)]
    imported, library, loaded, first, second, held, rss = min(tuple(map(float, run.stdout.split())) for run in runs)
    print(f"template pickled: {alone / 2**20:.2f} MiB; in a new process: import {imported * 1e3:.0f} ms, "
          f"import transformers {library * 1e3:.0f} ms, unpickling {loaded * 1e3:.0f} ms, first batch of 1,000 rows {first * 1e3:.0f} ms, "
          f"the next {second * 1e3:.0f} ms, peak memory {held / 1024:.0f} MiB with the template loaded, "
          f"{rss / 1024:.0f} MiB after the batches")

    dataset = datasets.Dataset.from_list(rows)
    for num_proc in (None, 2):
        started = time.perf_counter()
        dataset.map(template.encode_batch, batched=True, fn_kwargs=OPTIONS, num_proc=num_proc)
        elapsed = time.perf_counter() - started
        print(f"Dataset.map num_proc={num_proc}: {len(rows) / elapsed:,.0f} rows/s ({elapsed:.2f} s)")


if __name__ == "__main__":
    main()
