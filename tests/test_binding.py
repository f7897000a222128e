"""How every call binds its arguments, guards its object and cleans up after
failures: exact messages, access conflicts through re-entrant Python code,
and no references left behind."""

import sys

import pytest

import korvanta
from korvanta import PromptFragment, PromptTemplate

from conftest import assert_no_leak, raises, swallow

fragment = PromptFragment("x")
template = PromptTemplate("[a]", None)

BINDING_ERRORS = [
    (korvanta.parse, (), {}, "parse() missing 1 required positional argument: 'template'"),
    (korvanta.parse, ("a", "b"), {}, "parse() takes 1 positional arguments but 2 were given"),
    (korvanta.parse, (), {"text": "a"}, "parse() got an unexpected keyword argument 'text'"),
    (korvanta.parse, ("a",), {"template": "a"}, "parse() got multiple values for argument 'template'"),
    (korvanta.parse, (5,), {}, "argument 'template': 'int' object cannot be converted to 'PyString'"),
    (korvanta.parse, (b"x",), {}, "argument 'template': 'bytes' object cannot be converted to 'PyString'"),
    (korvanta.parse, (None,), {}, "argument 'template': 'NoneType' object cannot be converted to 'PyString'"),
    (PromptFragment.parse, (), {}, "PromptFragment.parse() missing 1 required positional argument: 'template'"),
    (PromptTemplate.parse, (None,), {}, "argument 'template': 'NoneType' object cannot be converted to 'PyString'"),
    (PromptTemplate.parse, (1, 2, 3), {}, "PromptTemplate.parse() takes 1 positional arguments but 3 were given"),
    (PromptTemplate, (), {}, "PromptTemplate.__new__() missing 2 required positional arguments: 'template' and 'tokenizer'"),
    (PromptTemplate, (None,), {}, "PromptTemplate.__new__() missing 1 required positional argument: 'tokenizer'"),
    (PromptTemplate, (), {"tokenizer": 1}, "PromptTemplate.__new__() missing 1 required positional argument: 'template'"),
    (PromptTemplate, (5, None), {}, "argument 'template': 'int' object cannot be converted to 'PyString'"),
    (PromptTemplate, ("a", 1), {"tokenizer": 2}, "PromptTemplate.__new__() got multiple values for argument 'tokenizer'"),
    (PromptTemplate, ("a", 1, 2), {}, "PromptTemplate.__new__() takes 2 positional arguments but 3 were given"),
    (PromptFragment, ("a", None, 3), {}, "PromptFragment.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    (PromptFragment, ("a",), {"string": "b"}, "PromptFragment.__new__() got multiple values for argument 'string'"),
    (PromptFragment, (), {"strin": "b"}, "PromptFragment.__new__() got an unexpected keyword argument 'strin'"),
    (PromptFragment, (), {"\udc80": "b"}, "PromptFragment.__new__() got an unexpected keyword argument '\udc80'"),
    (fragment.__getstate__, (1,), {}, "PromptFragment.__getstate__() takes 0 positional arguments but 1 was given"),
    (fragment.__getstate__, (), {"x": 1}, "PromptFragment.__getstate__() got an unexpected keyword argument 'x'"),
    (fragment.__setstate__, (), {}, "PromptFragment.__setstate__() missing 1 required positional argument: 'state'"),
    (template.__getstate__, (1, 2), {}, "PromptTemplate.__getstate__() takes 0 positional arguments but 2 were given"),
    (template.__setstate__, ({}, {}), {}, "PromptTemplate.__setstate__() takes 1 positional arguments but 2 were given"),
    (template.encode, (), {"row": {}}, "PromptTemplate.encode() got some positional-only arguments passed as keyword "
     "arguments: 'row'"),
    (template.encode_batch, (), {"rows": []}, "PromptTemplate.encode_batch() got some positional-only arguments "
     "passed as keyword arguments: 'rows'"),
]


@pytest.mark.parametrize("call, args, kwargs, message", BINDING_ERRORS)
def test_binding_messages(call, args, kwargs, message):
    raises(TypeError, message, call, *args, **kwargs)


@pytest.mark.parametrize("call, args, kwargs, message", BINDING_ERRORS)
def test_failed_binding_leaks_nothing(call, args, kwargs, message):
    assert_no_leak(swallow(TypeError, lambda: call(*args, **kwargs)))


def test_keywords_bind_in_any_order():
    made = PromptTemplate(tokenizer="tok", template="[a]")
    assert (str(made), made.tokenizer) == ("[a]", "tok")
    made = PromptFragment(option=["o"], string="s")
    assert (made.string, made.options) == ("s", ["o"])
    fragment.__setstate__(state={})


def test_unreadable_type_name():
    class Odd:
        pass

    Odd.__qualname__ = "\udc80"  # a name UTF-8 cannot encode
    raises(TypeError, "argument 'template': '<failed to extract type name>' object cannot be converted to 'PyString'",
           korvanta.parse, Odd())


# ---------------------------------------------------------------- access


class Reentrant:
    """A sequence whose iteration calls back into an object."""

    def __init__(self, action, items=("a",)):
        self.action, self.items = action, list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        self.action()
        return iter(self.items)


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda f: f.string, "Already mutably borrowed"),
        (lambda f: f.options, "Already mutably borrowed"),
        (lambda f: str(f), "Already mutably borrowed"),
        (lambda f: repr(f), "Already mutably borrowed"),
        (lambda f: hash(f), "Already mutably borrowed"),
        (lambda f: f.__getstate__(), "Already mutably borrowed"),
        (lambda f: setattr(f, "string", "new"), "Already borrowed"),
        (lambda f: setattr(f, "options", []), "Already borrowed"),
        (lambda f: f.__setstate__({}), "Already borrowed"),
        (lambda f: PromptTemplate(None, None).__setattr__("fragments", [f]), "Already mutably borrowed"),
    ],
)
def test_fragment_reentered_while_its_options_are_assigned(action, message):
    target = PromptFragment("x", ["old"])
    seen = []

    def touch():
        with pytest.raises(RuntimeError) as info:
            action(target)
        seen.append(str(info.value))

    target.options = Reentrant(touch)
    assert seen == [message]
    assert target.options == ["a"]
    # The counter is back: everything works again, reading and writing.
    target.string = "y"
    assert str(target) == "[y|a]"


def test_fragment_reentered_during_setstate_and_constructor_items():
    target = PromptFragment("x")
    seen = []
    target.__setstate__({"options": Reentrant(lambda: seen.append(swallow_message(lambda: target.string)))})
    assert seen == ["Already mutably borrowed"] and target.options == ["a"]


def swallow_message(call):
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return None


def test_failed_access_leaks_nothing():
    target = PromptFragment("x", ["old"])

    def reenter():
        target.options = Reentrant(lambda: target.options)

    assert_no_leak(swallow(RuntimeError, reenter))
    assert_no_leak(swallow(RuntimeError, lambda: setattr(template, "fragments", template)))


def test_refcounts_of_arguments_are_restored_after_failures():
    value = ["a", 1]
    target = PromptFragment("x")
    before = sys.getrefcount(value)
    for _ in range(100):
        with pytest.raises(TypeError):
            target.options = value
        with pytest.raises(TypeError):
            PromptFragment("x", value)
    assert sys.getrefcount(value) == before
