"""korvanta against anchors on the same work, in one process and one run.

    python bench/run.py [--quick]

Prints medians and ratios (korvanta time / anchor time) with the target of
each comparison. Absolute times are noisy on shared machines; the ratios
measured side by side in one run are what counts.
"""

import argparse
import copyreg
import ctypes
import gc
import inspect
import json
import os
import pathlib
import pickle
import re
import statistics
import sys
import time
import tempfile
import timeit
from _string import formatter_parser

import korvanta
from korvanta import PromptFragment, PromptTemplate

# ---------------------------------------------------------------- workloads


def prose(size):
    """Natural English from the standard library's docstrings, without markup characters."""
    import collections
    import email
    import json as json_module
    import pathlib
    import textwrap
    import unittest

    parts = []
    for module in (collections, pathlib, unittest, email, json_module, textwrap, argparse, inspect):
        for _, obj in inspect.getmembers(module):
            doc = inspect.getdoc(obj)
            if doc and len(doc) > 200:
                parts.append(doc)
    text = "\n\n".join(parts)
    text = text.translate({ord("["): "(", ord("]"): ")", ord("\\"): "/", ord("{"): "(", ord("}"): ")"})
    while len(text) < size:
        text += "\n\n" + text
    return text[:size]


def doc_markup(size, style):
    """Prose with a control every ~300 characters, alternating [maskN] and [slotN|yes,no]."""
    text = prose(size)
    pieces, n = [], 0
    for start in range(0, len(text), 300):
        pieces.append(text[start:start + 300])
        if style == "markup":
            pieces.append(f"[mask{n}]" if n % 2 == 0 else f"[slot{n}|yes,no]")
        else:
            pieces.append(f"{{mask{n}}}" if n % 2 == 0 else f"{{slot{n}:yes,no}}")
        n += 1
    return "".join(pieces)


def workloads(quick):
    plain = prose(2**20)
    return {
        "small": ("Hi [name] ! Is it [label|good,bad]?", "Hi {name} ! Is it {label:good,bad}?"),
        "doc": (doc_markup(20_000, "markup"), doc_markup(20_000, "format")),
        "dense": ("[a|b,c]x" * 10_000, "{a:b,c}x" * 10_000),
        "text": (plain, plain),
    }


# ---------------------------------------------------------------- the regex anchor

TOKEN = re.compile(r"\\([\\\[\]])|\[([^\[\]|#,]+)(?:\|([^\[\]|#,]+(?:[#,]+[^\[\]|#,]+)*)?)?\]|([^\\\[\]]+)")
SEPARATOR = re.compile(r"[#,]+")


def regex_parse(text):
    """What a user would write instead: a compiled regex, the same fragments as tuples."""
    out, pos, end = [], 0, len(text)
    match = TOKEN.match
    while pos < end:
        m = match(text, pos)
        if m is None:
            break
        escaped, name, options, run = m.groups()
        if name is not None:
            out.append((name, SEPARATOR.split(options) if options else []))
        else:
            piece = escaped if escaped is not None else run
            if out and out[-1][1] is None:
                out[-1] = (out[-1][0] + piece, None)
            else:
                out.append((piece, None))
        pos = m.end()
    return out


def python_render(template, row):
    """What every user wrote before render(): walk the fragments, look controls up, join."""
    parts = []
    for fragment in template:
        if fragment.options is None:
            parts.append(fragment.string)
        else:
            parts.append(str(row[fragment.string]))
    return "".join(parts)


# ---------------------------------------------------------------- measuring


def per_call(function, budget):
    """Median seconds per call over several repeats, each about `budget` long."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    samples = timer.repeat(repeat=7, number=number)
    return statistics.median(samples) / number


def paired(ours, anchor, budget, rounds=7, timer=time.perf_counter):
    """Per-call times of two works timed in interleaved rounds, each side about
    `budget` seconds a round: the median time of each, and the median, lowest
    and highest of the rounds' ratios."""
    timers = [timeit.Timer(ours, timer=timer), timeit.Timer(anchor, timer=timer)]
    numbers = [max(1, int(timer.autorange()[0] * budget / 0.2)) for timer in timers]
    times = ([], [])
    for _ in range(rounds):
        for side, (timer, number) in enumerate(zip(timers, numbers)):
            times[side].append(timer.timeit(number) / number)
    ratios = [a / b for a, b in zip(*times)]
    return statistics.median(times[0]), statistics.median(times[1]), statistics.median(ratios), (min(ratios), max(ratios))


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds * 1e9:7.2f} ns"


