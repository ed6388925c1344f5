"""Before and after figures of every growing path in one run, on the same machine at the same time.

Builds bench/bench_growing.cpp twice: against this checkout, and against an earlier commit (by
default 966f7d2, the growing code before its loops were specialised; its sources are exported with
`git archive` into a scratch directory and the current benchmark sources are copied in, since the
benchmark uses only the model's fit). Then runs the two binaries in alternation, round after
round, and keeps each figure's best, so that both builds see the same load. Finally measures each
path's fit memory (2 threads) in fresh processes.

Targets: weighted and regression one-thread time at most 1.5x the counted path's; each path at
least 1.8x faster on 2 threads than on 1 (needs two idle cores: the load average is printed);
memory added by a fit at most 64 bytes per row. The last lines give each target's verdict for
this checkout. The CPU time of the 2-thread fit is printed beside its speed-up: when it is close to
the 1-thread CPU time the threads did not slow each other down, and a speed-up below 2 then means
that the second core was busy with other work (the load average tells).

    .venv/bin/python bench/bench_growing.py [--before-commit 966f7d2] [--rounds 3] [--rows N]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import tarfile
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PATHS = ("counted", "weighted", "regression")


def build(source: pathlib.Path, build_dir: pathlib.Path) -> pathlib.Path:
    subprocess.run(["cmake", "-S", str(source), "-B", str(build_dir), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DQUORVANTA_BUILD_MODULE=OFF",
                    "-DQUORVANTA_BUILD_BENCH=ON"], check=True, capture_output=True)
    subprocess.run(["ninja", "-C", str(build_dir), "-j2", "bench_growing"], check=True,
                   capture_output=True)
    return build_dir / "bench_growing"


def export_commit(commit: str, into: pathlib.Path) -> pathlib.Path:
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", commit], check=True,
                             capture_output=True).stdout
    source = into / "source"
    source.mkdir()
    with tempfile.TemporaryFile() as handle:
        handle.write(archive)
        handle.seek(0)
        with tarfile.open(fileobj=handle) as tar:
            tar.extractall(source, filter="data")
    for name in ("bench_growing.cpp", "bench_tables.hpp"):
        (source / "bench" / name).write_text((ROOT / "bench" / name).read_text())
    return source


def timings(binary: pathlib.Path, rows: int) -> dict[str, list[float]]:
    output = subprocess.run([str(binary), "--repeats", "1", "--rows", str(rows)], check=True,
                            capture_output=True, text=True).stdout
    result = {}
    for line in output.splitlines():
        fields = line.split()
        if fields and fields[0] in PATHS:
            # 1thr cpu, 1thr wall, 2thr wall, 2thr cpu
            result[fields[0]] = [float(v) for v in fields[1:5]]
    return result


def memory(binary: pathlib.Path, path: str, rows: int) -> float:
    output = subprocess.run([str(binary), "--fit-memory", "--paths", path, "--rows", str(rows)],
                            check=True, capture_output=True, text=True).stdout
    return float(output.split(":")[-1].split()[0])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--before-commit", default="966f7d2")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rows", type=int, default=1_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-growing-") as scratch:
        scratch_dir = pathlib.Path(scratch)
        binaries = {
            "before": build(export_commit(args.before_commit, scratch_dir), scratch_dir / "before"),
            "after": build(ROOT, scratch_dir / "after"),
        }
        best: dict[str, dict[str, list[float]]] = {label: {} for label in binaries}
        loads = []
        for _ in range(args.rounds):
            for label, binary in binaries.items():
                loads.append(os.getloadavg()[0])
                for path, figures in timings(binary, args.rows).items():
                    kept = best[label].setdefault(path, figures)
                    best[label][path] = [min(a, b) for a, b in zip(kept, figures)]
        fit_memory = {label: {path: memory(binary, path, args.rows) for path in PATHS}
                      for label, binary in binaries.items()}

    print(f"{args.rows:,} x 20, 20 trees, depth 6, max_features 10; best of {args.rounds} "
          f"alternating rounds; before = {args.before_commit}")
    print(f"load average during the runs: {min(loads):.2f} to {max(loads):.2f} on "
          f"{os.cpu_count()} cores")
    print(f"{'path':<10} {'':>6} {'1thr cpu s':>10} {'x counted':>9} {'2thr speed-up':>13} "
          f"{'2thr cpu s':>10} {'memory B/row':>12}")
    for path in PATHS:
        for label in binaries:
            cpu, wall, wall2, cpu2 = best[label][path]
            relative = cpu / best[label]["counted"][0]
            print(f"{path:<10} {label:>6} {cpu:>10.3f} {relative:>8.2f}x {wall / wall2:>12.2f}x "
                  f"{cpu2:>10.3f} {fit_memory[label][path]:>12.1f}")
        gain = best["before"][path][0] / best["after"][path][0]
        print(f"{'':<10} {'':>6} one thread {gain:.2f}x faster than before")
    print_verdicts(best["after"], fit_memory["after"], max(loads))


def print_verdicts(after: dict[str, list[float]], fit_memory: dict[str, float],
                   load: float) -> None:
    """One line per target for this checkout: met or MISSED, with the figure."""
    def verdict(met: bool) -> str:
        return "met   " if met else "MISSED"

    counted_cpu = after["counted"][0]
    print("targets (this checkout):")
    for path in ("weighted", "regression"):
        relative = after[path][0] / counted_cpu
        print(f"  {verdict(relative <= 1.5)} {path} one thread {relative:.2f}x counted (<= 1.5x)")
    for path in PATHS:
        cpu, wall, wall2, _ = after[path]
        speed_up = wall / wall2
        print(f"  {verdict(speed_up >= 1.8)} {path} 2 threads {speed_up:.2f}x one (>= 1.8x)")
    for path in PATHS:
        memory = fit_memory[path]
        print(f"  {verdict(memory <= 64)} {path} fit memory {memory:.1f} B/row (<= 64)")
    if load > 0.5:
        print(f"  (load average up to {load:.2f}: 2-thread speed-ups need two idle cores)")


if __name__ == "__main__":
    main()
