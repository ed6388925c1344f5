"""Fits and predicts 2,000,000 x 20 rows with quorvanta_dask on a local cluster of 1 and of 2
worker processes (one thread each), beside a local fit on one thread, and prints the times, the
2-worker speed-up and the scheduler's overhead per task.

    .venv/bin/python bench/bench_dask.py [--rows 2000000] [--trees 20] [--batches N] [--repeat 2]

The table is made on the workers and persisted there before timing, so the times are those of
the fit and the predict alone. The overhead per task is the wall time per task of a graph of
no-op tasks on the same cluster.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

N_FEATURES = 20
HEADERS = [f"f{i}" for i in range(N_FEATURES)] + ["t", "y"]
BLOCK_ROWS = 250_000


def make_block(block: np.ndarray, block_id=None) -> np.ndarray:
    """One block of rows, drawn from the block's position so that every run makes the same table."""
    rng = np.random.default_rng(block_id[0] + 1)
    n = block.shape[0]
    x = rng.normal(size=(n, N_FEATURES)).astype(np.float32)
    treatment = rng.integers(0, 2, size=n)
    p = 0.3 + 0.1 * (x[:, 0] > 0) * treatment
    y = rng.random(n) < p
    return np.column_stack([x, treatment, y]).astype(np.float32)


def conf(n_tree: int) -> dict:
    return {
        "feature": HEADERS[:N_FEATURES], "treatment": ["t"], "y": "y", "n_tree": n_tree,
        "max_features": 10, "max_depth": 6, "seed": 1,
    }


def no_op(x):
    return x


def overhead_per_task(client, n_tasks: int = 2000) -> float:
    """Wall time per task of independent no-op tasks."""
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        client.gather(client.map(no_op, range(n_tasks), pure=False))
        best = min(best, (time.perf_counter() - started) / n_tasks)
    return best


def main() -> None:
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    import quorvanta
    import quorvanta_dask
    from quorvanta_dask._model import default_batches

    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--batches", type=int, default=None, help="default: the model's own")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    if args.batches is None:
        args.batches = default_batches(args.trees)

    shape_source = da.zeros((args.rows, len(HEADERS)), dtype=np.float32,
                            chunks=(BLOCK_ROWS, len(HEADERS)))
    rows = shape_source.map_blocks(make_block, dtype=np.float32)
    print(f"{args.rows} rows x {N_FEATURES} features, {args.trees} trees in {args.batches} "
          f"batches, depth 6, max_features 10; best of {args.repeat}")

    table = rows.compute()
    local = quorvanta.CausalModel("RandomForestClassifier", conf(args.trees))
    started = time.perf_counter()
    local.fit(HEADERS, table)
    local_fit = time.perf_counter() - started
    started = time.perf_counter()
    local.predict(HEADERS, table)
    local_predict = time.perf_counter() - started
    del table, local
    print(f"{'local, 1 thread':>22}: fit {local_fit:7.2f} s   predict {local_predict:6.2f} s")

    results = {}
    for n_workers in (1, 2):
        with LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, worker_dashboard_address=None,
            scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
        ) as cluster, Client(cluster) as client:
            persisted = client.persist(rows)
            wait(persisted)
            fit_best = predict_best = float("inf")
            for _ in range(args.repeat):
                model = quorvanta_dask.DaskCausalModel(
                    "RandomForestClassifier", conf(args.trees), client=client,
                    n_batch=args.batches,
                )
                started = time.perf_counter()
                model.fit(HEADERS, persisted)
                fit_best = min(fit_best, time.perf_counter() - started)
                effects = model.predict(HEADERS, persisted)
                started = time.perf_counter()
                effects.compute()
                predict_best = min(predict_best, time.perf_counter() - started)
            overhead = overhead_per_task(client)
        results[n_workers] = (fit_best, predict_best)
        n_tasks = 1 + min(args.batches, args.trees)
        print(f"{f'dask, {n_workers} worker(s)':>22}: fit {fit_best:7.2f} s   predict "
              f"{predict_best:6.2f} s   ({n_tasks} fit tasks, {rows.numblocks[0]} predict "
              f"tasks; scheduler overhead {overhead * 1e3:.2f} ms per task)")
    fit_speed_up = results[1][0] / results[2][0]
    predict_speed_up = results[1][1] / results[2][1]
    print(f"{'2-worker speed-up':>22}: fit {fit_speed_up:.2f}x, predict {predict_speed_up:.2f}x")


if __name__ == "__main__":
    main()
