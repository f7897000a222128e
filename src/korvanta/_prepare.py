"""A dataset on disk to training-ready Parquet shards: rows through a prompt
template, or conversations through a chat template, with the template's
tokenizer; packed or not; with a report of what was kept and what was lost.

Streams: a batch of rows is read, encoded and written before the next one is
read. A shard is written under a temporary name and renamed when complete, so
that an interrupted run leaves only complete shards. A row that cannot be
read or encoded is named by its file and line (or row), and either stops the
run or, with skip_bad, is counted and written to rejects.jsonl.
"""

from __future__ import annotations

import json
import os
import platform
import sys
import time
from array import array
from collections import deque
from pathlib import Path
from typing import Any

import korvanta

SHARD = "part-{:05d}.parquet"
PARTIAL = ".partial"


# ------------------------------------------------------------------ input


def _input_files(path: Path) -> list[Path]:
    """The files a path names: itself, a datasets folder's Arrow files, or every
    JSONL/JSON/Parquet file under a folder, in name order."""
    if path.is_file():
        return [path]
    if not path.is_dir():
        raise FileNotFoundError(f"no such file or folder: {path}")
    state = path / "state.json"
    if state.is_file():  # saved by datasets' save_to_disk
        return [path / entry["filename"] for entry in json.loads(state.read_text())["_data_files"]]
    files = sorted(p for p in path.rglob("*") if p.suffix in (".jsonl", ".json", ".parquet", ".arrow") and p.is_file())
    if not files:
        raise FileNotFoundError(f"no .jsonl, .json, .parquet or .arrow file in {path}")
    return files


def _read_rows(file: Path):
    """Yields (place, row or the reason it is bad) for each row of a file."""
    if file.suffix in (".parquet", ".arrow"):
        import pyarrow.ipc
        import pyarrow.parquet

        batches = (pyarrow.parquet.ParquetFile(file).iter_batches(batch_size=1024) if file.suffix == ".parquet"
                   else pyarrow.ipc.open_stream(file))
        number = 0
        for batch in batches:
            for row in batch.to_pylist():
                number += 1
                yield f"{file}: row {number}", row
        return
    with open(file, encoding="utf-8") as lines:
        first = lines.read(1)
        while first.isspace():
            first = lines.read(1)
        lines.seek(0)
        if first == "[":  # one JSON array
            try:
                rows = json.load(lines)
            except ValueError as error:
                yield f"{file}: line {getattr(error, 'lineno', 1)}", f"not JSON: {error}"
                return
            for number, row in enumerate(rows, 1):
                yield f"{file}: item {number}", row if isinstance(row, dict) else "not a JSON object"
            return
        for number, line in enumerate(lines, 1):  # JSON Lines
            if not line.strip():
                continue
            try:
                row = json.loads(line)
            except ValueError as error:
                yield f"{file}: line {number}", f"not JSON: {error}"
                continue
            yield f"{file}: line {number}", row if isinstance(row, dict) else "not a JSON object"


def _load_tokenizer(tokenizer: Any) -> Any:
    if not isinstance(tokenizer, (str, os.PathLike)):
        return tokenizer
    path = Path(tokenizer)
    if path.is_file():
        from tokenizers import Tokenizer

        return Tokenizer.from_file(str(path))
    if path.is_dir():
        from transformers import AutoTokenizer

        return AutoTokenizer.from_pretrained(str(path), local_files_only=True)
    raise FileNotFoundError(f"no tokenizer at {path} (a tokenizer.json file or a transformers tokenizer folder)")


# ------------------------------------------------------------------ encoding


