"""A saved model reloads exactly: every value it holds comes back, and hand-edited files are read
by the same rules as written ones."""

import math
import random

import pytest

from conftest import small_conf
from quorvanta import CausalModel

INF = math.inf


def fault_of(call) -> BaseException:
    with pytest.raises(BaseException) as error:
        call()
    return error.value


def same_predictions(a, b) -> bool:
    """Equal row by row and value by value, NaN matching NaN."""
    return len(a) == len(b) and all(
        len(x) == len(y) and all(u == v or (math.isnan(u) and math.isnan(v)) for u, v in zip(x, y))
        for x, y in zip(a, b)
    )


def reload(model, path, kind="RandomForestClassifier"):
    model.save(str(path))
    return model.load(kind, str(path))


def infinite_table(n_rows=300, seed=3):
    """c holds the categories inf, -inf, 1 and 2; x is numeric with -inf as its smallest value."""
    rng = random.Random(seed)
    rows = []
    for i in range(n_rows):
        c = [INF, -INF, 1.0, 2.0][i % 4]
        x = -INF if i % 7 == 0 else rng.random()
        t = float(rng.randrange(2))
        lift = 0.4 if t == 1.0 and c in (INF, 2.0) else 0.0
        rows.append([x, c, t, float(rng.random() < 0.2 + lift)])
    return ["x", "c", "t", "y"], rows


class TestInfinities:
    def test_categories_and_thresholds_keep_their_infinities(self, tmp_path):
        headers, rows = infinite_table()
        conf = small_conf(feature=["x", "c"], cat=["c"], n_tree=5, min_samples_leaf=10)
        model = CausalModel("RandomForestClassifier", conf)
        model.fit(headers, rows)
        text = (tmp_path / "m.txt")
        again = reload(model, text)
        assert "[null" not in text.read_text() and ",null" not in text.read_text().split("\n\n")[1]
        assert same_predictions(again.predict(headers, rows), model.predict(headers, rows))
        path2 = tmp_path / "again.txt"
        again.save(str(path2))
        assert path2.read_text() == text.read_text()

    def test_infinite_settings_survive(self, tmp_path):
        model = CausalModel("RandomForestRegressor", {"alpha": INF, "subsample": -INF, "n_tree": 0})
        path = tmp_path / "m.txt"
        model.save(str(path))
        config = path.read_text().split("\n\n")[0]
        assert '"alpha":1e39' in config and '"subsample":-1e39' in config
        again = reload(model, path, "RandomForestRegressor")
        again.save(str(tmp_path / "again.txt"))
        assert (tmp_path / "again.txt").read_text() == path.read_text()


def one_tree_file(threshold_json):
    """A hand-written regression model: one numeric feature x with the given thresholds and a tree
    whose root splits at bin 1 (bins 0 and 1 go left)."""
    config = (
        '{"index_cols":[],"feature_cols":["x"],"cat_cols":[],"treatment_cols":["t"],'
        '"y_col":"y","weight_col":"","n_bin":30,"min_samples_leaf":1,'
        '"min_samples_treatment":1,"n_reg":10,"alpha":0.9,"normalization":true,'
        '"max_features":10,"max_depth":6,"n_tree":1,"subsample":1.0,"n_thread":1,"seed":1}'
    )

    def split(node, value, summary):
        return (
            f'{{"node_id":{node},"feature_id":0,"treatment_id":0,"iscat":false,'
            f'"value":{value},"gain":0.0,"gain_importance":0.0,"summary":{summary}}}'
        )

    tree = (
        '{"level":[0,1,1],"left_children":[1,null,null],"right_children":[2,null,null],'
        f'"split":[{split(0, "[1]", "[[0.0],[0.0]]")},'
        f'{split(1, "null", "[[0.0],[1.0]]")},{split(2, "null", "[[0.0],[2.0]]")}]}}'
    )
    return f"{config}\n\nContinuous\nx\n{threshold_json}\n\n{config}\n{tree}\n\n"


