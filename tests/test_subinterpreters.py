"""Interpreters that share the main interpreter's lock, in every order of
import, use and destruction: each one makes what it uses of its own and
releases it when it ends, so that no interpreter ever uses what another made
(each scenario in a process of its own)."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.isolated,
    pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters of their own are made from 3.12"),
]

MAKE = """
try:
    import _interpreters as interpreters  # 3.13

    def make():
        return interpreters.create("legacy")

    def run(interpreter, code):
        failure = interpreters.exec(interpreter, code)
        assert failure is None, failure
except ImportError:
    import _xxsubinterpreters as interpreters  # 3.12

    def make():
        return interpreters.create(isolated=False)

    def run(interpreter, code):
        interpreters.run_string(interpreter, code)


# The ImportError an interpreter with a lock of its own meets, as text.
def refused_where_isolated():
    try:
        interpreter = interpreters.create("isolated")
        failure = interpreters.exec(interpreter, "import korvanta")
        return failure.formatted.splitlines()[-1]
    except (TypeError, AttributeError):  # 3.12
        interpreter = interpreters.create(isolated=True)
        try:
            interpreters.run_string(interpreter, "import korvanta")
        except Exception as error:  # noqa: BLE001 - 3.12 wraps it in a RunFailedError
            return str(error)


def in_another(code):
    interpreter = make()
    run(interpreter, code)
    interpreters.destroy(interpreter)
"""

# Everything that keeps a Python object for later: pickling (the copyreg
# module), a chat template (the Jinja environment and its globals), a
# conversion error (an interned name).
USE = '''
import korvanta, pickle
t = korvanta.PromptTemplate("Hi [name] !", None)
assert str(pickle.loads(pickle.dumps(t))) == "Hi [name] !"
chat = korvanta.ChatTemplate(object(), template="{% for m in messages %}{{ m.content | list | length }}{% endfor %}")
assert chat.render([{"role": "user", "content": "abc"}]) == "3"
try:
    korvanta.PromptFragment(1)
except TypeError as e:
    assert "'int' object" in str(e), e
'''

SCENARIOS = {
    "the main interpreter first, then another": "exec(USE)\nin_another(USE)\nexec(USE)\nin_another(USE)\nexec(USE)",
    "another first, then the main interpreter": "in_another(USE)\nexec(USE)\nin_another(USE)",
    "two at once": """
first, second = make(), make()
run(first, USE)
run(second, USE)
interpreters.destroy(first)
run(second, USE)
interpreters.destroy(second)
exec(USE)
""",
    # The class objects are the process's, shared by every interpreter: one with a lock of its own is refused.
    "an interpreter with a lock of its own": """
assert "ImportError" in refused_where_isolated() and "does not support loading in subinterpreters" in \\
    refused_where_isolated(), refused_where_isolated()
""",
    # What the main interpreter drops is still released after another ended.
    "releasing after another ended": """
in_another("import korvanta")
import korvanta
tokenizer = object()
templates = [korvanta.PromptTemplate("a [b]", tokenizer) for _ in range(1000)]
del templates
assert sys.getrefcount(tokenizer) == 2, sys.getrefcount(tokenizer)
""",
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=list(SCENARIOS))
def test_interpreters_keep_their_own(scenario):
    source = "import sys\n" + MAKE + f"USE = {USE!r}\n" + textwrap.dedent(scenario) + "\nprint('ok')\n"
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(__file__).parent)}
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120, env=env)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr[-3000:]
