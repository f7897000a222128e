"""Types of the korvanta extension module."""

from collections.abc import Iterator, Sequence

from _typeshed import SupportsGetItem
from typing import Any, Final, SupportsIndex, TypedDict

from typing_extensions import NotRequired, Self, disjoint_base

__all__ = ["__version__", "parse", "PromptFragment", "PromptTemplate", "escape", "validate", "MarkupError"]

__version__: Final[str]

class _FragmentState(TypedDict):
    """What ``PromptFragment.__getstate__`` returns: "options" only for controls."""

    string: str
    options: NotRequired[list[str]]

class _TemplateState(TypedDict):
    """What ``PromptTemplate.__getstate__`` returns: the markup text with its text
    escaped, and the fragments as pairs when no markup can carry them."""

    template: str
    fragments: NotRequired[list[tuple[str, list[str] | None]]]

def parse(template: str) -> list[PromptFragment]:
    """Parse korvanta template to Fragments"""

def validate(template: str) -> None:
    """Check that the whole template is well formed markup."""

def escape(text: str) -> str:
    """Write text as template markup that parses back to exactly that text."""

class MarkupError(ValueError):
    """A template that is not well formed, from korvanta.validate()."""

    msg: str
    template: str
    pos: int
    lineno: int
    colno: int
    def __init__(self, msg: str, template: str, pos: SupportsIndex) -> None: ...

@disjoint_base
class PromptFragment:
    """A text fragment (``options is None``) or a control with its name and options."""

    def __new__(cls, string: str | None = None, option: list[str] | None = None) -> Self: ...
    @property
    def string(self) -> str:
        """the content of the fragment"""
    @string.setter
    def string(self, value: str) -> None: ...
    @property
    def options(self) -> list[str] | None:
        """the options os the fragment"""
    @options.setter
    def options(self, value: Sequence[str] | None) -> None: ...
    @staticmethod
    def parse(template: str) -> list[PromptFragment]: ...
    def __getstate__(self) -> _FragmentState: ...
    def __setstate__(self, state: dict[str, Any] | tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __hash__(self) -> int: ...

@disjoint_base
class PromptTemplate:
    """A parsed template and the caller's tokenizer, read as a sequence of fragments."""

    def __new__(cls, template: str | None, tokenizer: object) -> Self: ...
    @property
    def tokenizer(self) -> Any:
        """the tokenizer for processing"""
    @tokenizer.setter
    def tokenizer(self, value: object) -> None: ...
    @property
    def fragments(self) -> list[PromptFragment]:
        """the fragments of the processed template"""
    @fragments.setter
    def fragments(self, value: Sequence[PromptFragment]) -> None: ...
    @staticmethod
    def parse(template: str) -> list[PromptFragment]: ...
    def __getstate__(self) -> _TemplateState: ...
    def __setstate__(self, state: dict[str, Any] | tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def render(self, values: SupportsGetItem[str, object]) -> str:
        """Fill the template from a mapping: the text as it is, and str(values[name]) for every control."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> PromptFragment: ...
    def __iter__(self) -> Iterator[PromptFragment]: ...
    def __hash__(self) -> int: ...
