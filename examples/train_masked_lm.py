"""Prompt-based classification with a masked language model, the training
path end to end: rows in a `datasets.Dataset`, encoded by `Dataset.map` with
the template's `encode_batch` (labels: the answer word's id at the mask,
-100 everywhere else), a `DataLoader`, a few optimizer steps, then
predictions read from the logits at `mask_positions`, restricted to the
label words.

    pip install '.[integration]' transformers torch && python examples/train_masked_lm.py

A WordPiece tokenizer is trained on the spot and a tiny BERT is initialised
at random (nothing is downloaded).
"""

import random
from typing import Any

import datasets
import torch
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors, trainers
from torch.utils.data import DataLoader
from transformers import BertConfig, BertForMaskedLM, DataCollatorWithPadding, PreTrainedTokenizerFast

from korvanta import PromptTemplate

WORDS = "the a film plot acting was moving boring great terrible really quite not very and but".split()


def reviews(n: int, seed: int) -> list[dict[str, object]]:
    rng = random.Random(seed)
    rows: list[dict[str, object]] = []
    for _ in range(n):
        good = rng.random() < 0.5
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
        rows.append({"text": f"{text} {'moving' if good else 'boring'}", "label": 0 if good else 1})
    return rows


def build_tokenizer() -> PreTrainedTokenizerFast:
    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    corpus = [str(row["text"]) + " it was great . it was terrible ." for row in reviews(500, 0)]
    trainer = trainers.WordPieceTrainer(vocab_size=200, special_tokens=["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"])
    tokenizer.train_from_iterator(corpus, trainer)
    tokenizer.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", tokenizer.token_to_id("[CLS]")),
                                                  ("[SEP]", tokenizer.token_to_id("[SEP]"))])
    return PreTrainedTokenizerFast(tokenizer_object=tokenizer, mask_token="[MASK]", pad_token="[PAD]",
                                   cls_token="[CLS]", sep_token="[SEP]", unk_token="[UNK]")


def main() -> None:
    torch.manual_seed(0)
    tokenizer = build_tokenizer()
    template = PromptTemplate("[text] . It was [label|great,terrible] .", tokenizer)
    words = [ids[0] for ids in template.label_ids(single_token=True)[0]]  # one token per label word
    config = BertConfig(vocab_size=len(tokenizer), hidden_size=32, num_hidden_layers=1, num_attention_heads=2,
                        intermediate_size=64, max_position_embeddings=64)
    model = BertForMaskedLM(config)
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3)

    # Rows to model inputs with Dataset.map (a batch's columns go to encode_batch as they are);
    # labels: the answer word's id at the mask (from row["label"]), -100 elsewhere.
    datasets.disable_progress_bars()
    dataset = datasets.Dataset.from_list(reviews(64, 1))
    encoded = dataset.map(lambda batch: template.encode_batch(batch, targets="label", max_length=32), batched=True,
                          remove_columns=dataset.column_names)
    pad = DataCollatorWithPadding(tokenizer)  # pads input_ids and attention_mask; labels below

    def collate(rows: list[dict[str, Any]]) -> dict[str, torch.Tensor]:
        width = max(len(row["input_ids"]) for row in rows)
        batch = pad([{key: row[key] for key in ("input_ids", "attention_mask")} for row in rows])
        batch["labels"] = torch.tensor([row["labels"] + [-100] * (width - len(row["labels"])) for row in rows])
        return dict(batch)

    loader = DataLoader(encoded.with_format(columns=["input_ids", "attention_mask", "labels"]), batch_size=16,
                        shuffle=True, collate_fn=collate)
    losses = []
    for _ in range(40):
        for batch in loader:
            out = model(**batch)
            out.loss.backward()
            optimizer.step()
            optimizer.zero_grad()
            losses.append(out.loss.item())
    test = reviews(32, 2)
    inputs = template.encode_batch(test, max_length=32, padding="longest", return_tensors="pt")
    with torch.no_grad():
        logits = model(input_ids=inputs["input_ids"], attention_mask=inputs["attention_mask"]).logits
    at_mask = logits[torch.arange(len(test)), inputs["mask_positions"][:, 0]]  # (rows, vocabulary)
    predicted = at_mask[:, words].argmax(-1)  # the label word the model prefers
    accuracy = (predicted == torch.tensor([row["label"] for row in test])).float().mean().item()
    assert losses[-1] < losses[0], losses
    print(f"loss {losses[0]:.2f} -> {losses[-1]:.2f}, accuracy {accuracy:.2f}")


if __name__ == "__main__":
    main()
