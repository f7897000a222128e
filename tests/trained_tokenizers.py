"""Small tokenizers trained here from generated text (nothing is downloaded),
one of each family encoding meets, and the review-like rows the encoding
tests use. Each builder is cached: tests that change a tokenizer copy it."""

import functools
import random

WORDS = ("the a film movie was great terrible plot actor acting scene story boring moving brilliant awful "
         "it is this that and but not very really quite so too much script director music ending "
         "i loved hated liked watched saw enjoyed disliked recommend never always again funny sad dark "
         "review stars out of ten best worst year question answer label yes no").split()
# Words beyond ASCII, so that normalizers and pre-tokenizers meet them in training too.
RARE = "café naïve Ünïcödé 中文 字符 電影 很好 🙂 👍 Ωmega straße ﬁne".split()
ENDINGS = [".", "!", "?", ", really.", " :)", "...", " (sic)", ""]


def sentence(rng, shortest=1, longest=40):
    words = [rng.choice(RARE) if rng.random() < 0.05 else rng.choice(WORDS)
             for _ in range(rng.randint(shortest, longest))]
    text = " ".join(words)
    return text[0].upper() + text[1:] + rng.choice(ENDINGS)


def corpus(n=3000, seed=0):
    rng = random.Random(seed)
    return [sentence(rng, 3, 25) for _ in range(n)]


@functools.lru_cache(maxsize=None)
def wordpiece():
    """BERT-like: BertNormalizer (lower case, Chinese characters apart), [CLS] … [SEP]."""
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
    """RoBERTa-like: byte-level BPE, <s> … </s>, trimmed offsets."""
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


@functools.lru_cache(maxsize=None)
def bytelevel_added():
    """GPT-2-like byte-level BPE with added tokens: normal ones, and special
    ones that strip the space around them or match only as a whole word."""
    from tokenizers import AddedToken, Tokenizer, decoders, models, pre_tokenizers, trainers

    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=450, special_tokens=["<|endoftext|>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train_from_iterator(corpus(), trainer)
    tokenizer.add_tokens(["film noir", AddedToken("Review", single_word=True)])
    tokenizer.add_special_tokens([AddedToken("<mask>", lstrip=True), AddedToken("<pad>"),
                                  AddedToken("<sep>", rstrip=True)])
    return tokenizer


def _unigram(prepend_scheme):
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.Unigram())
    tokenizer.normalizer = normalizers.NFKC()
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace(prepend_scheme=prepend_scheme)
    tokenizer.decoder = decoders.Metaspace(prepend_scheme=prepend_scheme)
    trainer = trainers.UnigramTrainer(vocab_size=300, unk_token="<unk>",
                                      special_tokens=["<pad>", "</s>", "<unk>", "<s>", "<mask>"])
    tokenizer.train_from_iterator(corpus(), trainer)
    eos = tokenizer.token_to_id("</s>")
    tokenizer.post_processor = processors.TemplateProcessing(single="$A </s>", pair="$A </s> $B </s>",
                                                             special_tokens=[("</s>", eos)])
    return tokenizer


@functools.lru_cache(maxsize=None)
def unigram():
    """T5-like: Unigram with Metaspace, a ▁ before every split; its vocabulary
    holds the special tokens as ordinary pieces too."""
    return _unigram("always")


@functools.lru_cache(maxsize=None)
def unigram_first():
    """Unigram with Metaspace that puts ▁ only before the first split."""
    return _unigram("first")


@functools.lru_cache(maxsize=None)
def llama():
    """Llama-like: BPE with byte fallback, ▁ prepended by the normalizer, <s> before."""
    import json

    from tokenizers import Tokenizer, decoders, models, normalizers, processors, trainers

    trained = Tokenizer(models.BPE())
    trained.normalizer = normalizers.Sequence([normalizers.Prepend("▁"), normalizers.Replace(" ", "▁")])
    trained.train_from_iterator(corpus(), trainers.BpeTrainer(vocab_size=400, special_tokens=["<unk>", "<s>", "</s>"]))
    model = json.loads(trained.to_str())["model"]
    vocab = dict(model["vocab"])
    for byte in range(256):  # the byte pieces the fallback spells unknown characters with
        vocab.setdefault(f"<0x{byte:02X}>", len(vocab))
    merges = [tuple(merge) if isinstance(merge, list) else tuple(merge.split(" ")) for merge in model["merges"]]
    tokenizer = Tokenizer(models.BPE(vocab, merges, unk_token="<unk>", byte_fallback=True, fuse_unk=True))
    tokenizer.normalizer = trained.normalizer
    tokenizer.decoder = decoders.Sequence([decoders.Replace("▁", " "), decoders.ByteFallback(), decoders.Fuse(),
                                           decoders.Strip(" ", 1, 0)])
    tokenizer.add_special_tokens(["<unk>", "<s>", "</s>"])
    tokenizer.post_processor = processors.TemplateProcessing(single="<s> $A", pair="<s> $A <s> $B",
                                                             special_tokens=[("<s>", tokenizer.token_to_id("<s>"))])
    return tokenizer


