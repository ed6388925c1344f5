"""What the scikit-learn estimators' conversions cost: a fit of UpliftForestClassifier on a
DataFrame and on a numpy array against CausalModel.fit of the same table as one float32 array.

1,000,000 rows x 20 features, 4 of them categorical (in the DataFrame as pandas categoricals and,
in a second run, as str columns; in the arrays as numbers), a treatment column with labels and a
binary outcome; 20 trees of depth 6 on one thread. Each measurement runs in a fresh process and
reports its best wall time of --repeat fits and how much the fits raised the process's peak
resident size (VmHWM, reset after the inputs are made) above its size before them. Targets: a
DataFrame fit at most 1.3x the raw fit on the array, and at most one float32 copy of the
features added beyond what the raw fit adds (76 MiB at 1,000,000 x 20).

    .venv/bin/python bench/bench_sklearn.py [--rows 1000000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time

N_FEATURES, N_CATEGORICAL, TREES, DEPTH = 20, 4, 20, 6
KINDS = ("raw array", "estimator on array", "estimator on DataFrame (category)",
         "estimator on DataFrame (str)")


def make_inputs(rows: int, kind: str):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(3)
    numeric = rng.random((rows, N_FEATURES - N_CATEGORICAL), dtype=np.float32)
    codes = rng.integers(0, 12, (rows, N_CATEGORICAL))
    groups = rng.integers(0, 2, rows)
    y = (rng.random(rows) < 0.2 + 0.2 * groups * (numeric[:, 0] > 0.5)).astype(np.int8)
    if kind == "raw array":
        return np.column_stack([numeric, codes, groups, y]).astype(np.float32), None, None
    if kind == "estimator on array":
        return np.column_stack([numeric, codes]).astype(np.float32), y, groups
    frame = pd.DataFrame(numeric, columns=[f"n{i}" for i in range(numeric.shape[1])])
    labels = np.array([f"level {i}" for i in range(12)], dtype=object)
    for column in range(N_CATEGORICAL):
        values = labels[codes[:, column]]
        frame[f"c{column}"] = pd.Categorical(values) if "category" in kind else values
    return frame, y, groups


def measure(rows: int, kind: str, repeat: int) -> dict:
    import quorvanta
    from quorvanta_sklearn import UpliftForestClassifier

    X, y, groups = make_inputs(rows, kind)
    params = dict(n_estimators=TREES, max_depth=DEPTH, random_state=1, n_jobs=1)
    categorical = list(range(N_FEATURES - N_CATEGORICAL, N_FEATURES))
    headers = [f"x{i}" for i in range(N_FEATURES)]
    conf = {"feature": headers, "cat": headers[-N_CATEGORICAL:], "treatment": ["t"], "y": "y",
            "n_tree": TREES, "max_depth": DEPTH, "seed": 1}

    def fit() -> None:
        if kind == "raw array":
            quorvanta.CausalModel("RandomForestClassifier", conf).fit(headers + ["t", "y"], X)
        elif kind == "estimator on array":
            UpliftForestClassifier(categorical_features=categorical, **params).fit(X, y, groups)
        else:
            UpliftForestClassifier(**params).fit(X, y, groups)

    # Making the inputs had its own peak: start the count of the fit's peak afresh.
    with open("/proc/self/clear_refs", "w") as file:
        file.write("5")
    before = _resident_kb("VmRSS")
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fit()
        best = min(best, time.perf_counter() - start)
    return {"seconds": best, "added_mb": (_resident_kb("VmHWM") - before) / 1024}


def _resident_kb(field: str) -> int:
    """The process's current (VmRSS) or peak (VmHWM) resident size in KiB."""
    with open("/proc/self/status") as file:
        for line in file:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.rows, args.child, args.repeat)))
        return
    results = {}
    for kind in KINDS:
        out = subprocess.run(
            [sys.executable, __file__, "--rows", str(args.rows), "--repeat", str(args.repeat),
             "--child", kind], check=True, capture_output=True, text=True,
        ).stdout
        results[kind] = json.loads(out)
    raw = results["raw array"]["seconds"]
    print(f"{args.rows} rows x {N_FEATURES} features ({N_CATEGORICAL} categorical), {TREES} "
          f"trees of depth {DEPTH}, one thread; best of {args.repeat}")
    for kind, result in results.items():
        print(f"  {kind:36s} {result['seconds']:6.2f} s  {result['seconds'] / raw:5.2f}x raw  "
              f"peak +{result['added_mb']:6.0f} MB")
    print(f"  one float32 copy of the features: {args.rows * N_FEATURES * 4 / 2**20:.0f} MB")


if __name__ == "__main__":
    main()