class TestStoredThresholds:
    @pytest.mark.parametrize(
        "thresholds, expected_bins",
        [
            # bin of x = how many thresholds t have x >= t, whatever their order
            ("[1.0,2.0,3.0]", {0.5: 0, 1.0: 1, 2.0: 2, 3.5: 3}),
            ("[2.0,1.0,3.0]", {0.5: 0, 1.0: 1, 2.0: 2, 3.5: 3}),
            ("[3.0,2.0,1.0]", {0.5: 0, 1.0: 1, 2.0: 2, 3.5: 3}),
            ("[1.0,null,3.0]", {0.5: 0, 1.0: 1, 2.0: 1, 3.5: 2}),
        ],
    )
    def test_bin_is_the_count_of_thresholds_at_or_below(self, tmp_path, thresholds, expected_bins):
        path = tmp_path / "m.txt"
        path.write_text(one_tree_file(f'{{"n_bin":4,"threshold":{thresholds}}}'))
        model = CausalModel("RandomForestRegressor", {}).load("RandomForestRegressor", str(path))
        values = list(expected_bins)
        effects = model.predict(["x", "t"], [[v, 0.0] for v in values])
        # bins 0 and 1 reach the left leaf (effect 1), the others the right leaf (effect 2)
        assert [e[0] for e in effects] == [1.0 if expected_bins[v] <= 1 else 2.0 for v in values]


class TestBlockLines:
    def test_bin_block_with_a_final_line_feed_is_a_parse_failure(self, tmp_path):
        path = tmp_path / "m.txt"
        text = one_tree_file('{"n_bin":1,"threshold":[]}').split("\n\n")[0]
        path.write_text(text + "\n\nContinuous\nx\n")
        fault = fault_of(lambda: CausalModel("RandomForestRegressor", {}).load("RandomForestRegressor", str(path)))
        assert fault.args[0].startswith("called `Result::unwrap()` on an `Err` value: ")

    def test_empty_tree_block_is_a_parse_failure(self, tmp_path):
        path = tmp_path / "m.txt"
        text = one_tree_file('{"n_bin":1,"threshold":[]}')
        head = "\n\n".join(text.split("\n\n")[:2])
        path.write_text(head + "\n\n")
        fault = fault_of(lambda: CausalModel("RandomForestRegressor", {}).load("RandomForestRegressor", str(path)))
        assert fault.args[0].startswith("called `Result::unwrap()` on an `Err` value: ")


class TestFeatureNames:
    def test_repeated_feature_saves_a_file_that_loads(self, rows, tmp_path):
        headers = ["a", "b", "t", "y"]
        model = CausalModel("RandomForestClassifier", small_conf(feature=["a", "a", "b"], cat=["b"]))
        model.fit(headers, rows)
        path = tmp_path / "m.txt"
        again = reload(model, path)
        assert same_predictions(again.predict(headers, rows), model.predict(headers, rows))
        blocks = path.read_text().split("\n\n")
        assert sum(block.startswith(("Continuous\n", "Discrete\n")) for block in blocks) == 3
        again.save(str(tmp_path / "again.txt"))
        assert (tmp_path / "again.txt").read_text() == path.read_text()

    @pytest.mark.parametrize("name, quoted", [("", '""'), ("a\nb", '"a\\nb"')])
    def test_unsavable_name_fails_before_the_file_is_touched(self, rows, tmp_path, name, quoted):
        headers = [name, "x2", "t", "y"]
        model = CausalModel("RandomForestClassifier", small_conf(feature=[name, "x2"], cat=["x2"]))
        model.fit(headers, rows)
        path = tmp_path / "m.txt"
        path.write_text("kept")
        fault = fault_of(lambda: model.save(str(path)))
        assert type(fault).__name__ == "FaultException"
        assert fault.args == (
            f"feature {quoted} cannot be saved: a model file keeps each feature name on a line of "
            "its own, so a name must not be empty or hold a line feed",
        )
        assert path.read_text() == "kept"
