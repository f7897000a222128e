"""Runs one korvanta operation again and again, failing exactly the n-th
allocation for n = 0, 1, 2, ... until the operation no longer meets the
failure. Every outcome must be a result or an ordinary exception (MemoryError
or the operation's own error), a failed change must leave the objects as they
were, and the objects must still work afterwards. Prints what it saw as JSON.

    python sweep.py python OPERATION   # interpreter allocations (_testcapi.set_nomemory)
    python sweep.py cxx OPERATION      # C++ allocations (failing_new.so preloaded)

Each operation runs in a process of its own, so an operation that fills a
first-use cache (a class, an interned name) meets the failure while filling it.
"""

import copyreg
import ctypes
import json
import pickle
import re
import sys
from types import SimpleNamespace

import korvanta
import korvanta._prepare  # noqa: F401  imported here: the sweep fails allocations in the module's lookup of it, not in CPython's import
from korvanta import ChatTemplate, PromptFragment, PromptTemplate

TEXT = "Hi [name] ! Is it [label|good,bad]? " * 4 + "a long run of plain text " * 3


class Tokenizer:
    __slots__ = ("name",)  # no managed __dict__, whose release under a failed allocation 3.13 reports itself

    def __init__(self, name):
        self.name = name


# Compiled here: the re module's own parser fails badly under a failed allocation.
WORD = re.compile(r"\[(?:CLS|SEP|MASK|PAD)\]|[^\s\[]+")


class Encoding:
    __slots__ = ("ids", "offsets", "special_tokens_mask", "tokens")

    def __init__(self, ids, offsets, special_tokens_mask, tokens):
        self.ids, self.offsets, self.special_tokens_mask, self.tokens = ids, offsets, special_tokens_mask, tokens


class WordTokenizer:
    """A whitespace word-level tokenizer in Python with what encoding asks of a
    tokenizers.Tokenizer, so that the sweep meets only korvanta's allocations
    and the interpreter's."""

    __slots__ = ("name", "vocab", "encode_special_tokens")
    SPECIAL = ("[CLS]", "[SEP]", "[MASK]", "[PAD]")

    def __init__(self, name, words="Hi ! Is it ? a long run of plain text".split()):
        self.name, self.encode_special_tokens = name, False
        self.vocab = {word: i for i, word in enumerate([*self.SPECIAL, *words])}

    def token_to_id(self, token):
        return self.vocab.get(token)

    def to_str(self):
        return " ".join(self.vocab)

    @classmethod
    def from_str(cls, text):
        return cls("copy", text.split(" ")[len(cls.SPECIAL):])

    def encode(self, text, add_special_tokens=True):
        words = [(m.group(), m.span()) for m in WORD.finditer(text)]
        unknown = len(self.vocab)
        ids = [unknown if w in self.SPECIAL and self.encode_special_tokens else self.vocab.get(w, unknown)
               for w, _ in words]
        offsets, tokens, special = [span for _, span in words], [w for w, _ in words], [0] * len(words)
        if add_special_tokens:
            ids, offsets = [0, *ids, 1], [(0, 0), *offsets, (0, 0)]
            tokens, special = ["[CLS]", *tokens, "[SEP]"], [1, *special, 1]
        return Encoding(ids, offsets, special, tokens)

    def encode_batch(self, texts, add_special_tokens=True):
        return [self.encode(text, add_special_tokens) for text in texts]


ROWS = [{"name": "Ann " * 8}, {"name": "Bob"}]  # the first is cut to fit max_length=12


def fresh():
    return SimpleNamespace(
        f=PromptFragment("s" * 30, ["good" * 5, "bad"]),
        t=PromptTemplate(TEXT, WordTokenizer("tok")),
        other=PromptTemplate("x[y|z]" * 3, None),
        small=PromptTemplate("Hi [name] ! [label|good,bad]", WordTokenizer("small")),
        chat=ChatTemplate(WordTokenizer("chat"), roles=ROLES),
        items=[PromptFragment("a" * 20), PromptFragment("b", ["c" * 20])],
        array=memoryview(bytes(range(1, 13))).cast("B", (3, 4)),
        packer=korvanta.Packer(8, open_rows=1),
        collator=korvanta.DataCollator(0, pad_to_multiple_of=4, return_tensors=None),
        flat=korvanta.DataCollator(0, padding_free=True, return_tensors=None),
    )


