"""Instruction tuning of a causal language model: labels on the answer only
(and the end-of-text token written after it, so that the model learns to
stop), padding on the right for training and on the left for generation.

    pip install . transformers torch && python examples/train_causal_lm.py

A byte-level BPE tokenizer is trained on the spot and a tiny GPT-2 is
initialised at random (nothing is downloaded).
"""

import random

import torch
from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
from transformers import GPT2Config, GPT2LMHeadModel, PreTrainedTokenizerFast

from korvanta import PromptTemplate

COLOURS = "red green blue yellow black white".split()


def pairs(n: int, seed: int) -> list[dict[str, str]]:
    rng = random.Random(seed)
    return [{"question": f"What colour is the {thing}?", "answer": colour}
            for thing, colour in ((rng.choice(["ball", "car", "cup", "hat"]), rng.choice(COLOURS)) for _ in range(n))]


def build_tokenizer() -> PreTrainedTokenizerFast:
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    corpus = [f"### Question: {p['question']}\n### Answer: {p['answer']}" for p in pairs(300, 0)]
    trainer = trainers.BpeTrainer(vocab_size=300, special_tokens=["<|endoftext|>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train_from_iterator(corpus, trainer)
    return PreTrainedTokenizerFast(tokenizer_object=tokenizer, eos_token="<|endoftext|>", pad_token="<|endoftext|>")


def main() -> None:
    torch.manual_seed(0)
    tokenizer = build_tokenizer()
    # The end-of-text token written right after the answer is labelled with it.
    train_template = PromptTemplate("### Question: [question]\n### Answer: [answer]<|endoftext|>", tokenizer)
    config = GPT2Config(vocab_size=len(tokenizer), n_embd=32, n_layer=1, n_head=2, n_positions=64,
                        bos_token_id=tokenizer.eos_token_id, eos_token_id=tokenizer.eos_token_id)
    model = GPT2LMHeadModel(config)
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3)
    train = pairs(64, 1)
    losses = []
    for step in range(30):
        batch = train[(step * 16) % 64:(step * 16) % 64 + 16]
        inputs = train_template.encode_batch(batch, mask_token=None, targets="answer", max_length=48,
                                             padding="longest", padding_side="right", return_tensors="pt")
        # Each row's labels end with the end-of-text token, so that the model learns to stop.
        ends = inputs["labels"][inputs["labels"] != -100]
        assert int((ends == tokenizer.eos_token_id).sum()) == len(batch)
        out = model(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"], labels=inputs["labels"])
        out.loss.backward()
        optimizer.step()
        optimizer.zero_grad()
        losses.append(out.loss.item())
    # Generation: the prompt alone, padded on the left so that every row ends where the answer begins.
    prompt = PromptTemplate("### Question: [question]\n### Answer:", tokenizer)
    inputs = prompt.encode_batch(pairs(4, 2), padding="longest", padding_side="left", return_tensors="pt")
    with torch.no_grad():
        generated = model.generate(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"],
                                   max_new_tokens=3, do_sample=False, pad_token_id=tokenizer.pad_token_id)
    assert losses[-1] < losses[0], losses
    assert bool((inputs["attention_mask"][:, -1] == 1).all())  # left padding: every prompt ends at the right edge
    print(f"loss {losses[0]:.2f} -> {losses[-1]:.2f}, generated {tuple(generated.shape)}")


if __name__ == "__main__":
    main()
