"""How much a fit adds to the process's peak memory, per row of the table.

Fits a classification forest on N rows x 20 float32 features (plus a treatment and an outcome
column, so the input is 88 bytes per row) in a fresh process, with 20 trees, depth 6,
max_features 10 and 2 threads. Reports the input size, the fit time and the growth of the
process's peak resident size (ru_maxrss) from just before the fit to just after it, per row.

    .venv/bin/python bench/bench_memory.py [--rows 10000000] [--threads 2] [--trees 20]
        [--module-path DIR]

--trees 0 measures loading alone (the fit then only loads and bins the table).

--module-path puts DIR first on sys.path, to measure another build of the module side by side.
Each measurement runs in its own child process, so an earlier fit's peak cannot hide a later one.
100,000,000 rows need about 9 GB for the input alone: run it by hand, never in CI.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

N_FEATURES = 20


def measure(rows: int, threads: int, trees: int, module_path: str | None) -> dict:
    if module_path:
        sys.path.insert(0, module_path)
    import numpy as np

    import quorvanta

    headers = [f"x{i}" for i in range(N_FEATURES)] + ["t", "y"]
    # Filled in chunks of rows, so that making the table needs no temporary of its size.
    table = np.empty((rows, len(headers)), np.float32)
    rng = np.random.default_rng(1)
    chunk = 1 << 16  # small, so that the peak before the fit is the table itself
    for start in range(0, rows, chunk):
        stop = min(rows, start + chunk)
        block = rng.random((stop - start, N_FEATURES), dtype=np.float32)
        table[start:stop, :N_FEATURES] = block
        treated = rng.random(stop - start) < 0.5
        table[start:stop, N_FEATURES] = treated
        lift = np.where(treated & (block[:, 0] > 0.5), 0.2, 0.0)
        table[start:stop, N_FEATURES + 1] = rng.random(stop - start) < 0.3 + lift
        del block, treated, lift
    conf = {"feature": headers[:N_FEATURES], "treatment": ["t"], "y": "y", "n_tree": trees,
            "max_depth": 6, "max_features": 10, "n_thread": threads, "seed": 3}
    model = quorvanta.CausalModel("RandomForestClassifier", conf)

    kib = 1024
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * kib
    started = time.perf_counter()
    model.fit(headers, table)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * kib
    return {"rows": rows, "threads": threads, "input_bytes": table.nbytes,
            "peak_before": before, "peak_after": after, "fit_seconds": seconds}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--module-path", default=None)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps(measure(args.rows, args.threads, args.trees, args.module_path)))
        return

    command = [sys.executable, __file__, "--child", "--rows", str(args.rows), "--threads",
               str(args.threads), "--trees", str(args.trees)]
    if args.module_path:
        command += ["--module-path", args.module_path]
    result = json.loads(subprocess.run(command, check=True, capture_output=True,
                                       text=True).stdout.strip().splitlines()[-1])
    rows = result["rows"]
    added = result["peak_after"] - result["peak_before"]
    print(f"{rows:,} rows x {N_FEATURES} float32 features, {args.trees} trees, "
          f"{result['threads']} thread(s)")
    print(f"  input          {result['input_bytes'] / rows:8.1f} bytes/row "
          f"({result['input_bytes'] / 1e9:.2f} GB)")
    print(f"  peak before    {result['peak_before'] / 1e9:8.2f} GB")
    print(f"  peak after fit {result['peak_after'] / 1e9:8.2f} GB")
    print(f"  added by fit   {added / rows:8.1f} bytes/row")
    print(f"  fit time       {result['fit_seconds']:8.2f} s")


if __name__ == "__main__":
    main()