ROLES = {"user": "Q [content]", "assistant": "A [content] !"}
CONVERSATION = [{"role": "user", "content": "Hi it"}, {"role": "assistant", "content": "a long run"},
                {"role": "user", "content": "Is it"}, {"role": "assistant", "content": "plain text"}]

PACKABLE = {"input_ids": [[1, 2, 3], [4, 5], [6, 7, 8, 9], [10] * 8], "labels": [[1, 2, 3], [-100, 5], [6] * 4, [-100] * 8],
            "row_index": [0, 1, 3, 4]}
FEATURES = [{"input_ids": [1, 2, 3], "labels": [1, 2, 3]}, {"input_ids": list(range(300)), "labels": [-100] * 300},
            {"input_ids": [1, 2], "labels": [1, 2], "attention_mask": [1, 0]}]

# name: (operation, whether it changes ns.f or ns.t as a whole, its own error or None)
OPERATIONS = {
    "parse": (lambda ns: korvanta.parse(TEXT), False, None),
    "parse static": (lambda ns: PromptTemplate.parse(template=TEXT), False, None),
    "parse error": (lambda ns: korvanta.parse(5), False, TypeError),
    "validate": (lambda ns: korvanta.validate(TEXT), False, None),
    "validate error": (lambda ns: korvanta.validate("ok [a|b|c]"), False, korvanta.MarkupError),
    "escape": (lambda ns: korvanta.escape(TEXT + "[x] \\ é"), False, None),
    "fragment new": (lambda ns: PromptFragment("s" * 30, ["a" * 20, "b"]), False, None),
    "fragment new keywords": (lambda ns: PromptFragment(option=["a" * 20], string="x" * 20), False, None),
    "fragment new error": (lambda ns: PromptFragment("x", ("a",)), False, TypeError),
    "template new": (lambda ns: PromptTemplate(TEXT, ns.t.tokenizer), False, None),
    "template new error": (lambda ns: PromptTemplate(5, None), False, TypeError),
    "string get": (lambda ns: ns.f.string, False, None),
    "string set": (lambda ns: setattr(ns.f, "string", "n" * 40), True, None),
    "string set error": (lambda ns: setattr(ns.f, "string", 5), True, TypeError),
    "options get": (lambda ns: ns.f.options, False, None),
    "options set": (lambda ns: setattr(ns.f, "options", ["x" * 20, "y"]), True, None),
    "options set tuple": (lambda ns: setattr(ns.f, "options", ("x" * 20, "y")), True, None),
    "options set none": (lambda ns: setattr(ns.f, "options", None), True, None),
    "options set error": (lambda ns: setattr(ns.f, "options", ["a", 1]), True, TypeError),
    "tokenizer get": (lambda ns: ns.t.tokenizer, False, None),
    "tokenizer set": (lambda ns: setattr(ns.t, "tokenizer", Tokenizer("new")), True, None),
    "fields": (lambda ns: ns.t.fields, False, None),
    "slots": (lambda ns: ns.t.slots, False, None),
    "encode": (lambda ns: ns.small.encode(ROWS[0], mask_token="[MASK]", max_length=12), False, None),
    "encode batch": (lambda ns: ns.small.encode_batch(ROWS, mask_token="[MASK]", max_length=12, padding=True,
                                                  pad_token="[PAD]"), False, None),
    "encode columns": (lambda ns: ns.small.encode_batch({"name": ["a", "b"]}, mask_token=None), False, None),
    "encode error": (lambda ns: ns.small.encode_batch([ROWS[0], {}], mask_token="[MASK]"), False, KeyError),
    "label ids": (lambda ns: ns.small.label_ids(), False, None),
    "fragments get": (lambda ns: ns.t.fragments, False, None),
    "fragments set": (lambda ns: setattr(ns.t, "fragments", ns.items), True, None),
    "fragments set template": (lambda ns: setattr(ns.t, "fragments", ns.other), True, None),
    "fragments set error": (lambda ns: setattr(ns.t, "fragments", [ns.items[0], 1]), True, TypeError),
    "fragment str": (lambda ns: str(ns.f), False, None),
    "fragment repr": (lambda ns: repr(ns.f), False, None),
    "fragment hash": (lambda ns: hash(ns.f), False, None),
    "template str": (lambda ns: str(ns.t), False, None),
    "template repr": (lambda ns: repr(ns.t), False, None),
    "template hash": (lambda ns: hash(ns.t), False, None),
    "render": (lambda ns: ns.t.render({"name": "n" * 20, "label": "é"}), False, None),
    "render error": (lambda ns: ns.t.render({"name": "n"}), False, KeyError),
    "len": (lambda ns: len(ns.t), False, None),
    "index": (lambda ns: ns.t[3], False, None),
    "index error": (lambda ns: ns.t[10**6], False, IndexError),
    "iter": (lambda ns: iter(ns.t), False, None),
    "next": (lambda ns: (next(ns.it), next(ns.it), next(ns.it)), False, None),
    "fragment getstate": (lambda ns: ns.f.__getstate__(), False, None),
    "fragment setstate": (lambda ns: ns.f.__setstate__({"string": "x" * 20, "options": ["o" * 20]}), None, None),
    "template getstate": (lambda ns: ns.t.__getstate__(), False, None),
    "template setstate": (lambda ns: ns.t.__setstate__({"template": TEXT[::-1]}), True, None),
    "template setstate error": (lambda ns: ns.t.__setstate__({"template": 5}), True, TypeError),
    "fragment pickle": (lambda ns: pickle.loads(pickle.dumps(ns.f, pickle.HIGHEST_PROTOCOL)), False, None),
    "template pickle": (lambda ns: pickle.loads(pickle.dumps(ns.t, pickle.HIGHEST_PROTOCOL)), False, None),
    "fragment copy": (lambda ns: copy_steps(ns.f), False, None),
    "template copy": (lambda ns: copy_steps(ns.t), False, None),
    "class getitem": (lambda ns: PromptTemplate[WordTokenizer], False, None),
    "chat class getitem": (lambda ns: ChatTemplate[WordTokenizer], False, None),
    "markup error str": (lambda ns: str(korvanta.MarkupError("m", "a\nb", 2)), False, None),
    "iterator iter": (lambda ns: iter(ns.it), False, None),
    "iterator new error": (lambda ns: type(ns.it)(), False, TypeError),
    "chat new": (lambda ns: ChatTemplate(WordTokenizer("c"), roles=ROLES), False, None),
    "chat new error": (lambda ns: ChatTemplate(WordTokenizer("c"), roles={"user": "[x]"}), False, ValueError),
    "chat render": (lambda ns: ns.chat.render(CONVERSATION, add_generation_prompt=True), False, None),
    "chat encode": (lambda ns: ns.chat.encode(CONVERSATION, max_length=12), False, None),
    "chat encode batch": (lambda ns: ns.chat.encode_batch({"messages": [CONVERSATION] * 2}, max_length=6,
                                                          overflow="drop", padding=True, pad_token="Hi"), False, None),
    "chat pickle": (lambda ns: pickle.loads(pickle.dumps(ns.chat, pickle.HIGHEST_PROTOCOL)), False, None),
    "chat attributes": (lambda ns: (ns.chat.tokenizer, ns.chat.template, ns.chat.roles), False, None),
    "pack": (lambda ns: korvanta.pack(PACKABLE, 8, padding=True, pad_token_id=0), False, None),
    "pack arrays": (lambda ns: korvanta.pack({"input_ids": ns.array, "attention_mask": ns.array}, 8), False, None),
    "pack error": (lambda ns: korvanta.pack(PACKABLE, 2), False, ValueError),
    "packer new": (lambda ns: korvanta.Packer(8, strategy="sequential", open_rows=2), False, None),
    "packer add": (lambda ns: (ns.packer.add(PACKABLE), ns.packer.add(PACKABLE)), False, None),
    "packer flush": (lambda ns: (ns.packer.add(PACKABLE), ns.packer.flush()), False, None),
    "collator new": (lambda ns: korvanta.DataCollator(0, padding_free=True, return_tensors=None), False, None),
    "collator call": (lambda ns: ns.collator(FEATURES), False, None),
    "collator flat": (lambda ns: ns.flat(FEATURES), False, None),
    "collator pickle": (lambda ns: pickle.loads(pickle.dumps(ns.collator)), False, None),
    # prepare is Python beside the module: what is native is the module's lookup of it.
    "prepare lookup": (lambda ns: korvanta.__getattr__("prepare"), False, None),
    "lookup error": (lambda ns: korvanta.__getattr__("no_such_name"), False, AttributeError),
}

