"""Encode batches of rows into model inputs on a dask.distributed cluster of
two worker processes, and check them against a local run.

    pip install '.[integration]' && python examples/dask_cluster.py

The template is scattered to the workers once (pickled, tokenizer included),
as it would be to the machines of a real cluster.
"""

from dask.distributed import Client, LocalCluster, wait
from typing import Any

from prompt_learning import OPTIONS, ROWS, build_tokenizer

from korvanta import PromptTemplate

TIMEOUT = 120  # seconds for any one step on the cluster


def encode_batch(template: PromptTemplate, rows: list[dict[str, str]]) -> dict[str, Any]:
    encoded: dict[str, Any] = template.encode_batch(rows, **OPTIONS)
    return encoded


def main() -> None:
    template = PromptTemplate(r"[text] . It was [mask|great,terrible] . \[end\]", build_tokenizer())
    batches = [ROWS[i:i + 2] for i in range(0, len(ROWS), 2)] * 4
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      timeout=TIMEOUT) as cluster, Client(cluster, timeout=TIMEOUT) as client:
        [shared] = client.scatter([template], broadcast=True)
        futures = [client.submit(encode_batch, shared, batch, pure=False) for batch in batches]
        wait(futures, timeout=TIMEOUT)
        results = client.gather(futures)
        workers = len(client.scheduler_info()["workers"])
    assert results == [encode_batch(template, batch) for batch in batches]
    print(f"workers: {workers}, batches: {len(results)}, first: {results[0]['input_ids'][0]}")


if __name__ == "__main__":
    main()
