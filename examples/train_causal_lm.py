"""Instruction tuning of a causal language model, the training path end to end:
rows in a `datasets.Dataset`, encoded by `Dataset.map` with the template's
`encode_batch` (labels on the answer only, and on the end-of-text token
written after it, so that the model learns to stop; rows that cannot fit are
dropped, and mapped back to their source rows), a `DataLoader`, a few
optimizer steps, then text generated from prompts padded on the left.

    pip install '.[integration]' transformers torch && python examples/train_causal_lm.py

A byte-level BPE tokenizer is trained on the spot and a tiny GPT-2 is
initialised at random (nothing is downloaded).
"""

import random
from typing import Any

import datasets
import torch
from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
from torch.utils.data import DataLoader
from transformers import GPT2Config, GPT2LMHeadModel, PreTrainedTokenizerFast

from korvanta import PromptTemplate

COLOURS = "red green blue yellow black white".split()
THINGS = {"ball": "red", "car": "blue", "cup": "white", "hat": "black"}


def pairs(n: int, seed: int) -> list[dict[str, str]]:
    rng = random.Random(seed)
    return [{"question": f"What colour is the {thing}?", "answer": THINGS[thing]}
            for thing in (rng.choice(sorted(THINGS)) for _ in range(n))]


def build_tokenizer() -> PreTrainedTokenizerFast:
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    corpus = [f"### Question: {p['question']}\n### Answer: {p['answer']}" for p in pairs(300, 0)]
    corpus += [f"### Answer: {colour}" for colour in COLOURS]
    trainer = trainers.BpeTrainer(vocab_size=300, special_tokens=["<|endoftext|>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train_from_iterator(corpus, trainer)
    return PreTrainedTokenizerFast(tokenizer_object=tokenizer, eos_token="<|endoftext|>", pad_token="<|endoftext|>")


def main() -> None:
    torch.manual_seed(0)
    datasets.disable_progress_bars()
    tokenizer = build_tokenizer()
    # The end-of-text token written right after the answer is labelled with it.
    train_template = PromptTemplate("### Question: [question]\n### Answer: [answer]<|endoftext|>", tokenizer)

    # 1. Rows to model inputs with Dataset.map: a batch's columns go to
    #    encode_batch as they are. Rows that cannot fit are dropped, so the
    #    input columns go (remove_columns); row_index counts within each batch,
    #    and with_indices maps it back to the dataset's rows.
    rows = pairs(96, 1) + [{"question": "What colour? " * 40, "answer": "red"}]  # one row too long to keep
    dataset = datasets.Dataset.from_list(rows)

    def encode(batch: dict[str, list[Any]], indices: list[int]) -> dict[str, Any]:
        encoded = train_template.encode_batch(batch, mask_token=None, targets="answer", max_length=48,
                                              shorten=(), overflow="drop")
        return {"input_ids": encoded["input_ids"], "attention_mask": encoded["attention_mask"],
                "labels": encoded.get("labels", []),
                "source_row": [indices[i] for i in encoded.get("row_index", [])]}

    encoded = dataset.map(encode, batched=True, batch_size=32, with_indices=True, remove_columns=dataset.column_names)
    assert len(encoded) == 96 and len(rows) - 1 not in encoded["source_row"]

    # 2. A DataLoader that pads each batch on the right, as training wants.
    def collate(batch: list[dict[str, list[int]]]) -> dict[str, torch.Tensor]:
        width = max(len(row["input_ids"]) for row in batch)

        def pad(key: str, value: int) -> torch.Tensor:
            return torch.tensor([row[key] + [value] * (width - len(row[key])) for row in batch])
        return {"input_ids": pad("input_ids", tokenizer.pad_token_id), "attention_mask": pad("attention_mask", 0),
                "labels": pad("labels", -100)}

    loader = DataLoader(encoded.with_format(columns=["input_ids", "attention_mask", "labels"]), batch_size=16,
                        shuffle=True, collate_fn=collate)

    # 3. A few optimizer steps on a tiny model.
    config = GPT2Config(vocab_size=len(tokenizer), n_embd=64, n_layer=2, n_head=2, n_positions=64,
                        bos_token_id=tokenizer.eos_token_id, eos_token_id=tokenizer.eos_token_id)
    model = GPT2LMHeadModel(config)
    optimizer = torch.optim.AdamW(model.parameters(), lr=5e-3)
    losses = []
    for _ in range(8):
        for batch in loader:
            # Each row's labels end with the end-of-text token, so that the model learns to stop.
            assert int((batch["labels"] == tokenizer.eos_token_id).sum()) == len(batch["labels"])
            loss = model(**batch).loss
            loss.backward()
            optimizer.step()
            optimizer.zero_grad()
            losses.append(loss.item())

    # 4. Generation: the prompt alone, padded on the left so that every row ends where the answer begins.
    prompt = PromptTemplate("### Question: [question]\n### Answer:", tokenizer)
    questions = [{"question": f"What colour is the {thing}?"} for thing in sorted(THINGS)]
    inputs = prompt.encode_batch(questions, padding="longest", padding_side="left", return_tensors="pt")
    with torch.no_grad():
        generated = model.generate(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"],
                                   max_new_tokens=4, do_sample=False, pad_token_id=tokenizer.pad_token_id)
    answers = tokenizer.batch_decode(generated[:, inputs["input_ids"].shape[1]:], skip_special_tokens=True)
    for question, answer in zip(questions, answers):
        print(f"{question['question']} -> {answer.strip()!r}")
    assert losses[-1] < losses[0], losses
    print(f"loss {losses[0]:.2f} -> {losses[-1]:.2f}")


if __name__ == "__main__":
    main()
