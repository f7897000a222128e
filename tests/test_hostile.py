"""Hostile and heavy input: huge templates, every Unicode scalar value,
surrogates, lying or failing sequences, mutation during __setstate__, threads."""

import functools
import gc
import operator
import pickle
import subprocess
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


class Slow:
    """A sequence in Python: every item costs some bytecode, so threads switch
    in the middle of an assignment that walks it."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        sum(range(20))
        return self.items[i]


class SlowIndex:
    def __index__(self):
        sum(range(20))
        return 0


class SlowValues(dict):
    def __getitem__(self, key):
        sum(range(20))
        return key.upper()


def test_threads_never_see_each_others_accesses():
    """Writers on two threads assign values whose conversion runs Python code;
    readers call every read operation meanwhile. Nobody re-enters an object,
    so nobody may fail, and every read sees one whole value."""
    markups = ["a[b|c]d", "x[y]z[w|u,v]"]
    options = [["p", "q"], ["r", "s", "t"]]
    t = PromptTemplate(markups[0], None)
    f = PromptFragment("n", options[0])
    errors, seen_markup, seen_options = [], set(), set()

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as error:  # noqa: BLE001 - any failure is a finding
                errors.append(error)
        return threading.Thread(target=run)

    def reader():
        for _ in range(300):
            seen_markup.update({str(t), repr(t), "".join(map(str, t)), "".join(map(str, t.fragments)),
                                t.__getstate__()["template"], str(pickle.loads(pickle.dumps(t)))})
            assert t.render(SlowValues()) in {"aBd", "xYzW"}
            hash(t), len(t), t[SlowIndex()], t.tokenizer
            seen_options.update({tuple(f.options), tuple(f.__getstate__()["options"]), str(f)[3:-1]})
            hash(f), repr(f), f.string

    def writer(n):
        for i in range(300):
            k = (i + n) % 2
            t.fragments = Slow(korvanta.parse(markups[k]))
            f.options = Slow(options[k])
            pairs = [(g.string, g.options) for g in korvanta.parse(markups[k])]
            t.__setstate__({"fragments": Slow(pairs), "template": markups[k]})
            f.__setstate__({"options": Slow(options[k])})
            t.tokenizer = i

    threads = [guarded(reader) for _ in range(3)] + [guarded(lambda n=n: writer(n)) for n in range(2)]
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
    assert seen_markup <= set(markups)
    assert seen_options <= {"p,q", "r,s,t", ("p", "q"), ("r", "s", "t")}


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


# ---------------------------------------------------------------- callers that fight back


class DroppingList(list):
    """A list whose __len__ clears every dict that refers to it, dropping the last
    reference the caller held: the constructor must hold its own."""

    def __len__(self):
        for referrer in gc.get_referrers(self):
            if type(referrer) is dict:
                referrer.clear()
        return 1

    def __iter__(self):
        return iter(["a"])


@pytest.mark.parametrize("call", [
    lambda: PromptFragment(**{"option": DroppingList()}),
    lambda: operator.methodcaller("__new__", PromptFragment, option=DroppingList())(PromptFragment),
    lambda: PromptFragment.__new__(PromptFragment, **{"string": "s", "option": DroppingList()}),
])
def test_an_argument_dropped_by_its_own_len_stays_alive(call):
    for _ in range(5):
        assert call().options == ["a"]


class Interrupting:
    def __init__(self, exception):
        self.exception = exception

    def __len__(self):
        raise self.exception

    def __getitem__(self, index):
        raise IndexError


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("assign", [
    lambda t, f, seq: setattr(t, "fragments", seq),
    lambda t, f, seq: setattr(f, "options", seq),
    lambda t, f, seq: PromptFragment("x", type("L", (list,), {"__len__": seq.__len__})()),
])
def test_a_length_hint_passes_on_what_is_not_an_ordinary_error(exception, assign):
    t, f = PromptTemplate("[keep]", None), PromptFragment("x", ["keep"])
    with pytest.raises(exception):
        assign(t, f, Interrupting(exception()))
    assert (str(t), str(f)) == ("[keep]", "[x|keep]")


@pytest.mark.parametrize("exception", [TypeError, ValueError, LookupError])
def test_a_length_hint_that_fails_ordinarily_is_no_hint(exception):
    t, f = PromptTemplate("[old]", None), PromptFragment("x", ["old"])
    t.fragments = Interrupting(exception())
    f.options = Interrupting(exception())
    assert (str(t), str(f)) == ("", "[x]")


PANIC_AS_EXIT = """
import importlib.util, _testcapi
import korvanta

