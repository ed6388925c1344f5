"""Latency of scoring one row (1, 10 and 100 trees of depth 6) and batch cost per row and tree
(1,000,000 x 20 float32, 20 trees of depth 6, 1 and 2 threads), for the installed module and,
with --before, for another build of it in the same run.

    .venv/bin/python bench/bench_engine.py [--before DIR] [--rows 1000000] [--repeat 5]

DIR holds an older quorvanta extension module (e.g. one built from an earlier commit); both
builds load the same model files, so they route the same trees. Targets: one row through 100
trees within 20 us and through one tree within 3 us; at most 4 ns per row and tree on one
thread; 2 threads at least 1.8x one. On a loaded machine the per-thread CPU figures are the
steadier ones, and the 2-thread speed-up is depressed by the other load.

predict routes exactly as predict_array does and then builds one list per row. Its routing part
is its wall time minus the list phase, the list phase being measured on its own as the
difference between predict and predict_array on one thread, where the two calls differ in
nothing else. On two threads the caller builds the lists of finished rows while the workers
route the rest; the same subtraction then gives the routing that the list phase did not hide.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_forest import N_FEATURES, forest_conf  # noqa: E402
from bench_predict import fastest, make_table  # noqa: E402

HEADERS = [f"f{i}" for i in range(N_FEATURES)] + ["t", "y"]
LATENCY_TREES = (1, 10, 100)


def with_threads(text: str, n_thread: int) -> str:
    config_end = text.index("\n")
    return text[:config_end].replace('"n_thread":1', f'"n_thread":{n_thread}') + text[config_end:]


def write_models(folder: str, rows: int) -> dict:
    """Fits every forest once with the installed module and saves it; returns the file names."""
    import quorvanta

    files = {}
    small = make_table(20_000, 5)
    for n_tree in LATENCY_TREES:
        model = quorvanta.CausalModel("RandomForestClassifier", forest_conf(HEADERS, n_tree, 1))
        model.fit(HEADERS, small)
        files[f"latency_{n_tree}"] = os.path.join(folder, f"latency_{n_tree}.model")
        model.save(files[f"latency_{n_tree}"])
    model = quorvanta.CausalModel("RandomForestClassifier", forest_conf(HEADERS, 20, 1))
    model.fit(HEADERS, make_table(rows, 3))
    path = os.path.join(folder, "batch_1.model")
    model.save(path)
    with open(path, encoding="utf-8") as file:
        text = file.read()
    for n_thread in (1, 2):
        files[f"batch_{n_thread}"] = os.path.join(folder, f"batch_{n_thread}.model")
        with open(files[f"batch_{n_thread}"], "w", encoding="utf-8") as file:
            file.write(with_threads(text, n_thread))
    return files


def measure(files: dict, rows: int, repeat: int) -> dict:
    """Runs in the process of one build: every figure of that build."""
    import quorvanta

    figures: dict = {}
    one_row = make_table(1, 7)
    for n_tree in LATENCY_TREES:
        model = quorvanta.CausalModel("RandomForestClassifier", {}).load(
            "RandomForestClassifier", files[f"latency_{n_tree}"]
        )
        for method in ("predict", "predict_array"):
            call = getattr(model, method, None)
            if call is None:
                continue
            call(HEADERS, one_row)  # the first call may compile
            calls = 2000
            best = float("inf")
            for _ in range(5):
                started = time.perf_counter()
                for _ in range(calls):
                    call(HEADERS, one_row)
                best = min(best, (time.perf_counter() - started) / calls)
            figures[f"{method} 1 row, {n_tree} trees, us"] = best * 1e6
    table = make_table(rows, 3)
    for n_thread in (1, 2):
        model = quorvanta.CausalModel("RandomForestClassifier", {}).load(
            "RandomForestClassifier", files[f"batch_{n_thread}"]
        )
        for method in ("predict_array", "predict"):
            call = getattr(model, method, None)
            if call is None:
                continue
            call(HEADERS, table[:1000])
            wall, cpu = fastest(lambda: call(HEADERS, table), repeat)
            per = 1e9 / (rows * 20)
            figures[f"{method} batch, {n_thread} thread(s), wall ns/row-tree"] = wall * per
            figures[f"{method} batch, {n_thread} thread(s), cpu ns/row-tree"] = cpu * per
    return figures


def run_build(module_dir: str | None, files: dict, rows: int, repeat: int) -> dict:
    env = dict(os.environ)
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    request = json.dumps({"files": files, "rows": rows, "repeat": repeat})
    done = subprocess.run(
        [sys.executable, __file__, "--measure", request],
        env=env, check=True, capture_output=True, text=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", help="folder with an older build of the module")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        request = json.loads(args.measure)
        print(json.dumps(measure(request["files"], request["rows"], request["repeat"])))
        return
    with tempfile.TemporaryDirectory() as folder:
        files = write_models(folder, args.rows)
        after = run_build(None, files, args.rows, args.repeat)
        before = run_build(args.before, files, args.rows, args.repeat) if args.before else {}
    add_routing_part(after)
    add_routing_part(before)
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print(f"{'figure':<58} {'before':>9} {'after':>9} {'ratio':>7}")
    for name, value in after.items():
        old = before.get(name)
        ratio = f"{old / value:7.1f}" if old else ""
        old_text = f"{old:9.2f}" if old is not None else ""
        print(f"{name:<58} {old_text:>9} {value:9.2f} {ratio}")
    for label, figures in (("before", before), ("after", after)):
        add_routing_part(figures)
        for method in ("predict_array", "predict routing part"):
            one = figures.get(f"{method} batch, 1 thread(s), wall ns/row-tree")
            two = figures.get(f"{method} batch, 2 thread(s), wall ns/row-tree")
            if not (one and two):
                continue
            print(f"{label}: {method}: 1 thread {one:.2f} ns/row-tree "
                  f"({verdict(one <= 4.0)} <= 4), 2 threads / 1 thread {one / two:.2f}x "
                  f"({verdict(one / two >= 1.8)} >= 1.8x)")
        # What two free cores would give: one thread's CPU time over half of two threads' (work
        # added by threading shows here; other processes' load does not).
        one_cpu = figures.get("predict_array batch, 1 thread(s), cpu ns/row-tree")
        two_cpu = figures.get("predict_array batch, 2 thread(s), cpu ns/row-tree")
        if one_cpu and two_cpu:
            print(f"{label}: predict_array 2-thread speed-up on free cores, from CPU time: "
                  f"{2 * one_cpu / two_cpu:.2f}x")


def verdict(met: bool) -> str:
    return "met" if met else "NOT met"


def add_routing_part(figures: dict) -> None:
    """predict's wall time less its list phase (see the module's doc)."""
    key = "{} batch, {} thread(s), wall ns/row-tree"
    listed = figures.get(key.format("predict", 1))
    arrayed = figures.get(key.format("predict_array", 1))
    if listed is None or arrayed is None:
        return
    list_phase = listed - arrayed
    figures["predict list phase, wall ns/row-tree"] = list_phase
    for n_thread in (1, 2):
        total = figures.get(key.format("predict", n_thread))
        if total is not None:
            figures[key.format("predict routing part", n_thread)] = total - list_phase


if __name__ == "__main__":
    main()
