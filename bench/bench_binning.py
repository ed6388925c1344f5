"""Loading speed of a numeric numpy table: nanoseconds per value for binning 1,000,000 x 20
float32 cells on one thread, building every feature's bins (a first fit) and reusing them (a
predict-time load of the same features).

The cost of building bins is the difference of the two, set against numpy.sort of every column
of the same table in the same run; the target is at most 2x numpy.sort, at 1,000,000 and
10,000,000 rows (--rows 10000000).

    .venv/bin/python bench/bench_binning.py [--rows 1000000] [--threads 1] [--repeat 5]
        [--n-bin 30] [--features 20] [--module-path DIR]

A fit with no trees does nothing but load. --module-path puts DIR first on sys.path, to time
another build of the module side by side; the best of --repeat runs is reported, since the
machine is shared.
"""

from __future__ import annotations

import argparse
import sys
import time

N_FEATURES = 20


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--n-bin", type=int, default=30)
    parser.add_argument("--features", type=int, default=N_FEATURES)
    parser.add_argument("--module-path", default=None)
    args = parser.parse_args()
    if args.module_path:
        sys.path.insert(0, args.module_path)
    import numpy as np

    import quorvanta

    n_features = args.features
    rng = np.random.default_rng(1)
    headers = [f"x{i}" for i in range(n_features)]
    table = rng.standard_normal((args.rows, n_features), dtype=np.float32)
    # A quarter of the columns hold few distinct values, as counts or rounded measurements do.
    table[:, ::4] = np.floor(table[:, ::4] * 8)
    conf = {"feature": headers, "n_tree": 0, "n_thread": args.threads, "n_bin": args.n_bin}

    def timed(call):
        wall, cpu = time.perf_counter(), time.process_time()
        call()
        return time.perf_counter() - wall, time.process_time() - cpu

    columns = [np.ascontiguousarray(table[:, f]) for f in range(n_features)]

    def sort_columns():
        for column in columns:
            np.sort(column)

    first = reuse = numpy_sort = (float("inf"), float("inf"))
    for _ in range(args.repeat):
        model = quorvanta.CausalModel("RandomForestRegressor", conf)
        first = min(first, timed(lambda: model.fit(headers, table)))
        reuse = min(reuse, timed(lambda: model.fit(headers, table)))
        numpy_sort = min(numpy_sort, timed(sort_columns))
    values = args.rows * n_features
    print(f"{args.rows:,} x {n_features} float32, n_bin {args.n_bin}, {args.threads} thread(s), "
          f"best of {args.repeat} (cpu: all threads' time; on a busy machine the closer figure "
          "to the undisturbed one)")
    building = tuple(max(0.0, a - b) for a, b in zip(first, reuse))
    for name, (wall, cpu) in (("bins built", first), ("bins reused", reuse),
                              ("building", building), ("numpy.sort", numpy_sort)):
        print(f"  {name:<12} {wall * 1e3:8.1f} ms wall {wall * 1e9 / values:6.1f} ns/value, "
              f"cpu {cpu * 1e9 / values:6.1f} ns/value")
    print(f"  building / numpy.sort: {building[0] / numpy_sort[0]:.2f}x wall, "
          f"{building[1] / numpy_sort[1]:.2f}x cpu (target at most 2x)")


if __name__ == "__main__":
    main()
