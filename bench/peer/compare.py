"""Compares quorvanta's uplift forests with the two-model approach (a "T-learner") built from
scikit-learn's random forests: one forest fitted on the control rows and one on each treatment
group's rows, the predicted effect being the difference of their predictions.

Both learn from the same synthetic data with a known effect (control plus two treatments, 20
features: informative, uplift-informative and noise), once on a small set and once on a larger
one, with matched settings and 1 and 2 threads. Each measurement runs in a fresh subprocess that
imports only its own library, so the peak memory is that library's. Prints fit and
predict time, peak memory, the Qini coefficient of each treatment and the error against the true
effect on the same held-out rows, then the ratios peer / ours: above 1, quorvanta is faster,
smaller or closer to the true effect, but for Qini (higher is better) it ranks worse. A predicted
effect that is not a number (a regression leaf without rows of some group) is scored as 0 and
the rows holding one are counted.

    bash bench/peer/run.sh [--rows 200000] [--small-rows 10000] [--trees 50] [--threads 1,2]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

# The peer's environment runs the metrics from the source tree (numpy and scikit-learn suffice).
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "src"))
from quorvanta_sklearn.metrics import qini_auc_score  # noqa: E402

N_FEATURES = 20
FEATURES = [f"x{i}" for i in range(N_FEATURES)]
HEADERS = FEATURES + ["treatment", "y"]
TREATMENT_COLUMN = N_FEATURES
OUTCOME_COLUMN = N_FEATURES + 1
N_GROUPS = 3  # control and two treatments
KINDS = {"classification": "RandomForestClassifier", "regression": "RandomForestRegressor"}
LIBRARIES = ("quorvanta", "sklearn-T")
SEED = 11


def make_data(n: int, continuous: bool, rng: np.random.Generator):
    """A float32 table of features, treatment group and outcome, and each row's true effect of
    treatments 1 and 2. x0-x5 drive the outcome, x6-x9 the effect of treatment 1, x10-x13 that of
    treatment 2, x14-x19 are noise."""
    x = rng.normal(size=(n, N_FEATURES)).astype(np.float32)
    treatment = rng.integers(0, N_GROUPS, size=n)
    logit = -1.0 + 0.5 * x[:, 0] - 0.4 * x[:, 1] + 0.3 * x[:, 2] * x[:, 3] + 0.3 * np.tanh(x[:, 4])
    base = 1.0 / (1.0 + np.exp(-logit)) + 0.05 * (x[:, 5] > 1.0)
    tau1 = 0.10 * (x[:, 6] > 0.0) + 0.05 * np.tanh(x[:, 7]) - 0.06 * (x[:, 8] > 0.5) * (x[:, 9] > 0.0)
    tau2 = 0.14 * (x[:, 10] > 0.5) * (x[:, 11] > -0.5) - 0.05 * (x[:, 12] > 0.0) + 0.03 * np.tanh(x[:, 13])
    true_effects = np.stack([tau1, tau2], axis=1)
    effect = np.where(treatment == 1, tau1, np.where(treatment == 2, tau2, 0.0))
    if continuous:
        scale = 10.0
        y = scale * (base + effect) + rng.normal(scale=1.0, size=n)
        true_effects = scale * true_effects
    else:
        y = rng.random(n) < np.clip(base + effect, 0.01, 0.99)
    table = np.column_stack([x, treatment, y]).astype(np.float32)
    return table, true_effects


def effect_rmse(effects: np.ndarray, true_effects: np.ndarray) -> float:
    """Root mean squared error of the predicted against the true effects, both treatments."""
    return float(np.sqrt(np.mean((effects - true_effects) ** 2)))


def qini_per_treatment(effects: np.ndarray, test: np.ndarray) -> list[float]:
    """Per treatment against control, the area between the Qini curve and the random line per
    row (so per unit of the fraction of rows targeted), which is defined for both outcomes."""
    treatment = test[:, TREATMENT_COLUMN].astype(np.int64)
    y = test[:, OUTCOME_COLUMN].astype(np.float64)
    scores = []
    for group in range(1, N_GROUPS):
        mask = (treatment == 0) | (treatment == group)
        treated = (treatment[mask] == group).astype(np.float64)
        area = qini_auc_score(y[mask], effects[mask, group - 1], treated, normalize=False)
        scores.append(float(area / mask.sum()))
    return scores


# ---- the measured side: one library, one setting, in its own process -------------------------


def peak_mib() -> float:
    """This process's peak resident memory. Linux carries the parent's ru_maxrss over into a
    spawned child, so the memory map's own high-water mark (VmHWM) is read where there is one."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # KiB on Linux


