"""Encode a Hugging Face `datasets` dataset into model inputs with a korvanta
template's `encode_batch`, in two worker processes, and check it against a
single-process run.

    pip install '.[integration]' && python examples/datasets_map.py

`Dataset.map` pickles the template (with its tokenizer) to send it to the
workers and to fingerprint the transform; both rely on the template's exact,
deterministic pickle state.
"""

import datasets
from datasets.fingerprint import Hasher
from prompt_learning import OPTIONS, ROWS, build_tokenizer

from korvanta import PromptTemplate


def fill(template: PromptTemplate, num_proc: int | None) -> datasets.Dataset:
    dataset = datasets.Dataset.from_dict({"text": [row["text"] for row in ROWS] * 8})
    # The columns of a batch go to encode_batch as they are; its dict of lists becomes new columns.
    return dataset.map(template.encode_batch, batched=True, batch_size=4, num_proc=num_proc, fn_kwargs=OPTIONS,
                       desc="encoding")


def fill_dropping(template: PromptTemplate, num_proc: int | None) -> datasets.Dataset:
    dataset = datasets.Dataset.from_dict({"text": [row["text"] for row in ROWS] * 8})
    # Rows that cannot fit are left out: the result has fewer rows, so the input columns go.
    options = {**OPTIONS, "shorten": (), "overflow": "drop"}
    return dataset.map(template.encode_batch, batched=True, batch_size=4, num_proc=num_proc, fn_kwargs=options,
                       remove_columns=dataset.column_names, desc="encoding")


def main() -> None:
    datasets.disable_progress_bars()
    template = PromptTemplate(r"[text] . It was [mask|great,terrible] . \[end\]", build_tokenizer())
    kept = fill_dropping(template, 2)
    assert kept["input_ids"] == fill_dropping(template, None)["input_ids"] and len(kept) == 24
    single, parallel = fill(template, None), fill(template, 2)
    assert single["input_ids"] == parallel["input_ids"] and single["mask_positions"] == parallel["mask_positions"]
    print(f"rows: {len(parallel)}, first: {parallel[0]['input_ids']} mask at {parallel[0]['mask_positions']}")
    print(f"template hash: {Hasher.hash(template)}")
    print(f"transform fingerprint: {parallel._fingerprint}")


if __name__ == "__main__":
    main()
