"""Functions that multiprocessing workers import by name."""


def encode_filled(template, row):
    """Fills the text controls of a template from a row and tokenizes the result."""
    parts = []
    for fragment in template:
        if fragment.options is None:
            parts.append(fragment.string)
        elif fragment.options:
            parts.append(fragment.options[0])
        else:
            parts.append(row[fragment.string])
    text = "".join(parts)
    return type(template).__name__, text, template.tokenizer.encode(text).ids
