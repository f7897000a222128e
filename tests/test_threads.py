"""Threads at once (without the interpreter lock where the build has none):
every operation gives each thread what one thread alone gets, on templates of
its own and on templates that all threads share while one of them replaces
their fragments."""

import os
import pickle
import subprocess
import sys
import sysconfig
import threading

import pytest

import korvanta
from korvanta import PromptTemplate
from test_encode_hostile import WordTokenizer

MARKUPS = ["Hi [name] ! Is it [label|good,bad] ?", "Say [name] \\[twice\\] : [label|yes,no,maybe] ."]
ROWS = [{"name": "Ann", "label": "x"}, {"name": "Bo and Cy", "label": "y"}]
THREADS = 6
ROUNDS = 300


def operations(template, markup, tokenizer):
    """What a thread sees of `template` (whose markup is `markup`) in one round."""
    return (
        [(f.string, f.options) for f in korvanta.parse(markup)],
        str(template),
        [str(f) for f in template],
        [template.render(row) for row in ROWS],
        str(pickle.loads(pickle.dumps(template))),
        hash(template),
        template.encode_batch(ROWS, mask_token="[MASK]")["input_ids"],
    )


def run_threads(work):
    errors = []

    def guarded(n):
        try:
            work(n)
        except BaseException as error:  # noqa: BLE001 - any failure is a finding
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_threads_agree_with_one_thread():
    tokenizer = WordTokenizer()
    # One thread first: the tokenizer numbers words as it meets them.
    alone = {markup: operations(PromptTemplate(markup, tokenizer), markup, tokenizer) for markup in MARKUPS}
    shared = {markup: PromptTemplate(markup, tokenizer) for markup in MARKUPS}
    swapped = PromptTemplate(MARKUPS[0], tokenizer)
    seen = []

    def work(n):
        own = PromptTemplate(MARKUPS[n % 2], tokenizer)
        for i in range(ROUNDS):
            markup = MARKUPS[(n + i) % 2]
            own.fragments = korvanta.parse(markup)  # assigned, then read, by this thread alone
            assert operations(own, markup, tokenizer) == alone[markup]
            assert operations(shared[markup], markup, tokenizer) == alone[markup]
            if n == 0:
                swapped.fragments = korvanta.parse(markup)
            else:  # a reader sees the old fragments or the new, whole
                seen.append(str(swapped))

    run_threads(work)
    assert set(seen) <= {str(shared[markup]) for markup in MARKUPS}


def test_a_shared_iterator_hands_out_each_fragment_once():
    template = PromptTemplate(" ".join(f"w{i} [f{i}]" for i in range(2000)), None)
    iterator = iter(template)
    taken = [[] for _ in range(THREADS)]
    run_threads(lambda n: taken[n].extend(str(fragment) for fragment in iterator))
    assert sorted(sum(taken, [])) == sorted(str(fragment) for fragment in template)


def test_a_list_another_thread_changes_is_read_item_by_item():
    words = ["a", "b"]
    fragment = korvanta.PromptFragment("n", [])

    def work(n):
        for i in range(3000):
            if n == 0:
                words.append(f"w{i}")
                words.pop()
            else:
                fragment.options = words
                assert fragment.options[:2] == ["a", "b"]

    run_threads(work)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a build with the interpreter lock")
def test_importing_the_module_keeps_the_interpreter_lock_off():
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import sys, korvanta; print(sys._is_gil_enabled())"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (done.stdout, done.stderr) == ("False\n", "")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="classes are made immortal without the lock")
def test_making_and_dropping_instances_leaves_the_class_counts_as_they_were():
    classes = [korvanta.PromptFragment, PromptTemplate, korvanta.ChatTemplate]
    counts = [sys.getrefcount(cls) for cls in classes]
    made = [(korvanta.PromptFragment("a"), PromptTemplate("a [b]", None)) for _ in range(1000)]
    del made
    assert [sys.getrefcount(cls) for cls in classes] == counts
    assert min(counts) >= 2**30  # immortal: counting their references does nothing


def test_lists_a_tokenizer_hands_out_that_another_thread_changes():
    """Encoding reads them as they were at one moment or fails clearly; it never reads an item another thread freed."""
    changing = [5, 6, 7]

    class Changing(WordTokenizer):
        def encode_batch(self, texts, add_special_tokens=True):
            encodings = super().encode_batch(texts, add_special_tokens)
            for encoding in encodings:
                if len(encoding.ids) == 3:  # the row's, not the template's own text
                    encoding.ids = changing
            return encodings

    template = PromptTemplate("[text]", Changing())

    def work(n):
        for i in range(2000):
            if n == 0:
                changing.append(int(str(10**6 + i)))  # an int of its own, freed when taken out
                changing.pop()
                continue
            try:
                ids = template.encode({"text": "a b c"})["input_ids"]
            except TypeError as error:  # the ids and the offsets differ in length at that moment
                assert "differ in length" in str(error), error
                continue
            # The list as it was when read: three ids, or four while the other thread has appended one.
            assert ids[:3] == [5, 6, 7] and (len(ids) == 3 or (len(ids) == 4 and ids[3] >= 10**6)), ids

    run_threads(work)