class Malloc(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use():
    """Bytes the C heap has handed out (glibc), plus what mmap holds for large blocks."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Malloc
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def load_build(path):
    """Another build of the module, from its .so or from a wheel, as a module
    object of its own beside the installed korvanta."""
    import importlib.util
    import tempfile
    import zipfile

    path = pathlib.Path(path)
    if path.suffix == ".whl":
        unpacked = pathlib.Path(tempfile.mkdtemp()) / path.stem.split("-")[-1]
        with zipfile.ZipFile(path) as wheel:
            [name] = [n for n in wheel.namelist() if n.startswith("korvanta.") and n.endswith(".so")]
            wheel.extract(name, unpacked)
        path = unpacked / name
    spec = importlib.util.spec_from_file_location("korvanta", path)
    module = importlib.util.module_from_spec(spec)
    assert module.PromptTemplate is not korvanta.PromptTemplate
    return module


# The timings a build is compared on, run in a process of its own with that
# build first on sys.path: no object of one build ever meets the other's
# classes (pickling looks classes up by name, and would find the wrong one).
BUILD_TIMINGS = r"""
import json, pickle, sys, timeit
sys.path.insert(0, sys.argv[1])
import korvanta
small = korvanta.PromptTemplate("Hi [name] ! Is it [label|good,bad]?", None)
row = {"name": "Ann", "label": "good"}
data = pickle.dumps(small)
works = {"t.render(row) small": lambda: small.render(row), "pickle.dumps(t) small": lambda: pickle.dumps(small),
         "pickle.loads small": lambda: pickle.loads(data)}
print(json.dumps({name: min(timeit.repeat(work, number=20000, repeat=5)) / 20000 for name, work in works.items()}))
"""


def build_directory(path):
    """The directory of a build's .so (a wheel is unpacked first)."""
    import tempfile
    import zipfile

    path = pathlib.Path(path)
    if path.suffix == ".whl":
        unpacked = pathlib.Path(tempfile.mkdtemp())
        with zipfile.ZipFile(path) as wheel:
            [name] = [n for n in wheel.namelist() if n.startswith("korvanta.") and n.endswith(".so")]
            wheel.extract(name, unpacked)
        return unpacked
    return path.parent


def compare_builds(other, rounds=5):
    """Render and pickling of this build against another, each in processes
    of its own, in interleaved rounds: rows of the median of each side's times
    and of the rounds' ratios, each with the lowest and highest ratio."""
    import statistics
    import subprocess

    ours = pathlib.Path(korvanta.__file__).parent
    times = {"this": [], "other": []}
    for _ in range(rounds):
        for side, directory in (("this", ours), ("other", build_directory(other))):
            done = subprocess.run([sys.executable, "-c", BUILD_TIMINGS, str(directory)], capture_output=True,
                                  text=True, check=True)
            times[side].append(json.loads(done.stdout))
    rows = []
    for name in times["this"][0]:
        a = statistics.median(t[name] for t in times["this"])
        b = statistics.median(t[name] for t in times["other"])
        ratios = [ours[name] / theirs[name] for ours, theirs in zip(times["this"], times["other"])]
        ratio = statistics.median(ratios)
        rows.append(((name, f"{pathlib.Path(other).name} (earlier build)", a, b, ratio, 1.05, ratio <= 1.05),
                     (min(ratios), max(ratios))))
    return rows


# ---------------------------------------------------------------- encoding rows

def review_rows(n, seed=0):
    """Review-like rows of realistic length with a long tail: a median of about
    40 words, a few hundred at the most."""
    import random

    from trained_tokenizers import WORDS

    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        words = [rng.choice(WORDS) for _ in range(max(1, min(400, int(rng.lognormvariate(3.7, 0.6)))))]
        text = " ".join(words)
        rows.append({"text": text[0].upper() + text[1:] + rng.choice(".!?")})
    return rows


def byte_level_32k():
    """A byte-level BPE of 32,000 tokens trained on the spot, wrapped as a
    transformers fast tokenizer."""
    import random
    import string

    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
    from transformers import PreTrainedTokenizerFast

    rng = random.Random(0)
    words = ["".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(2, 9))) for _ in range(40_000)]
    bpe = Tokenizer(models.BPE())
    bpe.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    bpe.decoder = decoders.ByteLevel()
    bpe.train_from_iterator((" ".join(rng.choice(words) for _ in range(50)) for _ in range(20_000)),
                            trainers.BpeTrainer(vocab_size=32_000, special_tokens=["<pad>", "</s>"],
                                                initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    return PreTrainedTokenizerFast(tokenizer_object=bpe, eos_token="</s>", pad_token="<pad>")


def python_pipeline(template, tokenizer, mask, batch, max_length):
    """What users wrote before encode_batch: render with the mask token, tokenize,
    then, for rows that overflow, find the field's tokens by their offsets and
    cut them from the end; find the mask by its id."""
    mask_id = tokenizer.token_to_id(mask)
    prompts = [template.render({**row, "mask": mask}) for row in batch]
    out = {"input_ids": [], "attention_mask": [], "mask_positions": []}
    for row, prompt, encoding in zip(batch, prompts, tokenizer.encode_batch(prompts)):
        ids = encoding.ids
        if len(ids) > max_length:
            start, end = prompt.index(row["text"]), prompt.index(row["text"]) + len(row["text"])
            field = [k for k, (a, b) in enumerate(encoding.offsets) if a < end and b > start
                     and not encoding.special_tokens_mask[k]]
            drop = set(field[len(field) - (len(ids) - max_length):])
            ids = [i for k, i in enumerate(ids) if k not in drop]
        out["input_ids"].append(ids)
        out["attention_mask"].append([1] * len(ids))
        out["mask_positions"].append([ids.index(mask_id)])
    return out


def instruction_pipeline(tokenizer, batch, max_length):
    """What users write for instruction tuning: render prompt and answer,
    tokenize, label the tokens that hold the answer's characters, cut the
    question's tokens from the end when the row is too long."""
    out = {"input_ids": [], "attention_mask": [], "labels": []}
    prompts = [f"Question: {row['question']}\nAnswer: {row['answer']}" for row in batch]
    for row, prompt, encoding in zip(batch, prompts, tokenizer.encode_batch(prompts)):
        start = len(prompt) - len(row["answer"])
        q_start = len("Question: ")
        q_end = q_start + len(row["question"])
        ids, labels, question = [], [], []
        for k, (i, (a, b), special) in enumerate(zip(encoding.ids, encoding.offsets, encoding.special_tokens_mask)):
            ids.append(i)
            labels.append(i if b > start and not special else -100)
            if a < q_end and b > q_start and not special:
                question.append(k)
        if len(ids) > max_length:
            drop = set(question[len(question) - (len(ids) - max_length):])
            ids = [i for k, i in enumerate(ids) if k not in drop]
            labels = [x for k, x in enumerate(labels) if k not in drop]
        out["input_ids"].append(ids)
        out["attention_mask"].append([1] * len(ids))
        out["labels"].append(labels)
    return out


def interleaved(works, rounds, alternate=True):
    """The process CPU seconds of each work in each of `rounds` interleaved
    rounds: CPU time, so that a loaded machine's waiting adds nothing (the
    tokenizer's own threads count). Every work runs once untimed first (a
    warm-up for every side); each timed run starts from a collected heap with
    the collector off, so that no work pays for another's garbage; with
    `alternate` (the default), every other round runs the works in reverse
    order, so that a drift favours none."""
    for work in works.values():
        work()
    times = {label: [] for label in works}
    for round_ in range(rounds):
        order = list(works.items())
        for label, work in reversed(order) if alternate and round_ % 2 else order:
            gc.collect()
            gc.disable()
            try:
                started = time.process_time()
                work()
                times[label].append(time.process_time() - started)
            finally:
                gc.enable()
    return times


def per_row(operation, anchor, times, ours, theirs, rows, goal):
    """A result row of two works timed over `rows` rows in interleaved rounds:
    median times per row, the median of the rounds' ratios, the goal and
    whether it is met; with the lowest and highest ratio of the rounds."""
    ratios = [a / b for a, b in zip(times[ours], times[theirs])]
    ratio = statistics.median(ratios)
    return ((operation, anchor, statistics.median(times[ours]) / rows, statistics.median(times[theirs]) / rows,
             ratio, goal, goal is None or ratio <= goal), (min(ratios), max(ratios)))


def oracle_split(backend, prompts, max_length):
    """What knowing in advance which rows are cut would cost: the rows that fit
    by ids alone, the others once with offsets."""
    lengths = [len(e.ids) for e in backend.encode_batch_fast(prompts)]
    fit = [p for p, n in zip(prompts, lengths) if n <= max_length]
    cut = [p for p, n in zip(prompts, lengths) if n > max_length]
    return lambda: ([e.ids for e in backend.encode_batch_fast(fit)], [(e.ids, e.offsets) for e in backend.encode_batch(cut)])


def label_words(tokenizer):
    """Two label words that are one token each at the slot (the small trained
    vocabularies split some words)."""
    words = []
    for word in ("great", "terrible", "good", "bad", "film", "plot", "the", "a"):
        [[ids]] = PromptTemplate(f"It was [mask|{word}].", tokenizer).label_ids()
        if len(ids) == 1:
            words.append(word)
    return words[:2]


def encode_rows(quick):
    """encode_batch on review rows in batches of 1,000 (and 32), for every
    tokenizer family the tests train (the WordPiece and byte-level ones also
    wrapped as transformers fast tokenizers), with max_length 64 and 128:
    against the tokenizer alone on the rendered prompts (encode_batch_fast
    plus reading .ids), the oracle split (rows known to fit by ids, the others
    once with offsets), a Python pipeline that does the same job, the
    transformers call, and the same call with a slot target (masked LM); encode
    of one row against backend.encode(prompt).ids, with the family's added
    tokens and with 1,024 more; an instruction-tuning batch with targets=
    against a Python pipeline. Process CPU time, interleaved rounds."""
    try:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
        import trained_tokenizers
        from trained_tokenizers import FAMILIES, TOKENIZERS
    except ImportError:
        return []
    results = []
    data = [{**row, "mask": i % 2} for i, row in enumerate(review_rows(4_000 if quick else 10_000))]
    rounds = 3 if quick else 5
    kinds = [(name, True) for name in sorted(TOKENIZERS)] + [(name, False) for name in ("wordpiece", "bytelevel",
                                                                                         "unigram", "llama")]
    for name, wrap in kinds:
        build, mask = FAMILIES[name]
        wrapped = trained_tokenizers.wrapped(build, mask, TOKENIZERS[name][2]) if wrap else None
        if wrap and wrapped is None:
            continue
        tokenizer = wrapped if wrapped is not None else build()
        # The floor and the pipeline read a copy that a transformers call with
        # truncation= and padding= (which leaves them set on its backend) cannot reach.
        backend = getattr(tokenizer, "backend_tokenizer", tokenizer)
        backend = type(backend).from_str(backend.to_str())
        backend.no_truncation()
        backend.no_padding()
        label = f"{name}{' (transformers)' if wrapped is not None else ''}"
        template = PromptTemplate(f"Review: [text] It was [mask|{','.join(label_words(tokenizer))}].", tokenizer)
        sizes = ((64, 1000), (128, 1000), (128, 32)) if wrap else ((64, 1000), (128, 1000))
        for max_length, size in sizes:
            batches = [data[i:i + size] for i in range(0, len(data), size)]
            prompts = [[template.render({**row, "mask": mask}) for row in batch] for batch in batches]
            assert template.encode_batch(batches[0], mask_token=mask, max_length=max_length) == python_pipeline(
                template, backend, mask, batches[0], max_length)
            splits = [oracle_split(backend, p, max_length) for p in prompts]
            works = {
                "ours": lambda: [template.encode_batch(b, mask_token=mask, max_length=max_length) for b in batches],
                "floor": lambda: [[e.ids for e in backend.encode_batch_fast(p)] for p in prompts],
                "oracle": lambda: [split() for split in splits],
            }
            if wrap:
                works["pipeline"] = lambda: [python_pipeline(template, backend, mask, b, max_length) for b in batches]
                works["transformers"] = lambda: [tokenizer(p, truncation=True, max_length=max_length,
                                                           padding=True)["input_ids"] for p in prompts]
            times = interleaved(works, rounds)
            operation = f"encode_batch {label} max_length={max_length}, batches of {size}"
            results.append(per_row(operation, "encode_batch_fast + .ids on prompts", times, "ours", "floor",
                                   len(data), 1.1))
            results.append(per_row(operation, "the oracle split", times, "ours", "oracle", len(data),
                                   1.05 if size == 1000 else None))
            # Two calls that differ by a per cent or two: a pair of their own, in
            # more rounds, each round's order the reverse of the last's.
            pair = interleaved({
                "slot target": lambda: [template.encode_batch(b, mask_token=mask, max_length=max_length,
                                                              targets="mask") for b in batches],
                "without": lambda: [template.encode_batch(b, mask_token=mask, max_length=max_length)
                                    for b in batches],
            }, 3 if quick else 9, alternate=True)
            results.append(per_row(operation + ", a slot target", "the same without targets", pair, "slot target",
                                   "without", len(data), 1.05))
            if wrap:
                results.append(per_row(operation, "Python pipeline", times, "ours", "pipeline", len(data), 0.6))
                results.append(per_row(operation, "transformers call with truncation and padding", times, "ours",
                                       "transformers", len(data), None))
        # One row, with the family's added tokens and with 1,024 more (a chat model's).
        row = data[0]
        prompt = template.render({**row, "mask": mask})
        for added in (0,) if wrap else (0, 1024):
            if added:
                backend.add_special_tokens([f"<extra_{i}>" for i in range(added)])
                template = PromptTemplate(str(template), backend)
            ours, theirs, ratio, spread = paired(lambda: template.encode(row, mask_token=mask),
                                                 lambda: backend.encode(prompt).ids, 0.05 if quick else 0.1,
                                                 rounds=rounds, timer=time.process_time)
            results.append(((f"encode one row {label}{', 1,024 more added tokens' if added else ''}",
                             "backend.encode(prompt).ids",
                             ours, theirs, ratio, 1.1, ratio <= 1.1), spread))
        if not wrap:
            continue
        # Instruction tuning: prompt + answer, labels on the answer.
        rng = __import__("random").Random(1)
        pairs = [{"question": r["text"], "answer": data[rng.randrange(len(data))]["text"][:80]} for r in data[:5000]]
        batches = [pairs[i:i + 1000] for i in range(0, len(pairs), 1000)]
        qa = PromptTemplate("Question: [question]\nAnswer: [answer]", tokenizer)
        times = interleaved({
            "targets": lambda: [qa.encode_batch(b, max_length=256, targets="answer") for b in batches],
            "plain": lambda: [qa.encode_batch(b, max_length=256) for b in batches],
            "pipeline": lambda: [instruction_pipeline(backend, b, 256) for b in batches],
        }, rounds)
        operation = f"encode_batch {label} targets=answer, max_length=256"
        results.append(per_row(operation, "the same without targets", times, "targets", "plain", len(pairs), 1.1))
        results.append(per_row(operation, "Python pipeline", times, "targets", "pipeline", len(pairs), 0.6))
    return results


def first_spelling_batch(quick):
    """The first batch of 1,000 rows in which some rows spell special tokens
    (read as text, never as the tokens) against the first batch of the same
    rows spelling none: a fresh tokenizer (32 k byte-level BPE, transformers)
    and template for each, made outside the timing. Process CPU time,
    interleaved rounds."""
    try:
        from tokenizers import Tokenizer
        from transformers import PreTrainedTokenizerFast
    except ImportError:
        return []
    saved = byte_level_32k().backend_tokenizer.to_str()
    data = review_rows(2_000, seed=3)
    plain = [{"question": row["text"], "answer": other["text"][:80]} for row, other in zip(data, data[1000:])]
    spelled = [{**row, "question": row["question"] + (" </s><pad>" if i % 20 == 0 else "")}
               for i, row in enumerate(plain)]
    times = {"spelled": [], "plain": []}
    for _ in range(3 if quick else 5):
        for label, rows in (("spelled", spelled), ("plain", plain)):
            tokenizer = PreTrainedTokenizerFast(tokenizer_object=Tokenizer.from_str(saved), eos_token="</s>",
                                                pad_token="<pad>")
            template = PromptTemplate("Question: [question]\nAnswer: [answer]</s>", tokenizer)
            started = time.process_time()
            template.encode_batch(rows, max_length=128, targets="answer")
            times[label].append(time.process_time() - started)
    return [per_row("first encode_batch of a template, 50 rows of 1,000 spelling special tokens, 32 k byte-level BPE",
                    "the same rows spelling none", times, "spelled", "plain", len(plain), 2.0)]


CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>\\n' }}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")
# The same, with the assistant's turns tagged for transformers' assistant mask.
CHATML_TAGGED = ("{% for message in messages %}{% if message['role'] == 'assistant' %}"
                 "{{ '<|im_start|>assistant\\n' }}{% generation %}{{ message['content'] + '<|im_end|>' }}"
                 "{% endgeneration %}{{ '\\n' }}{% else %}{{ '<|im_start|>' + message['role'] + '\\n' + "
                 "message['content'] + '<|im_end|>\\n' }}{% endif %}{% endfor %}")


def chat_conversations(n, seed=5):
    """Conversations of 2 to 8 turns (half with a system message) made of review sentences."""
    import random

    rng = random.Random(seed)
    texts = [row["text"] for row in review_rows(2_000, seed=seed)]
    out = []
    for _ in range(n):
        messages = [{"role": "system", "content": "You are a film critic."}] if rng.random() < 0.5 else []
        for _ in range(rng.randint(1, 4)):
            messages += [{"role": "user", "content": rng.choice(texts)[:200]},
                         {"role": "assistant", "content": rng.choice(texts)[:300]}]
        out.append(messages)
    return out


def kept_and_one_more(chat, backend, data, max_length):
    """What an oracle that knows how many leading exchanges each conversation
    drops must still do: the kept text of each conversation (tokenized with
    offsets) and, where exchanges were dropped, the text with one exchange
    more (counted by ids), found here beforehand, untimed."""
    kept, more = [], []
    for messages in data:
        starts = [m for m, message in enumerate(messages) if message["role"] == "user"]
        opening = messages[:starts[0]]
        texts = [chat.render(opening + messages[start:]) for start in starts]
        counts = [len(e.ids) for e in backend.encode_batch(texts, add_special_tokens=False)]
        dropped = next((d for d, n in enumerate(counts) if n <= max_length), len(starts) - 1)
        kept.append(texts[dropped])
        if dropped > 0:
            more.append(texts[dropped - 1])
    return kept, more


def chat_rows(quick):
    """ChatTemplate.encode_batch on conversations of 2 to 8 turns, batches of
    1,000, a 32 k byte-level BPE with ChatML's tokens, each pair doing the same
    work with the same outputs: at max_length 512 against an oracle that knows
    how many exchanges each conversation keeps (the kept texts tokenized with
    offsets, the texts with one exchange more counted by ids); with no
    max_length against the tokenizer's encode_batch with offsets on the
    conversations rendered in advance, and against transformers'
    apply_chat_template(tokenize=True, return_dict=True) (the same ids,
    checked; we label, it does not). Through Dataset.map with no max_length
    (returning lists, and returning Arrow tables) against TRL's SFTTrainer
    preparing the same rows with assistant_only_loss (the same ids and
    labels, checked). Rendering alone shows where the time goes. Then the same against apply_chat_template on three real templates'
    shapes (chat_shapes)."""
    try:
        import jinja2  # noqa: F401
        from korvanta import ChatTemplate
    except ImportError:
        return []
    tokenizer = byte_level_32k()
    tokenizer.add_special_tokens({"additional_special_tokens": ["<|im_start|>", "<|im_end|>"]})
    tokenizer.chat_template = CHATML
    chat = ChatTemplate(tokenizer)
    backend = type(tokenizer.backend_tokenizer).from_str(tokenizer.backend_tokenizer.to_str())
    data = chat_conversations(2_000 if quick else 10_000)
    batches = [data[i:i + 1000] for i in range(0, len(data), 1000)]
    texts = [[chat.render(messages) for messages in batch] for batch in batches]
    kept, more = zip(*(kept_and_one_more(chat, backend, batch, 512) for batch in batches))
    sample = chat.encode_batch(batches[0], max_length=512)["input_ids"]
    assert sample == [e.ids for e in backend.encode_batch(list(kept[0]), add_special_tokens=False)]
    assert chat.encode_batch(batches[0])["input_ids"] == \
        tokenizer.apply_chat_template(batches[0], tokenize=True, return_dict=True)["input_ids"]
    prepare = trl_chat_preparation(tokenizer, chat, data)
    times = interleaved({
        **prepare,
        "ours": lambda: [chat.encode_batch(batch, max_length=512) for batch in batches],
        "oracle": lambda: [([(e.ids, e.offsets) for e in backend.encode_batch(list(k), add_special_tokens=False)],
                            [e.ids for e in backend.encode_batch_fast(list(m), add_special_tokens=False)])
                           for k, m in zip(kept, more)],
        "whole": lambda: [chat.encode_batch(batch) for batch in batches],
        "floor": lambda: [[(e.ids, e.offsets) for e in backend.encode_batch(t, add_special_tokens=False)]
                          for t in texts],
        "render": lambda: [[chat.render(messages) for messages in batch] for batch in batches],
        "transformers": lambda: [tokenizer.apply_chat_template(batch, tokenize=True, return_dict=True)
                                 for batch in batches],
    }, 3 if quick else 5)
    operation = "ChatTemplate.encode_batch, 2 to 8 turns, max_length=512, batches of 1000"
    whole = operation.replace("max_length=512", "no max_length")
    return [
        per_row(operation, "an oracle that knows the exchanges kept (their text with offsets, one more counted)",
                times, "ours", "oracle", len(data), 1.05),
        per_row(whole, "encode_batch with offsets on conversations rendered in advance", times, "whole", "floor",
                len(data), 1.05),
        per_row(whole, "apply_chat_template(tokenize=True, return_dict=True)", times, "whole", "transformers",
                len(data), 1.0),
        *([per_row("Dataset.map(ChatTemplate.encode_batch), no max_length",
                   "TRL SFTTrainer's preparation, assistant_only_loss", times, "ours map", "trl", len(data), 0.4),
           per_row("Dataset.map(ChatTemplate.encode_batch) returning Arrow tables, no max_length",
                   "TRL SFTTrainer's preparation, assistant_only_loss", times, "ours map arrow", "trl", len(data), 0.4)]
          if prepare else []),
        per_row("ChatTemplate.render, one per conversation", "encode_batch with offsets on the rendered texts",
                times, "render", "floor", len(data), None),
        *chat_shapes(quick),
    ]


# Three real chat templates' shapes: Llama-3's headers with trimmed contents,
# a reasoning template that drops earlier turns' <think>, and tool calls with
# tools given per call (as Qwen2.5 writes them).
SHAPES = {
    "headers, | trim": (
        "{{ bos_token }}{% for message in messages %}{{ '<|start_header_id|>' + message['role'] + "
        "'<|end_header_id|>\n\n' + message['content'] | trim + '<|eot_id|>' }}{% endfor %}"
        "{% if add_generation_prompt %}{{ '<|start_header_id|>assistant<|end_header_id|>\n\n' }}{% endif %}",
        ["<|begin_of_text|>", "<|start_header_id|>", "<|end_header_id|>", "<|eot_id|>"], "<|begin_of_text|>"),
    "reasoning, earlier <think> dropped": (
        "{% for message in messages %}{% if message['role'] == 'assistant' %}{% set content = message['content'] %}"
        "{% if '</think>' in content %}{% set reasoning = content.split('</think>')[0].split('<think>')[-1] %}"
        "{% set content = content.split('</think>')[-1] %}{% if loop.last %}"
        "{% set content = '<think>' + reasoning + '</think>' + content %}{% endif %}{% endif %}"
        "{{ '<|im_start|>assistant\n' + content + '<|im_end|>\n' }}{% else %}"
        "{{ '<|im_start|>' + message['role'] + '\n' + message['content'] + '<|im_end|>\n' }}{% endif %}"
        "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}",
        ["<|im_start|>", "<|im_end|>"], None),
    "tool calls, tools per call": (
        "{% if tools %}{{ '<|im_start|>system\nYou may call these tools:\n' }}{% for tool in tools %}"
        "{{ tool | tojson }}{{ '\n' }}{% endfor %}{{ '<|im_end|>\n' }}{% endif %}"
        "{% for message in messages %}{% if message['role'] == 'assistant' and message.tool_calls %}"
        "{{ '<|im_start|>assistant\n' + message['content'] }}{% for call in message.tool_calls %}"
        "{{ '<tool_call>\n' }}{{ {'name': call.function.name, 'arguments': call.function.arguments} | tojson }}"
        "{{ '\n</tool_call>' }}{% endfor %}{{ '<|im_end|>\n' }}{% elif message['role'] == 'tool' %}"
        "{{ '<|im_start|>user\n<tool_response>\n' + message['content'] + '\n</tool_response><|im_end|>\n' }}"
        "{% else %}{{ '<|im_start|>' + message['role'] + '\n' + message['content'] + '<|im_end|>\n' }}{% endif %}"
        "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}",
        ["<|im_start|>", "<|im_end|>"], None),
}
TOOLS = [{"type": "function", "function": {"name": "find_film", "description": "Find a film by its title.",
                                             "parameters": {"type": "object", "properties": {
                                                 "title": {"type": "string"}}, "required": ["title"]}}}]


def shaped_conversations(shape, n, seed=6):
    """The benchmark's conversations as each shape's data looks: contents
    ending in a newline for the trimming template, reasoning before the
    assistant's answers, a tool call and its response in every exchange."""
    import random

    rng = random.Random(seed)
    out = []
    for messages in chat_conversations(n, seed):
        shaped = []
        for message in messages:
            content = message["content"]
            if shape.startswith("headers"):
                shaped.append({**message, "content": content + "\n"})
            elif shape.startswith("reasoning") and message["role"] == "assistant":
                shaped.append({**message, "content": f"<think>{content[:80]}</think>{content[80:]}"})
            elif shape.startswith("tool") and message["role"] == "assistant":
                title = " ".join(content.split()[:3])
                shaped += [{"role": "assistant", "content": "", "tool_calls": [
                               {"type": "function", "function": {"name": "find_film", "arguments": {"title": title}}}]},
                           {"role": "tool", "content": f"{{\"title\": \"{title}\", \"year\": {rng.randint(1950, 2025)}}}"},
                           message]
            else:
                shaped.append(message)
        out.append(shaped)
    return out


def chat_shapes(quick):
    """encode_batch against apply_chat_template(tokenize=True, return_dict=True)
    on each shape of SHAPES (the same ids, checked), no max_length."""
    from korvanta import ChatTemplate

    rows = []
    for shape, (source, specials, bos) in SHAPES.items():
        tokenizer = byte_level_32k()
        tokenizer.add_special_tokens({"additional_special_tokens": specials, **({"bos_token": bos} if bos else {})})
        tokenizer.chat_template = source
        chat = ChatTemplate(tokenizer)
        data = shaped_conversations(shape, 2_000 if quick else 5_000)
        batches = [data[i:i + 1000] for i in range(0, len(data), 1000)]
        variables = {"tools": TOOLS} if shape.startswith("tool") else {}
        assert chat.encode_batch(batches[0], **variables)["input_ids"] == tokenizer.apply_chat_template(
            batches[0], tokenize=True, return_dict=True, **variables)["input_ids"], shape
        times = interleaved({
            "ours": lambda: [chat.encode_batch(batch, **variables) for batch in batches],
            "transformers": lambda: [tokenizer.apply_chat_template(batch, tokenize=True, return_dict=True,
                                                                   **variables) for batch in batches],
        }, 3 if quick else 5)
        rows.append(per_row(f"ChatTemplate.encode_batch, {shape}, no max_length",
                            "apply_chat_template(tokenize=True, return_dict=True)", times, "ours", "transformers",
                            len(data), 1.0))
    return rows


def trl_chat_preparation(tokenizer, chat, data):
    """The conversations through Dataset.map with ChatTemplate.encode_batch
    and through TRL's SFTTrainer preparation with assistant_only_loss; {}
    where datasets or TRL is missing."""
    try:
        import datasets
        import pyarrow
        from trl import SFTConfig, SFTTrainer
    except ImportError:
        return {}
    import copy
    import types

    datasets.disable_progress_bars()
    datasets.disable_caching()
    tagged = copy.deepcopy(tokenizer)
    tagged.chat_template = CHATML_TAGGED  # TRL's assistant mask needs {% generation %}
    rows = datasets.Dataset.from_list([{"messages": messages} for messages in data])
    # _prepare_dataset reads these three attributes of the trainer: no model is needed.
    trainer = types.SimpleNamespace(_tokenizer=tagged, completion_only_loss=None, chat_template=None)

    def theirs(max_length):
        config = SFTConfig(output_dir=tempfile.mkdtemp(), max_length=max_length, assistant_only_loss=True,
                           report_to=[], use_cpu=True, bf16=False)
        return SFTTrainer._prepare_dataset(trainer, rows, tagged, config, packing=False, formatting_func=None,
                                           dataset_name="train")

    def ours(**options):
        return rows.map(chat.encode_batch, batched=True, batch_size=1000, fn_kwargs=options,
                        remove_columns=rows.column_names)

    def as_table(batch):  # Dataset.map takes a pyarrow Table as a batch's new columns
        return pyarrow.table(chat.encode_batch(batch, return_tensors="arrow"))

    def ours_arrow():
        return rows.map(as_table, batched=True, batch_size=1000, remove_columns=rows.column_names)

    whole_theirs = theirs(None)
    for whole_ours in (ours(), ours_arrow()):
        assert whole_theirs["input_ids"] == whole_ours["input_ids"] and whole_theirs["labels"] == whole_ours["labels"]
    return {"ours map": lambda: ours(), "ours map arrow": ours_arrow, "trl": lambda: theirs(None)}


def trl_preparation(quick):
    """Instruction-tuning rows made ready for training through `Dataset.map`:
    encode_batch with targets= against TRL's SFTTrainer preparing the same
    rows as prompt and completion (the completion's tokens and the end token
    labelled). Without max_length both give the same ids and labels, which is
    checked; with it, TRL cuts each row's end (answers included) and drops the
    rows left without a label, korvanta cuts the question."""
    try:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
        import datasets
        import trained_tokenizers
        from transformers import PreTrainedTokenizerFast
        from trl import SFTConfig, SFTTrainer
    except ImportError:
        return []
    import random
    import types

    datasets.disable_progress_bars()
    datasets.disable_caching()
    tokenizer = PreTrainedTokenizerFast(tokenizer_object=trained_tokenizers.bytelevel(), eos_token="</s>",
                                        pad_token="<pad>")
    data = review_rows(2_000 if quick else 10_000)
    rng = random.Random(1)
    pairs = [{"question": r["text"], "answer": data[rng.randrange(len(data))]["text"][:80]} for r in data]
    ours_rows = datasets.Dataset.from_list(pairs)
    their_rows = datasets.Dataset.from_list([{"prompt": f"Question: {p['question']}\nAnswer: ",
                                              "completion": p["answer"]} for p in pairs])
    template = PromptTemplate("Question: [question]\nAnswer: [answer]</s>", tokenizer)
    # _prepare_dataset reads these three attributes of the trainer: no model is needed.
    trainer = types.SimpleNamespace(_tokenizer=tokenizer, completion_only_loss=True, chat_template=None)

    def theirs(max_length):
        config = SFTConfig(output_dir=tempfile.mkdtemp(), max_length=max_length, completion_only_loss=True,
                           report_to=[], use_cpu=True, bf16=False)
        return SFTTrainer._prepare_dataset(trainer, their_rows, tokenizer, config, packing=False,
                                           formatting_func=None, dataset_name="train")

    def ours(**options):
        return ours_rows.map(template.encode_batch, batched=True, fn_kwargs={"targets": "answer", **options},
                             remove_columns=ours_rows.column_names)

    whole_theirs, whole_ours = theirs(None), ours()
    assert whole_theirs["input_ids"] == whole_ours["input_ids"] and whole_theirs["labels"] == whole_ours["labels"]
    times = interleaved({"ours": lambda: ours(max_length=256), "trl": lambda: theirs(256)}, 3 if quick else 5)
    return [per_row("Dataset.map(encode_batch) targets=answer, max_length=256", "TRL SFTTrainer's preparation",
                    times, "ours", "trl", len(pairs), None)]


def draw_chart(rows, path, title):
    """Ratios against each anchor, one group of bars per operation, each bar
    named by its anchor and its goal drawn as a black tick across it; left of
    1, korvanta is faster."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    timed = [row for row in rows if row[5] is not None and not row[0].startswith("memory")]
    operations = list(dict.fromkeys(row[0] for row in timed))
    figure, axes = plt.subplots(figsize=(11, 0.34 * len(timed) + 0.3 * len(operations) + 1.2))
    y, ticks = 0.0, []
    for operation in operations:
        group = [row for row in timed if row[0] == operation]
        ticks.append((y + (len(group) - 1) / 2, operation))
        for k, (_, anchor, _, _, ratio, goal, met) in enumerate(group):
            axes.barh(y + k, ratio, color="tab:blue" if met else "tab:red", height=0.75)
            axes.plot([goal, goal], [y + k - 0.45, y + k + 0.45], color="black", linewidth=1.5)
            axes.text(max(ratio, goal) * 1.1, y + k, f"vs {anchor}: {ratio:.2f}", va="center", fontsize=7)
        y += len(group) + 0.6
    axes.set_yticks([t for t, _ in ticks], [label for _, label in ticks], fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlim(0.005, 60)
    axes.axvline(1.0, color="grey", linestyle=":", linewidth=1)
    axes.set_xlabel("korvanta time / anchor time, log scale (black ticks: goals; red: goal missed; "
                    "left of 1: korvanta is faster)", fontsize=8)
    axes.set_title(title, fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


# The rows a user reads the chart for: (operation, anchor, how the chart names it).
USER_ROWS = [
    ("encode_batch wordpiece (transformers) max_length=128, batches of 1000", "encode_batch_fast + .ids on prompts",
     "encode_batch vs the tokenizer alone on the prompts (no cutting, no mask)"),
    ("encode_batch wordpiece (transformers) max_length=128, batches of 1000",
     "transformers call with truncation and padding", "encode_batch vs tokenizer(prompts, truncation=, padding=)"),
    ("encode_batch wordpiece (transformers) max_length=128, batches of 1000", "Python pipeline",
     "encode_batch vs a hand-written Python pipeline (same job)"),
    ("encode_batch bytelevel (transformers) max_length=128, batches of 1000", "Python pipeline",
     "encode_batch (byte-level BPE) vs a hand-written Python pipeline"),
    ("Dataset.map(encode_batch) targets=answer, max_length=256", "TRL SFTTrainer's preparation",
     "training rows with labels through Dataset.map vs TRL's SFTTrainer preparing them"),
    ("t.render(row) doc", "str.format_map", "render a long template vs str.format_map"),
    ("t.render(row) small", "str.format_map", "render a short template vs str.format_map"),
    ("parse doc", "regex parser", "parse a 20 KB template vs a compiled-regex parser"),
]


def draw_user_chart(rows, path, title):
    """The few ratios a user weighs, as one chart: korvanta's time as a share of the alternative's."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    found = {(row[0], row[1]): row for row in rows}
    chosen = [(label, found[(operation, anchor)][4]) for operation, anchor, label in USER_ROWS
              if (operation, anchor) in found]
    figure, axes = plt.subplots(figsize=(10, 0.45 * len(chosen) + 1.3))
    for k, (label, ratio) in enumerate(chosen):
        axes.barh(k, ratio, color="tab:blue", height=0.6)
        axes.text(ratio * 1.05, k, f"{ratio:.2f}", va="center", fontsize=8)
    axes.set_yticks(range(len(chosen)), [label for label, _ in chosen], fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlim(0.01, 3)
    axes.axvline(1.0, color="grey", linestyle=":", linewidth=1)
    axes.set_xlabel("korvanta's time / the alternative's (log scale; left of 1: korvanta is faster)", fontsize=8)
    axes.set_title(title, fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


class Rows(list):
    """The result rows, each with the machine's load (1-minute average) when it
    was measured and, for rows timed in interleaved rounds, the lowest and
    highest ratio of those rounds."""

    def __init__(self):
        super().__init__()
        self.loads = []
        self.spreads = []

    def append(self, row, spread=None):
        super().append(row)
        self.loads.append(os.getloadavg()[0])
        self.spreads.append(spread)

    def extend(self, more):
        for row in more:
            self.append(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter measurements (noisier)")
    parser.add_argument("--json", help="also write the rows to this file")
    parser.add_argument("--chart", help="also draw the ratios as a PNG chart to this file (needs matplotlib)")
    parser.add_argument("--user-chart", help="also draw the ratios a user weighs as a PNG chart to this file")
    parser.add_argument("--only", choices=["chat"], help="only these rows (chat: the conversation rows)")
    parser.add_argument("--against-build", metavar="WHEEL_OR_SO",
                        help="also time parsing with another build of korvanta (a release wheel) against this one")
    args = parser.parse_args()
    budget = 0.05 if args.quick else 0.2
    rows = Rows()
    if args.only == "chat":
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
        for row, spread in chat_rows(args.quick):
            rows.append(row, spread)
        return report(rows, args)

    def compare(operation, ours, anchor_name, anchor, target):
        a, b, ratio, spread = paired(ours, anchor, budget)
        rows.append((operation, anchor_name, a, b, ratio, target, target is None or ratio <= target), spread)

    loads = workloads(args.quick)
    for name, (markup, fields) in loads.items():
        assert [(f.string, f.options) for f in korvanta.parse(markup)] == regex_parse(markup)
        target = {"small": 0.5, "doc": 0.15, "dense": 0.6, "text": 0.05}[name]
        compare(f"parse {name}", lambda: korvanta.parse(markup), "formatter_parser",
                lambda: list(formatter_parser(fields)), target)
        compare(f"parse {name}", lambda: korvanta.parse(markup), "regex parser", lambda: regex_parse(markup), 0.1)
    text = loads["text"][0]
    compare("parse text", lambda: korvanta.parse(text), "text.encode()", lambda: text.encode(), 5.0)

    doc = loads["doc"][0]
    t = PromptTemplate(doc, None)
    pieces = [str(f) for f in t]
    compare("str(t) doc", lambda: str(t), "''.join(pieces)", lambda: "".join(pieces), 1.2)
    compare("hash(t) doc", lambda: hash(t), "hash(str(t).encode()+b'\\xff')",
            lambda: hash(str(t).encode() + b"\xff"), 1.0)

    # Checking and escaping: no fragment objects, only the scan.
    compare("validate doc", lambda: korvanta.validate(doc), "parse doc", lambda: korvanta.parse(doc), 0.3)
    compare("validate text", lambda: korvanta.validate(text), "text.encode()", lambda: text.encode(), 3.0)
    compare("escape text", lambda: korvanta.escape(text), "text.replace('[', '\\[')",
            lambda: text.replace("[", "\\["), 2.0)
    bracketed = text.replace("e", "[", 2000)
    compare("escape text with 2000 [", lambda: korvanta.escape(bracketed), "text.replace('[', '\\[')",
            lambda: bracketed.replace("[", "\\["), 2.0)
    # Pickling against what it cost when the state was the plain markup text.
    old_reduce = (copyreg.__newobj__, (PromptTemplate, None, None))
    compare("pickle.dumps(t) doc", lambda: pickle.dumps(t), "pickling {'template': str(t)}",
            lambda: pickle.dumps(old_reduce + ({"template": str(t)},)), 1.5)

    # Filling templates from a row, against str.format_map on the same
    # template written for str.format, and the loop users wrote before.
    small_t = PromptTemplate(loads["small"][0], None)
    small_format = "Hi {name} ! Is it {label}?"
    row = {"name": "Ann", "label": "good"}
    doc_t = PromptTemplate(doc, None)
    doc_format = doc_markup(20_000, "format").replace(":yes,no", "")
    doc_row = {f.string: f"value {i}" for i, f in enumerate(doc_t) if f.options is not None}
    assert small_t.render(row) == small_format.format_map(row) == python_render(small_t, row)
    assert doc_t.render(doc_row) == doc_format.format_map(doc_row)
    compare("t.render(row) small", lambda: small_t.render(row), "str.format_map",
            lambda: small_format.format_map(row), 0.7)
    compare("t.render(row) small", lambda: small_t.render(row), "Python loop over t",
            lambda: python_render(small_t, row), 0.1)
    compare("t.render(row) doc", lambda: doc_t.render(doc_row), "str.format_map",
            lambda: doc_format.format_map(doc_row), 0.5)

    f = PromptFragment("abc")
    small = PromptTemplate("a[b]", None)
    parse = korvanta.parse
    compare("parse('')", lambda: parse(""), "''.split()", lambda: "".split(), 1.5)
    compare("f.string", lambda: f.string, "'abc'.upper()", lambda: "abc".upper(), 1.5)
    compare("len(t)", lambda: len(small), "len(())", lambda: len(()), 1.5)

    # Linearity: time per byte of a 100 MB template against a 1 MB one.
    one = doc_markup(2**20, "markup")
    hundred = one * 100
    per_byte_small = per_call(lambda: parse(one), budget) / len(one)
    started = time.perf_counter()
    result = parse(hundred)
    per_byte_big = (time.perf_counter() - started) / len(hundred)
    del result
    rows.append(("parse 100 MB doc", "parse 1 MB doc (per byte)", per_byte_big, per_byte_small,
                 per_byte_big / per_byte_small, 1.3, per_byte_big / per_byte_small <= 1.3))

    # A 100 MB document against copying its text once (str.encode), in interleaved rounds.
    parse_times, encode_times = [], []
    for _ in range(3):
        for times, work in ((parse_times, lambda: parse(hundred)), (encode_times, hundred.encode)):
            started = time.perf_counter()
            result = work()
            times.append(time.perf_counter() - started)
            del result
    ratios = [a / b for a, b in zip(parse_times, encode_times)]
    rows.append(("parse 100 MB doc", "str.encode()", statistics.median(parse_times), statistics.median(encode_times),
                 statistics.median(ratios), 1.0, statistics.median(ratios) <= 1.0), (min(ratios), max(ratios)))
    del hundred

    # Memory held by a template of the doc kind.
    ten = one * 10
    gc.collect()
    before = heap_in_use()
    held = PromptTemplate(ten, None)
    used = heap_in_use() - before
    budget_bytes = len(ten.encode()) + 64 * len(held)
    rows.append(("memory of 10 MB doc template", "text + 64 B/fragment", used, budget_bytes,
                 used / budget_bytes, 1.0, used <= budget_bytes))
    del held, ten

    for row, spread in [*encode_rows(args.quick), *first_spelling_batch(args.quick), *chat_rows(args.quick),
                        *trl_preparation(args.quick)]:
        rows.append(row, spread)

    if args.against_build:
        for measured, spread in compare_builds(args.against_build):
            rows.append(measured, spread)
        other = load_build(args.against_build)
        for name, (markup, _) in loads.items():
            assert [(f.string, f.options) for f in other.parse(markup)] == regex_parse(markup)
            compare(f"parse {name}", lambda: korvanta.parse(markup), f"{pathlib.Path(other.__file__).parent.name} build",
                    lambda: other.parse(markup), 1.1)
        # Text beyond ASCII is read through a UTF-8 copy of its own, made per
        # call; a new str each call, as when templates come from data (the
        # slice costs the same on both sides), and the same str again.
        accented = {"small": "Grüß [name] ! Ist es [label|gut,schlecht]?",
                    "1 MB": doc_markup(2**20, "markup").replace("e", "é")}
        for name, markup in accented.items():
            compare(f"parse non-ASCII {name}, new str", lambda: korvanta.parse(markup[1:]),
                    f"{pathlib.Path(other.__file__).parent.name} build", lambda: other.parse(markup[1:]), 1.15)
            compare(f"parse non-ASCII {name}, same str", lambda: korvanta.parse(markup),
                    f"{pathlib.Path(other.__file__).parent.name} build", lambda: other.parse(markup), None)
        # Rendering with names that are no longer interned.
        other_small, other_doc = other.PromptTemplate(loads["small"][0], None), other.PromptTemplate(doc, None)
        compare("t.render(row) small", lambda: small_t.render(row), f"{pathlib.Path(other.__file__).parent.name} build",
                lambda: other_small.render(row), 1.15)
        compare("t.render(row) doc", lambda: doc_t.render(doc_row), f"{pathlib.Path(other.__file__).parent.name} build",
                lambda: other_doc.render(doc_row), 1.15)
        other_tiny = other.PromptTemplate("a[b]", None)
        compare("len(t)", lambda: len(small), f"{pathlib.Path(other.__file__).parent.name} build",
                lambda: len(other_tiny), None)
    report(rows, args)


def report(rows, args):
    """Prints the rows and writes what the options ask for."""
    width = max(len(r[0]) + len(r[1]) for r in rows) + 5
    print(f"korvanta {korvanta.__version__} on Python {sys.version.split()[0]}")
    print(f"{'operation vs anchor':<{width}} {'korvanta':>11} {'anchor':>11} {'ratio':>7} {'target':>7}")
    for (operation, anchor, ours, theirs, ratio, target, ok), spread in zip(rows, rows.spreads):
        if operation.startswith("memory"):
            a, b = f"{ours / 2**20:7.2f} MiB", f"{theirs / 2**20:7.2f} MiB"
        elif "per byte" in anchor:
            a, b = f"{ours * 1e9:6.3f} ns/B", f"{theirs * 1e9:6.3f} ns/B"
        else:
            a, b = fmt(ours), fmt(theirs)
        rounds = f"  ({spread[0]:.3f}–{spread[1]:.3f})" if spread else ""
        print(f"{operation + ' vs ' + anchor:<{width}} {a:>11} {b:>11} {ratio:7.3f} {'≤' + str(target) if target else '—':>7} "
              f"{('ok' if ok else 'MISSED') if target else ''}{rounds}")
    print("rows per second of process CPU time:")
    for operation, anchor, ours, *_ in rows:
        if operation.startswith(("encode_batch", "Dataset.map")) and anchor.startswith(("encode_batch_fast", "TRL")):
            print(f"  {operation}: {1 / ours:,.0f}")
    if args.chart:
        draw_chart(rows, args.chart, f"korvanta {korvanta.__version__} on Python {sys.version.split()[0]}")
    if args.user_chart:
        draw_user_chart(rows, args.user_chart, f"korvanta {korvanta.__version__} on Python {sys.version.split()[0]}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump([{**dict(zip(("operation", "anchor", "korvanta", "anchor_time", "ratio", "target", "met"), r)),
                        "load": load, "round_ratios": spread} for r, load, spread in zip(rows, rows.loads, rows.spreads)],
                      out, indent=1)


if __name__ == "__main__":
    main()
