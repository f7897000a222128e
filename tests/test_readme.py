"""The interactive examples of the README run as written."""

import doctest
import pathlib

import pytest

import korvanta

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="the README is not beside the tests")
def test_readme_examples():
    globs = {"korvanta": korvanta, "PromptFragment": korvanta.PromptFragment,
             "PromptTemplate": korvanta.PromptTemplate}
    failures, tried = doctest.testfile(str(README), module_relative=False, globs=globs)
    assert tried >= 5 and failures == 0
