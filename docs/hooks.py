"""Build hooks of the documentation: a page may ask for a name's signature and
docstring as the module shows them, with `<!-- docstring: PromptTemplate.encode -->`
(for what the API reference generator does not render: overloaded methods)."""

import html
import re

import korvanta

MARKER = re.compile(r"<!-- docstring: ([\w.]+) -->")


def described(match):
    obj = korvanta
    for part in match.group(1).split("."):
        obj = getattr(obj, part)
    signature = obj.__text_signature__.replace("$self, ", "").replace("$self", "")
    name = match.group(1).split(".")[-1]
    return (f"### `{match.group(1)}`\n\n```python\n{name}{signature}\n```\n\n"
            f"<pre>{html.escape(obj.__doc__)}</pre>\n")


def on_page_markdown(markdown, **_):
    return MARKER.sub(described, markdown)