class _Encoder:
    """One batch of good rows to encoded examples, for either kind of template.
    Without a tokenizer it only checks rows (the parent of worker processes,
    which need not load one)."""

    def __init__(self, tokenizer, template, targets, chat, train_on, max_length, overflow, messages):
        self.max_length, self.overflow, self.messages = max_length, overflow, messages
        self.train_on = (train_on,) if isinstance(train_on, str) else tuple(train_on)
        if (template is None) == (chat is None):
            raise ValueError("give either template (a prompt markup) or chat (True, or a Jinja chat template)")
        if chat is not None:
            text = None if chat is True else chat
            if text is not None and Path(text).is_file():
                text = Path(text).read_text(encoding="utf-8")
            self.template = korvanta.ChatTemplate(tokenizer, template=text) if tokenizer is not None else None
            self.needs = (messages,)
            self.options = {"train_on": self.train_on}
        else:
            if overflow == "split":
                raise ValueError("overflow='split' splits conversations; a prompt template takes 'raise' or 'drop'")
            self.template = korvanta.PromptTemplate(template, tokenizer)
            self.needs = tuple(self.template.fields)
            if tokenizer is None:
                self.template = None
            self.options = {"targets": targets} if targets else {}
        self.chat = chat is not None

    def check(self, row: dict) -> str | None:
        """Why a row cannot be encoded before trying: a missing or None column."""
        for name in self.needs:
            if name not in row:
                return f"no column {name!r}"
            if row[name] is None:
                return f"column {name!r} is None"
        if self.chat and not isinstance(row[self.messages], list):
            return f"column {self.messages!r} is not a list of messages"
        return None

    def encode(self, rows: list[dict]) -> dict:
        options = dict(self.options, max_length=self.max_length, overflow=self.overflow, return_tensors="arrow")
        if not self.chat:
            return self.template.encode_batch(rows, **options)
        columns: dict[str, list] = {"messages": [row[self.messages] for row in rows]}
        for name in ("tools", "documents"):  # per row, where the rows have them
            if any(row.get(name) is not None for row in rows):
                columns[name] = [row.get(name) for row in rows]
        return self.template.encode_batch(columns, **options)

    def answers(self, row: dict) -> int:
        """The messages of a conversation that are trained."""
        return sum(1 for message in row[self.messages] if isinstance(message, dict) and message.get("role") in self.train_on)


_worker_encoder: _Encoder | BaseException | None = None


def _start_worker(arguments: tuple) -> None:
    """A worker process's start: its own encoder (or why it could not make one,
    raised by its every batch, as the parent's own would be); Ctrl-C is the
    parent's to handle."""
    import signal

    global _worker_encoder
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")  # the workers are the parallelism: a thread each
    tokenizer, *rest = arguments
    try:
        _worker_encoder = _Encoder(_load_tokenizer(tokenizer), *rest)
    except Exception as error:
        _worker_encoder = error


# From this much input on, a worker process per core is faster than one process
# whose tokenizer tokenizes on every core (each worker's start costs seconds of
# imports; measured on two cores: 24 MB of conversations slower, 71 MB faster).
WORKERS_FROM = 48 << 20


def _default_workers(files: list[Path]) -> int:
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    return cores if cores > 1 and sum(file.stat().st_size for file in files) >= WORKERS_FROM else 1


def _trained(labels) -> tuple[int, int]:
    """The tokens trained in a column of label rows (a pyarrow ListArray), and how
    many separate stretches they make (an answer each)."""
    import numpy

    offsets = labels.offsets.to_numpy()
    trained = labels.values.to_numpy()[offsets[0]:offsets[-1]] != -100
    starts = trained.copy()
    starts[1:] &= ~trained[:-1]
    firsts = offsets[:-1][offsets[:-1] < offsets[1:]] - offsets[0]  # a row's first token starts afresh
    starts[firsts] = trained[firsts]
    return int(numpy.count_nonzero(trained)), int(numpy.count_nonzero(starts))


def _refusals() -> tuple[type[Exception], ...]:
    """What the encoder raises for a row it cannot encode: its own errors, and a
    chat template's failure on the row (a message without a key it reads)."""
    try:
        from jinja2 import TemplateError
    except ImportError:
        return (ValueError, TypeError, LookupError)
    return (ValueError, TypeError, LookupError, TemplateError)


def _encoded_batch(encoder: _Encoder, rows: list[dict], numbers: list[int], pack: bool) -> dict:
    """A batch of rows encoded, as an Arrow table of the output's columns (or, to
    be packed, its columns), with what the report counts. Rows the encoder
    refuses are found one at a time and left out: `refused` lists each one's
    place in the batch and the encoder's message."""
    refused = []
    try:
        encoded = encoder.encode(rows)
    except _refusals():
        for at, row in enumerate(rows):
            try:
                encoder.encode([row])
            except _refusals() as error:
                refused.append((at, str(error)))
        left_out = {at for at, _ in refused}
        rows = [row for at, row in enumerate(rows) if at not in left_out]
        numbers = [number for at, number in enumerate(numbers) if at not in left_out]
        encoded = encoder.encode(rows)
    import numpy
    import pyarrow

    kept = encoded["row_index"].to_numpy() if "row_index" in encoded else numpy.arange(len(rows))
    ids = encoded["input_ids"]
    offsets = ids.offsets.to_numpy()
    done = {"rows": len(rows), "refused": refused, "numbers": numpy.asarray(numbers, dtype=numpy.int64)[kept],
            "conversations": int(numpy.unique(kept).size),
            "answers": sum(encoder.answers(row) for row in rows) if encoder.chat else 0,
            "lengths": numpy.diff(offsets), "trained": 0, "runs": 0}
    columns = _narrowed({name: encoded[name] for name in ("input_ids", "attention_mask", "labels") if name in encoded})
    if "labels" in columns:
        done["trained"], done["runs"] = _trained(columns["labels"])
    if pack:
        done["encoded"] = {name: columns[name] for name in ("input_ids", "labels") if name in columns}
    else:
        columns["row_index"] = pyarrow.array(done["numbers"], pyarrow.int64())
        done["table"] = pyarrow.table(columns)
    return done


