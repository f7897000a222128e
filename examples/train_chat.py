"""Supervised fine-tuning on conversations, end to end: a `messages` column in
a `datasets.Dataset`, encoded by `Dataset.map` in two worker processes with a
`ChatTemplate` (the tokenizer's own ChatML chat template; labels on the
assistant's answers and the `<|im_end|>` after each, so that the model learns
to stop; whole exchanges dropped from the start where a conversation is too
long), a `DataLoader`, a few optimizer steps, then answers generated from
prompts that end where the assistant's answer starts.

    pip install '.[integration,chat]' transformers torch && python examples/train_chat.py

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

from korvanta import ChatTemplate

THINGS = {"ball": "red", "car": "blue", "cup": "white", "hat": "black"}
CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>\\n' }}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")


def conversations(n: int, seed: int) -> list[dict[str, Any]]:
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        messages = [{"role": "system", "content": "Answer in one word."}] if rng.random() < 0.5 else []
        for thing in rng.sample(sorted(THINGS), rng.randint(1, 3)):
            messages += [{"role": "user", "content": f"What colour is the {thing}?"},
                         {"role": "assistant", "content": THINGS[thing]}]
        rows.append({"messages": messages})
    return rows


def build_tokenizer() -> PreTrainedTokenizerFast:
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    corpus = [f"{m['role']}\n{m['content']}" for row in conversations(200, 0) for m in row["messages"]]
    trainer = trainers.BpeTrainer(vocab_size=300, special_tokens=["<|im_start|>", "<|im_end|>", "<pad>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train_from_iterator(corpus, trainer)
    return PreTrainedTokenizerFast(tokenizer_object=tokenizer, eos_token="<|im_end|>", pad_token="<pad>",
                                   chat_template=CHATML)


def main() -> None:
    torch.manual_seed(0)
    datasets.disable_progress_bars()
    tokenizer = build_tokenizer()
    chat = ChatTemplate(tokenizer)  # the tokenizer's own chat template

    # 1. The messages column to model inputs, in two worker processes (the
    #    ChatTemplate is pickled to them); the same as in this process.
    dataset = datasets.Dataset.from_list(conversations(96, 1))
    options = {"max_length": 40, "overflow": "drop"}
    encoded = dataset.map(chat.encode_batch, batched=True, batch_size=16, fn_kwargs=options, num_proc=2,
                          remove_columns=dataset.column_names)
    alone = dataset.map(chat.encode_batch, batched=True, batch_size=16, fn_kwargs=options,
                        remove_columns=dataset.column_names)
    assert encoded["input_ids"] == alone["input_ids"] and encoded["labels"] == alone["labels"]
    end = tokenizer.eos_token_id
    # Every answer kept is labelled with the end of its turn: as many labelled <|im_end|> as answers.
    for ids, labels in zip(encoded["input_ids"], encoded["labels"]):
        assert len(ids) <= 40 and labels.count(end) == tokenizer.decode(ids).count("assistant")

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
                        bos_token_id=end, eos_token_id=end)
    model = GPT2LMHeadModel(config)
    optimizer = torch.optim.AdamW(model.parameters(), lr=5e-3)
    losses = []
    for _ in range(10):
        for batch in loader:
            loss = model(**batch).loss
            loss.backward()
            optimizer.step()
            optimizer.zero_grad()
            losses.append(loss.item())

    # 4. Generation: each conversation up to the assistant's answer, padded on the left.
    questions = [[{"role": "user", "content": f"What colour is the {thing}?"}] for thing in sorted(THINGS)]
    inputs = chat.encode_batch(questions, add_generation_prompt=True, padding="longest", padding_side="left",
                               return_tensors="pt")
    with torch.no_grad():
        generated = model.generate(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"],
                                   max_new_tokens=4, do_sample=False, pad_token_id=tokenizer.pad_token_id,
                                   eos_token_id=end)
    answers = tokenizer.batch_decode(generated[:, inputs["input_ids"].shape[1]:], skip_special_tokens=True)
    for question, answer in zip(questions, answers):
        print(f"{question[0]['content']} -> {answer.strip()!r}")
    assert losses[-1] < losses[0], losses
    print(f"loss {losses[0]:.2f} -> {losses[-1]:.2f}")


if __name__ == "__main__":
    main()
