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
