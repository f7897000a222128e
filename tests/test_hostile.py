"""Hostile and heavy input: huge templates, every Unicode scalar value,
surrogates, lying or failing sequences, mutation during __setstate__, threads."""

import pickle
import sys
import threading

import pytest

import korvanta
from korvanta import PromptFragment, PromptTemplate

from conftest import assert_no_leak, markup_hash, shape, swallow

SCALARS = "".join(chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF)
TEXT = SCALARS.translate({ord(c): None for c in "\\[]"})
WORD = SCALARS.translate({ord(c): None for c in "[]|#,"})


def test_every_scalar_value_in_text_names_and_options():
    markup = TEXT + "[" + WORD + "|" + WORD + "," + WORD[::-1] + "]" + TEXT
    t = PromptTemplate(markup, None)
    assert shape(t) == [(TEXT, None), (WORD, [WORD, WORD[::-1]]), (TEXT, None)]
    assert str(t) == markup and hash(t) == markup_hash(markup)
    assert shape(pickle.loads(pickle.dumps(t))) == shape(t)
    f = PromptFragment(SCALARS, [SCALARS])
    assert (f.string, f.options) == (SCALARS, [SCALARS])
    assert str(f) == "[" + SCALARS + "|" + SCALARS + "]"


def test_a_hundred_megabyte_template():
    chunk = "Some prose, with punctuation | # and a control [slot|yes,no] here.\n"
    markup = chunk * (100 * 2**20 // len(chunk))
    t = PromptTemplate(markup, None)
    assert len(t) == 2 * markup.count("[") + 1
    assert str(t) == markup
    assert t[len(t) - 1].string == " here.\n"


class Text(str):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda t, f: korvanta.parse("\udc80"),
        lambda t, f: PromptTemplate("\ud800", None),
        lambda t, f: PromptTemplate(Text("\ud800"), None),
        lambda t, f: PromptFragment("\ud800"),
        lambda t, f: setattr(f, "string", "\ud800"),
        lambda t, f: f.__setstate__({"string": "\ud800"}),
        lambda t, f: f.__setstate__({"\ud800": 1}),
        lambda t, f: PromptTemplate.parse("a\udfffb"),
        lambda t, f: t.__setstate__({"template": "\ud800"}),
        lambda t, f: t.__setstate__({"\ud800": "[x]"}),
        lambda t, f: PromptFragment("ok", ["\ud800"]),
        lambda t, f: setattr(f, "options", ("a", "\ud800")),
        lambda t, f: f.__setstate__({"options": ["\ud800"]}),
    ],
)
def test_lone_surrogates_anywhere_change_nothing(call):
    t, f = PromptTemplate("[a]", None), PromptFragment("x", ["o"])
    with pytest.raises(UnicodeEncodeError):
        call(t, f)
    assert (str(t), str(f)) == ("[a]", "[x|o]")


class Lying:
    """A sequence of fragments whose length fails or lies and whose items can fail midway."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise OSError("no length")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError("midway")
        return self.items[index]


@pytest.mark.parametrize("length", [None, 0, 1, 10**12, sys.maxsize])
def test_lying_or_failing_lengths_are_only_hints(length):
    t = PromptTemplate(None, None)
    t.fragments = Lying([PromptFragment("a"), PromptFragment("b", [])], length)
    assert shape(t) == [("a", None), ("b", [])]
    f = PromptFragment("x")
    f.options = Lying(["a", "b"], length)
    assert f.options == ["a", "b"]


def test_iteration_failing_midway_keeps_the_old_value():
    t, f = PromptTemplate("[keep]", None), PromptFragment("x", ["keep"])
    for target, name, items in [(t, "fragments", [PromptFragment("a")] * 2), (f, "options", ["a", "b"])]:
        broken = Lying(items, 2, fail_at=1)
        with pytest.raises(LookupError, match="midway"):
            setattr(target, name, broken)
        assert_no_leak(swallow(LookupError, setattr, target, name, broken))
    assert (str(t), str(f)) == ("[keep]", "[x|keep]")


@pytest.mark.parametrize("mutate", [dict.clear, lambda d: d.update({f"k{i}": i for i in range(100)}),
                                    lambda d: d.pop("string", None)])
def test_dict_mutated_during_setstate(mutate):
    state = {}

    class Mutating:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index:
                raise IndexError
            mutate(state)
            return "opt"

    state.update({"options": Mutating(), "string": "s", "other": 1})
    f = PromptFragment("x")
    try:
        f.__setstate__(state)
    except RuntimeError as error:  # the interpreter may notice the change
        assert "changed size" in str(error)
    assert f.options == ["opt"] and f.string in ("x", "s")


def test_threads_sharing_one_template():
    t = PromptTemplate("a[b|c]d", None)
    replacements = [korvanta.parse("x[y]"), korvanta.parse("a[b|c]d")]
    errors, seen = [], set()

    def reader():
        try:
            for _ in range(3000):
                seen.add(str(t))
                list(t)
                t.fragments
                hash(t)
                t[1]  # every replacement has at least two fragments
        except Exception as error:  # noqa: BLE001 - any failure is a finding
            errors.append(error)

    def writer(n):
        try:
            for i in range(3000):
                t.fragments = replacements[(i + n) % 2]
                t.tokenizer = i
        except Exception as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=reader) for _ in range(3)] + [threading.Thread(target=writer, args=(n,))
                                                                      for n in range(2)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert seen <= {"x[y]", "a[b|c]d"} and str(t) in seen | {"x[y]", "a[b|c]d"}


def test_releasing_a_long_chain_of_templates_does_not_exhaust_the_stack():
    import resource
    import subprocess

    script = (
        "import korvanta\n"
        "t = None\n"
        "for i in range(500_000): t = korvanta.PromptTemplate(None, t)\n"
        "del t\n"
        "print('released')\n"
    )

    def small_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (2**20, 2**20))

    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, preexec_fn=small_stack,
                          timeout=300)
    assert (done.returncode, done.stdout) == (0, "released\n"), done.stderr
