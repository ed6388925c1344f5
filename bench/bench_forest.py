"""Times fit and predict on synthetic uplift data of 10,000 to 1,000,000 rows and 20 features with
1 and 2 threads, prints rows x trees per second and the 2-thread speed-up.

    .venv/bin/python bench/bench_forest.py [--rows 10000,100000,1000000] [--trees 20]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quorvanta

N_FEATURES = 20


def make_rows(n: int, seed: int):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, N_FEATURES)).astype(np.float32)
    treatment = rng.integers(0, 2, size=n)
    p = 0.3 + 0.1 * (x[:, 0] > 0) * treatment
    y = (rng.random(n) < p).astype(np.float32)
    table = np.column_stack([x, treatment, y]).astype(np.float64)
    return table


def forest_conf(headers, n_tree: int, n_thread: int) -> dict:
    """The forests the benchmarks time: depth 6, max_features 10, seeded."""
    return {
        "feature": headers[:N_FEATURES],
        "treatment": ["t"],
        "y": "y",
        "n_tree": n_tree,
        "n_thread": n_thread,
        "max_features": 10,
        "max_depth": 6,
        "seed": 1,
    }


def run(n_rows: int, n_tree: int, n_thread: int, table, headers):
    model = quorvanta.CausalModel("RandomForestClassifier", forest_conf(headers, n_tree, n_thread))
    started = time.perf_counter()
    model.fit(headers, table)
    fit_seconds = time.perf_counter() - started
    started = time.perf_counter()
    model.predict(headers, table)
    predict_seconds = time.perf_counter() - started
    return fit_seconds, predict_seconds


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", default="10000,100000,1000000")
    parser.add_argument("--trees", type=int, default=20)
    args = parser.parse_args()
    headers = [f"f{i}" for i in range(N_FEATURES)] + ["t", "y"]
    # A numpy array is a sequence of rows, so it is passed as it is.
    print(f"{'rows':>9} {'threads':>7} {'fit s':>8} {'predict s':>9} {'fit Mrt/s':>9} {'pred Mrt/s':>10}")
    for n_rows in (int(r) for r in args.rows.split(",")):
        table_arg = make_rows(n_rows, 3)
        fit_times = {}
        for n_thread in (1, 2):
            fit_s, pred_s = run(n_rows, args.trees, n_thread, table_arg, headers)
            fit_times[n_thread] = fit_s
            work = n_rows * args.trees / 1e6
            print(f"{n_rows:>9} {n_thread:>7} {fit_s:>8.3f} {pred_s:>9.3f} {work / fit_s:>9.2f} {work / pred_s:>10.2f}")
        speed_up = fit_times[1] / fit_times[2]
        verdict = "close to twice" if speed_up >= 1.8 else "below 1.8x: check for contention"
        print(f"{'':>9} 2-thread fit speed-up: {speed_up:.2f}x ({verdict})")


if __name__ == "__main__":
    main()
