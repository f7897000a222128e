"""The module object: registration, docstrings, signatures, class objects,
re-import, and the shared library's exports."""

import importlib
import pathlib
import shutil
import subprocess
import sys
import weakref

import pytest

import korvanta
from korvanta import PromptFragment, PromptTemplate

PARSE_DOC = (
    "Parse korvanta template to Fragments\n\nArgs:\n    template (:obj:`str`):\n\n"
    "Returns:\n    A :obj:`List` of :class:`~prompt.PromptFragment`: The prompt fragments"
)


def test_module_attributes():
    assert korvanta.__all__ == ["__version__", "parse", "PromptFragment", "PromptTemplate", "escape", "validate",
                                "MarkupError", "ChatTemplate", "pack", "Packer", "DataCollator", "prepare"]
    assert korvanta.__version__ == "0.4.0"
    assert korvanta.__doc__ == "Korvanta Module"
    namespace = {}
    exec("from korvanta import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(korvanta.__all__)


def test_parse_function():
    assert korvanta.parse.__module__ == "korvanta"
    assert korvanta.parse.__self__ is korvanta
    assert korvanta.parse.__name__ == "parse"
    for parse in (korvanta.parse, PromptFragment.parse, PromptTemplate.parse):
        assert parse.__text_signature__ == "(template)"
        assert parse.__doc__ == PARSE_DOC


def test_classes():
    assert PromptFragment.__module__ == PromptTemplate.__module__ == "korvanta"
    assert PromptFragment.__text_signature__ == "(self, string=None, option=None)"
    assert PromptTemplate.__text_signature__ == "(self, template, tokenizer)"
    assert PromptFragment.__doc__ == (
        "A :obj:`PromptFragment` store template fragments(including string and options).\n\n"
        "Args:\n    string (:obj:`str`,`optional`):\n        The string or mask name will be rendered.\n"
        "    option (:obj:`List[str]`):\n        The options will be applied to the fragment."
    )
    assert PromptTemplate.__doc__ == (
        "A :obj:`PromptTemplate` works as a pipeline. It processes some raw text :obj:`Dict[str, str]`\n"
        "as input and outputs an :obj:`Dict[str, int]` for language models.\n\n"
        "Args:\n    template (:obj:`str`):\n        The korvanta template to render the raw texts.\n"
    )
    assert PromptFragment.string.__doc__ == "the content of the fragment"
    assert PromptFragment.options.__doc__ == "the options os the fragment"
    assert PromptTemplate.tokenizer.__doc__ == "the tokenizer for processing"
    assert PromptTemplate.fragments.__doc__ == "the fragments of the processed template"
    assert PromptFragment.__getstate__.__doc__ is None and PromptTemplate.__setstate__.__doc__ is None


@pytest.mark.parametrize("obj", [PromptFragment("x"), PromptTemplate(None, None), iter(PromptTemplate(None, None))])
def test_instances_have_no_dict_and_no_weakrefs(obj):
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_no_rich_comparison():
    a = PromptFragment("x")
    assert a == a and a != PromptFragment("x")
    with pytest.raises(TypeError):
        a < a  # noqa: B015


def test_reimport_shares_the_class_objects():
    old = sys.modules.pop("korvanta")
    try:
        again = importlib.import_module("korvanta")
        assert again is not old
        assert again.PromptFragment is old.PromptFragment and again.PromptTemplate is old.PromptTemplate
        assert again.__all__ == old.__all__
    finally:
        sys.modules["korvanta"] = old


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", korvanta.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_korvanta"]


def test_the_typed_script_of_every_public_name_runs(monkeypatch):
    monkeypatch.syspath_prepend(str(pathlib.Path(__file__).parent / "typing"))
    importlib.import_module("every_name").main()


@pytest.mark.parametrize("cls", [PromptTemplate, korvanta.ChatTemplate])
def test_a_template_is_generic_in_its_tokenizer(cls):
    alias = cls[int]
    assert alias.__origin__ is cls and alias.__args__ == (int,)


STUBS = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "korvanta-stubs" / "__init__.pyi"


@pytest.mark.skipif(not STUBS.exists(), reason="the stubs are not beside the tests")
def test_the_stubs_describe_every_class_as_help_does():
    import ast
    import inspect

    classes = {node.name: node for node in ast.parse(STUBS.read_text()).body if isinstance(node, ast.ClassDef)}
    for cls in (PromptFragment, PromptTemplate, korvanta.MarkupError):
        assert ast.get_docstring(classes[cls.__name__]) == inspect.cleandoc(cls.__doc__)
