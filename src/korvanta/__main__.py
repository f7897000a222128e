"""The korvanta command: `korvanta prepare ...` (or `python -m korvanta prepare ...`)."""

from __future__ import annotations

import argparse
import sys


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="korvanta", description="Training data from prompt templates and chat templates.")
    commands = parser.add_subparsers(dest="command", required=True)
    prepare = commands.add_parser(
        "prepare", help="encode a dataset on disk into training-ready Parquet shards, with a report",
        description="Encode a JSONL/JSON/Parquet file or folder (or a datasets folder saved with save_to_disk) "
                    "into Parquet shards, and write report.json and report.png beside them.")
    prepare.add_argument("input", help="a .jsonl, .json or .parquet file, or a folder of them, or a datasets folder")
    prepare.add_argument("--out", required=True, help="the folder the shards and the report go to (new or empty)")
    prepare.add_argument("--tokenizer", required=True, help="a tokenizer.json file or a transformers tokenizer folder")
    kind = prepare.add_mutually_exclusive_group(required=True)
    kind.add_argument("--template", help="a prompt template's markup, filled from each row's columns")
    kind.add_argument("--chat", nargs="?", const=True, metavar="JINJA",
                      help="conversations: the tokenizer's chat template, or this Jinja file's")
    prepare.add_argument("--targets", default="", help="with --template: the fields trained, comma-separated")
    prepare.add_argument("--train-on", default="assistant", help="with --chat: the roles trained, comma-separated")
    prepare.add_argument("--messages", default="messages", help="with --chat: the column of the conversations")
    prepare.add_argument("--max-length", type=int, help="the longest example (or packed row), in tokens")
    prepare.add_argument("--overflow", choices=("raise", "drop", "split"), default="raise",
                         help="an example longer than --max-length: stop, leave it out, or (conversations) split it")
    prepare.add_argument("--pack", action="store_true", help="pack examples into rows of --max-length tokens")
    prepare.add_argument("--shard-rows", type=int, default=100_000, help="output rows per Parquet shard")
    prepare.add_argument("--batch-size", type=int, default=1000, help="rows encoded at a time")
    prepare.add_argument("--skip-bad", action="store_true",
                         help="count a row that cannot be read or encoded and write it to rejects.jsonl, instead of stopping")
    prepare.add_argument("--workers", type=int,
                         help="processes encoding batches (each loads the tokenizer); 1: this process alone; "
                              "default: one per core for 48 MB of input or more, else 1")
    prepare.add_argument("--no-progress", action="store_true", help="no progress bar")
    return parser


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    from korvanta._prepare import prepare, summary

    split = lambda text: [item.strip() for item in text.split(",") if item.strip()]  # noqa: E731
    try:
        report = prepare(
            arguments.input, arguments.out, tokenizer=arguments.tokenizer, template=arguments.template,
            targets=split(arguments.targets), chat=arguments.chat, train_on=split(arguments.train_on),
            messages=arguments.messages, max_length=arguments.max_length, overflow=arguments.overflow,
            pack=arguments.pack, shard_rows=arguments.shard_rows, batch_size=arguments.batch_size,
            skip_bad=arguments.skip_bad, workers=arguments.workers, progress=not arguments.no_progress,
            command=["korvanta", *(sys.argv[1:] if argv is None else argv)])
    except KeyboardInterrupt:
        print("korvanta prepare: interrupted; the shards written so far are complete", file=sys.stderr)
        return 130
    except (OSError, ValueError, TypeError) as error:
        print(f"korvanta prepare: error: {error}", file=sys.stderr)
        return 1
    print(summary(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
