"""Small tokenizers trained here from generated text (nothing is downloaded):
a BERT-like WordPiece with [CLS] … [SEP] and a RoBERTa-like byte-level BPE
with <s> … </s>, and the review-like rows the encoding tests use."""

import functools
import random

WORDS = ("the a film movie was great terrible plot actor acting scene story boring moving brilliant awful "
         "it is this that and but not very really quite so too much script director music ending "
         "i loved hated liked watched saw enjoyed disliked recommend never always again funny sad dark "
         "review stars out of ten best worst year question answer label yes no").split()
ENDINGS = [".", "!", "?", ", really.", " :)", "...", " (sic)", ""]


def sentence(rng, shortest=1, longest=40):
    words = [rng.choice(WORDS) for _ in range(rng.randint(shortest, longest))]
    text = " ".join(words)
    return text[0].upper() + text[1:] + rng.choice(ENDINGS)


def corpus(n=3000, seed=0):
    rng = random.Random(seed)
    return [sentence(rng, 3, 25) for _ in range(n)]


@functools.lru_cache(maxsize=None)
def wordpiece():
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    trainer = trainers.WordPieceTrainer(vocab_size=400, special_tokens=["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"])
    tokenizer.train_from_iterator(corpus(), trainer)
    cls, sep = tokenizer.token_to_id("[CLS]"), tokenizer.token_to_id("[SEP]")
    tokenizer.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", pair="[CLS] $A [SEP] $B:1 [SEP]:1", special_tokens=[("[CLS]", cls), ("[SEP]", sep)])
    tokenizer.decoder = decoders.WordPiece()
    return tokenizer


@functools.lru_cache(maxsize=None)
def bytelevel():
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=500, special_tokens=["<s>", "<pad>", "</s>", "<unk>", "<mask>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train_from_iterator(corpus(), trainer)
    tokenizer.post_processor = processors.RobertaProcessing(("</s>", tokenizer.token_to_id("</s>")),
                                                            ("<s>", tokenizer.token_to_id("<s>")))
    return tokenizer


# name: (builder, mask token, pad token)
TOKENIZERS = {"wordpiece": (wordpiece, "[MASK]", "[PAD]"), "bytelevel": (bytelevel, "<mask>", "<pad>")}