def _narrowed(columns: dict) -> dict:
    """The columns with the types datasets gives them (`Dataset.map` writes ids as
    int32 and masks as int8): a third less to move and to write than int64."""
    import pyarrow

    narrow = {"input_ids": pyarrow.int32(), "attention_mask": pyarrow.int8(), "position_ids": pyarrow.int32()}
    return {name: column.cast(pyarrow.list_(narrow[name])) if name in narrow else column
            for name, column in columns.items()}


def _encode_in_worker(rows: list[dict], numbers: list[int], pack: bool) -> dict:
    if isinstance(_worker_encoder, BaseException):
        raise _worker_encoder
    assert _worker_encoder is not None
    return _encoded_batch(_worker_encoder, rows, numbers, pack)


# ------------------------------------------------------------------ output


class _Shards:
    """Output rows written into Parquet shards of `rows` rows each, a batch at a
    time (a row group each); a shard is complete on disk only under its final
    name."""

    def __init__(self, folder: Path, rows: int):
        self.folder, self.rows = folder, rows
        self.writer = None
        self.in_shard = 0
        self.written: list[str] = []

    def _partial(self) -> Path:
        return self.folder / (SHARD.format(len(self.written)) + PARTIAL)

    def add(self, table) -> None:
        import pyarrow.parquet

        while table.num_rows:
            if self.writer is None:
                self.writer = pyarrow.parquet.ParquetWriter(self._partial(), table.schema)
            count = min(table.num_rows, self.rows - self.in_shard)
            self.writer.write_table(table.slice(0, count))
            self.in_shard += count
            table = table.slice(count)
            if self.in_shard == self.rows:
                self.close()

    def close(self) -> None:
        """Completes the shard being written, if any."""
        if self.writer is None:
            return
        self.writer.close()
        self.writer = None
        os.replace(self._partial(), self.folder / SHARD.format(len(self.written)))
        self.written.append(SHARD.format(len(self.written)))
        self.in_shard = 0

    def abandon(self) -> None:
        """Removes the shard being written (after a failure or an interruption)."""
        if self.writer is not None:
            self.writer.close()
            self.writer = None
            self._partial().unlink(missing_ok=True)


