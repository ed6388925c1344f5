"""Peak memory of a fit, each case in a fresh interpreter: the process's peak resident size
(ru_maxrss) after the fit, and what the fit added to it, in MB and in bytes per row.

Default cases: 100,000 x 400 float32 rows with max_features 400 on 1, 4 and 8 threads (8 trees,
depth 6), where worker threads must share the binned table; and 1,000,000 x 20 on 2 threads.

    .venv/bin/python bench/bench_fit_memory.py [--case ROWS,FEATURES,MAX_FEATURES,THREADS ...]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

DEFAULT_CASES = ["100000,400,400,1", "100000,400,400,4", "100000,400,400,8", "1000000,20,10,2"]

CHILD = r"""
import json, resource, sys
import numpy as np
import quorvanta
n_rows, n_features, max_features, n_thread = (int(v) for v in sys.argv[1:5])
rng = np.random.default_rng(5)
table = np.empty((n_rows, n_features + 2), dtype=np.float32)
for column in range(n_features):
    table[:, column] = rng.normal(size=n_rows)
table[:, n_features] = rng.integers(0, 2, size=n_rows)
table[:, n_features + 1] = rng.random(n_rows) < 0.3 + 0.1 * (table[:, 0] > 0) * table[:, n_features]
headers = [f"f{i}" for i in range(n_features)] + ["t", "y"]
conf = {"feature": headers[:n_features], "treatment": ["t"], "y": "y", "n_tree": 8,
        "n_thread": n_thread, "max_features": max_features, "max_depth": 6, "seed": 1}
model = quorvanta.CausalModel("RandomForestClassifier", conf)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
model.fit(headers, table)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"before_kb": before, "after_kb": after}))
"""


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", action="append", help="rows,features,max_features,threads")
    args = parser.parse_args()
    print(f"{'rows':>9} {'features':>8} {'max_f':>5} {'threads':>7} {'peak MB':>8} "
          f"{'added MB':>8} {'added B/row':>11}")
    for case in args.case or DEFAULT_CASES:
        n_rows, n_features, max_features, n_thread = case.split(",")
        output = subprocess.run(
            [sys.executable, "-c", CHILD, n_rows, n_features, max_features, n_thread],
            check=True, capture_output=True, text=True).stdout
        figures = json.loads(output.strip().splitlines()[-1])
        added = (figures["after_kb"] - figures["before_kb"]) * 1024
        print(f"{n_rows:>9} {n_features:>8} {max_features:>5} {n_thread:>7} "
              f"{figures['after_kb'] / 1024:8.1f} {added / 2**20:8.1f} {added / int(n_rows):11.1f}")


if __name__ == "__main__":
    main()
