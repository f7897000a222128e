"""Packing: korvanta.pack against TRL's pack_dataset(strategy="bfd") on the
same examples, and how full the rows are against the lower bound
ceil(total tokens / max_length), packed at once and per Dataset.map batch.

    python bench/packing.py [--examples 1000000] [--max-length 2048]

Lengths follow a long-tailed distribution with median 362 (log-normal, capped
at 4 x max_length, examples over max_length left out on both sides). Token
ids are small ints, so that a million Python lists fit in memory; packing
never reads their values. Both sides get the same Arrow table: TRL as a
datasets.Dataset over it, korvanta the table itself (and, in a second row, the
dict of Python lists Dataset.map hands a batched function). CPU time, collector off, each side measured `--rounds`
times alternately; the median is reported.

For instruction counts, run one side once under callgrind, and the setup alone:

    valgrind --tool=callgrind python bench/packing.py --only korvanta   # or trl, or setup

the work's count is the side's total less the setup's.
"""

import argparse
import gc
import math
import random
import statistics
import time


def lengths_of(count, max_length, seed=0):
    rng = random.Random(seed)
    lengths = [max(1, min(4 * max_length, int(rng.lognormvariate(math.log(362), 0.8)))) for _ in range(count)]
    return [n for n in lengths if n <= max_length]


def timed(work):
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        result = work()
        return time.process_time() - start, result
    finally:
        gc.enable()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--examples", type=int, default=1_000_000)
    parser.add_argument("--max-length", type=int, default=2048)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-lists", action="store_true", help="leave out korvanta on Python lists (the slow side)")
    parser.add_argument("--only", choices=["korvanta", "trl", "setup"], help="run one side once (for callgrind)")
    arguments = parser.parse_args()

    import datasets
    import numpy
    import pyarrow
    from trl import pack_dataset

    import korvanta

    datasets.disable_progress_bars()
    lengths = lengths_of(arguments.examples, arguments.max_length)
    offsets = numpy.zeros(len(lengths) + 1, dtype=numpy.int64)
    offsets[1:] = numpy.cumsum(lengths)
    ids = (numpy.arange(offsets[-1]) - numpy.repeat(offsets[:-1], lengths)) % 200  # 0, 1, 2, ... in each example
    table = pyarrow.table({"input_ids": pyarrow.ListArray.from_arrays(offsets.astype(numpy.int32), ids)})
    dataset = datasets.Dataset(table)
    del ids
    if arguments.only:
        korvanta.pack(table.slice(0, 10), arguments.max_length)  # imports and first calls out of the count
        pack_dataset(datasets.Dataset(table.slice(0, 10)), arguments.max_length, strategy="bfd")
        if arguments.only == "korvanta":
            korvanta.pack(table, arguments.max_length)
        elif arguments.only == "trl":
            pack_dataset(dataset, arguments.max_length, strategy="bfd")
        return
    encoded = None if arguments.no_lists else {"input_ids": table.column("input_ids").to_pylist()}
    bound = -(-sum(lengths) // arguments.max_length)
    print(f"{len(lengths):,} examples, {sum(lengths):,} tokens, median {statistics.median(lengths)}, "
          f"max_length {arguments.max_length}, lower bound {bound:,} rows")

    ours, theirs, lists = [], [], []
    for round_ in range(arguments.rounds):
        sides = [("korvanta", ours), ("trl", theirs)] + ([] if arguments.no_lists else [("korvanta, Python lists", lists)])
        for name, times in sides if round_ % 2 == 0 else sides[::-1]:
            if name == "korvanta":
                seconds, packed = timed(lambda: korvanta.pack(table, arguments.max_length))
                rows = packed.num_rows
            elif name.startswith("korvanta"):
                seconds, packed = timed(lambda: korvanta.pack(encoded, arguments.max_length))
                rows = len(packed["input_ids"])
            else:
                seconds, packed = timed(lambda: pack_dataset(dataset, arguments.max_length, strategy="bfd"))
                rows = len(packed)
            times.append(seconds)
            print(f"  round {round_}: {name} {seconds:.2f} s CPU, {rows:,} rows ({rows / bound - 1:+.2%} over the bound)")
            del packed
    print(f"korvanta.pack (Arrow table): {statistics.median(ours):.2f} s, TRL pack_dataset(bfd): "
          f"{statistics.median(theirs):.2f} s, TRL / korvanta = {statistics.median(theirs) / statistics.median(ours):.1f} x; "
          + (f"korvanta.pack on Python lists: {statistics.median(lists):.2f} s" if lists else ""))

    for batch in (1000, 10_000):
        rows = 0
        for start in range(0, table.num_rows, batch):
            rows += korvanta.pack(table.slice(start, batch), arguments.max_length).num_rows
        print(f"packed per batch of {batch:,}: {rows:,} rows ({rows / bound - 1:+.2%} over the bound)")


if __name__ == "__main__":
    main()
