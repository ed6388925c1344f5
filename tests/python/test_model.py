import os

import pytest

from conftest import HEADERS, f32, small_conf
from quorvanta import CausalModel

ERR_PREFIX = "called `Result::unwrap()` on an `Err` value: "


def test_fit_predict_results(rows):
    model = CausalModel("RandomForestClassifier", small_conf())
    assert model.fit(HEADERS, rows) is None
    effects = model.predict(HEADERS, rows[:7])
    assert type(effects) is list and len(effects) == 7
    for row in effects:
        assert type(row) is list and len(row) == 1  # one treatment group besides control
        assert type(row[0]) is float and f32(row[0]) == row[0]


def test_load_returns_a_new_model(trained, rows, tmp_path):
    path = str(tmp_path / "model.txt")
    assert trained.save(path) is None
    before = trained.predict(HEADERS, rows)
    loaded = trained.load("RandomForestClassifier", path)
    assert type(loaded) is CausalModel and loaded is not trained
    assert loaded.predict(HEADERS, rows) == before
    assert trained.predict(HEADERS, rows) == before
    fresh = CausalModel("RandomForestRegressor", {}).load("RandomForestClassifier", path)
    assert fresh.predict(HEADERS, rows) == before


def test_load_checks_the_name_before_the_file(tmp_path):
    model = CausalModel("RandomForestRegressor", {})
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(BaseException) as error:
        model.load("RandomForestregressor", missing)
    assert error.value.args == ("model name RandomForestregressor not found",)
    with pytest.raises(BaseException) as error:
        model.load("RandomForestRegressor", missing)
    assert error.value.args[0].startswith(ERR_PREFIX)


def test_save_failures_are_faults(tmp_path):
    model = CausalModel("RandomForestRegressor", {})
    with pytest.raises(BaseException) as error:
        model.save(str(tmp_path))
    assert error.value.args[0].startswith(ERR_PREFIX)
    # A NUL byte must not cut the path short and write somewhere else.
    with pytest.raises(BaseException) as error:
        model.save(str(tmp_path / "cut") + "\0.txt")
    assert error.value.args[0].startswith(ERR_PREFIX)
    assert not os.path.exists(tmp_path / "cut")