@functools.lru_cache(maxsize=None)
def llama_bytes():
    """Llama-like, trained as users train one with the tokenizers package: on
    English text only (no CJK, Arabic or emoji in its vocabulary), its byte
    pieces given to the trainer as special tokens, so that every character it
    lacks comes out as protected byte pieces."""
    from tokenizers import Tokenizer, models, normalizers, processors, trainers

    tokenizer = Tokenizer(models.BPE(unk_token="<unk>", byte_fallback=True, fuse_unk=True))
    tokenizer.normalizer = normalizers.Sequence([normalizers.Prepend("▁"), normalizers.Replace(" ", "▁")])
    bytes_ = [f"<0x{byte:02X}>" for byte in range(256)]
    trainer = trainers.BpeTrainer(vocab_size=700, special_tokens=["<unk>", "<s>", "</s>", *bytes_])
    tokenizer.train_from_iterator([text for text in corpus() if text.isascii()], trainer)
    tokenizer.post_processor = processors.TemplateProcessing(single="<s> $A", pair="<s> $A <s> $B",
                                                             special_tokens=[("<s>", tokenizer.token_to_id("<s>"))])
    return tokenizer


@functools.lru_cache(maxsize=None)
def folding():
    """BPE over text folded by NFKC, Lowercase and StripAccents, split at whitespace and punctuation."""
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.BPE(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.Sequence([normalizers.NFKD(), normalizers.StripAccents(),
                                                 normalizers.NFKC(), normalizers.Lowercase()])
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    trainer = trainers.BpeTrainer(vocab_size=400, special_tokens=["[UNK]", "[BOS]", "[EOS]", "[MASK]", "[PAD]"])
    tokenizer.train_from_iterator(corpus(), trainer)
    bos, eos = tokenizer.token_to_id("[BOS]"), tokenizer.token_to_id("[EOS]")
    tokenizer.post_processor = processors.TemplateProcessing(single="[BOS] $A [EOS]",
                                                             special_tokens=[("[BOS]", bos), ("[EOS]", eos)])
    return tokenizer


@functools.lru_cache(maxsize=None)
def sentencepiece_converted():
    """A model trained by the sentencepiece package and converted as
    transformers converts one, wrapped as a transformers fast tokenizer; None
    where sentencepiece, transformers or protobuf is missing."""
    try:
        import io
        import os
        import tempfile
        import types

        import sentencepiece
        from transformers import PreTrainedTokenizerFast
        from transformers.convert_slow_tokenizer import SpmConverter

        model = io.BytesIO()
        sentencepiece.SentencePieceTrainer.train(sentence_iterator=iter(corpus()), model_writer=model, vocab_size=200,
                                                 user_defined_symbols=["<mask>"], minloglevel=2)
        path = os.path.join(tempfile.mkdtemp(), "spm.model")
        with open(path, "wb") as file:
            file.write(model.getvalue())
        backend = SpmConverter(types.SimpleNamespace(vocab_file=path, legacy=False, add_prefix_space=True)).converted()
    except Exception:  # noqa: BLE001 - any failure here means: not on this machine
        return None
    return PreTrainedTokenizerFast(tokenizer_object=backend, mask_token="<mask>", unk_token="<unk>", eos_token="</s>",
                                   bos_token="<s>")


def wrapped(build, mask, pad):
    """A tokenizer wrapped as a transformers fast tokenizer; None without transformers."""
    try:
        from transformers import PreTrainedTokenizerFast
    except ImportError:
        return None
    return PreTrainedTokenizerFast(tokenizer_object=build().from_str(build().to_str()), mask_token=mask, pad_token=pad)


# name: (builder, mask token, pad token)
TOKENIZERS = {"wordpiece": (wordpiece, "[MASK]", "[PAD]"), "bytelevel": (bytelevel, "<mask>", "<pad>")}

# Every family encoding is checked on: name: (builder, mask token).
FAMILIES = {
    "wordpiece": (wordpiece, "[MASK]"),
    "bytelevel": (bytelevel, "<mask>"),
    "bytelevel_added": (bytelevel_added, "<mask>"),
    "unigram": (unigram, "<mask>"),
    "unigram_first": (unigram_first, "<mask>"),
    "llama": (llama, "</s>"),
    "llama_bytes": (llama_bytes, "</s>"),
    "folding": (folding, "[MASK]"),
}
