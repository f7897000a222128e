"""Parse a prompt template, show its fragments, their markup text and hashes."""

import pickle

import korvanta

TEMPLATE = "Review: [text] Sentiment: [label|great,terrible]. Labels can be [a|x,y#z] too."

template = korvanta.PromptTemplate(TEMPLATE, tokenizer=None)
print(f"korvanta {korvanta.__version__}")
print(f"template:    {TEMPLATE}")
print(f"markup text: {template}")
print(f"hash:        {hash(template)}")
print()
print(f"{'#':>2}  {'kind':<7} {'string':<20} {'options':<16} {'markup':<26} hash")
for i, fragment in enumerate(template):
    kind = "text" if fragment.options is None else "control"
    options = "" if fragment.options is None else ",".join(fragment.options) or "[]"
    print(f"{i:>2}  {kind:<7} {fragment.string!r:<20} {options:<16} {str(fragment)!r:<26} {hash(fragment)}")

restored = pickle.loads(pickle.dumps(template))
print()
print(f"pickled and restored: {restored} (same hash: {hash(restored) == hash(template)})")
