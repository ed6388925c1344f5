"""Times the conversion of `arr` for a 1,000,000 x 20 float64 table: `fit` with no trees converts
the table and loads it, binning only the first --features columns (none by default, so the time is
conversion plus a trivial load).

    .venv/bin/python bench/bench_conversion.py [--rows 1000000] [--features 0] [--repeat 3]

Inputs compared: the 2-D numpy array (read from its memory), a list of its 1-D rows (each row
read from its memory), the same values as nested lists of Python floats, and the array as an
ndarray subclass, which is converted item by item through numpy scalars.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quorvanta

N_COLUMNS = 20


class ItemByItem(np.ndarray):
    """Subclasses are converted by iteration, as every array was before the fast path."""


def best_fit_seconds(headers, table, n_features: int, repeat: int) -> float:
    conf = {"feature": headers[:n_features], "n_tree": 0}
    best = float("inf")
    for _ in range(repeat):
        model = quorvanta.CausalModel("RandomForestRegressor", conf)
        started = time.perf_counter()
        model.fit(headers, table)
        best = min(best, time.perf_counter() - started)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--features", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    headers = [f"f{i}" for i in range(N_COLUMNS)]
    array = np.random.default_rng(1).normal(size=(args.rows, N_COLUMNS))
    inputs = {
        "numpy 2-D array": array,
        "numpy, Fortran order": np.asfortranarray(array),
        "list of 1-D arrays": list(array),
        "nested lists": array.tolist(),
        "numpy item by item": array.view(ItemByItem),
    }
    print(f"{args.rows} x {N_COLUMNS} float64, {args.features} feature(s) binned, "
          f"best of {args.repeat}")
    seconds = {name: best_fit_seconds(headers, table, args.features, args.repeat)
               for name, table in inputs.items()}
    print(f"{'input':<24} {'fit s':>8} {'M cells/s':>10} {'vs lists':>9}")
    for name, value in seconds.items():
        cells = args.rows * N_COLUMNS / value / 1e6
        print(f"{name:<24} {value:8.3f} {cells:10.1f} {seconds['nested lists'] / value:8.1f}x")


if __name__ == "__main__":
    main()
