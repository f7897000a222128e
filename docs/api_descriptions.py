"""The API reference's griffe extension.

`Described` gives every member it lists a description of one or two
sentences: the stubs' docstring or, where that is the module's fixed help
text or reads short on this page, the one below. A method the stubs declare only as overloads (`encode`,
`encode_batch`) is listed once, with the signature the module gives it and its
overloads folded away. A listed member without a description fails the build.
"""

import inspect

import griffe

import korvanta

# Members whose docstring is the module's fixed help text, said for the reader.
DESCRIPTIONS = {
    "korvanta": "Three functions on markup, its exception, the two template classes and the chat template, then "
                "packing and collating encoded rows; what each does in detail, the encoding options and every "
                "error follow the list.",
    "korvanta.__version__": "The package's version, a `str` such as `\"1.2.0\"`.",
    "korvanta.parse": "Parse markup into a new list of new fragments, in markup order. The same as "
                      "`PromptFragment.parse` and `PromptTemplate.parse`.",
    "korvanta.PromptFragment": "One fragment of a template: text, or a control (a name with a list of options, "
                               "empty for a field).",
    "korvanta.PromptFragment.parse": "`korvanta.parse`, as a static method.",
    "korvanta.PromptFragment.string": "The text of a text fragment, or the name of a control.",
    "korvanta.PromptFragment.options": "`None` for a text fragment, else a new list of the control's options "
                                       "(its label words when it is a slot).",
    "korvanta.PromptTemplate": "A parsed template and the tokenizer it encodes rows with; korvanta stores the "
                               "tokenizer and calls it only to encode.",
    "korvanta.PromptTemplate.parse": "`korvanta.parse`, as a static method.",
    "korvanta.PromptTemplate.tokenizer": "The tokenizer given, the very object; any object may be assigned.",
    "korvanta.PromptTemplate.fragments": "A new list of copies of the fragments; assigning a sequence of fragments "
                                         "copies them in.",
    "korvanta.PromptTemplate.fields": "The names of the controls without options (filled from a row), in order, "
                                      "each once.",
    "korvanta.PromptTemplate.slots": "The names of the controls with options (their label words), in order, "
                                     "each once.",
    "korvanta.PromptTemplate.encode": "Encode one row (a mapping from field names to values) into a dict of lists, "
                                      "with the template's tokenizer; the options are in [Encoding](#encoding).",
    "korvanta.PromptTemplate.encode_batch": "Encode rows (a sequence of mappings, or columns as `Dataset.map` "
                                            "passes them) into a dict with a list per row; the same options as "
                                            "`encode`.",
    "korvanta.PromptTemplate.__class_getitem__": "`PromptTemplate[Tok]` is the type of a template whose tokenizer "
                                                 "is a `Tok`, for annotations.",
    "korvanta.ChatTemplate": "A tokenizer and how it writes conversations (its chat template, a Jinja chat "
                             "template, or one markup per role): conversations to model inputs and labels on "
                             "the roles trained on; see [Conversations](conversations.md).",
    "korvanta.ChatTemplate.encode": "Encode one conversation (a list of `{'role': ..., 'content': ...}` mappings) "
                                    "into a dict of lists; the same options as `encode_batch`.",
    "korvanta.ChatTemplate.encode_batch": "Encode conversations (a list of message lists, or a `messages` column as "
                                          "`Dataset.map` passes it, with `tools` and `documents` columns per row) "
                                          "into a dict with a list per conversation.",
    "korvanta.ChatTemplate.__class_getitem__": "`ChatTemplate[Tok]` is the type of a chat template whose tokenizer "
                                               "is a `Tok`, for annotations.",
    "korvanta.MarkupError.msg": "Why the markup is not well formed.",
    "korvanta.MarkupError.template": "The markup checked.",
    "korvanta.MarkupError.pos": "Where the fault is: an index into `template`, in characters.",
    "korvanta.MarkupError.lineno": "The line of `pos`, counted from 1.",
    "korvanta.MarkupError.colno": "The column of `pos`, counted from 1.",
}


class Described(griffe.Extension):
    def on_class_members(self, *, cls, **_):
        # Overloads alone make no member: list the method once, as the module signs it.
        for name, overloads in list(cls.overloads.items()):
            if overloads and name not in cls.members:
                method = getattr(getattr(korvanta, cls.name), name)
                first = overloads[0]
                parameters = [griffe.Parameter(p.name, kind=griffe.ParameterKind[p.kind.name.lower()],
                                               annotation=first.parameters[p.name].annotation
                                               if p.name in first.parameters else "object")
                              for p in inspect.signature(method).parameters.values()]
                function = griffe.Function(name, parameters=griffe.Parameters(*parameters), parent=cls,
                                           returns=first.returns,
                                           docstring=overloads[0].docstring, lineno=overloads[0].lineno,
                                           endlineno=overloads[-1].endlineno)
                function.overloads = overloads
                cls.set_member(name, function)
                del cls.overloads[name]

    def on_package(self, *, pkg, **_):
        for member in walk(pkg):
            text = DESCRIPTIONS.get(member.path)
            if text is not None:
                member.docstring = griffe.Docstring(text, parent=member)
            elif listed(member) and not member.docstring:
                raise ValueError(f"the API reference lists {member.path} without a description")


def listed(member):
    return member.name in korvanta.__all__ or not member.name.startswith("_") or member.name == "__class_getitem__"


def walk(obj):
    for member in obj.members.values():
        if not member.is_alias and listed(member):
            yield member
            if member.is_class:
                yield from walk(member)

