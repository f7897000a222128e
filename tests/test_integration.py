"""The engines users scale out with: Hugging Face datasets (Dataset.map in
worker processes), a dask.distributed cluster of worker processes and Ray Data. Each
example checks itself against a local run; here it runs in a bounded child
process. Needs the extra: pip install '.[integration]'."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

pytestmark = [
    pytest.mark.isolated,
    pytest.mark.skipif(not EXAMPLES.exists(), reason="the examples are not beside the tests"),
]


def needs(*modules):
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"needs {', '.join(missing)}: pip install '.[integration]'")


def run_example(name):
    done = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=600,
                          cwd=EXAMPLES)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines()


def test_datasets_map_in_two_processes_equals_one_and_fingerprints_stay():
    needs("datasets", "tokenizers")
    first, second = run_example("datasets_map.py"), run_example("datasets_map.py")
    assert first[0] == "rows: 32, first: [3, 7, 8, 14, 15, 10, 8, 1, 15, 0, 0, 0] mask at [7]"
    assert first == second  # the template hash and the transform fingerprint, in two processes


def test_dask_cluster_encodes_with_a_scattered_template():
    needs("dask", "distributed", "tokenizers")
    assert run_example("dask_cluster.py") == ["workers: 2, batches: 8, first: [3, 7, 8, 14, 15, 10, 8, 1, 15, 0, 0, 0]"]


def test_ray_data_prepares_what_one_process_does():
    needs("ray", "tokenizers", "jinja2", "pyarrow")
    assert run_example("ray_data.py") == ["rows: 250, encoded rows: 293, shards: 3, first: [0, 86, 84, 266, 200, 407, 406, 308]"]


@pytest.mark.parametrize("example", ["train_masked_lm.py", "train_causal_lm.py", "train_chat.py", "train_packed.py"])
def test_training_recipes_train_a_tiny_model(example):
    needs("torch", "transformers", "tokenizers", "datasets", "jinja2")
    [*_, last] = run_example(example)
    assert last.startswith("loss ")
