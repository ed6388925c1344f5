import math

import pytest

from conftest import HEADERS, make_rows, small_conf
from quorvanta import CausalModel

ERR_PREFIX = "called `Result::unwrap()` on an `Err` value: "


def bin_blocks(model, path):
    """The bin blocks of the model file, by feature name."""
    model.save(str(path))
    blocks = path.read_text(encoding="utf-8").split("\n\n")
    return {block.split("\n")[1]: block for block in blocks if block.startswith(("Continuous", "Discrete"))}


def fault_of(action):
    with pytest.raises(BaseException) as error:
        action()
    return error.value.args[0]


def test_bins_are_built_once_and_kept(tmp_path):
    model = CausalModel("RandomForestClassifier", small_conf())
    # A predict before any fit fails for want of trees, but the bins it built stay.
    assert fault_of(lambda: model.predict(HEADERS, make_rows(300, seed=2))) == (
        "called `Option::unwrap()` on a `None` value"
    )
    built = bin_blocks(model, tmp_path / "a.txt")
    assert set(built) == {"x1", "x2"}
    shifted = [[x1 * 10, x2 + 5, t, y] for x1, x2, t, y in make_rows(300, seed=3)]
    model.fit(HEADERS, shifted)
    assert bin_blocks(model, tmp_path / "b.txt") == built


@pytest.mark.parametrize("kind", ["RandomForestClassifier", "RandomForestRegressor"])
def test_second_fit_adds_trees_and_survives_save_and_load(kind, tmp_path):
    rows = make_rows(500)
    model = CausalModel(kind, small_conf(n_tree=2))
    model.fit(HEADERS, rows)
    once = model.predict(HEADERS, rows)
    model.fit(HEADERS, make_rows(500, seed=9))
    twice = model.predict(HEADERS, rows)
    assert twice != once
    path = str(tmp_path / "model.txt")
    model.save(path)
    reloaded = CausalModel(kind, {}).load(kind, path).predict(HEADERS, rows)
    same = [
        (math.isnan(a) and math.isnan(b)) or a == b
        for row_a, row_b in zip(reloaded, twice)
        for a, b in zip(row_a, row_b)
    ]
    assert all(same)


def test_prediction_threads_agree_up_to_rounding(rows, tmp_path):
    model = CausalModel("RandomForestClassifier", small_conf(n_tree=7))
    model.fit(HEADERS, rows)
    path = tmp_path / "model.txt"
    model.save(str(path))
    # The same trees, predicted by three workers: group sums differ only in rounding.
    config, rest = path.read_text(encoding="utf-8").split("\n", 1)
    path.write_text(config.replace('"n_thread":1', '"n_thread":3') + "\n" + rest, encoding="utf-8")
    threaded = model.load("RandomForestClassifier", str(path))
    for serial, parallel in zip(model.predict(HEADERS, rows), threaded.predict(HEADERS, rows)):
        assert parallel == pytest.approx(serial, abs=1e-6)


def test_training_failures(rows):
    no_threads = CausalModel("RandomForestClassifier", small_conf(n_thread=0))
    assert fault_of(lambda: no_threads.fit(HEADERS, rows)) == "attempt to divide by zero"
    outcome_two = [[x1, x2, t, 2.0] for x1, x2, t, _ in rows]
    threaded = CausalModel("RandomForestClassifier", small_conf(n_thread=2))
    assert fault_of(lambda: threaded.fit(HEADERS, outcome_two)) == (
        ERR_PREFIX + "index out of bounds: the len is 2 but the index is 2"
    )
    too_many = CausalModel("RandomForestRegressor", small_conf(subsample=1.5))
    assert fault_of(lambda: too_many.fit(HEADERS, rows)) == "assertion failed: n >= k"
    control_only = [[x1, x2, 0.0, y] for x1, x2, _, y in rows]
    regression = CausalModel("RandomForestRegressor", small_conf())
    assert fault_of(lambda: regression.fit(HEADERS, control_only)).startswith("index out of bounds")
