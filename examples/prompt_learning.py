"""Prompt-based classification with korvanta and a real tokenizer.

Builds a small word-level tokenizer in code (no download), a template with a
text control and a label control, fills the template from data rows, lists the
label words, tokenizes the prompts, and sends the template to a process pool
that handles a batch.
"""

import multiprocessing

from tokenizers import Tokenizer
from tokenizers.models import WordLevel
from tokenizers.pre_tokenizers import Whitespace

from korvanta import PromptTemplate

WORDS = "[UNK] [MASK] the a film plot acting was is It great terrible boring moving . ,".split()

ROWS = [
    {"text": "the acting was moving"},
    {"text": "the plot is boring"},
    {"text": "a great film"},
    {"text": "the film was terrible , the plot boring"},
]


MASK_ID = WORDS.index("[MASK]")


def build_tokenizer() -> Tokenizer:
    tokenizer = Tokenizer(WordLevel({word: i for i, word in enumerate(WORDS)}, unk_token="[UNK]"))
    tokenizer.pre_tokenizer = Whitespace()
    tokenizer.add_special_tokens(["[MASK]"])
    return tokenizer


def label_words(template: PromptTemplate) -> dict[str, list[str]]:
    """The label controls and their words, read from the controls' options."""
    return {f.string: f.options for f in template if f.options}


def encode_row(template: PromptTemplate, row: dict[str, str]) -> tuple[str, list[int]]:
    """Runs in a worker: the template arrives pickled, its tokenizer with it.
    Text controls come from the row, label controls get the tokenizer's mask token."""
    mask = template.tokenizer.id_to_token(MASK_ID)
    prompt = template.render({**row, **{name: mask for name in label_words(template)}})
    return prompt, template.tokenizer.encode(prompt).ids


def main() -> None:
    template = PromptTemplate("[text] . It was [mask|great,terrible] .", build_tokenizer())
    print(f"template: {template}")
    print(f"label words: {label_words(template)}")
    for word in label_words(template)["mask"]:
        print(f"  {word!r} -> id {template.tokenizer.token_to_id(word)}")

    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.starmap(encode_row, [(template, row) for row in ROWS])
    for prompt, ids in results:
        print(f"{prompt:<58} {ids}")
    assert results == [encode_row(template, row) for row in ROWS]


if __name__ == "__main__":
    main()
