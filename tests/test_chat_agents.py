"""Agent and reasoning data judged against transformers: tool calls (content
"" or None), tool results, reasoning (a field or inline), contents as parts,
empty and whitespace-only answers, tools per row and per call,
continue_final_message, and templates that tag what the model writes. Each
turn trained on is labelled through the end token that closes it."""

import json
import random

import pytest

from korvanta import ChatTemplate

pytest.importorskip("jinja2")
transformers = pytest.importorskip("transformers")

import trained_tokenizers as trained  # noqa: E402
from test_chat import chat_tokenizer, labelled_ids, turns_in  # noqa: E402
from trained_tokenizers import WORDS  # noqa: E402

# Llama-3.1-like: tools in a system turn, a tool call written as JSON after a special token of its own (as
# Llama's <|python_tag|> or Mistral's [TOOL_CALLS]), tool results under their own header.
TOOLS = ("{{ bos_token }}{% if tools %}{{ '<|start_header_id|>system<|end_header_id|>\\n\\nTools:' }}"
         "{% for t in tools %}{{ ' ' + t | tojson }}{% endfor %}{{ '<|eot_id|>' }}{% endif %}"
         "{% for message in messages %}{% if message.role == 'assistant' and message.tool_calls is defined %}"
         "{{ '<|start_header_id|>assistant<|end_header_id|>\\n\\n<|python_tag|>' }}{% for call in message.tool_calls %}"
         "{{ {'name': call.function.name, 'parameters': call.function.arguments} | tojson }}{% endfor %}"
         "{{ '<|eot_id|>' }}{% elif message.role == 'tool' %}"
         "{{ '<|start_header_id|>ipython<|end_header_id|>\\n\\n' + message.content + '<|eot_id|>' }}"
         "{% else %}{{ '<|start_header_id|>' + message.role + '<|end_header_id|>\\n\\n' + message.content | trim + "
         "'<|eot_id|>' }}{% endif %}{% endfor %}"
         "{% if add_generation_prompt %}{{ '<|start_header_id|>assistant<|end_header_id|>\\n\\n' }}{% endif %}")
# Qwen3-like: reasoning as a field or inline, written for the last answer (empty) or where there is some;
# tool calls after the content; tool results as user turns; contents as parts; enable_thinking.
QWEN = ("{% macro text(content) %}{% if content is string %}{{ content }}{% else %}{% for part in content %}"
        "{% if part.type == 'text' %}{{ part.text }}{% endif %}{% endfor %}{% endif %}{% endmacro %}"
        "{% if tools %}{{ '<|im_start|>system\\n# Tools' }}{% for t in tools %}{{ '\\n' + t | tojson }}{% endfor %}"
        "{{ '<|im_end|>\\n' }}{% endif %}"
        "{% for message in messages %}{% if message.role == 'assistant' %}"
        "{% set content = text(message.content) if message.content is defined else '' %}"
        "{% set reasoning = message.reasoning_content if message.reasoning_content is defined else '' %}"
        "{% if '</think>' in content %}"
        "{% set reasoning = content.split('</think>')[0].split('<think>')[-1].strip('\\n') %}"
        "{% set content = content.split('</think>')[-1].lstrip('\\n') %}{% endif %}"
        "{{ '<|im_start|>assistant\\n' }}{% if loop.last or reasoning %}"
        "{{ '<think>\\n' + reasoning.strip('\\n') + '\\n</think>\\n\\n' }}{% endif %}{{ content }}"
        "{% if message.tool_calls is defined %}{% for call in message.tool_calls %}"
        "{% if content or not loop.first %}{{ '\\n' }}{% endif %}"
        "{{ '<tool_call>\\n' + {'name': call.function.name, 'arguments': call.function.arguments} | tojson + "
        "'\\n</tool_call>' }}{% endfor %}{% endif %}{{ '<|im_end|>\\n' }}"
        "{% elif message.role == 'tool' %}"
        "{{ '<|im_start|>user\\n<tool_response>\\n' + message.content + '\\n</tool_response><|im_end|>\\n' }}"
        "{% else %}{{ '<|im_start|>' + message.role + '\\n' + text(message.content) + '<|im_end|>\\n' }}{% endif %}"
        "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}"
        "{% if enable_thinking is defined and not enable_thinking %}{{ '<think>\\n\\n</think>\\n\\n' }}{% endif %}"
        "{% endif %}")
