"""Fill and tokenize a Hugging Face `datasets` dataset from a korvanta template
in two worker processes, and check it against a single-process run.

    pip install '.[integration]' && python examples/datasets_map.py

`Dataset.map` pickles the template (with its tokenizer) to send it to the
workers and to fingerprint the transform; both rely on the template's exact,
deterministic pickle state.
"""

from typing import Any

import datasets
from datasets.fingerprint import Hasher
from prompt_learning import MASK_ID, ROWS, build_tokenizer, label_words

from korvanta import PromptTemplate


def encode(batch: dict[str, list[Any]], template: PromptTemplate) -> dict[str, list[Any]]:
    """One call per row: text controls from the row, label controls as the mask token."""
    masks = {name: template.tokenizer.id_to_token(MASK_ID) for name in label_words(template)}
    prompts = [template.render({"text": text, **masks}) for text in batch["text"]]
    return {"prompt": prompts, "input_ids": [encoding.ids for encoding in template.tokenizer.encode_batch(prompts)]}


def fill(template: PromptTemplate, num_proc: int | None) -> datasets.Dataset:
    dataset = datasets.Dataset.from_dict({"text": [row["text"] for row in ROWS] * 8})
    return dataset.map(encode, batched=True, batch_size=4, num_proc=num_proc, fn_kwargs={"template": template},
                       desc="rendering")


def main() -> None:
    datasets.disable_progress_bars()
    template = PromptTemplate(r"[text] . It was [mask|great,terrible] . \[end\]", build_tokenizer())
    single, parallel = fill(template, None), fill(template, 2)
    assert single["prompt"] == parallel["prompt"] and single["input_ids"] == parallel["input_ids"]
    print(f"rows: {len(parallel)}, first prompt: {parallel[0]['prompt']!r}")
    print(f"template hash: {Hasher.hash(template)}")
    print(f"transform fingerprint: {parallel._fingerprint}")


if __name__ == "__main__":
    main()
