"""A user's script that touches every public name of korvanta, as type
checkers see it: checked by mypy --strict and basedpyright (strict) in CI,
and run by the tests."""

import copy
import pickle

import korvanta
from korvanta import ChatTemplate, MarkupError, PromptFragment, PromptTemplate


class Tokenizer:
    def __init__(self, name: str) -> None:
        self.name = name


def main() -> tuple[object, ...]:
    version: str = korvanta.__version__
    names: list[str] = korvanta.__all__
    fragments: list[PromptFragment] = korvanta.parse("Hi [name] !")
    fragments += PromptFragment.parse("[a|b]") + PromptTemplate.parse("c")
    korvanta.validate("ok")
    try:
        korvanta.validate("[")
    except MarkupError as error:
        where: tuple[str, str, int, int, int] = (error.msg, error.template, error.pos, error.lineno, error.colno)
        assert where[2] == 0
    escaped: str = korvanta.escape("[x]")

    f = PromptFragment("name", ["a", "b"])
    f.string, f.options = "other", ("c", "d")
    f.options = None
    text: str = f.string
    options: list[str] | None = f.options
    state = f.__getstate__()
    f.__setstate__({"string": state["string"]})

    t = PromptTemplate("Review: [text] It was [mask|great,terrible].", Tokenizer("tok"))
    name: str = t.tokenizer.name  # the tokenizer keeps its type
    typed: PromptTemplate[Tokenizer] = t
    t.fragments = fragments
    t.fragments = PromptTemplate("[text] [mask|yes,no]", None)  # a template is a sequence of fragments
    first: PromptFragment = t[0]
    every: list[PromptFragment] = list(t) + t.fragments
    prompt: str = t.render({"text": "x", "mask": "[MASK]"})
    fields: tuple[str, ...] = t.fields + t.slots
    template_state = t.__getstate__()
    t.__setstate__({"template": template_state["template"]})
    clone = copy.deepcopy(pickle.loads(pickle.dumps(t)))
    assert PromptTemplate[Tokenizer] is not None
    return (version, names, escaped, text, options, name, typed, first, every, prompt, fields, clone, len(t), hash(t))


def encode(t: PromptTemplate[object]) -> None:
    one = t.encode({"text": "x"}, mask_token="[MASK]", max_length=16)
    ids: list[int] = one["input_ids"] + one["attention_mask"] + one["mask_positions"]
    batch = t.encode_batch([{"text": "x"}], mask_token=None, shorten=["text"], truncation_side="left", padding="longest",
                           pad_token="[PAD]", slots=["mask"], add_special_tokens=False)
    rows: list[list[int]] = batch["input_ids"]
    arrays = t.encode_batch({"text": ["x"]}, mask_token="[MASK]", return_tensors="np")
    first_id: int = int(arrays["input_ids"][0, 0])  # an int64 array
    later = PromptTemplate("[text]", None)  # a tokenizer assigned later, as the README does
    later.tokenizer = Tokenizer("tok")
    trained = t.encode_batch([{"text": "x", "a": "y"}], targets=("a",), overflow="drop", padding_side="left")
    labels: list[list[int]] = trained.get("labels", []) + [trained.get("row_index", [])]  # with targets=, overflow="drop"
    words: list[list[list[int]]] = t.label_ids(slots=["mask"], single_token=True)
    print(ids, rows, arrays["input_ids"], words, first_id, later, labels)


def chat(tokenizer: Tokenizer) -> None:
    conversation = [{"role": "user", "content": "a film?"}, {"role": "assistant", "content": "great"}]
    c = ChatTemplate(tokenizer, roles={"user": "Q: [content]\n", "assistant": "A: [content]\n"})
    same: Tokenizer = c.tokenizer  # the tokenizer keeps its type
    sources: tuple[str | None, dict[str, str] | None] = (c.template, c.roles)
    text: str = c.render(conversation, add_generation_prompt=False)
    one = c.encode(conversation, max_length=32, train_on=("assistant",))
    ids: list[int] = one["input_ids"] + one["attention_mask"] + one.get("labels", [])
    batch = c.encode_batch({"messages": [conversation]}, overflow="drop", padding="longest", pad_token="[PAD]",
                           padding_side="left", add_generation_prompt=True)
    rows: list[list[int]] = batch["input_ids"] + [batch.get("row_index", [])]
    arrays = c.encode_batch([conversation], return_tensors="np")
    packed = c.encode_batch([conversation] * 3, max_length=32, pack=True)
    lengths: list[list[int]] = packed["seq_lengths"] + packed["row_index"]
    again = korvanta.pack(batch, 64, strategy="sequential", padding=True, pad_token_id=0)
    packer = korvanta.Packer(64, open_rows=8)
    streamed = [packer.add(batch), packer.flush()]
    collate = korvanta.DataCollator(0, padding_free=True, return_tensors="np")
    flat = collate([{"input_ids": ids}])
    prepare = korvanta.prepare  # run in the prepare tests: it reads and writes files
    print(same, sources, text, ids, rows, arrays["input_ids"], pickle.loads(pickle.dumps(c)), lengths, again,
          streamed, flat, prepare.__name__)


if __name__ == "__main__":
    print(main())
