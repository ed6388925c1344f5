"""The private copy the cluster layer grows batches of trees from: same kind, configuration and
bins, a new tree count and seed, no trees."""
import pytest

from conftest import HEADERS, make_rows, saved_config, small_conf
from quorvanta import CausalModel


def blocks(model, path):
    model.save(str(path))
    return path.read_text(encoding="utf-8").split("\n\n")


def test_copy_keeps_configuration_and_bins_with_new_count_and_seed(trained, tmp_path):
    copy = trained._untrained_copy(7, 123)
    assert type(copy) is CausalModel and copy is not trained
    config = saved_config(copy, tmp_path / "copy.txt")
    expected = saved_config(trained, tmp_path / "trained.txt")
    expected.update(n_tree=7, seed=123)
    assert config == expected

    original = blocks(trained, tmp_path / "trained.txt")
    copied = blocks(copy, tmp_path / "copy.txt")
    n_features = len(small_conf()["feature"])
    assert copied[1 : 1 + n_features] == original[1 : 1 + n_features]
    assert copied[1 + n_features :] == [""], "no trees"

    unseeded = trained._untrained_copy(n_tree=0, seed=None)
    assert saved_config(unseeded, tmp_path / "unseeded.txt")["seed"] is None


def test_copy_grows_as_a_fresh_model_with_that_count_and_seed(trained, rows, tmp_path):
    before, after = tmp_path / "before.txt", tmp_path / "after.txt"
    trained.save(str(before))
    # New rows would make new bins in a fresh model; the copy must keep the fitted ones.
    copy = trained._untrained_copy(4, 99)
    copy.fit(HEADERS, rows)
    fresh = CausalModel("RandomForestClassifier", small_conf(n_tree=4, seed=99))
    fresh.fit(HEADERS, rows)
    assert blocks(copy, tmp_path / "copy.txt") == blocks(fresh, tmp_path / "fresh.txt")

    other_rows = make_rows(300, seed=8)
    kept = trained._untrained_copy(1, 1)
    kept.fit(HEADERS, other_rows)
    n_features = len(small_conf()["feature"])
    assert blocks(kept, tmp_path / "kept.txt")[1 : 1 + n_features] == blocks(
        trained, tmp_path / "trained.txt"
    )[1 : 1 + n_features]

    trained.save(str(after))
    assert before.read_text() == after.read_text(), "the original is unchanged"


def test_copy_of_a_regressor_stays_a_regressor(tmp_path):
    rows = [[x / 10, 0.0, float(x % 2), x / 5] for x in range(300)]
    model = CausalModel("RandomForestRegressor", small_conf(n_tree=1))
    model.fit(HEADERS, rows)
    copy = model._untrained_copy(2, 3)
    copy.fit(HEADERS, rows)
    fresh = CausalModel("RandomForestRegressor", small_conf(n_tree=2, seed=3))
    fresh.fit(HEADERS, rows)
    assert blocks(copy, tmp_path / "copy.txt") == blocks(fresh, tmp_path / "fresh.txt")


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ((-1, None), OverflowError, None),
        ((2**64, None), OverflowError, None),
        ((1.0, None), TypeError, "argument 'n_tree': "),
        ((1, "5"), TypeError, "argument 'seed': "),
        ((1, -5), OverflowError, None),
    ],
)
def test_copy_refuses_counts_and_seeds_that_are_not_unsigned_integers(arguments, error, message):
    model = CausalModel("RandomForestClassifier", small_conf())
    with pytest.raises(error) as raised:
        model._untrained_copy(*arguments)
    if message is not None:
        assert str(raised.value).startswith(message)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'seed'"):
        model._untrained_copy(1)
