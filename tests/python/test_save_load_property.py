"""Property: a saved model loads back exactly. Over random tables of both kinds, `save` then `load`
gives bit-identical predictions (NaN matching NaN) and saving the loaded model gives the same text.

The tables mix the awkward values a float column can hold (+-inf, NaN, -0.0, subnormals, the
largest floats), missing cells, numeric and categorical features (some with more than 254
categories), weights and 2 to 4 treatment groups; models use 1 to 4 threads and some are fitted
twice. QUORVANTA_PROPERTY_CASES sets the number of cases (default 300)."""

import math
import os
import random
import struct

from quorvanta import CausalModel

N_CASES = int(os.environ.get("QUORVANTA_PROPERTY_CASES", "300"))
KINDS = ("RandomForestClassifier", "RandomForestRegressor")
MAX_F32 = 3.4028234663852886e38
SPECIAL = [math.inf, -math.inf, -0.0, 0.0, 1e-45, -1e-45, 1.1754942e-38, MAX_F32, -MAX_F32]


def numeric_cell(rng, allow_nan):
    pick = rng.random()
    if pick < 0.08:
        return None
    if pick < 0.2:
        return rng.choice(SPECIAL)
    if allow_nan and pick < 0.25:
        return math.nan
    return rng.choice([round(rng.gauss(0, 3), rng.randrange(4)), rng.uniform(-1e6, 1e6)])


def categorical_cell(rng, n_categories, allow_unseen):
    pick = rng.random()
    if pick < 0.05:
        return None
    if pick < 0.12:
        return rng.choice([math.inf, -math.inf, math.nan, -0.0, 1e-45])
    if allow_unseen and pick < 0.2:
        return float(n_categories + rng.randrange(5))
    return float(rng.randrange(n_categories))


def make_case(seed):
    rng = random.Random(seed)
    kind = KINDS[seed % 2]
    n_numeric = rng.randrange(0, 4)
    n_categorical = rng.randrange(0 if n_numeric else 1, 3)
    categories = [rng.choice([2, 5, 40, 300]) for _ in range(n_categorical)]
    n_groups = rng.randrange(2, 5)
    features = [f"x{i}" for i in range(n_numeric)] + [f"c{i}" for i in range(n_categorical)]
    headers = features + ["t", "y", "w"]
    conf = {
        "feature": features,
        "cat": features[n_numeric:],
        "treatment": ["t"],
        "y": "y",
        "weight": "w",
        "n_tree": rng.randrange(1, 5),
        "n_bin": rng.choice([1, 2, 7, 30, 254]),
        "min_samples_leaf": rng.choice([1, 5, 20]),
        "min_samples_treatment": rng.choice([0, 1, 5]),
        "max_depth": rng.randrange(1, 7),
        "max_features": rng.randrange(1, 5),
        "n_thread": rng.randrange(1, 5),
        "subsample": rng.choice([1.0, 0.5, 0.9]),
        "seed": seed,
    }

    def table(n_rows, for_fit):
        rows = []
        for _ in range(n_rows):
            row = [numeric_cell(rng, allow_nan=not for_fit) for _ in range(n_numeric)]
            row += [categorical_cell(rng, n, allow_unseen=not for_fit) for n in categories]
            group = rng.randrange(n_groups)
            if kind == "RandomForestClassifier":
                y = float(rng.random() < 0.3 + 0.1 * group)
            else:
                y = rng.choice([rng.gauss(group, 1), rng.choice(SPECIAL[2:7])])
            rows.append(row + [float(group), y, rng.choice([1.0, 0.5, 2.0, 1e-45])])
        return rows

    fits = [table(rng.randrange(20, 400), True) for _ in range(1 + (seed % 5 == 0))]
    return kind, conf, headers, fits, table(rng.randrange(0, 60), False)


def bits(value):
    return "nan" if math.isnan(value) else struct.pack("<d", value)


def test_save_then_load_predicts_bit_identically(tmp_path):
    fitted = 0
    for seed in range(N_CASES):
        kind, conf, headers, fits, predict_rows = make_case(seed)
        model = CausalModel(kind, conf)
        try:
            for rows in fits:
                model.fit(headers, rows)
        except BaseException as error:
            # Growing may refuse a table (an infinity next to missing cells in a numeric column,
            # a node without a treatment group); that is not what this property is about.
            assert type(error).__name__ == "FaultException", (seed, error)
            continue
        fitted += 1
        first, second = tmp_path / f"{seed}.txt", tmp_path / f"{seed}.again.txt"
        model.save(str(first))
        loaded = model.load(kind, str(first))
        loaded.save(str(second))
        assert first.read_bytes() == second.read_bytes(), f"case {seed}: text changed on reload"
        for rows in (predict_rows, fits[-1]):
            try:
                expected = model.predict(headers, rows)
            except BaseException as error:
                assert type(error).__name__ == "FaultException", (seed, error)
                again = None
                try:
                    loaded.predict(headers, rows)
                except BaseException as reloaded_error:
                    again = reloaded_error
                assert again is not None and again.args == error.args, f"case {seed}"
                continue
            got = loaded.predict(headers, rows)
            assert [[bits(v) for v in row] for row in got] == [
                [bits(v) for v in row] for row in expected
            ], f"case {seed}: predictions differ after reload"
        first.unlink()
        second.unlink()
    # Most cases must really exercise the round trip.
    assert fitted >= N_CASES * 0.6, fitted