# Command-R-like: text the model writes between its answer and its end token.
COMMAND = ("{{ bos_token }}{% for message in messages %}{% if message.role == 'assistant' %}"
           "{{ '<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|><|START_RESPONSE|>' + message.content + "
           "'<|END_RESPONSE|><|END_OF_TURN_TOKEN|>' }}{% else %}"
           "{{ '<|START_OF_TURN_TOKEN|><|' + message.role.upper() + '_TOKEN|>' + message.content + "
           "'<|END_OF_TURN_TOKEN|>' }}{% endif %}{% endfor %}"
           "{% if add_generation_prompt %}{{ '<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|><|START_RESPONSE|>' }}{% endif %}")
# ChatML with what the model writes tagged, as training templates are.
TAGGED = ("{% for message in messages %}{% if message.role == 'assistant' %}{{ '<|im_start|>assistant\\n' }}"
          "{% generation %}{{ message.content + '<|im_end|>' }}{% endgeneration %}{{ '\\n' }}"
          "{% else %}{{ '<|im_start|>' + message.role + '\\n' + message.content + '<|im_end|>\\n' }}{% endif %}"
          "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")

CHATML_TOKENS = ["<|im_start|>", "<|im_end|>"]
STYLES = {
    "tools": (TOOLS, trained.llama, ["<|start_header_id|>", "<|end_header_id|>", "<|eot_id|>", "<|python_tag|>"],
              "<|begin_of_text|>", "<|eot_id|>", "<pad>"),
    "qwen": (QWEN, trained.bytelevel, CHATML_TOKENS, None, "<|im_end|>", "<pad>"),
    "command": (COMMAND, trained.unigram, ["<|START_OF_TURN_TOKEN|>", "<|END_OF_TURN_TOKEN|>", "<|CHATBOT_TOKEN|>",
                                           "<|USER_TOKEN|>", "<|SYSTEM_TOKEN|>"],
                "<BOS_TOKEN>", "<|END_OF_TURN_TOKEN|>", "<pad>"),
    "tagged": (TAGGED, trained.bytelevel, CHATML_TOKENS, None, "<|im_end|>", "<pad>"),
}
FUNCTIONS = [{"type": "function", "function": {"name": name, "description": f"{name} things",
                                               "parameters": {"type": "object", "properties": {"q": {"type": "string"}}}}}
             for name in ("search", "weather", "lookup")]


@pytest.fixture(scope="module", params=list(STYLES))
def style(request):
    source, build, specials, bos, eos, pad = STYLES[request.param]
    return request.param, chat_tokenizer(build, specials, bos, eos, pad, source)


def words(rng, fewest=1):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(fewest, 8)))


def answer(rng, name):
    """An assistant message: text (sometimes empty or blank), reasoning where the style writes it."""
    text = rng.choice(["", "  ", words(rng), f" {words(rng)}\n"]) if rng.random() < 0.3 else words(rng)
    message = {"role": "assistant", "content": text}
    if name == "qwen" and rng.random() < 0.4:
        if rng.random() < 0.5:
            message["reasoning_content"] = words(rng)
        else:
            message["content"] = f"<think>\n{words(rng)}\n</think>\n\n{text}"
    if name == "qwen" and rng.random() < 0.2:
        message["content"] = [{"type": "text", "text": words(rng)}, {"type": "image"}, {"type": "text", "text": " ok"}]
    return message


