"""The interactive examples of the README run as written."""

import doctest
import pathlib

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="the README is not beside the tests")
def test_readme_examples():
    # As `python -m doctest README.md` runs them: each example imports what it uses.
    failures, tried = doctest.testfile(str(README), module_relative=False, globs={})
    assert tried >= 5 and failures == 0
