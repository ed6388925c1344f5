import numpy as np
import pytest

from conftest import f32, f32_bits, saved_config
from quorvanta import CausalModel

DEFAULTS = {
    "index_cols": [], "feature_cols": [], "cat_cols": [], "treatment_cols": [],
    "y_col": "", "weight_col": "", "n_bin": 30, "min_samples_leaf": 100,
    "min_samples_treatment": 10, "n_reg": 10, "alpha": 0.9, "normalization": True,
    "max_features": 10, "max_depth": 6, "n_tree": 100, "subsample": 1.0, "n_thread": 1,
    "seed": None,
}


def config_of(conf, tmp_path):
    return saved_config(CausalModel("RandomForestRegressor", conf), tmp_path / "model.txt")


def test_empty_dict_gives_every_default(tmp_path):
    config = config_of({}, tmp_path)
    assert config == DEFAULTS
    assert list(config) == list(DEFAULTS)  # declared field order
    assert f32_bits(config["alpha"]) == 0x3F666666


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Name(str):
    pass


@pytest.mark.parametrize("key, value, field, expected", [
    ("feature", "x1", "feature_cols", []),
    ("feature", ["x1", 2], "feature_cols", []),
    ("feature", {"x1"}, "feature_cols", []),
    ("feature", ("x1", Name("x2")), "feature_cols", ["x1", "x2"]),
    ("feature_cols", ["x1"], "feature_cols", []),
    ("index", ["id"], "index_cols", ["id"]),
    ("y", 5, "y_col", ""),
    ("weight", Name("w"), "weight_col", "w"),
    ("n_tree", 50.0, "n_tree", 100),
    ("n_tree", True, "n_tree", 1),
    ("n_tree", -3, "n_tree", 100),
    ("n_tree", 2**64, "n_tree", 100),
    ("n_tree", "5", "n_tree", 100),
    ("n_tree", Index(7), "n_tree", 7),
    ("n_tree", np.uint8(9), "n_tree", 9),
    ("max_depth", 2**64 - 1, "max_depth", 2**64 - 1),
    ("seed", 0, "seed", 0),
    ("seed", -1, "seed", None),
    ("seed", 2**64 - 1, "seed", None),
    ("seed", 2**64 - 2, "seed", 2**64 - 2),
    ("normalization", 0, "normalization", True),
    ("normalization", False, "normalization", False),
    ("normalization", np.False_, "normalization", False),
    ("alpha", 1, "alpha", 1.0),
    ("alpha", "0.5", "alpha", f32(0.9)),
    ("alpha", Index(2), "alpha", 2.0),
    ("subsample", 0.1, "subsample", f32(0.1)),
])
def test_values_convert_or_silently_default(tmp_path, key, value, field, expected):
    config = config_of({key: value}, tmp_path)
    actual = config[field]
    if isinstance(expected, float):
        assert f32_bits(actual) == f32_bits(expected)
    else:
        assert actual == expected
    assert {k: v for k, v in config.items() if k != field} == {
        k: v for k, v in DEFAULTS.items() if k != field}


def test_only_the_dicts_own_lookup_is_used(tmp_path):
    class Conf(dict):
        def __getitem__(self, key):
            return 7

        def __missing__(self, key):
            return 7

    config = config_of(Conf(n_tree=3), tmp_path)
    assert config["n_tree"] == 3
    assert config["max_depth"] == 6


def test_failed_lookup_defaults_only_its_field(tmp_path):
    class Collides:
        armed = False

        def __hash__(self):
            return hash("n_tree")

        def __eq__(self, other):
            if Collides.armed:
                raise RuntimeError("compare")
            return False

    # The colliding key sits first on the probe path of "n_tree", so that lookup raises.
    conf = {Collides(): 1, "n_tree": 5, "max_depth": 3}
    Collides.armed = True
    config = config_of(conf, tmp_path)
    assert config["n_tree"] == 100
    assert config["max_depth"] == 3


def test_conversion_that_empties_the_dict_is_safe(tmp_path):
    conf = {}

    class Clearing:
        def __index__(self):
            conf.clear()
            return 4

    conf.update(n_tree=Clearing(), n_thread=3)
    config = config_of(conf, tmp_path)
    assert (config["n_tree"], config["n_thread"]) == (4, 1)
