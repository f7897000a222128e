"""The reference encode is checked against: what the tokenizer itself gives
for each row's whole prompt, cut one field token at a time."""

import korvanta


def reference(markup, tokenizer, mask, row, max_length=None, shorten=None, side="right"):
    """input_ids and mask_positions as the tokenizer itself gives them: the
    whole prompt tokenized at once; a token belongs to the field or slot whose
    characters it holds (a token of no characters, to the one it stands
    inside); field tokens go one at a time from the longest field (the last of
    equals) until the row fits."""
    prompt, spans, run_start = "", [], 0
    for fragment in korvanta.parse(markup):
        begin = len(prompt)
        if fragment.options is None:
            prompt += fragment.string
        elif fragment.options:
            prompt += mask
            spans.append((begin, len(prompt), None))
        else:
            prompt += str(row[fragment.string])
            spans.append((begin, len(prompt), fragment.string))
    encoding = getattr(tokenizer, "backend_tokenizer", tokenizer).encode(prompt)
    owner = []
    slots_first = sorted(range(len(spans)), key=lambda i: spans[i][2] is not None)  # a mask may take a field's space
    for (start, end), special in zip(encoding.offsets, encoding.special_tokens_mask):
        owner.append(next((i for i in slots_first if not special and start < spans[i][1] and end > spans[i][0]),
                          None))
    ids = list(encoding.ids)
    if max_length is not None:
        while len(ids) > max_length:
            lengths = {i: owner.count(i) for i, (_, _, name) in enumerate(spans)
                       if name is not None and (shorten is None or name in shorten)}
            longest = max(lengths.values())
            piece = max(i for i, n in lengths.items() if n == longest)
            at = [k for k, o in enumerate(owner) if o == piece]
            cut = at[-1] if side == "right" else at[0]
            del ids[cut], owner[cut]
    positions = [k for k, o in enumerate(owner) if o is not None and spans[o][2] is None]
    return ids, positions


def read_as_text(tok, text):
    """The ids `text` reads as with special tokens read as text (character by
    character where that reading still spells one, without those characters
    that spell one alone)."""
    backend = getattr(tok, "backend_tokenizer", tok)
    copy = type(backend).from_str(backend.to_str())
    copy.encode_special_tokens = True
    special = {i: a.content for i, a in backend.get_added_tokens_decoder().items() if a.special}

    def unspelled(part):
        read = copy.encode(part, add_special_tokens=False)
        kept = [i for i, (a, b) in zip(read.ids, read.offsets) if special.get(i) != part[a:b].strip()]
        return kept, len(kept) == len(read.ids)

    kept, whole = unspelled(text)
    return kept if whole else [i for c in text for i in unspelled(c)[0]]
