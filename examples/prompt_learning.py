"""Prompt-based classification with korvanta and a real tokenizer.

Builds a small word-level tokenizer in code (no download), a template with a
text field and a slot whose options are the label words, encodes data rows
into model inputs with `encode_batch` (truncating only the text, never the
prompt), reads the label words' ids with `label_ids`, and sends the template
to a process pool that encodes a batch.
"""

import multiprocessing
from typing import Any

from tokenizers import Tokenizer
from tokenizers.models import WordLevel
from tokenizers.pre_tokenizers import Whitespace

from korvanta import PromptTemplate

WORDS = "[UNK] [MASK] [PAD] the a film plot acting was is It great terrible boring moving . ,".split()

ROWS = [
    {"text": "the acting was moving"},
    {"text": "the plot is boring"},
    {"text": "a great film"},
    {"text": "the film was terrible , the plot boring , the acting boring"},
]

# The tokenizer names no mask token itself (a transformers tokenizer would).
OPTIONS: dict[str, Any] = {"mask_token": "[MASK]", "max_length": 12}
MASK_ID = WORDS.index("[MASK]")


def build_tokenizer() -> Tokenizer:
    tokenizer = Tokenizer(WordLevel({word: i for i, word in enumerate(WORDS)}, unk_token="[UNK]"))
    tokenizer.pre_tokenizer = Whitespace()
    tokenizer.add_special_tokens(["[MASK]", "[PAD]"])
    return tokenizer


def encode(template: PromptTemplate, rows: list[dict[str, str]]) -> dict[str, Any]:
    """Runs in a worker: the template arrives pickled, its tokenizer with it."""
    encoded: dict[str, Any] = template.encode_batch(rows, **OPTIONS)
    return encoded


def main() -> None:
    template = PromptTemplate("[text] . It was [mask|great,terrible] .", build_tokenizer())
    print(f"template: {template}, fields {template.fields}, slots {template.slots}")
    [words] = template.label_ids(single_token=True)
    print(f"label word ids: great -> {words[0]}, terrible -> {words[1]}")

    with multiprocessing.get_context("spawn").Pool(2) as pool:
        batches = pool.starmap(encode, [(template, ROWS[:2]), (template, ROWS[2:])])
    local = encode(template, ROWS)
    assert [ids for batch in batches for ids in batch["input_ids"]] == local["input_ids"]
    for ids, [position] in zip(local["input_ids"], local["mask_positions"]):
        assert ids[position] == MASK_ID
        print(f"{str(ids):<52} mask at {position}")
    # The long row was cut in its text only: the prompt and its mask are whole.
    assert len(local["input_ids"][-1]) == OPTIONS["max_length"]
    padded = template.encode_batch(ROWS, **OPTIONS, padding="longest", pad_token="[PAD]", return_tensors="np")
    print(f"as arrays: {padded['input_ids'].shape}, mask positions {padded['mask_positions'].ravel().tolist()}")


if __name__ == "__main__":
    main()
