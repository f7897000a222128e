"""ChatTemplate judged against a reference: each conversation rendered by its
chat template (as transformers renders it), the whole text tokenized with
offsets, labels by the characters of each trained-on content plus the end
token after it; whole exchanges dropped from the start to fit. Five chat
template styles, each with a tokenizer of its kind."""

import importlib.util
import pickle
import random

import pytest

import korvanta
from korvanta import ChatTemplate, PromptTemplate

from conftest import raises

pytest.importorskip("jinja2")
transformers = pytest.importorskip("transformers")

import trained_tokenizers as trained  # noqa: E402
import whole_prompt  # noqa: E402
from trained_tokenizers import RARE, WORDS  # noqa: E402

CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
          "'<|im_end|>' + '\\n' }}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")
HEADERS = ("{{ bos_token }}{% for message in messages %}{{ '<|start_header_id|>' + message['role'] + "
           "'<|end_header_id|>\\n\\n' + message['content'] | trim + '<|eot_id|>' }}{% endfor %}"
           "{% if add_generation_prompt %}{{ '<|start_header_id|>assistant<|end_header_id|>\\n\\n' }}{% endif %}")
INST = ("{% if messages[0]['role'] == 'system' %}{% set system = messages[0]['content'] %}"
        "{% set loop_messages = messages[1:] %}{% else %}{% set system = none %}{% set loop_messages = messages %}"
        "{% endif %}{{ bos_token }}{% for message in loop_messages %}{% if message['role'] == 'user' %}"
        "{% if loop.first and system %}{{ '[INST] <<SYS>>\\n' + system + '\\n<</SYS>>\\n\\n' + message['content'] + "
        "' [/INST]' }}{% else %}{{ '[INST] ' + message['content'] + ' [/INST]' }}{% endif %}"
        "{% else %}{{ ' ' + message['content'] + ' ' + eos_token }}{% endif %}{% endfor %}")
GEMMA = ("{{ bos_token }}{% for message in messages %}{% if message['role'] == 'system' %}"
         "{{ raise_exception('System role not supported') }}{% endif %}"
         "{% set role = 'model' if message['role'] == 'assistant' else message['role'] %}"
         "{{ '<start_of_turn>' + role + '\\n' + message['content'] | trim + '<end_of_turn>\\n' }}{% endfor %}"
         "{% if add_generation_prompt %}{{ '<start_of_turn>model\\n' }}{% endif %}")
REASONING = ("{% for message in messages %}{% if message['role'] == 'assistant' %}{% set content = message['content'] %}"
             "{% if '</think>' in content %}{% set reasoning = content.split('</think>')[0].split('<think>')[-1] %}"
             "{% set content = content.split('</think>')[-1] %}{% if loop.last %}"
             "{% set content = '<think>' + reasoning + '</think>' + content %}{% endif %}{% endif %}"
             "{{ '<|im_start|>assistant\\n' + content + '<|im_end|>\\n' }}{% else %}"
             "{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>\\n' }}{% endif %}"
             "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")


def chat_tokenizer(build, specials, bos, eos, pad, source):
    """A transformers tokenizer of a trained family with the style's tokens added as special tokens."""
    from tokenizers import Tokenizer

    backend = Tokenizer.from_str(build().to_str())
    backend.add_special_tokens([token for token in [bos, eos, pad, *specials] if token])
    tok = transformers.PreTrainedTokenizerFast(tokenizer_object=backend, bos_token=bos, eos_token=eos, pad_token=pad)
    tok.chat_template = source
    return tok


# name: (chat template, tokenizer family, its special tokens, bos, eos, pad, system messages allowed)
STYLES = {
    "chatml": (CHATML, trained.bytelevel, ["<|im_start|>", "<|im_end|>"], None, "<|im_end|>", "<pad>", True),
    "headers": (HEADERS, trained.llama, ["<|start_header_id|>", "<|end_header_id|>", "<|eot_id|>"],
                "<|begin_of_text|>", "<|eot_id|>", "<pad>", True),
    "inst": (INST, trained.llama, [], "<s>", "</s>", "<unk>", True),
    "gemma": (GEMMA, trained.unigram, ["<start_of_turn>", "<end_of_turn>"], "<bos>", "<eos>", "<pad>", False),
    "reasoning": (REASONING, trained.bytelevel, ["<|im_start|>", "<|im_end|>"], None, "<|im_end|>", "<pad>", True),
}


