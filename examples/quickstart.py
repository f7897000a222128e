"""The job korvanta is for: rows of data to model inputs with your tokenizer.

    pip install '.[tokenizers]' && python examples/quickstart.py

A WordPiece tokenizer is trained on the spot from a few sentences (nothing is
downloaded); a template with a text field and a slot whose options are the
label words turns rows into input_ids, attention_mask and the mask's position,
cutting only the rows' text to fit, and gives the label words' ids.
"""

try:
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors, trainers
except ImportError:
    raise SystemExit("this example trains a tokenizer with the tokenizers package: "
                     "pip install 'korvanta[tokenizers]'") from None

from korvanta import PromptTemplate

CORPUS = [
    "A moving film with a great plot.",
    "The acting was terrible and the story boring.",
    "It was great, really great.",
    "It was terrible, a boring film.",
    "Review: it was great.",
] * 50

tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
tokenizer.train_from_iterator(
    CORPUS, trainers.WordPieceTrainer(vocab_size=120, show_progress=False, special_tokens=["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]))
tokenizer.post_processor = processors.TemplateProcessing(
    single="[CLS] $A [SEP]",
    special_tokens=[("[CLS]", tokenizer.token_to_id("[CLS]")), ("[SEP]", tokenizer.token_to_id("[SEP]"))])

template = PromptTemplate("Review: [text] It was [mask|great,terrible].", tokenizer)
rows = [{"text": "A moving film with a great plot."},
        {"text": "The acting was terrible and the story boring, really boring, a boring film."}]
encoded = template.encode_batch(rows, mask_token="[MASK]", max_length=16, padding="longest", pad_token="[PAD]")

print(f"template: {template}")
for row, ids, attention, positions in zip(rows, encoded["input_ids"], encoded["attention_mask"],
                                          encoded["mask_positions"]):
    print(f"row:      {row['text']}")
    print(f"tokens:   {' '.join(str(tokenizer.id_to_token(i)) for i in ids)}")
    print(f"ids:      {ids}")
    print(f"mask at:  {positions}  attention: {attention}")
words = template.label_ids(single_token=True)[0]
print(f"label words: {dict(zip(['great', 'terrible'], [w[0] for w in words]))}")
