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


def fitter(rows: int, kind: str):
    """A function that makes one fit of `kind` on its inputs."""
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

    return fit


def peak_added(rows: int, kind: str) -> float:
    """MiB that one fit adds to the process's peak resident size."""
    fit = fitter(rows, kind)
    # Making the inputs had its own peak: start the count of the fit's peak afresh.
    with open("/proc/self/clear_refs", "w") as file:
        file.write("5")
    before = _resident_kb("VmRSS")
    fit()
    return (_resident_kb("VmHWM") - before) / 1024


def best_times(rows: int, repeat: int) -> dict[str, list[float]]:
    """Best wall and CPU time of each kind, the kinds taking turns so that the machine's load
    falls on all of them alike. The fits run on one thread, so on a busy machine their CPU time
    is the steadier measure."""
    fits = {kind: fitter(rows, kind) for kind in KINDS}
    best = {kind: [float("inf"), float("inf")] for kind in KINDS}
    for _ in range(repeat):
        for kind, fit in fits.items():
            wall, cpu = time.perf_counter(), time.process_time()
            fit()
            best[kind][0] = min(best[kind][0], time.perf_counter() - wall)
            best[kind][1] = min(best[kind][1], time.process_time() - cpu)
    return best


def _resident_kb(field: str) -> int:
    """The process's current (VmRSS) or peak (VmHWM) resident size in KiB."""
    with open("/proc/self/status") as file:
        for line in file:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def run_child(rows: int, repeat: int, what: str) -> object:
    out = subprocess.run(
        [sys.executable, __file__, "--rows", str(rows), "--repeat", str(repeat), "--child", what],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child == "times":
        print(json.dumps(best_times(args.rows, args.repeat)))
        return
    if args.child:
        print(json.dumps(peak_added(args.rows, args.child)))
        return
    times = run_child(args.rows, args.repeat, "times")
    assert isinstance(times, dict)
    raw_wall, raw_cpu = times["raw array"]
    print(f"{args.rows} rows x {N_FEATURES} features ({N_CATEGORICAL} categorical), {TREES} "
          f"trees of depth {DEPTH}, one thread; best of {args.repeat}, kinds taking turns")
    for kind in KINDS:
        added = run_child(args.rows, 1, kind)
        wall, cpu = times[kind]
        print(f"  {kind:36s} wall {wall:5.2f} s ({wall / raw_wall:4.2f}x raw)  cpu {cpu:5.2f} s "
              f"({cpu / raw_cpu:4.2f}x raw)  peak +{added:4.0f} MiB")
    print(f"  one float32 copy of the features: {args.rows * N_FEATURES * 4 / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()