# Operations that run the Python code of WordTokenizer. A debug build of
# CPython 3.11 aborts (ceval.c: STACK_LEVEL() == 0) when an allocation fails
# inside that code, without korvanta in the call (tokenizer.encode called from
# Python does it too), so their interpreter-allocation sweeps run on release
# builds only.
RUNS_PYTHON_TOKENIZER = {"encode", "encode batch", "encode columns", "encode error", "label ids", "chat encode",
                         "chat encode batch"}

# The operations that exercise each public function, class member and slot:
# a new public name needs its line here (tests/test_faults.py checks).
COVERS = {
    "parse": ["parse", "parse error"],
    "escape": ["escape"],
    "validate": ["validate", "validate error"],
    "PromptFragment.__new__": ["fragment new", "fragment new keywords", "fragment new error"],
    "PromptFragment.__repr__": ["fragment repr"],
    "PromptFragment.__hash__": ["fragment hash"],
    "PromptFragment.__str__": ["fragment str"],
    "PromptFragment.parse": ["parse static"],
    "PromptFragment.__getstate__": ["fragment getstate"],
    "PromptFragment.__setstate__": ["fragment setstate", "fragment copy"],
    "PromptFragment.__reduce__": ["fragment pickle", "fragment copy"],
    "PromptFragment.string": ["string get", "string set", "string set error"],
    "PromptFragment.options": ["options get", "options set", "options set tuple", "options set none",
                               "options set error"],
    "PromptTemplate.__new__": ["template new", "template new error"],
    "PromptTemplate.__repr__": ["template repr"],
    "PromptTemplate.__hash__": ["template hash"],
    "PromptTemplate.__str__": ["template str"],
    "PromptTemplate.__iter__": ["iter"],
    "PromptTemplate.__len__": ["len"],
    "PromptTemplate.__getitem__": ["index", "index error"],
    "PromptTemplate.parse": ["parse static"],
    "PromptTemplate.__getstate__": ["template getstate"],
    "PromptTemplate.__setstate__": ["template setstate", "template setstate error", "template copy"],
    "PromptTemplate.__reduce__": ["template pickle", "template copy"],
    "PromptTemplate.render": ["render", "render error"],
    "PromptTemplate.encode": ["encode"],
    "PromptTemplate.encode_batch": ["encode batch", "encode columns", "encode error"],
    "PromptTemplate.label_ids": ["label ids"],
    "PromptTemplate.__class_getitem__": ["class getitem"],
    "PromptTemplate.tokenizer": ["tokenizer get", "tokenizer set"],
    "PromptTemplate.fragments": ["fragments get", "fragments set", "fragments set template", "fragments set error"],
    "PromptTemplate.fields": ["fields"],
    "PromptTemplate.slots": ["slots"],
    "MarkupError.__init__": ["validate error"],
    "MarkupError.__str__": ["markup error str"],
    "PromptFragmentIter.__new__": ["iterator new error"],
    "PromptFragmentIter.__iter__": ["iterator iter"],
    "PromptFragmentIter.__next__": ["next"],
    "ChatTemplate.__new__": ["chat new", "chat new error"],
    "ChatTemplate.render": ["chat render"],
    "ChatTemplate.encode": ["chat encode"],
    "ChatTemplate.encode_batch": ["chat encode batch"],
    "ChatTemplate.__reduce__": ["chat pickle"],
    "ChatTemplate.tokenizer": ["chat attributes"],
    "ChatTemplate.template": ["chat attributes"],
    "ChatTemplate.roles": ["chat attributes"],
    "ChatTemplate.__class_getitem__": ["chat class getitem"],
    "pack": ["pack", "pack arrays", "pack error"],
    "Packer.__new__": ["packer new"],
    "Packer.add": ["packer add"],
    "Packer.flush": ["packer flush"],
    "DataCollator.__new__": ["collator new"],
    "DataCollator.__call__": ["collator call", "collator flat"],
    "DataCollator.__reduce__": ["collator pickle"],
    "prepare": ["prepare lookup", "lookup error"],
}


