"""The main job: a dataset of conversations on disk to training-ready Parquet shards.

    pip install '.[prepare]' && python examples/prepare.py

A byte-level BPE tokenizer is trained on the spot on the bundled conversations
(examples/data/conversations.jsonl; nothing is downloaded) and saved with a
ChatML chat template; then one command encodes every conversation with the
assistant's answers as labels, packs them into rows of 256 tokens, writes
Parquet shards and prints the report (report.json and report.png beside the
shards):

    korvanta prepare examples/data/conversations.jsonl --tokenizer TOKENIZER.json \\
        --chat chatml.jinja --max-length 256 --overflow split --pack --out OUT
"""

import json
import pathlib
import subprocess
import sys
import tempfile

try:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
except ImportError:
    raise SystemExit("this example trains a tokenizer with the tokenizers package: "
                     "pip install 'korvanta[prepare]'") from None

HERE = pathlib.Path(__file__).parent
DATA = HERE / "data" / "conversations.jsonl"
CHATML = ("{% for message in messages %}{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>\\n' }}"
          "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")

work = pathlib.Path(tempfile.mkdtemp(prefix="korvanta-prepare-"))
texts = [message["content"] for line in DATA.open() for message in json.loads(line)["messages"]]
tokenizer = Tokenizer(models.BPE())
tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
tokenizer.decoder = decoders.ByteLevel()
tokenizer.train_from_iterator(texts, trainers.BpeTrainer(
    vocab_size=600, show_progress=False, special_tokens=["<|im_start|>", "<|im_end|>", "<|endoftext|>"],
    initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
tokenizer.save(str(work / "tokenizer.json"))
(work / "chatml.jinja").write_text(CHATML)

command = [sys.executable, "-m", "korvanta", "prepare", str(DATA), "--tokenizer", str(work / "tokenizer.json"),
           "--chat", str(work / "chatml.jinja"), "--max-length", "256", "--overflow", "split", "--pack",
           "--out", str(work / "out"), "--no-progress"]
print("$ korvanta prepare", " ".join(command[4:]))
subprocess.run(command, check=True)
print(f"\nshards, report.json and report.png in {work / 'out'}")