@pytest.fixture(scope="module", params=list(STYLES))
def style(request):
    source, build, specials, bos, eos, pad, system = STYLES[request.param]
    return request.param, chat_tokenizer(build, specials, bos, eos, pad, source), system


def content(rng, style_name, role, specials):
    words = [rng.choice(WORDS) for _ in range(rng.randint(0, 12))]
    if rng.random() < 0.3:
        words.insert(rng.randint(0, len(words)), rng.choice(RARE + ["\n", "x\ny", "  "]))
    if rng.random() < 0.15:
        words.insert(rng.randint(0, len(words)), rng.choice(specials))
    text = " ".join(words)
    if rng.random() < 0.2:
        text = f" {text} "
    if style_name == "reasoning" and role == "assistant" and rng.random() < 0.5:
        text = f"<think>{rng.choice(WORDS)} {rng.choice(WORDS)}</think>{text}"
    return text


def conversations(style_name, tok, system, n, seed):
    rng = random.Random(seed)
    specials = list(tok.all_special_tokens)
    out = []
    for _ in range(n):
        messages = []
        if system and rng.random() < 0.5:
            messages.append({"role": "system", "content": content(rng, style_name, "system", specials)})
        for _ in range(rng.randint(1, 3)):
            messages.append({"role": "user", "content": content(rng, style_name, "user", specials)})
            messages.append({"role": "assistant", "content": content(rng, style_name, "assistant", specials)})
        out.append(messages)
    return out


def written_content(style_name, message, last):
    """What the style writes for a message's content."""
    text = message["content"]
    if style_name in ("headers", "gemma"):
        return text.strip()
    if style_name == "reasoning" and message["role"] == "assistant" and "</think>" in text and not last:
        return text.split("</think>")[-1]
    return text


# What each style writes right after a message's content.
CLOSING = {
    "chatml": lambda message: "<|im_end|>",
    "headers": lambda message: "<|eot_id|>",
    "inst": lambda message: {"system": "\n<</SYS>>", "user": " [/INST]"}.get(message["role"], " </s>"),
    "gemma": lambda message: "<end_of_turn>",
    "reasoning": lambda message: "<|im_end|>",
}


# What each style writes before a message's turn ("" where its closing alone tells).
HEADER = {
    "chatml": lambda message: f"<|im_start|>{message['role']}\n",
    "headers": lambda message: f"<|start_header_id|>{message['role']}<|end_header_id|>\n\n",
    "inst": lambda message: "",
    "gemma": lambda message: f"<start_of_turn>{'model' if message['role'] == 'assistant' else message['role']}\n",
    "reasoning": lambda message: f"<|im_start|>{message['role']}\n",
}


def turns_in(text, messages, written, header, closing, trained):
    """(begin, end, labelled) of each message's turn in `text`, found in order:
    what `written` says the template writes for it, between `header` and `closing`."""
    spans, cursor = [], 0
    for m, message in enumerate(messages):
        turn = written(message, m == len(messages) - 1)
        labelled = message["role"] in trained
        if not turn and not labelled:
            continue
        opening = header(message)
        at = text.find(opening + turn + closing(message), cursor) + len(opening)
        assert at >= len(opening), (turn, text)
        spans.append((at, at + len(turn), labelled))
        cursor = at + len(turn) + len(closing(message))
    return spans


