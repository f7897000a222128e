"""Prepare conversations on Ray Data: read JSONL, encode batches on worker
processes with a chat template, write Parquet; checked against one process.

    pip install '.[integration]' && python examples/ray_data.py

A local Ray cluster is started here (four logical CPUs: two workers encode while the others read and write); on a real cluster,
ray.init(address="auto") joins it and the same pipeline spreads over its
machines. The template (tokenizer included) is pickled once to each worker
of the pool that map_batches starts.
"""

import json
import pathlib
import tempfile
from typing import Any

import pyarrow
import pyarrow.parquet
import ray
from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

from korvanta import ChatTemplate

DATA = pathlib.Path(__file__).parent / "data" / "conversations.jsonl"
CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>\\n' }}"
          "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")
MAX_LENGTH = 256  # conversations longer than this are split into runs of whole exchanges


class Encode:
    """One per worker: the template arrives once, batches come many times."""

    def __init__(self, chat: ChatTemplate[Any]) -> None:
        self.chat = chat

    def __call__(self, batch: pyarrow.Table) -> dict[str, Any]:
        encoded: dict[str, Any] = dict(self.chat.encode_batch(batch.column("messages").to_pylist(),
                                                              max_length=MAX_LENGTH, overflow="split"))
        # Rows of the whole input: the batch's own numbers, through the split rows' row_index.
        encoded["row_index"] = [batch.column("row").to_pylist()[k] for k in encoded["row_index"]]
        return encoded


def main() -> None:
    rows = [json.loads(line) for line in DATA.open()]
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    tokenizer.train_from_iterator((m["content"] for row in rows for m in row["messages"]), trainers.BpeTrainer(
        vocab_size=600, show_progress=False, special_tokens=["<|im_start|>", "<|im_end|>"],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    chat = ChatTemplate(tokenizer, template=CHATML)

    with tempfile.TemporaryDirectory() as work:
        numbered = pathlib.Path(work) / "in.jsonl"  # each row's number, as a file of many would carry it
        numbered.write_text("".join(json.dumps({"row": k, **row}) + "\n" for k, row in enumerate(rows)))
        ray.init(num_cpus=4, include_dashboard=False, log_to_driver=False, configure_logging=False)
        try:
            context = ray.data.DataContext.get_current()
            context.execution_options.preserve_order = True
            context.enable_progress_bars = False
            dataset = ray.data.read_json(str(numbered))
            encoded = dataset.map_batches(Encode, fn_constructor_args=(chat,), batch_size=64, batch_format="pyarrow",
                                          concurrency=2)
            encoded.write_parquet(str(pathlib.Path(work) / "out"))
        finally:
            ray.shutdown()
        shards = sorted((pathlib.Path(work) / "out").glob("*.parquet"))
        got = pyarrow.concat_tables([pyarrow.parquet.read_table(shard) for shard in shards]).to_pydict()

    want = chat.encode_batch([row["messages"] for row in rows], max_length=MAX_LENGTH, overflow="split")
    assert {name: got[name] for name in want} == want
    print(f"rows: {len(rows)}, encoded rows: {len(want['input_ids'])}, shards: {len(shards)}, "
          f"first: {want['input_ids'][0][:8]}")


if __name__ == "__main__":
    main()