# korvanta makes its PanicException on its first internal failure: an
# initialisation that cannot append to __all__ is one. Fail each allocation of
# a fresh initialisation in turn until one gives it.
spec = importlib.util.find_spec("korvanta")

def initialise():
    spec.loader.exec_module(importlib.util.module_from_spec(spec))

panic = None
for n in range(1000):
    _testcapi.set_nomemory(n, n + 1)
    try:
        initialise()
        error = None
    except BaseException as caught:
        error = caught
    _testcapi.remove_mem_hooks()
    if type(error).__name__ == "PanicException":
        panic = type(error)
        break
assert panic is not None, "no PanicException"

class Exit(panic, SystemExit):
    pass

class Sequence:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        raise IndexError
    def __iter__(self):
        raise Exit("from Python code")

t = korvanta.PromptTemplate("[keep]", None)
try:
    t.fragments = Sequence()
except BaseException as caught:
    print(type(caught).__name__, caught.args, str(t))
print("still running")
"""


@pytest.mark.isolated
def test_a_panic_that_is_also_an_exit_request_does_not_end_the_process():
    pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", PANIC_AS_EXIT], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "PanicException ('from Python code',) [keep]\nstill running\n"
    assert done.stderr.startswith("korvanta: resuming an internal failure fetched from Python code\n")
    assert "Exit: from Python code" in done.stderr


class Dropper:
    """Drops the only reference to a call's receiver from inside the call: the
    partial passes its stored receiver on borrowed, and forgets it here."""

    def __init__(self, receiver, method):
        self.call = functools.partial(method, receiver)

    def drop(self):
        if self.call is not None:
            call, self.call = self.call, None
            call.__setstate__((len, (), {}, None))
            gc.collect()


class DroppingValues(dict):
    def __missing__(self, key):
        self.dropper.drop()
        return key


class DroppingSequence(Slow):
    def __getitem__(self, i):
        self.dropper.drop()
        return self.items[i]


class DroppingState(PromptTemplate):
    def __getstate__(self):
        self.dropper.drop()
        return super().__getstate__()


def dropping_values(dropper):
    values = DroppingValues()
    values.dropper = dropper
    return values


def dropping_sequence(dropper, items):
    sequence = DroppingSequence(items)
    sequence.dropper = dropper
    return sequence


@pytest.mark.parametrize("make, method, arguments, result", [
    (lambda: PromptTemplate("[a] [b]", None), PromptTemplate.render, lambda d: [dropping_values(d)], "a b"),
    (lambda: PromptTemplate("[a]", None), PromptTemplate.__setstate__,
     lambda d: [{"fragments": dropping_sequence(d, [("x", None), ("y", [])])}], None),
    (lambda: PromptFragment("a"), PromptFragment.__setstate__,
     lambda d: [{"options": dropping_sequence(d, "xyz")}], None),
    (lambda: DroppingState("[a]", None), DroppingState.__reduce__, lambda d: [], "[a]"),
])
def test_a_call_holds_its_receiver(make, method, arguments, result):
    receiver = make()
    dropper = Dropper(receiver, method)
    if isinstance(receiver, DroppingState):
        receiver.dropper = dropper
    given = arguments(dropper)
    call = dropper.call
    del receiver
    outcome = call(*given)
    assert outcome == result or outcome[2]["template"] == result