def labelled_ids(tok, text, spans, written=()):
    """input_ids and labels of `text` tokenized whole: the template's special
    tokens split it, and what stands between them reads as text (a content
    spelling a special token reads as those characters would, but for the
    tokens in `written`, which the template writes inside a turn); a token is
    a turn's when it holds its characters; a trained turn is labelled through
    the first special token after it, unless another turn starts first."""
    from tokenizers import Tokenizer

    plain = Tokenizer.from_str(tok.backend_tokenizer.to_str())
    plain.post_processor = None  # it adds nothing here, but may trim whitespace off a token's offsets
    reader = Tokenizer.from_str(plain.to_str())
    reader.encode_special_tokens = True
    special = {i: a.content for i, a in plain.get_added_tokens_decoder().items() if a.special}
    whole = plain.encode(text, add_special_tokens=False)

    def inside(a, b):
        return next((s for s, (x, y, _) in enumerate(spans) if a < y and b > x), None)

    bounds = [(i, a, b) for i, (a, b) in zip(whole.ids, whole.offsets)
              if special.get(i) == text[a:b].strip() and (inside(a, b) is None or special[i] in written)]
    tokens, cursor = [], 0  # (id, owner span index or None, start, a special token of the template's)
    for i, a, b in bounds + [(None, len(text), len(text))]:
        read = reader.encode(text[cursor:a], add_special_tokens=False) if a > cursor else None
        for j, (x, y) in zip(read.ids, read.offsets) if read else ():
            owner = next((s for s, (p, q, _) in enumerate(spans) if cursor + x < q and cursor + y > p), None)
            spelling = text[cursor + x:cursor + y]
            if owner is not None and special.get(j) == spelling.strip():  # the vocabulary spells it even as text
                tokens += [(t, owner, cursor + x, False) for t in whole_prompt.read_as_text(tok, spelling)]
            else:
                tokens.append((j, owner, cursor + x, False))
        if i is not None:
            tokens.append((i, inside(a, b), a, True))
        cursor = b
    labels = [i if owner is not None and spans[owner][2] else -100 for i, owner, _, _ in tokens]
    for s, (begin, _, labelled) in enumerate(spans):
        if not labelled:
            continue
        owned = [k for k, (_, owner, _, _) in enumerate(tokens) if owner == s]
        k = owned[-1] + 1 if owned else next((k for k, t in enumerate(tokens) if t[2] >= begin), len(tokens))
        following = spans[s + 1][0] if s + 1 < len(spans) else len(text) + 1
        for j in range(k, len(tokens)):
            if tokens[j][1] is not None or tokens[j][2] >= following:
                break
            if tokens[j][3]:
                labels[k:j + 1] = [t[0] for t in tokens[k:j + 1]]
                break
    return [t[0] for t in tokens], labels


def reference(style_name, tok, messages, train_on=("assistant",), add_generation_prompt=False):
    """input_ids and labels as the tokenizer and the chat template give them."""
    text = tok.apply_chat_template(messages, tokenize=False, add_generation_prompt=add_generation_prompt)
    spans = turns_in(text, messages, lambda message, last: written_content(style_name, message, last),
                     HEADER[style_name], CLOSING[style_name], () if add_generation_prompt else train_on)
    return labelled_ids(tok, text, spans)


def exchanges(messages):
    """Indices where each exchange starts, after the opening system messages."""
    start = next((m for m, message in enumerate(messages) if message["role"] != "system"), len(messages))
    return [m for m in range(start, len(messages)) if messages[m]["role"] == "user"]


def test_inputs_and_labels_are_the_tokenizers(style):
    name, tok, system = style
    chat = ChatTemplate(tok)
    rows = conversations(name, tok, system, 60, seed=len(name))
    got = chat.encode_batch(rows)
    for messages, ids, labels in zip(rows, got["input_ids"], got["labels"]):
        assert (ids, labels) == reference(name, tok, messages), messages
    assert [chat.render(messages) for messages in rows[:5]] == [tok.apply_chat_template(m, tokenize=False)
                                                                for m in rows[:5]]
    if name != "gemma":  # transformers reads a spelled token otherwise on vocabularies without its characters
        assert got["input_ids"] == [tok.apply_chat_template(m, sanitize_control_tokens=True, return_dict=True)["input_ids"]
                                    for m in rows]


def test_turns_found_together_only_where_the_text_lines_up_one_way():
    """Turns the markers cannot find are found in one rendering with each of
    them bare, unless an answer holds the text that follows it there: then
    that rendering lines up with the text in two ways, and each turn is found
    alone."""
    source, build, specials, bos, eos, pad, _ = STYLES["reasoning"]
    tok = chat_tokenizer(build, specials, bos, eos, pad, source)
    chat = ChatTemplate(tok)
    between = "<|im_end|>\n<|im_start|>user\nc<|im_end|>\n<|im_start|>assistant\n"
    for first in ("b", "b" + between, between + "b"):
        messages = [{"role": "user", "content": "a"}, {"role": "assistant", "content": "<think>x</think>" + first},
                    {"role": "user", "content": "c"}, {"role": "assistant", "content": "<think>y</think>d"}]
        got = chat.encode(messages)
        assert (got["input_ids"], got["labels"]) == reference("reasoning", tok, messages), first


