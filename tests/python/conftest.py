import json
import random
import struct

import pytest

HEADERS = ["x1", "x2", "t", "y"]


def f32(value: float) -> float:
    """The 32-bit float nearest to `value`, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def f32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


def make_rows(n_rows: int, seed: int = 1) -> list[list[float]]:
    """x1 numeric, x2 categorical (0-2), t treatment group (0/1), y binary outcome."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n_rows):
        x1, x2, t = rng.random(), float(rng.randrange(3)), float(rng.randrange(2))
        lift = 0.3 if (t == 1.0 and x1 > 0.5) else 0.0
        rows.append([x1, x2, t, float(rng.random() < 0.3 + lift)])
    return rows


def small_conf(**overrides):
    conf = {
        "feature": ["x1", "x2"],
        "cat": ["x2"],
        "treatment": ["t"],
        "y": "y",
        "n_tree": 3,
        "min_samples_leaf": 20,
        "seed": 5,
    }
    conf.update(overrides)
    return conf


def saved_config(model, path) -> dict:
    """The configuration block a model writes first in its file."""
    model.save(str(path))
    with open(path, encoding="utf-8") as file:
        return json.loads(file.readline())


@pytest.fixture
def rows():
    return make_rows(400)


@pytest.fixture
def trained(rows):
    from quorvanta import CausalModel

    model = CausalModel("RandomForestClassifier", small_conf())
    model.fit(HEADERS, rows)
    return model