def tool_call(rng, name):
    """An assistant message that calls a tool (content "", None or absent), and the tool's result."""
    call = {"type": "function", "function": {"name": rng.choice(["search", "weather"]), "arguments": {"q": words(rng)}}}
    message = {"role": "assistant", "tool_calls": [call] * rng.randint(1, 2)}
    content = rng.choice(["", None, "absent", words(rng)] if name == "qwen" else ["", None, "absent"])
    if content != "absent":
        message["content"] = content
    if name == "qwen" and rng.random() < 0.3:
        message["reasoning_content"] = words(rng)
    return [message, {"role": "tool", "content": words(rng)}]


def conversations(name, n, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        messages = [{"role": "system", "content": words(rng)}] if rng.random() < 0.4 else []
        for _ in range(rng.randint(1, 3)):
            messages.append({"role": "user", "content": words(rng)})
            if name in ("tools", "qwen") and rng.random() < 0.5:
                messages += tool_call(rng, name)
            messages.append(answer(rng, name))
        out.append(messages)
    return out


def text_of(content):
    if isinstance(content, list):
        return "".join(part["text"] for part in content if part["type"] == "text")
    return content or ""


def written_turn(name, message, last, thinking):
    """What the style writes for a message, but for its header; and that header."""
    role, content = message["role"], text_of(message.get("content"))
    if name == "tools":
        if role == "assistant" and "tool_calls" in message:
            return ("<|start_header_id|>assistant<|end_header_id|>\n\n",
                    "<|python_tag|>" + "".join(json.dumps({"name": c["function"]["name"], "parameters": c["function"]["arguments"]},
                                       ensure_ascii=False) for c in message["tool_calls"]))
        role = "ipython" if role == "tool" else role
        return f"<|start_header_id|>{role}<|end_header_id|>\n\n", content if role == "ipython" else content.strip()
    if name == "qwen":
        if role == "tool":
            return "<|im_start|>user\n<tool_response>\n", content
        if role != "assistant":
            return f"<|im_start|>{role}\n", content
        reasoning = message.get("reasoning_content") or ""
        if "</think>" in content:
            reasoning = content.split("</think>")[0].split("<think>")[-1].strip("\n")
            content = content.split("</think>")[-1].lstrip("\n")
        think = f"<think>\n{reasoning.strip(chr(10))}\n</think>\n\n" if last or reasoning else ""
        calls = "".join(("\n" if content or k else "") + "<tool_call>\n" + json.dumps(
            {"name": c["function"]["name"], "arguments": c["function"]["arguments"]}, ensure_ascii=False) +
            "\n</tool_call>" for k, c in enumerate(message.get("tool_calls", [])))
        header = "<|im_start|>assistant\n"
        if not thinking and think == "<think>\n\n</think>\n\n":  # the prompt already holds the empty reasoning
            header, think = header + think, ""
        return header, think + content + calls
    if name == "command":
        if role == "assistant":
            return "<|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|><|START_RESPONSE|>", content
        return f"<|START_OF_TURN_TOKEN|><|{role.upper()}_TOKEN|>", content
    return f"<|im_start|>{role}\n", content


CLOSING = {"tools": "<|eot_id|>", "qwen": "<|im_end|>", "command": "<|END_OF_TURN_TOKEN|>", "tagged": "<|im_end|>"}


def tagged_ids(tok, text, messages):
    from tokenizers import Tokenizer

    plain = Tokenizer.from_str(tok.backend_tokenizer.to_str())
    plain.post_processor = None
    blocks, cursor = [], 0
    for message in messages:
        if message["role"] == "assistant":
            block = message["content"] + "<|im_end|>"
            at = text.index("<|im_start|>assistant\n" + block, cursor) + len("<|im_start|>assistant\n")
            blocks.append((at, at + len(block)))
            cursor = at + len(block)
    whole = plain.encode(text, add_special_tokens=False)
    return whole.ids, [i if any(a < y and b > x for x, y in blocks) else -100 for i, (a, b) in zip(whole.ids, whole.offsets)]


def assistant_mask(tok, messages, **variables):
    """The labels transformers' assistant mask gives (before 5.25 it marked only a conversation's first block)."""
    from packaging.version import Version

    if Version(transformers.__version__) < Version("5.25"):
        return None
    out = tok.apply_chat_template(messages, tokenize=True, return_dict=True, return_assistant_tokens_mask=True,
                                  **variables)
    return [i if m else -100 for i, m in zip(out["input_ids"], out["assistant_masks"])]


def without_none(messages):
    """Messages without the keys whose value is None, as transformers reads them since 5.2x (and korvanta does)."""
    return [{key: value for key, value in message.items() if value is not None} for message in messages]


def reference(name, tok, messages, train_on=("assistant",), **variables):
    """input_ids and labels by transformers' text, tokenized whole and labelled by characters."""
    messages = without_none(messages)
    text = tok.apply_chat_template(messages, tokenize=False, **variables)
    if name == "tagged":  # the tokens that hold characters of a block: an answer and its end token
        return tagged_ids(tok, text, messages)
    thinking = variables.get("enable_thinking", True)
    last = len(messages) - 1
    spans = turns_in(text, messages, lambda message, is_last: written_turn(name, message, is_last, thinking)[1],
                     lambda message: written_turn(name, message, message is messages[last], thinking)[0],
                     lambda message: "" if name == "command" and message["role"] == "assistant" else
                     CLOSING[name] if name != "qwen" or message["role"] != "tool" else "\n</tool_response>",
                     train_on)
    return labelled_ids(tok, text, spans, written=["<|python_tag|>"] if name == "tools" else [])


def transformers_ids(tok, messages, **variables):
    out = tok.apply_chat_template(without_none(messages), tokenize=True, **variables)
    return list(out["input_ids"] if hasattr(out, "keys") else out)


def test_agent_data_is_the_tokenizers_and_trains_every_turn(style):
    name, tok = style
    chat = ChatTemplate(tok)
    rows = conversations(name, 40, seed=len(name))
    tools = [random.Random(r).sample(FUNCTIONS, r % 3) for r in range(len(rows))] if name in ("tools", "qwen") \
        else [None] * len(rows)
    train_on = "generation" if name == "tagged" else ("assistant",)
    got = chat.encode_batch({"messages": rows, "tools": tools}, train_on=train_on)
    for messages, row_tools, ids, labels in zip(rows, tools, got["input_ids"], got["labels"]):
        assert ids == transformers_ids(tok, messages, tools=row_tools), messages
        assert (ids, labels) == reference(name, tok, messages, tools=row_tools), messages
        if name == "tagged":
            assert assistant_mask(tok, messages) in (labels, None)
    assert [chat.render(m, tools=t) for m, t in zip(rows[:5], tools)] == [
        tok.apply_chat_template(without_none(m), tokenize=False, tools=t) for m, t in zip(rows[:5], tools)]


def test_whole_exchanges_are_dropped_from_agent_data(style):
    name, tok = style
    chat = ChatTemplate(tok)
    rows = conversations(name, 30, seed=11)
    train_on = "generation" if name == "tagged" else ("assistant",)
    for limit in (64, 128):
        got = chat.encode_batch(rows, max_length=limit, overflow="drop", train_on=train_on)
        expected, kept = [], []
        for r, messages in enumerate(rows):
            starts = [m for m, message in enumerate(messages) if message["role"] == "user"]
            for start in starts:
                ids, labels = reference(name, tok, messages[:starts[0]] + messages[start:])
                if len(ids) <= limit:
                    expected.append((ids, labels))
                    kept.append(r)
                    break
        assert got["row_index"] == kept
        assert list(zip(got["input_ids"], got["labels"])) == expected


def test_tool_results_trained_on_and_a_call_to_go_on_with(style):
    name, tok = style
    if name == "tagged":
        pytest.skip("its turns are what its blocks tag")
    chat = ChatTemplate(tok)
    rows = [m for m in conversations(name, 30, seed=5) if any(x["role"] == "tool" for x in m)] or \
        conversations(name, 3, seed=5)
    for messages in rows[:6]:
        trained_on = ("assistant", "tool") if any(x["role"] == "tool" for x in messages) else ("assistant",)
        assert chat.encode(messages, train_on=trained_on)["labels"] == reference(name, tok, messages, trained_on)[1]
        opened = messages[:-1] + [{"role": "assistant", "content": "the plot was"}]
        text = tok.apply_chat_template(opened, tokenize=False, continue_final_message=True)
        assert chat.render(opened, continue_final_message=True) == text
        got = chat.encode(opened, continue_final_message=True)
        assert got["input_ids"] == transformers_ids(tok, opened, continue_final_message=True)
        answer_ids = [i for i, label in zip(got["input_ids"], got["labels"]) if label != -100]
        assert tok.decode(answer_ids).strip().endswith("the plot was")  # no end token: the turn is open


def test_thinking_switched_off_per_call():
    source, build, specials, bos, eos, pad = STYLES["qwen"]
    tok = chat_tokenizer(build, specials, bos, eos, pad, source)
    chat = ChatTemplate(tok, chat_template_kwargs={"enable_thinking": True})
    messages = [{"role": "user", "content": "a film?"}, {"role": "assistant", "content": "great plot"}]
    for thinking in (True, False):
        assert chat.encode(messages, enable_thinking=thinking)["labels"] == \
            reference("qwen", tok, messages, enable_thinking=thinking)[1]
    assert chat.render(messages[:1], add_generation_prompt=True, enable_thinking=False).endswith(
        "<|im_start|>assistant\n<think>\n\n</think>\n\n")


@pytest.mark.parametrize("package, message", [
    ("__version__ = '3.1.5'\n", "a chat template needs jinja2 3.1.6 or newer, not 3.1.5: older releases let a "
     "template reach outside its sandbox; pip install 'jinja2>=3.1.6'"),
    ("raise ImportError('broken')\n", "a chat template needs jinja2 (broken): pip install 'jinja2>=3.1.6'"),
])
def test_a_jinja2_that_cannot_keep_a_template_in_is_refused(tmp_path, package, message):
    """A jinja2 before 3.1.6 is never used: the sandbox it gives has known escapes."""
    import os
    import subprocess
    import sys

    (tmp_path / "jinja2").mkdir()
    (tmp_path / "jinja2" / "__init__.py").write_text(package)
    script = ("import korvanta\ntry:\n    korvanta.ChatTemplate(object(), template='x')\n"
              "except ImportError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert done.stdout == message + "\n", done.stderr


def test_a_token_of_the_header_and_the_answer_is_the_answers():
    """A trimming post-processor leaves `ĊĠ` (the header's newline, the answer's
    first space) only the newline in its offsets: it is still the answer's."""
    from tokenizers import Tokenizer, models, pre_tokenizers, processors, trainers

    from test_chat import CHATML

    backend = Tokenizer(models.BPE())
    backend.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    backend.train_from_iterator(["a:\n  hello world\n  again"] * 50, trainers.BpeTrainer(
        vocab_size=300, special_tokens=["<s>", "</s>", *CHATML_TOKENS], initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    backend.post_processor = processors.RobertaProcessing(("</s>", 1), ("<s>", 0))
    tok = transformers.PreTrainedTokenizerFast(tokenizer_object=backend, eos_token="<|im_end|>")
    messages = [{"role": "user", "content": "a"}, {"role": "assistant", "content": "  hello"}]
    got = ChatTemplate(tok, template=CHATML).encode(messages)
    assert got["input_ids"] == transformers_ids(tok, messages, chat_template=CHATML)
    trained_on = [t for t, label in zip(tok.convert_ids_to_tokens(got["input_ids"]), got["labels"]) if label != -100]
    assert trained_on == ["ĊĠ", "Ġhello", "<|im_end|>"]