def test_conversations_of_one_shape_share_a_rendering_only_where_nothing_else_differs():
    """A rendering with every message bare is made once for conversations of
    the same roles, unless a message holds a key the template may write (here
    one that closes a turn twice): an answer that spells the closing token
    would line up with the other conversation's rendering, its spelling taken
    for the template's."""
    source, build, specials, bos, eos, pad, _ = STYLES["chatml"]
    twice = CHATML.replace("message['content'] + ", "message['content'] + ('<|im_end|>' if message.twice else '') + ")
    tok = chat_tokenizer(build, specials, bos, eos, pad, twice)
    chat = ChatTemplate(tok)
    rows = [[{"role": "user", "content": "a"}, {"role": "assistant", "content": answer, **extra}]
            for answer, extra in (("b", {"twice": True}), ("wow<|im_end|>", {}), ("so", {}))]
    got = chat.encode_batch(rows)
    for messages, ids, labels in list(zip(rows, got["input_ids"], got["labels"]))[1:]:
        assert (ids, labels) == reference("chatml", tok, messages), messages


def test_whole_exchanges_are_dropped_from_the_start(style):
    name, tok, system = style
    chat = ChatTemplate(tok)
    rows = conversations(name, tok, system, 40, seed=7)
    # The first call learns the characters per token that later calls guess by.
    for limit in (48, 48, 96, 32):
        got = chat.encode_batch(rows, max_length=limit, overflow="drop", padding="longest", padding_side="left")
        expected, kept = [], []
        for r, messages in enumerate(rows):
            opening = messages[:exchanges(messages)[0]]
            for start in exchanges(messages):
                ids, labels = reference(name, tok, opening + messages[start:])
                if len(ids) <= limit:
                    expected.append((ids, labels))
                    kept.append(r)
                    break
        assert got["row_index"] == kept
        width = max(len(ids) for ids, _ in expected)
        pad = tok.pad_token_id
        assert got["input_ids"] == [[pad] * (width - len(ids)) + ids for ids, _ in expected]
        assert got["labels"] == [[-100] * (width - len(ids)) + labels for ids, labels in expected]
        assert got["attention_mask"] == [[0] * (width - len(ids)) + [1] * len(ids) for ids, _ in expected]


def test_conversations_too_long_are_split_into_runs_of_exchanges(style):
    """Each run is the opening system messages and the most whole exchanges that fit, from the first not yet
    placed, written by transformers' renderer; an exchange that cannot fit alone is left out."""
    name, tok, system = style
    chat = ChatTemplate(tok)
    made = conversations(name, tok, system, 60, seed=11)
    rows = [first + [m for m in second if m["role"] != "system"] for first, second in zip(made[::2], made[1::2])]
    for limit in (40, 72):
        expected, sources = [], []
        for r, messages in enumerate(rows):
            starts = exchanges(messages)
            opening, bounds = messages[:starts[0]], starts + [len(messages)]
            begin = 0
            while begin < len(starts):
                fitting = None
                for end in range(begin + 1, len(starts) + 1):
                    run = reference(name, tok, opening + messages[bounds[begin]:bounds[end]])
                    if len(run[0]) > limit:
                        break
                    fitting = (end, run)
                if fitting:
                    expected.append(fitting[1])
                    sources.append(r)
                begin = fitting[0] if fitting else begin + 1
        got = chat.encode_batch(rows, max_length=limit, overflow="split")
        assert got["row_index"] == sources
        assert list(zip(got["input_ids"], got["labels"])) == expected
        if limit == 40 and importlib.util.find_spec("pyarrow"):
            arrow = chat.encode_batch(rows, max_length=limit, overflow="split", return_tensors="arrow")
            assert {key: column.to_pylist() for key, column in arrow.items()} == got
    raises(ValueError, "overflow must be 'raise', 'drop' or 'split', not 'cut'", chat.encode_batch, rows,
           max_length=8, overflow="cut")


