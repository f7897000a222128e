"""Running out of memory raises MemoryError, leaves objects as they were and
keeps the process alive."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import korvanta

SCRIPT = textwrap.dedent(
    """
    import resource
    import korvanta

    size = 300 * 2**20
    # ASCII text is read in place; this text needs a UTF-8 copy of `size` bytes.
    huge = "\u00e9" * (size // 2) + "[a|b]"
    fragment = korvanta.PromptFragment("keep", ["o"])
    template = korvanta.PromptTemplate("[t]", None)
    big = korvanta.PromptTemplate(None, None)
    big.fragments = [korvanta.PromptFragment("y" * (size // 2))] * 2

    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[0])
    limit = pages * resource.getpagesize() + 64 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    outcomes = []
    for name, call in [
        ("parse", lambda: korvanta.parse(huge)),
        ("constructor", lambda: korvanta.PromptTemplate(huge, None)),
        ("string", lambda: setattr(fragment, "string", huge)),
        ("setstate", lambda: template.__setstate__({"template": huge})),
        ("str", lambda: str(big)),
        ("fragments", lambda: big.fragments),
        ("next", lambda: next(iter(big))),
    ]:
        try:
            call()
            outcomes.append(name + ": no error")
        except MemoryError:
            outcomes.append(name + ": MemoryError")
    print("; ".join(outcomes))
    print(fragment.string, fragment.options, str(template), len(big), len(korvanta.parse("[ok]")))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif("KORVANTA_SANITIZED" in os.environ, reason="sanitizers reserve the address space")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="the free-threaded allocator reserves address space ahead: copies meant to fail succeed")
def test_memory_exhaustion_raises_memory_error():
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # Fragments handed out share the template's text: they need no room for it.
    assert lines[0] == "; ".join(
        [f"{name}: MemoryError" for name in ["parse", "constructor", "string", "setstate", "str"]]
        + [f"{name}: no error" for name in ["fragments", "next"]]
    )
    assert lines[1] == "keep ['o'] [t] 2 1"


@pytest.mark.parametrize("text", ["caf\u00e9 [x|\u00e9t\u00e9] ", "\u0416 [x] \u20ac", "\U0001f600 [x|\U0001f601]"])
@pytest.mark.parametrize("call", [
    korvanta.parse, korvanta.validate, korvanta.escape,
    lambda s: korvanta.PromptTemplate(s, None),
    lambda s: korvanta.PromptTemplate("[x]", None).render({"x": s}),
    lambda s: korvanta.PromptTemplate(None, None).__setstate__({"template": s}),
    lambda s: korvanta.PromptFragment(s, [s]),
    lambda s: setattr(korvanta.PromptFragment(), "string", s),
    lambda s: setattr(korvanta.PromptFragment(), "options", [s]),
], ids=["parse", "validate", "escape", "constructor", "render", "setstate", "fragment", "string", "options"])
def test_the_callers_text_keeps_its_size(text, call):
    """Text beyond ASCII is read through a UTF-8 copy that goes with the call."""
    text = text * 1000 + str(len(text))  # a new str, which holds no UTF-8 form yet
    size = sys.getsizeof(text)
    call(text)
    assert sys.getsizeof(text) == size
