"""Fits both model kinds with fixed seeds on one thread over several synthetic tables and
configurations, and records the SHA-256 of every saved model file. Growing must stay bit-identical
across optimisations of the training code, so the digests of a trusted build are kept in
bench/model_digests.txt and later builds are checked against them.

    .venv/bin/python bench/compare_models.py            # write bench/model_digests.txt
    .venv/bin/python bench/compare_models.py --check    # compare with it; exit 1 on a difference

To record the digests of another build, put its module first on the path (PYTHONPATH).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import sys
import tempfile
import time

import quorvanta

DIGEST_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "model_digests.txt")

N_NUMERIC = 8
N_CATEGORICAL = 3
NUMERIC = [f"x{i}" for i in range(N_NUMERIC)]
CATEGORICAL = [f"c{i}" for i in range(N_CATEGORICAL)]
HEADERS = NUMERIC + CATEGORICAL + ["t", "y", "w"]


def make_table(n_rows: int, seed: int, kind: str, n_groups: int, missing: float):
    """Numeric features with ties and missing cells, categorical features of a few levels,
    treatment groups 0..n_groups-1, non-unit weights and an outcome with a treatment effect."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n_rows):
        numeric = []
        for i in range(N_NUMERIC):
            if rng.random() < missing:
                numeric.append(None)
            elif i % 3 == 2:
                numeric.append(float(rng.randrange(6)))  # few distinct values: many ties
            else:
                numeric.append(rng.gauss(0.0, 1.0))
        categorical = []
        for i in range(N_CATEGORICAL):
            if rng.random() < missing:
                categorical.append(None)
            else:
                categorical.append(float(rng.randrange(3 + 4 * i)))
        group = rng.randrange(n_groups)
        signal = numeric[0] if numeric[0] is not None else 0.0
        lift = 0.15 * group * (signal > 0.0) + 0.1 * (categorical[0] == 1.0) * (group == 1)
        if kind == "classification":
            y = float(rng.random() < 0.25 + lift)
        else:
            y = rng.gauss(2.0 * lift + 0.3 * signal, 1.0)
        weight = rng.choice([0.5, 1.0, 1.0, 1.7, 2.25, 3.1])
        rows.append(numeric + categorical + [float(group), y, weight])
    return rows


def base_conf(weighted: bool):
    conf = {
        "feature": NUMERIC + CATEGORICAL,
        "cat": CATEGORICAL,
        "treatment": ["t"],
        "y": "y",
        "n_tree": 4,
        "n_thread": 1,
        "seed": 11,
        "max_features": 6,
        "min_samples_leaf": 20,
        "min_samples_treatment": 5,
    }
    if weighted:
        conf["weight"] = "w"
    return conf


CONFIGS = {
    "default": {},
    "normalization_off": {"normalization": False},
    "n_reg_0": {"n_reg": 0},
    "deep_small_leaves": {"max_depth": 10, "min_samples_leaf": 2, "min_samples_treatment": 1},
    "all_features_few_bins": {"max_features": 20, "n_bin": 7, "alpha": 0.3},
    "no_treatment_minimum": {"min_samples_treatment": 0, "min_samples_leaf": 0, "max_depth": 8},
    "subsample_half": {"subsample": 0.5, "n_reg": 3, "seed": 123},
    "two_features_per_node": {"max_features": 2, "max_depth": 8, "min_samples_leaf": 5},
    "root_only": {"max_depth": 0, "max_features": 11},
}

TABLES = {
    # name: (rows, seed, treatment groups, share of missing cells, weighted)
    "g3_missing_weighted": (4000, 1, 3, 0.1, True),
    "g2_unweighted": (3000, 2, 2, 0.0, False),
    "g3_sparse_large": (20000, 3, 3, 0.3, True),
    "g4_dense_large": (60000, 4, 4, 0.02, True),
}


def digests():
    results = []
    with tempfile.TemporaryDirectory() as folder:
        for table_name, (n_rows, seed, n_groups, missing, weighted) in TABLES.items():
            for kind, model_name in (
                ("classification", "RandomForestClassifier"),
                ("regression", "RandomForestRegressor"),
            ):
                rows = make_table(n_rows, seed, kind, n_groups, missing)
                for config_name, overrides in CONFIGS.items():
                    conf = base_conf(weighted)
                    conf.update(overrides)
                    model = quorvanta.CausalModel(model_name, conf)
                    model.fit(HEADERS, rows)
                    path = os.path.join(folder, "model.txt")
                    model.save(path)
                    with open(path, "rb") as model_file:
                        digest = hashlib.sha256(model_file.read()).hexdigest()
                    results.append((f"{table_name}/{kind}/{config_name}", digest))
    return results


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", action="store_true", help="compare with the recorded digests")
    parser.add_argument("--output", default=DIGEST_FILE)
    args = parser.parse_args()
    started = time.perf_counter()
    results = digests()
    elapsed = time.perf_counter() - started
    lines = [f"{name} {digest}" for name, digest in results]
    if not args.check:
        with open(args.output, "w") as out:
            out.write("\n".join(lines) + "\n")
        print(f"wrote {len(lines)} digests to {args.output} ({elapsed:.1f} s)")
        return 0
    with open(args.output) as recorded_file:
        recorded = dict(line.split() for line in recorded_file if line.strip())
    differing = [name for name, digest in results if recorded.get(name) != digest]
    missing = sorted(set(recorded) - {name for name, _ in results})
    for name in differing:
        print(f"DIFFERS {name}")
    for name in missing:
        print(f"NOT RUN {name}")
    same = len(results) - len(differing)
    print(f"{same} identical, {len(differing)} differing, {len(missing)} not run ({elapsed:.1f} s)")
    return 1 if differing or missing else 0


if __name__ == "__main__":
    sys.exit(main())