def fit_quorvanta(kind: str, settings: dict, train: np.ndarray):
    import quorvanta

    conf = {
        "feature": FEATURES,
        "treatment": ["treatment"],
        "y": "y",
        "n_tree": settings["n_tree"],
        "max_depth": settings["max_depth"],
        "max_features": settings["max_features"],
        "min_samples_leaf": settings["min_samples_leaf"],
        "min_samples_treatment": settings["min_samples_treatment"],
        "n_reg": settings["n_reg"],
        "normalization": True,
        "n_thread": settings["n_thread"],
        "seed": SEED,
    }
    model = quorvanta.CausalModel(KINDS[kind], conf)
    model.fit(HEADERS, train)
    return model


def predict_quorvanta(model, test: np.ndarray) -> np.ndarray:
    return np.asarray(model.predict(HEADERS, test), dtype=np.float64)


def fit_sklearn(kind: str, settings: dict, train: np.ndarray):
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    forest_type = RandomForestClassifier if kind == "classification" else RandomForestRegressor
    x = train[:, :N_FEATURES]
    y = train[:, OUTCOME_COLUMN]
    group = train[:, TREATMENT_COLUMN]
    forests = []
    for g in range(N_GROUPS):
        rows = group == g
        forest = forest_type(
            n_estimators=settings["n_tree"],
            max_depth=settings["max_depth"],
            max_features=settings["max_features"],
            min_samples_leaf=settings["min_samples_leaf"],
            n_jobs=settings["n_thread"],
            random_state=SEED + g,
        )
        forests.append(forest.fit(x[rows], y[rows]))
    return forests


def predict_sklearn(forests, test: np.ndarray) -> np.ndarray:
    x = test[:, :N_FEATURES]
    if hasattr(forests[0], "predict_proba"):
        outcome = [f.predict_proba(x)[:, 1] for f in forests]
    else:
        outcome = [f.predict(x) for f in forests]
    return np.stack([outcome[g] - outcome[0] for g in range(1, N_GROUPS)], axis=1)


def worker(library: str, kind: str, data_dir: Path, settings: dict) -> None:
    suffix = "continuous" if kind == "regression" else "binary"
    train = np.load(data_dir / f"train_{suffix}.npy")
    test = np.load(data_dir / f"test_{suffix}.npy")
    fit, predict = {
        "quorvanta": (fit_quorvanta, predict_quorvanta),
        "sklearn-T": (fit_sklearn, predict_sklearn),
    }[library]
    # Warm the import so the fit time is the fit alone.
    if library == "quorvanta":
        import quorvanta  # noqa: F401
    else:
        import sklearn.ensemble  # noqa: F401
    loaded_mib = peak_mib()
    started = time.perf_counter()
    model = fit(kind, settings, train)
    fit_seconds = time.perf_counter() - started
    started = time.perf_counter()
    effects = predict(model, test)
    predict_seconds = time.perf_counter() - started
    np.save(data_dir / "effects.npy", effects)
    print(json.dumps({"fit": fit_seconds, "predict": predict_seconds,
                      "peak_mib": peak_mib(), "loaded_mib": loaded_mib}))


# ---- the driver ---------------------------------------------------------------------------------