def _histogram(lengths: array, top: int, bins: int = 32) -> dict:
    import numpy

    width = max(1, -(-top // bins))
    values = numpy.frombuffer(lengths, dtype=numpy.int64) if len(lengths) else numpy.zeros(0, numpy.int64)
    counts = numpy.bincount(numpy.minimum(bins - 1, numpy.maximum(values - 1, 0) // width), minlength=bins)
    return {"bin_width": width, "counts": counts.tolist()}


def _versions() -> dict:
    from importlib import metadata

    versions = {"korvanta": metadata.version("korvanta"), "python": platform.python_version()}
    for name in ("tokenizers", "transformers", "jinja2", "pyarrow"):
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return versions


def _draw(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(1, 2, figsize=(11, 4), sharey=False)
    for axis, (key, title) in zip(axes, (("examples", "encoded examples"), ("rows", "output rows"))):
        histogram = report["lengths"][key]
        width = histogram["bin_width"]
        axis.bar([k * width for k in range(len(histogram["counts"]))], histogram["counts"], width=width, align="edge")
        axis.set_title(f"{title} by length (tokens)")
        axis.set_xlabel("tokens")
        if report["max_length"]:
            axis.axvline(report["max_length"], color="black", linestyle="--", linewidth=1)
    axes[0].set_ylabel("count")
    rows, tokens = report["rows"], report["tokens"]
    summary = (f"rows read {rows['read']:,}, encoded {rows['encoded']:,}, dropped {rows['dropped']:,}, "
               f"rejected {rows['rejected']:,}; output rows {report['output_rows']:,}; tokens {tokens['kept']:,}")
    if report.get("answers"):
        summary += f"; answers kept {report['answers']['kept']:,} of {report['answers']['total']:,}"
    figure.suptitle(summary, fontsize=9)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    pyplot.close(figure)


# ------------------------------------------------------------------ prepare


def prepare(input: str | os.PathLike, out: str | os.PathLike, *, tokenizer: Any, template: str | None = None,
            targets: str | list[str] = (), chat: bool | str | None = None, train_on: str | list[str] = ("assistant",),
            messages: str = "messages", max_length: int | None = None, overflow: str = "raise", pack: bool = False,
            shard_rows: int = 100_000, batch_size: int = 1000, skip_bad: bool = False, workers: int | None = 1,
            progress: bool = False, command: list[str] | None = None) -> dict:
    """Encode a JSONL/JSON/Parquet file or folder (or a datasets folder saved with save_to_disk)
    into Parquet shards in `out`: rows through a prompt `template` (with `targets`), or
    conversations (the `messages` column) through the tokenizer's chat template (chat=True) or
    a Jinja chat template (chat=text or a file). Writes report.json and report.png beside the
    shards and returns the report. With workers > 1, batches are encoded in that many processes
    (each with its own tokenizer), and written in input order (call it under
    `if __name__ == "__main__":`); workers=None takes one per core for an input of 48 MB or
    more, else this process alone."""
    if overflow not in ("raise", "drop", "split"):
        raise ValueError(f"overflow must be 'raise', 'drop' or 'split', not {overflow!r}")
    if pack and max_length is None:
        raise ValueError("pack=True needs max_length (the length of a packed row)")
    if shard_rows < 1 or batch_size < 1 or (workers is not None and workers < 1):
        raise ValueError("shard_rows, batch_size and workers must be positive")
    source, folder = Path(input), Path(out)
    files = _input_files(source)
    if workers is None:
        workers = _default_workers(files)
    if folder.exists() and any(folder.iterdir()):
        raise FileExistsError(f"{folder} is not empty: give a new or empty folder")
    folder.mkdir(parents=True, exist_ok=True)
    import pyarrow
    import pyarrow.compute

    settings = (template, targets, chat, train_on, max_length, overflow, messages)
    # With workers, this process only reads, checks and writes: the workers load the tokenizer.
    encoder = _Encoder(_load_tokenizer(tokenizer) if workers == 1 else None, *settings)
    shards = _Shards(folder, shard_rows)
    packer = korvanta.Packer(max_length, return_tensors="arrow") if pack else None
    example_rows = array("q")  # packing: the input row of each example
    example_lengths, row_lengths = array("q"), array("q")
    counts = {"read": 0, "encoded": 0, "rejected": 0, "dropped": 0, "split": 0}
    tokens = {"kept": 0, "trained": 0}
    answers = {"total": 0, "kept": 0}
    rejects = None
    bar = None
    if progress:
        try:
            from tqdm import tqdm

            bar = tqdm(unit=" rows", desc="korvanta prepare", dynamic_ncols=True)
        except ImportError:
            pass
    started = time.perf_counter()

    def reject(place: str, row: Any, reason: str) -> None:
        nonlocal rejects
        if not skip_bad:
            raise ValueError(f"{place}: {reason}")
        counts["rejected"] += 1
        if rejects is None:
            rejects = open(folder / "rejects.jsonl", "w", encoding="utf-8")
        rejects.write(json.dumps({"place": place, "reason": reason, "row": row}, default=repr) + "\n")

    def write(table) -> None:
        if table.num_rows:
            lengths = pyarrow.compute.list_value_length(table.column("input_ids")).to_numpy(zero_copy_only=False)
            row_lengths.frombytes(lengths.astype("int64").tobytes())
        shards.add(table)

    def take(batch: list[tuple[str, int, dict]], done: dict) -> None:
        for at, reason in done["refused"]:
            place, _, row = batch[at]
            reject(place, row, reason)
        counts["encoded"] += done["rows"]
        counts["dropped"] += done["rows"] - done["conversations"]
        counts["split"] += len(done["numbers"]) - done["conversations"]
        answers["total"] += done["answers"]
        answers["kept"] += done["runs"]
        tokens["trained"] += done["trained"]
        tokens["kept"] += int(done["lengths"].sum())
        example_lengths.frombytes(done["lengths"].astype("int64").tobytes())
        if packer is None:
            write(done["table"])
        else:
            example_rows.frombytes(done["numbers"].tobytes())
            pack_out(packer.add(done["encoded"]))

    def pack_out(packed: dict) -> None:
        import numpy

        columns = dict(packed)
        index = packed["row_index"]  # the Packer's example numbers, as input rows
        rows = numpy.frombuffer(example_rows, dtype=numpy.int64)[index.values.to_numpy()]
        columns["row_index"] = type(index).from_arrays(index.offsets, pyarrow.array(rows, pyarrow.int64()))
        write(pyarrow.table(_narrowed(columns)))

    pool = None
    if workers > 1:
        import concurrent.futures
        import multiprocessing

        pool = concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=multiprocessing.get_context("spawn"), initializer=_start_worker,
            initargs=((tokenizer, *settings),))
    in_flight: deque = deque()  # (batch, future), at most two per worker

    def finish_one() -> None:
        batch, future = in_flight.popleft()
        take(batch, future.result())
        advance(len(batch))

    def submit(batch: list[tuple[str, int, dict]]) -> None:
        rows, numbers = [row for _, _, row in batch], [number for _, number, _ in batch]
        if pool is None:
            take(batch, _encoded_batch(encoder, rows, numbers, pack))
            advance(len(batch))
            return
        in_flight.append((batch, pool.submit(_encode_in_worker, rows, numbers, pack)))
        while len(in_flight) > 2 * workers:
            finish_one()

    def advance(rows: int) -> None:
        if bar is not None:
            bar.update(rows)
            bar.set_postfix_str(f"{tokens['kept'] / (time.perf_counter() - started):,.0f} tokens/s", refresh=False)

    try:
        batch: list[tuple[str, int, dict]] = []
        for file in files:
            for place, row in _read_rows(file):
                number = counts["read"]
                counts["read"] += 1
                reason = row if isinstance(row, str) else encoder.check(row)
                if reason is not None:
                    reject(place, row, reason)
                    continue
                batch.append((place, number, row))
                if len(batch) == batch_size:
                    submit(batch)
                    batch = []
        if batch:
            submit(batch)
        while in_flight:
            finish_one()
        if packer is not None:
            pack_out(packer.flush())
        shards.close()
    finally:
        shards.abandon()  # nothing, unless stopped halfway through a shard
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
        if bar is not None:
            bar.close()
        if rejects is not None:
            rejects.close()
    seconds = time.perf_counter() - started
    top = max_length or max(example_lengths, default=1)
    report: dict[str, Any] = {
        "command": command if command is not None else [sys.executable, "-c", "korvanta.prepare(...)"],
        "versions": _versions(),
        "input": [str(file) for file in files],
        "output": {"folder": str(folder), "shards": shards.written},
        "max_length": max_length, "overflow": overflow, "pack": pack, "workers": workers,
        "rows": dict(counts, written=counts["encoded"] - counts["dropped"]),  # input rows with an output row
        "examples": len(example_lengths),
        "output_rows": len(row_lengths),
        "tokens": tokens,
        "lengths": {"examples": _histogram(example_lengths, top), "rows": _histogram(row_lengths, top)},
        "seconds": round(seconds, 3),
        "rows_per_second": round(counts["read"] / seconds, 1) if seconds else None,
        "tokens_per_second": round(tokens["kept"] / seconds, 1) if seconds else None,
    }
    if encoder.chat:
        report["answers"] = dict(answers, lost=answers["total"] - answers["kept"])
    if max_length:
        unpacked = len(example_lengths) * max_length
        report["padding"] = {  # the share of a batch padded to max_length that is padding
            "unpacked": round(1 - tokens["kept"] / unpacked, 4) if unpacked else 0.0,
            "output": round(1 - tokens["kept"] / (len(row_lengths) * max_length), 4) if row_lengths else 0.0,
        }
    (folder / "report.json").write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    try:
        _draw(report, folder / "report.png")
    except ImportError:
        pass  # matplotlib is the prepare extra's; without it, the report is the JSON alone
    return report


def summary(report: dict) -> str:
    """The report in a few lines, as the command prints it."""
    rows, tokens = report["rows"], report["tokens"]
    lines = [
        f"rows: {rows['read']:,} read, {rows['written']:,} written, {rows['dropped']:,} dropped (too long), "
        f"{rows['rejected']:,} rejected, {rows['split']:,} more rows from splitting",
        f"output: {report['output_rows']:,} rows in {len(report['output']['shards'])} shards in {report['output']['folder']}",
        f"tokens: {tokens['kept']:,} kept, {tokens['trained']:,} trained",
    ]
    if "answers" in report:
        answers = report["answers"]
        lines.append(f"answers: {answers['kept']:,} kept, {answers['lost']:,} lost of {answers['total']:,}")
    if "padding" in report:
        padding = report["padding"]
        lines.append(f"padding to max_length: {padding['unpacked']:.1%} of each batch unpacked, "
                     f"{padding['output']:.1%} as written")
    lines.append(f"{report['seconds']:.2f} s: {report['rows_per_second']:,.0f} rows/s, "
                 f"{report['tokens_per_second']:,.0f} tokens/s")
    return "\n".join(lines)
