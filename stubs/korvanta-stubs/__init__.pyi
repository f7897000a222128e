"""Types of the korvanta extension module."""

from collections.abc import Iterable, Iterator, Sequence
from types import GenericAlias

from _typeshed import SupportsGetItem

import os
import numpy as np
from numpy.typing import NDArray
from typing import Any, Final, Generic, Literal, Protocol, SupportsIndex, TypedDict, final, overload

from typing_extensions import NotRequired, Self, TypeVar, disjoint_base

# A template is generic in its tokenizer's type; a bare PromptTemplate has any tokenizer.
_Tok = TypeVar("_Tok", default=Any)

__all__ = ["__version__", "parse", "PromptFragment", "PromptTemplate", "escape", "validate", "MarkupError",
           "ChatTemplate", "pack", "Packer", "DataCollator", "prepare"]

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

class _Encoded(TypedDict):
    """What ``PromptTemplate.encode`` returns for one row."""

    input_ids: list[int]
    attention_mask: list[int]
    mask_positions: list[int]
    labels: NotRequired[list[int]]

class _EncodedBatch(TypedDict):
    """What ``PromptTemplate.encode_batch`` returns: a list per row."""

    input_ids: list[list[int]]
    attention_mask: list[list[int]]
    mask_positions: list[list[int]]
    labels: NotRequired[list[list[int]]]
    row_index: NotRequired[list[int]]

class _EncodedChat(TypedDict):
    """What ``ChatTemplate.encode`` returns for one conversation (no labels with add_generation_prompt)."""

    input_ids: list[int]
    attention_mask: list[int]
    labels: NotRequired[list[int]]

class _EncodedChatBatch(TypedDict):
    """What ``ChatTemplate.encode_batch`` returns: a list per conversation."""

    input_ids: list[list[int]]
    attention_mask: list[list[int]]
    labels: NotRequired[list[list[int]]]
    row_index: NotRequired[list[int]]

class _Packed(TypedDict):
    """What ``pack`` returns: a row per packed row (lists, or arrays and tensors with return_tensors);
    seq_lengths and row_index are lists of lists (Arrow list arrays with return_tensors="arrow")."""

    input_ids: Any
    attention_mask: Any
    position_ids: Any
    labels: NotRequired[Any]
    seq_lengths: Any
    row_index: Any

_Row = SupportsGetItem[str, object]
_Message = SupportsGetItem[str, object]
_Padding = bool | Literal["longest"] | int

def parse(template: str) -> list[PromptFragment]:
    """Parse korvanta template to Fragments"""

def validate(template: str) -> None:
    """Check that the whole template is well formed markup."""

def escape(text: str) -> str:
    """Write text as template markup that parses back to exactly that text."""

class MarkupError(ValueError):
    """A template that is not well formed, from korvanta.validate().

    MarkupError(msg, template, pos): msg says why, pos is where (an index into
    template, in characters); lineno and colno give the same place as line and
    column, both counted from 1."""

    msg: str
    template: str
    pos: int
    lineno: int
    colno: int
    def __init__(self, msg: str, template: str, pos: SupportsIndex) -> None: ...