def measure(library: str, kind: str, data_dir: Path, settings: dict) -> dict:
    threads = str(settings["n_thread"])
    # Keep every library to its thread budget, whatever pools its dependencies start.
    env = dict(os.environ, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads, MKL_NUM_THREADS=threads)
    command = [sys.executable, __file__, "--worker", library, kind, str(data_dir), json.dumps(settings)]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{library} {kind} failed:\n{done.stderr}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result["effects"] = np.load(data_dir / "effects.npy")
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=200_000, help="training rows of the larger set")
    parser.add_argument("--small-rows", type=int, default=10_000, help="training rows of the small set")
    parser.add_argument("--test-rows", type=int, default=50_000, help="held-out rows, at most")
    parser.add_argument("--trees", type=int, default=50)
    parser.add_argument("--max-depth", type=int, default=6)
    parser.add_argument("--max-features", type=int, default=10)
    parser.add_argument("--min-samples-leaf", type=int, default=100)
    parser.add_argument("--threads", default="1,2")
    args = parser.parse_args()

    rng = np.random.default_rng(2026)
    ratio_lines = []
    print(f"{args.trees} trees, max_depth {args.max_depth}, max_features {args.max_features}, "
          f"min_samples_leaf {args.min_samples_leaf}; sklearn-T grows {N_GROUPS} forests of "
          f"{args.trees} trees, one per group's rows")
    header = (f"{'rows':>9} {'kind':<14} {'thr':>3} {'library':<11} {'fit s':>8} {'predict s':>9} "
              f"{'peak MiB':>8} {'added MiB':>9} {'Qini t1':>8} {'Qini t2':>8} {'RMSE':>7} {'NaN rows':>8}")
    print(header)
    with tempfile.TemporaryDirectory(prefix="qv-peer-") as folder:
        data_dir = Path(folder)
        for n_rows in (args.small_rows, args.rows):
            n_test = min(n_rows, args.test_rows)
            for kind in KINDS:
                continuous = kind == "regression"
                suffix = "continuous" if continuous else "binary"
                train, _ = make_data(n_rows, continuous, rng)
                test, true_effects = make_data(n_test, continuous, rng)
                np.save(data_dir / f"train_{suffix}.npy", train)
                np.save(data_dir / f"test_{suffix}.npy", test)
                oracle = qini_per_treatment(true_effects, test)
                print(f"{n_rows:>9} {kind:<14} {'':>3} {'true effect':<11} {'':>8} {'':>9} {'':>8} "
                      f"{'':>9} {oracle[0]:>8.2f} {oracle[1]:>8.2f} {0.0:>7.4f}")
                for n_thread in (int(t) for t in args.threads.split(",")):
                    settings = {
                        "n_tree": args.trees,
                        "max_depth": args.max_depth,
                        "max_features": args.max_features,
                        "min_samples_leaf": args.min_samples_leaf,
                        "min_samples_treatment": 10,
                        "n_reg": 10,
                        "n_thread": n_thread,
                    }
                    results = {}
                    for library in LIBRARIES:
                        r = measure(library, kind, data_dir, settings)
                        r["nan_rows"] = int(np.isnan(r["effects"]).any(axis=1).sum())
                        r["effects"] = np.nan_to_num(r["effects"], nan=0.0)
                        r["qini"] = qini_per_treatment(r["effects"], test)
                        r["added_mib"] = r["peak_mib"] - r["loaded_mib"]
                        r["rmse"] = effect_rmse(r["effects"], true_effects)
                        results[library] = r
                        print(f"{n_rows:>9} {kind:<14} {n_thread:>3} {library:<11} {r['fit']:>8.3f} "
                              f"{r['predict']:>9.3f} {r['peak_mib']:>8.0f} {r['added_mib']:>9.0f} "
                              f"{r['qini'][0]:>8.2f} {r['qini'][1]:>8.2f} {r['rmse']:>7.4f} {r['nan_rows']:>8}", flush=True)
                    ours, peer = results["quorvanta"], results["sklearn-T"]
                    ratio_lines.append(
                        f"{n_rows:>9} {kind:<14} {n_thread:>3} {peer['fit'] / ours['fit']:>8.2f} "
                        f"{peer['predict'] / ours['predict']:>9.2f} {peer['peak_mib'] / ours['peak_mib']:>8.2f} "
                        f"{peer['added_mib'] / max(ours['added_mib'], 1.0):>9.2f} "
                        f"{peer['qini'][0] / ours['qini'][0]:>8.2f} {peer['qini'][1] / ours['qini'][1]:>8.2f} "
                        f"{peer['rmse'] / ours['rmse']:>7.2f}")
    print("\nratios sklearn-T / quorvanta")
    print(f"{'rows':>9} {'kind':<14} {'thr':>3} {'fit':>8} {'predict':>9} {'peak':>8} {'added':>9} "
          f"{'Qini t1':>8} {'Qini t2':>8} {'RMSE':>7}")
    print("\n".join(ratio_lines))


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], Path(sys.argv[4]), json.loads(sys.argv[5]))
    else:
        main()
