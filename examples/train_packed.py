"""Packed training rows, end to end: conversations encoded and packed in one
`Dataset.map` call (`encode_batch(pack=True)`: best fit, no example split),
batched by `korvanta.DataCollator` (packed rows carry `position_ids` and no
`attention_mask`, so that the model keeps their examples apart), a tiny Llama
trained with `use_cache=False`, and the check that matters: on a fixed batch,
the loss of the packed rows equals the loss of the same conversations unpacked
and padded.

    pip install '.[integration,chat]' transformers torch && python examples/train_packed.py

A byte-level BPE tokenizer is trained on the spot and the model initialised at
random (nothing is downloaded).
"""

import random
from typing import Any

import datasets
import torch
from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
from torch.utils.data import DataLoader
from transformers import LlamaConfig, LlamaForCausalLM, PreTrainedTokenizerFast

from korvanta import ChatTemplate, DataCollator

THINGS = {"ball": "red", "car": "blue", "cup": "white", "hat": "black", "sky": "grey", "leaf": "green"}
CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>\\n' }}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")


def conversations(n: int, seed: int) -> list[dict[str, Any]]:
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        messages = []
        for thing in rng.sample(sorted(THINGS), rng.randint(1, 4)):
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
    chat = ChatTemplate(tokenizer)
    dataset = datasets.Dataset.from_list(conversations(128, 1))

    # 1. Encoded and packed in one map call: rows of at most 96 tokens.
    options = {"max_length": 96, "overflow": "drop"}
    packed = dataset.map(chat.encode_batch, batched=True, batch_size=128, fn_kwargs={**options, "pack": True},
                         remove_columns=dataset.column_names)
    unpacked = dataset.map(chat.encode_batch, batched=True, batch_size=128, fn_kwargs=options,
                           remove_columns=dataset.column_names)
    lengths = list(map(len, unpacked["input_ids"]))
    slots = sum(8 * max(lengths[i:i + 8]) for i in range(0, len(lengths), 8))  # batches of 8 padded to their longest
    packed_lengths = list(map(len, packed["input_ids"]))
    packed_slots = sum(8 * max(packed_lengths[i:i + 8]) for i in range(0, len(packed_lengths), 8))
    print(f"{len(unpacked)} conversations in {len(packed)} packed rows; padding in batches of 8: "
          f"{1 - sum(lengths) / slots:.0%} unpacked, {1 - sum(lengths) / packed_slots:.0%} packed")

    config = LlamaConfig(vocab_size=len(tokenizer), hidden_size=64, intermediate_size=128, num_hidden_layers=2,
                         num_attention_heads=2, num_key_value_heads=2, max_position_embeddings=128,
                         use_cache=False)
    model = LlamaForCausalLM(config)
    collate = DataCollator(tokenizer.pad_token_id)

    # 2. One batch, packed and unpacked: the same conversations, the same loss.
    rows = packed.select(range(2))
    held = [e for row in rows["row_index"] for e in row]
    with torch.no_grad():
        packed_loss = model(**collate(list(rows.select_columns(["input_ids", "labels", "position_ids"])))).loss
        alone = [unpacked[e] for e in held]
        unpacked_loss = model(**collate([{k: row[k] for k in ("input_ids", "labels", "attention_mask")}
                                         for row in alone])).loss
        flat_loss = model(**DataCollator(tokenizer.pad_token_id, padding_free=True)(
            list(rows.select_columns(["input_ids", "labels", "position_ids"])))).loss
    assert torch.allclose(packed_loss, unpacked_loss, atol=1e-5), (packed_loss, unpacked_loss)
    assert torch.allclose(flat_loss, unpacked_loss, atol=1e-5), (flat_loss, unpacked_loss)
    # With a cache, transformers reads position_ids as one sequence: examples see each other.
    with torch.no_grad():
        batch = collate(list(rows.select_columns(["input_ids", "labels", "position_ids"])))
        leaky = model(**batch, use_cache=True).loss
    print(f"loss on one batch: unpacked {unpacked_loss:.6f}, packed {packed_loss:.6f}, "
          f"padding-free {flat_loss:.6f}, packed with use_cache=True {leaky:.6f}")

    # 3. Training on the packed rows.
    loader = DataLoader(packed.select_columns(["input_ids", "labels", "position_ids"]), batch_size=8, shuffle=True,
                        collate_fn=collate)
    optimizer = torch.optim.AdamW(model.parameters(), lr=5e-3)
    losses = []
    for _ in range(20):
        for batch in loader:
            loss = model(**batch).loss
            loss.backward()
            optimizer.step()
            optimizer.zero_grad()
            losses.append(loss.item())

    # 4. The model answers and stops.
    questions = [[{"role": "user", "content": f"What colour is the {thing}?"}] for thing in sorted(THINGS)][:4]
    inputs = chat.encode_batch(questions, add_generation_prompt=True, padding="longest", padding_side="left",
                               return_tensors="pt")
    with torch.no_grad():
        generated = model.generate(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"],
                                   max_new_tokens=4, do_sample=False, pad_token_id=tokenizer.pad_token_id,
                                   eos_token_id=tokenizer.eos_token_id, use_cache=True)
    answers = tokenizer.batch_decode(generated[:, inputs["input_ids"].shape[1]:], skip_special_tokens=True)
    for question, answer in zip(questions, answers):
        print(f"{question[0]['content']} -> {answer.strip()!r}")
    assert losses[-1] < losses[0], losses
    print(f"loss {losses[0]:.2f} -> {losses[-1]:.2f}")


if __name__ == "__main__":
    main()