def test_generation_prompt_and_roles_trained_on(style):
    name, tok, system = style
    chat = ChatTemplate(tok)
    messages = conversations(name, tok, system, 1, seed=3)[0]
    prompt = chat.encode(messages[:-1], add_generation_prompt=True)
    assert set(prompt) == {"input_ids", "attention_mask"}
    assert prompt["input_ids"] == reference(name, tok, messages[:-1], add_generation_prompt=True)[0]
    both = chat.encode(messages, train_on=("user", "assistant"))
    assert both["labels"] == reference(name, tok, messages, ("user", "assistant"))[1]


def test_roles_markup_for_a_tokenizer_without_a_chat_template():
    tok = trained.llama()
    chat = ChatTemplate(tok, roles={"system": "<s>[content]\n", "user": "Q: [content]\n", "assistant": "A: [content]</s>\n"})
    messages = [{"role": "system", "content": "be kind"}, {"role": "user", "content": "a film?"},
                {"role": "assistant", "content": "great plot"}]
    text = "<s>be kind\nQ: a film?\nA: great plot</s>\n"
    assert chat.render(messages) == text
    got = chat.encode(messages)
    whole = tok.encode(text)
    assert whole.ids[:2] == [1, 1] and got["input_ids"] == whole.ids[1:]  # the markup's own <s>, not a second one
    answer = [i for i, (a, b) in zip(whole.ids, whole.offsets) if a < 35 and b > 25]
    end = tok.token_to_id("</s>")
    assert [label for label in got["labels"] if label != -100] == answer + [end]
    assert chat.render(messages[:2], add_generation_prompt=True) == "<s>be kind\nQ: a film?\nA: "
    # A content spelling the end token reads as its text, where it stands.
    from tokenizers import Tokenizer

    reader = Tokenizer.from_str(tok.to_str())
    reader.encode_special_tokens = True
    spelled = [messages[0], {"role": "user", "content": "a </s> film?"}, messages[2]]
    assert chat.encode(spelled)["input_ids"] == [1, *reader.encode("be kind\nQ: a </s> film?\nA: great plot",
                                                                    add_special_tokens=False).ids, 2,
                                                 *reader.encode("\n", add_special_tokens=False).ids]


def test_pickled_and_copied_chat_templates_encode_alike():
    name = "chatml"
    source, build, specials, bos, eos, pad, _ = STYLES[name]
    tok = chat_tokenizer(build, specials, bos, eos, pad, source)
    chat = ChatTemplate(tok, template=CHATML)
    rows = conversations(name, tok, True, 10, seed=1)
    again = pickle.loads(pickle.dumps(chat))
    assert again.template == CHATML and again.roles is None
    assert again.encode_batch(rows) == chat.encode_batch(rows)


TWO = [{"role": "user", "content": "hi"}, {"role": "assistant", "content": "yo"}]


def jinja(source=CHATML):
    return ChatTemplate(trained.llama(), template=source)