def copy_steps(obj):
    """What copy.copy() asks of an object, without the Python frames of the copy
    module: CPython 3.12 and 3.13 crash, and the debug build of 3.11 asserts,
    when an allocation fails inside those frames, for plain Python classes too."""
    function, arguments, state = obj.__reduce_ex__(4)[:3]
    assert function is copyreg.__newobj__
    clone = arguments[0].__new__(*arguments)
    clone.__setstate__(state)
    return clone


def snapshot(ns):
    """The objects' whole value, read through the public surface."""
    return (ns.f.string, ns.f.options, str(ns.f), [(x.string, x.options) for x in ns.t.fragments], str(ns.t),
            getattr(ns.t.tokenizer, "name", ns.t.tokenizer))


class PythonAllocations:
    """Fails the n-th interpreter allocation; cannot tell whether it was reached."""

    exact = False

    def __init__(self):
        import _testcapi

        self.testcapi = _testcapi

    def arm(self, n):
        self.testcapi.set_nomemory(n, n + 1)

    def disarm(self):
        self.testcapi.remove_mem_hooks()
        return None


class CxxAllocations:
    """Fails the n-th C++ allocation; knows whether it was reached."""

    exact = True

    def __init__(self):
        self.library = ctypes.CDLL(None)
        self.library.failing_new_arm.argtypes = [ctypes.c_long]

    def arm(self, n):
        self.library.failing_new_arm(n)

    def disarm(self):
        return bool(self.library.failing_new_disarm())


