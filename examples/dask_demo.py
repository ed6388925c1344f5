"""The demo's two uplift forests, grown and applied by a Dask cluster of two worker processes on
this machine: the tables are dask DataFrames (missing cells are pandas' NaN), the trees are grown
in batches by the workers, held-out rows are scored block by block, and the Qini curves are
drawn. The models are saved as ordinary quorvanta model files. Everything it writes goes to out/
(or the folder given as the first argument).

    pip install ".[dask]"; python examples/dask_demo.py
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quorvanta
from synthetic_rows import CATEGORICAL, FEATURES, HEADERS, evaluate, make_data

N_TRAIN = 200_000
N_TEST = 50_000
N_PARTITIONS = 8


def on_cluster(client, rows):
    """The demo's rows as a dask DataFrame whose partitions live on the workers (sent once, not
    in every graph). A missing cell (None) becomes NaN, which pandas marks missing and the forest
    reads as a missing cell."""
    import dask.dataframe as dd

    frame = pd.DataFrame(rows, columns=HEADERS, dtype=np.float64)
    bounds = np.linspace(0, len(frame), N_PARTITIONS + 1).astype(int)
    parts = [frame.iloc[start:stop] for start, stop in zip(bounds[:-1], bounds[1:])]
    return dd.from_delayed(client.scatter(parts), meta=frame.iloc[:0])


def main() -> None:
    import matplotlib
    from distributed import Client, LocalCluster

    import quorvanta_dask

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = Path(sys.argv[1] if len(sys.argv) > 1 else "out")
    out.mkdir(parents=True, exist_ok=True)
    fig, axes = plt.subplots(2, 2, figsize=(12, 9))
    rng = np.random.default_rng(2026)
    report = []
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, worker_dashboard_address=None,
        scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
    ) as cluster, Client(cluster) as client:
        for row, (kind, continuous) in enumerate(
            (("RandomForestClassifier", False), ("RandomForestRegressor", True))
        ):
            train_rows, _, _, _ = make_data(N_TRAIN, continuous, rng)
            test_rows, test_treatment, test_y, test_effects = make_data(N_TEST, continuous, rng)
            train = on_cluster(client, train_rows)
            test = on_cluster(client, test_rows)
            conf = {
                "feature": FEATURES, "cat": CATEGORICAL, "treatment": ["treatment"], "y": "y",
                "n_tree": 50, "max_depth": 6, "max_features": 4, "min_samples_leaf": 200,
                "min_samples_treatment": 50, "seed": 7,
            }
            model = quorvanta_dask.DaskCausalModel(kind, conf, client=client)
            started = time.perf_counter()
            model.fit(HEADERS, train)
            fit_seconds = time.perf_counter() - started
            started = time.perf_counter()
            effects = model.predict(HEADERS, test).compute()  # a DataFrame: effect_1, effect_2
            predict_seconds = time.perf_counter() - started
            predictions = effects.to_numpy(dtype=np.float64)

            path = out / f"dask_{kind}.model"
            model.save(str(path))
            reloaded = quorvanta.CausalModel(kind, {}).load(kind, str(path))
            same = np.array_equal(
                np.asarray(reloaded.predict(HEADERS, test_rows[:1000]), dtype=np.float32),
                effects.to_numpy()[:1000], equal_nan=True,
            )
            report.append(
                f"{kind}: {conf['n_tree']} trees on {N_TRAIN:,} rows by 2 workers in "
                f"{fit_seconds:.2f} s, predicted {N_TEST:,} rows in {predict_seconds:.2f} s"
            )
            report.extend(
                evaluate(f"Dask {kind}", predictions, test_treatment, test_y, test_effects,
                         axes[row])
            )
            report.append(
                f"  saved to {path}; the file loaded locally predicts identically: {same}"
            )
    fig.tight_layout()
    picture = out / "dask_qini_curves.png"
    fig.savefig(picture, dpi=90)
    report.append(f"Qini curves drawn to {picture}")
    print("\n".join(report))


if __name__ == "__main__":
    main()
