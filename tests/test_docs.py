"""Every example of the README and of the documentation pages runs as written:
interactive examples as doctests, other Python blocks as scripts."""

import doctest
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
INTEGRATION = {"datasets", "dask", "torch"}
# Pages whose every example needs a module the plain test extra may lack (a session installs only some).
NEEDS = {"conversations.md": "jinja2"}
# Modules not every interpreter has (tokenizers has no free-threaded wheel): a page importing one skips without it.
OPTIONAL = re.compile(r"^(?:>>> )?\s*(?:from|import) (tokenizers|transformers)\b", re.MULTILINE)
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)

pytestmark = pytest.mark.skipif(not (ROOT / "docs").exists(), reason="the documentation is not beside the tests")


def skip_without_what_it_uses(page):
    for name in {NEEDS.get(page.name), *OPTIONAL.findall(page.read_text())} - {None}:
        pytest.importorskip(name)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_interactive_examples(page):
    skip_without_what_it_uses(page)
    # As `python -m doctest page.md` runs them: each page imports what it uses.
    failures, _ = doctest.testfile(str(page), module_relative=False, globs={}, optionflags=doctest.ELLIPSIS)
    assert failures == 0


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_script_examples(page, capsys):
    skip_without_what_it_uses(page)
    # A page's blocks run in order and share their names, as a reader goes on from one to the next.
    names = {"__name__": "example"}
    for block in BLOCK.findall(page.read_text()):
        if ">>>" not in block:
            try:
                exec(compile(block, str(page), "exec"), names)
            except ModuleNotFoundError as error:
                if error.name not in INTEGRATION:
                    raise
                pytest.skip(f"the example needs {error.name}, of the integration extra")


def test_every_page_has_examples_or_says_why():
    tried = {page.name: doctest.DocTestParser().get_examples(page.read_text()) or BLOCK.findall(page.read_text())
             for page in PAGES}
    without = {name for name, examples in tried.items() if not examples}
    # The training page shows the recipes the integration session runs.
    assert without <= {"changelog.md", "development.md", "performance.md", "training.md"}