def sweep(allocations, name, limit, settle):
    operation, changes, own_error = OPERATIONS[name]
    seen, unchanged_run, finished = {}, 0, False
    for n in range(limit):
        ns = fresh()
        ns.it = iter(ns.t)
        before = snapshot(ns)
        error = None
        allocations.arm(n)
        try:
            operation(ns)
        except BaseException as caught:  # noqa: BLE001 - judged below, once nothing fails any more
            error = caught
        reached = allocations.disarm()
        if error is None:
            outcome = "result"
        elif type(error) in (MemoryError, own_error):
            outcome = type(error).__name__
        else:
            outcome = f"unexpected {type(error).__name__}: {error}"
        seen[outcome] = seen.get(outcome, 0) + 1
        after = snapshot(ns)  # the objects still work
        if outcome != "result" and changes and after != before:
            seen["changed although it failed"] = seen.get("changed although it failed", 0) + 1
        # The end: the failure was not reached (known for C++ allocations), or
        # for interpreter allocations, the same normal outcome many times running.
        if allocations.exact:
            if not reached:
                finished = True
                break
        else:
            unchanged_run = unchanged_run + 1 if outcome != "MemoryError" else 0
            if unchanged_run >= settle:
                finished = True
                break
    # Afterwards, everything works as on a fresh start.
    assert [(x.string, x.options) for x in korvanta.parse("a[b|c]")] == [("a", None), ("b", ["c"])]
    return {"outcomes": seen, "attempts": n + 1, "finished": finished}


def main():
    kind, name = sys.argv[1], sys.argv[2]
    allocations = PythonAllocations() if kind == "python" else CxxAllocations()
    print(json.dumps(sweep(allocations, name, limit=3000, settle=25)))


if __name__ == "__main__":
    main()
