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