@disjoint_base
class PromptFragment:
    """A :obj:`PromptFragment` store template fragments(including string and options).

    Args:
        string (:obj:`str`,`optional`):
            The string or mask name will be rendered.
        option (:obj:`List[str]`):
            The options will be applied to the fragment."""

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
class PromptTemplate(Generic[_Tok]):
    """A :obj:`PromptTemplate` works as a pipeline. It processes some raw text :obj:`Dict[str, str]`
    as input and outputs an :obj:`Dict[str, int]` for language models.

    Args:
        template (:obj:`str`):
            The korvanta template to render the raw texts.
    """

    @overload
    def __new__(cls, template: str | None, tokenizer: None) -> PromptTemplate[Any]: ...
    @overload
    def __new__(cls, template: str | None, tokenizer: _Tok) -> PromptTemplate[_Tok]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""
    @property
    def tokenizer(self) -> _Tok:
        """the tokenizer for processing"""
    @tokenizer.setter
    def tokenizer(self, value: _Tok) -> None: ...
    @property
    def fragments(self) -> list[PromptFragment]:
        """the fragments of the processed template"""
    @fragments.setter
    def fragments(self, value: Sequence[PromptFragment] | PromptTemplate[Any]) -> None: ...
    @staticmethod
    def parse(template: str) -> list[PromptFragment]: ...
    def __getstate__(self) -> _TemplateState: ...
    def __setstate__(self, state: dict[str, Any] | tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def render(self, values: SupportsGetItem[str, object]) -> str:
        """Fill the template from a mapping: the text as it is, and str(values[name]) for every control."""
    @property
    def fields(self) -> tuple[str, ...]:
        """the names of the controls without options, filled from a row, in order, each once"""
    @property
    def slots(self) -> tuple[str, ...]:
        """the names of the controls with options (label words), in order, each once"""
    @overload
    def encode(
        self, row: _Row, /, *, max_length: int | None = None, shorten: Iterable[str] | None = None,
        truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (), mask_token: str | None = ...,
        add_special_tokens: bool = True, padding: _Padding = False, pad_token: str | None = None,
        return_tensors: None = None, targets: str | Iterable[str] = (), overflow: Literal["raise", "drop"] = "raise",
        padding_side: Literal["right", "left"] | None = None,
    ) -> _Encoded:
        """Encode one row (a mapping from field names to values) with the template's tokenizer."""
    @overload
    def encode(
        self, row: _Row, /, *, max_length: int | None = None, shorten: Iterable[str] | None = None,
        truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (), mask_token: str | None = ...,
        add_special_tokens: bool = True, padding: _Padding = False, pad_token: str | None = None,
        return_tensors: Literal["np"], targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None,
    ) -> dict[str, NDArray[np.int64]]: ...
    @overload
    def encode(
        self, row: _Row, /, *, max_length: int | None = None, shorten: Iterable[str] | None = None,
        truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (), mask_token: str | None = ...,
        add_special_tokens: bool = True, padding: _Padding = False, pad_token: str | None = None,
        return_tensors: Literal["pt", "arrow"], targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None,
    ) -> dict[str, Any]: ...
    @overload
    def encode_batch(
        self, rows: Sequence[_Row] | SupportsGetItem[str, Sequence[object]], /, *, max_length: int | None = None,
        shorten: Iterable[str] | None = None, truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (),
        mask_token: str | None = ..., add_special_tokens: bool = True, padding: _Padding = False,
        pad_token: str | None = None, return_tensors: None = None, targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None, pack: Literal[False] = False,
    ) -> _EncodedBatch:
        """Encode a batch: a sequence of row mappings, or columns (a mapping from field names to
        equal-length sequences). Returns a dict of lists with one entry per row."""
    @overload
    def encode_batch(
        self, rows: Sequence[_Row] | SupportsGetItem[str, Sequence[object]], /, *, max_length: int | None = None,
        shorten: Iterable[str] | None = None, truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (),
        mask_token: str | None = ..., add_special_tokens: bool = True, padding: _Padding = False,
        pad_token: str | None = None, return_tensors: Literal["np"], targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None, pack: Literal[False] = False,
    ) -> dict[str, NDArray[np.int64]]: ...
    @overload
    def encode_batch(
        self, rows: Sequence[_Row] | SupportsGetItem[str, Sequence[object]], /, *, max_length: int | None = None,
        shorten: Iterable[str] | None = None, truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (),
        mask_token: str | None = ..., add_special_tokens: bool = True, padding: _Padding = False,
        pad_token: str | None = None, return_tensors: Literal["pt", "arrow"], targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None, pack: Literal[False] = False,
    ) -> dict[str, Any]: ...
    @overload
    def encode_batch(
        self, rows: Sequence[_Row] | SupportsGetItem[str, Sequence[object]], /, *, max_length: int,
        shorten: Iterable[str] | None = None, truncation_side: Literal["right", "left"] = "right", slots: Iterable[str] = (),
        mask_token: str | None = ..., add_special_tokens: bool = True, padding: _Padding = False,
        pad_token: str | None = None, return_tensors: Literal["np", "pt", "arrow"] | None = None, targets: str | Iterable[str] = (),
        overflow: Literal["raise", "drop"] = "raise", padding_side: Literal["right", "left"] | None = None,
        pack: Literal[True],
    ) -> _Packed: ...
    def label_ids(self, /, *, slots: Iterable[str] = (), single_token: bool = False) -> list[list[list[int]]]:
        """The token ids of each slot's label words (its options), slot by slot."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> PromptFragment: ...
    def __iter__(self) -> Iterator[PromptFragment]: ...
    def __hash__(self) -> int: ...

@final
class ChatTemplate(Generic[_Tok]):
    """Conversations to model inputs and training labels with a tokenizer and its chat template.

    template is a Jinja chat template (None: the tokenizer's own chat_template), rendered as
    transformers renders chat templates, with the tokenizer's special tokens (bos_token, ...) and
    chat_template_kwargs; or roles maps each role to a markup with one field [content], for a
    tokenizer without a chat template."""

    def __new__(
        cls, tokenizer: _Tok, template: str | None = None, roles: dict[str, str] | None = None,
        chat_template_kwargs: dict[str, Any] | None = None,
    ) -> ChatTemplate[_Tok]: ...
    @property
    def tokenizer(self) -> _Tok:
        """the tokenizer conversations are encoded with"""
    @property
    def template(self) -> str | None:
        """the Jinja chat template (str), or None with roles"""
    @property
    def roles(self) -> dict[str, str] | None:
        """the markup of each role (a dict), or None"""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""
    def render(
        self, messages: Sequence[_Message], add_generation_prompt: bool = False, *,
        continue_final_message: bool = False, **variables: Any,
    ) -> str:
        """The text of a conversation (a list of {'role': ..., 'content': ...} mappings) exactly as the
        chat template writes it; with add_generation_prompt=True, ending where the assistant's next
        answer would start; with continue_final_message=True, ending inside the last message.
        Other keywords (tools=, documents=, enable_thinking=, ...) are the template's variables."""
    @overload
    def encode(
        self, messages: Sequence[_Message], /, *, max_length: int | None = None,
        overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token: str | None = None,
        padding_side: Literal["right", "left"] | None = None, return_tensors: None = None,
        add_generation_prompt: bool = False, train_on: str | Iterable[str] = ("assistant",),
        continue_final_message: bool = False, **variables: Any,
    ) -> _EncodedChat:
        """Encode one conversation. Returns a dict of lists: input_ids, attention_mask and labels."""
    @overload
    def encode(
        self, messages: Sequence[_Message], /, *, max_length: int | None = None,
        overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token: str | None = None,
        padding_side: Literal["right", "left"] | None = None, return_tensors: Literal["np"],
        add_generation_prompt: bool = False, train_on: str | Iterable[str] = ("assistant",),
        continue_final_message: bool = False, **variables: Any,
    ) -> dict[str, NDArray[np.int64]]: ...
    @overload
    def encode(
        self, messages: Sequence[_Message], /, *, max_length: int | None = None,
        overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token: str | None = None,
        padding_side: Literal["right", "left"] | None = None, return_tensors: Literal["pt", "arrow"],
        add_generation_prompt: bool = False, train_on: str | Iterable[str] = ("assistant",),
        continue_final_message: bool = False, **variables: Any,
    ) -> dict[str, Any]: ...
    @overload
    def encode_batch(
        self, conversations: Sequence[Sequence[_Message]] | SupportsGetItem[str, Sequence[Sequence[_Message]]], /, *,
        max_length: int | None = None, overflow: Literal["raise", "drop", "split"] = "raise", padding: _Padding = False,
        pad_token: str | None = None, padding_side: Literal["right", "left"] | None = None,
        return_tensors: None = None, add_generation_prompt: bool = False,
        train_on: str | Iterable[str] = ("assistant",), continue_final_message: bool = False, pack: Literal[False] = False,
        **variables: Any,
    ) -> _EncodedChatBatch:
        """Encode a batch of conversations: a list of message lists, or a mapping with a 'messages'
        column (and, per row, 'tools' and 'documents' columns). Returns a dict of lists with one
        entry per conversation. Other keywords (tools=, enable_thinking=, ...) are the template's
        variables, over chat_template_kwargs."""
    @overload
    def encode_batch(
        self, conversations: Sequence[Sequence[_Message]] | SupportsGetItem[str, Sequence[Sequence[_Message]]], /, *,
        max_length: int | None = None, overflow: Literal["raise", "drop", "split"] = "raise", padding: _Padding = False,
        pad_token: str | None = None, padding_side: Literal["right", "left"] | None = None,
        return_tensors: Literal["np"], add_generation_prompt: bool = False,
        train_on: str | Iterable[str] = ("assistant",), continue_final_message: bool = False, pack: Literal[False] = False,
        **variables: Any,
    ) -> dict[str, NDArray[np.int64]]: ...
    @overload
    def encode_batch(
        self, conversations: Sequence[Sequence[_Message]] | SupportsGetItem[str, Sequence[Sequence[_Message]]], /, *,
        max_length: int | None = None, overflow: Literal["raise", "drop", "split"] = "raise", padding: _Padding = False,
        pad_token: str | None = None, padding_side: Literal["right", "left"] | None = None,
        return_tensors: Literal["pt", "arrow"], add_generation_prompt: bool = False,
        train_on: str | Iterable[str] = ("assistant",), continue_final_message: bool = False, pack: Literal[False] = False,
        **variables: Any,
    ) -> dict[str, Any]: ...
    @overload
    def encode_batch(
        self, conversations: Sequence[Sequence[_Message]] | SupportsGetItem[str, Sequence[Sequence[_Message]]], /, *,
        max_length: int, overflow: Literal["raise", "drop", "split"] = "raise", padding: _Padding = False,
        pad_token: str | None = None, padding_side: Literal["right", "left"] | None = None,
        return_tensors: Literal["np", "pt", "arrow"] | None = None, add_generation_prompt: bool = False,
        train_on: str | Iterable[str] = ("assistant",), continue_final_message: bool = False, pack: Literal[True],
        **variables: Any,
    ) -> _Packed: ...

_EncodedRows = SupportsGetItem[str, Any]

class _ArrowTable(Protocol):
    """A pyarrow Table or RecordBatch."""

    @property
    def schema(self) -> Any: ...
    @property
    def column_names(self) -> list[str]: ...

@overload
def pack(
    encoded: _ArrowTable, /, max_length: int, *, strategy: Literal["bfd", "sequential"] = "bfd",
    overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token_id: int | None = None,
    padding_side: Literal["right", "left"] = "right", return_tensors: Literal["np", "pt", "arrow"] | None = None,
) -> Any:
    """Pack encoded rows (what encode_batch returns: lists or arrays, with or without labels) into
    rows of at most max_length tokens, never splitting an example."""
@overload
def pack(
    encoded: _EncodedRows, /, max_length: int, *, strategy: Literal["bfd", "sequential"] = "bfd",
    overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token_id: int | None = None,
    padding_side: Literal["right", "left"] = "right", return_tensors: Literal["np", "pt", "arrow"] | None = None,
) -> _Packed: ...

@final
class Packer:
    """Packs a stream of encoded batches, keeping open rows across calls: add(encoded) returns the
    rows that are done, flush() the rest."""

    def __new__(
        cls, max_length: int, *, strategy: Literal["bfd", "sequential"] = "bfd",
        overflow: Literal["raise", "drop"] = "raise", padding: _Padding = False, pad_token_id: int | None = None,
        padding_side: Literal["right", "left"] = "right", return_tensors: Literal["np", "pt", "arrow"] | None = None,
        open_rows: int = 128,
    ) -> Packer: ...
    def add(self, encoded: _EncodedRows, /) -> _Packed:
        """Add a batch of encoded rows; returns the packed rows that are done (as pack() returns them)."""
    def flush(self, /) -> _Packed:
        """Returns every row still open, and starts afresh."""

@final
class DataCollator:
    """Collates rows (what encode_batch or pack return, one mapping per row) into a batch for the
    HF Trainer or a torch DataLoader."""

    def __new__(
        cls, pad_token_id: int, *, padding_free: bool = False, pad_to_multiple_of: int | None = None,
        return_tensors: Literal["np", "pt"] | None = "pt",
    ) -> DataCollator: ...
    def __call__(self, features: Sequence[SupportsGetItem[str, Any]], /) -> dict[str, Any]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def prepare(
    input: str | os.PathLike[str], out: str | os.PathLike[str], *, tokenizer: Any, template: str | None = None,
    targets: str | Sequence[str] = (), chat: bool | str | None = None, train_on: str | Sequence[str] = ("assistant",),
    messages: str = "messages", max_length: int | None = None, overflow: Literal["raise", "drop", "split"] = "raise",
    pack: bool = False, shard_rows: int = 100_000, batch_size: int = 1000, skip_bad: bool = False, workers: int | None = 1,
    progress: bool = False, command: list[str] | None = None,
) -> dict[str, Any]:
    """Encode a JSONL/JSON/Parquet file or folder (or a datasets folder saved with save_to_disk)
    into Parquet shards in `out`: rows through a prompt `template` (with `targets`), or
    conversations (the `messages` column) through the tokenizer's chat template (chat=True) or
    a Jinja chat template (chat=text or a file). Writes report.json and report.png beside the
    shards and returns the report. With workers > 1, batches are encoded in that many processes
    (each with its own tokenizer), and written in input order (call it under
    `if __name__ == "__main__":`); workers=None takes one per core for an input of 48 MB or
    more, else this process alone."""