@pytest.mark.parametrize("make, error, message", [
    (lambda: ChatTemplate(trained.llama()), ValueError,
     "the tokenizer has no chat template: pass template= (a Jinja chat template) or roles= (a markup per role, "
     "each with one field [content])"),
    (lambda: ChatTemplate(trained.llama(), template="{% for %}"), ValueError,
     "the chat template cannot be used: Expected an expression, got 'end of statement block'"),
    (lambda: ChatTemplate(trained.llama(), template="x", roles={}), TypeError, "pass template= or roles=, not both"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "Q: [text]"}), ValueError,
     "the markup of role 'user' must be well formed and hold one field [content] and nothing else in brackets: "
     "'Q: [text]'"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "[content]"}).encode([{"role": "bot", "content": "x"}]),
     ValueError, "conversation 0: role 'bot' has no markup (roles: {'user': '[content]'})"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "[content]"}).encode([{"content": "x"}]), TypeError,
     "conversation 0, message 0: a message is a mapping with a 'role' (str) and a 'content', not {'content': 'x'}"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "[content]"}).encode([{"role": "user", "content": None}]),
     TypeError, "conversation 0, message 0: the content is None, not a str"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "[content]", "assistant": "[content]"}).encode_batch(
        [[{"role": "user", "content": "the plot " * 20}, {"role": "assistant", "content": "ok"}]], max_length=8),
     ValueError, "conversation 0 needs 44 tokens with only its opening system messages and its last exchange, more "
     "than max_length=8; pass overflow='drop' to leave such conversations out"),
    (lambda: ChatTemplate(trained.llama(), roles={"user": "[content]"}).encode_batch({"rows": []}), KeyError,
     "\"'messages': the batch has no column 'messages' (its columns: 'rows')\""),
    (lambda: jinja().encode(messages=TWO), TypeError,
     "ChatTemplate.encode() got some positional-only arguments passed as keyword arguments: 'messages'"),
    (lambda: jinja().encode(TWO, train_on=("asistant",)), ValueError,
     "train_on names 'asistant', which is not a role of this call's messages nor of the chat template; roles here: "
     "['system', 'user', 'assistant', 'tool']"),
    (lambda: jinja().encode(TWO, train_on="generation"), ValueError,
     "train_on='generation' needs a chat template with {% generation %} blocks, which this one has not"),
    (lambda: jinja().encode(TWO, train_on=("generation", "user")), ValueError,
     "train_on='generation' labels what the chat template's {% generation %} blocks hold: name no role with it"),
    (lambda: jinja().render(TWO, add_generation_prompt=True, continue_final_message=True), ValueError,
     "pass add_generation_prompt=True or continue_final_message=True, not both: the first starts a new turn of the "
     "model, the second leaves the last message open"),
    (lambda: jinja("{{ messages[-1].content[:1] }}").encode(TWO, continue_final_message=True), ValueError,
     "conversation 0: continue_final_message=True, but the chat template does not write the last message's content "
     "as it is"),
    (lambda: jinja().encode_batch({"messages": [TWO], "tools": []}), ValueError,
     "column 'tools' has 0 rows, but column 'messages' has 1"),
    (lambda: jinja("{% set ns = namespace() %}{% set ns.__class__ = 1 %}").render(TWO),
     __import__("jinja2.exceptions").exceptions.SecurityError,
     "a chat template cannot store '__class__' on a namespace: names that start with '_' are refused"),
    (lambda: jinja().encode([{"role": "user", "content": "a \U000F0001 b"}]), ValueError,
     "conversation 0 holds characters of U+F0000 to U+FFFFD, which mark where contents stand while a chat template "
     "is rendered"),
])
def test_refusals(make, error, message):
    """Every refusal of a ChatTemplate, and its message."""
    raises(error, message, make)


def test_a_template_that_writes_a_content_twice_is_refused():
    chat = ChatTemplate(trained.llama(), template="{% for m in messages %}{{ m['content'] | trim }}|{{ m['content'] | trim }}{% endfor %}")
    raises(ValueError, "conversation 0, message 0: the chat template writes its content in a way that cannot be "
           "located (it changes the text around it, or writes it more than once)",
           chat.encode, [{"role": "user", "content": " x "}])
    assert korvanta.ChatTemplate is ChatTemplate


@pytest.mark.parametrize("mistake, message", [
    ({"padding": "longest", "padding_side": "up"}, "padding_side must be 'right' or 'left', not 'up'"),
    ({"max_length": "8"}, "max_length must be None or a positive number of tokens, not '8'"),
    ({"return_tensors": "tf"}, "return_tensors must be None, 'np', 'pt' or 'arrow', not 'tf'"),
    ({"padding": "max"}, "padding must be False, 'longest' or a number of tokens, not 'max'"),
    ({"padding": "longest", "pad_token": "<nope>"}, "pad_token '<nope>' is not a token of the tokenizer"),
    ({"columns": {"text": []}}, "\"'messages': the batch has no column 'messages' (its columns: 'text')\""),
])
def test_the_same_mistake_reads_the_same_in_both_classes(mistake, message):
    """A template of a field named `messages` and a conversation template, given the same batch."""
    columns = mistake.pop("columns", None)
    template = PromptTemplate("[messages]", trained.llama())
    chat = ChatTemplate(trained.llama(), roles={"user": "[content]"})
    for call, batch in [(template.encode_batch, {"messages": ["a"]}), (chat.encode_batch, {"messages": [TWO[:1]]})]:
        with pytest.raises((ValueError, KeyError)) as info:
            call(columns if columns is not None else batch, **mistake)
        assert str(info.value) == message
