"""quorvanta_sklearn's estimators against raw CausalModel fits of the same tables encoded by hand:
every input kind and conversion must grow the same trees and predict the same bits."""

from __future__ import annotations

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from quorvanta import CausalModel  # noqa: E402
from quorvanta_sklearn import UpliftForestClassifier, UpliftForestRegressor  # noqa: E402
from quorvanta_sklearn._model_io import model_text, text_blocks  # noqa: E402

N = 3000
PARAMS = dict(n_estimators=4, max_depth=4, min_samples_leaf=40, random_state=7)


def make_data(seed: int = 0):
    rng = np.random.default_rng(seed)
    a = rng.random(N)
    a[::9] = np.nan
    b = rng.normal(size=N)
    color = rng.choice(["red", "green", "blue"], N).astype(object)
    color[5::13] = None
    flag = rng.random(N) < 0.4
    count = pd.array(rng.integers(0, 50, N), dtype="Int64")
    count[3::17] = pd.NA
    frame = pd.DataFrame({"a": a, "b": b, "color": color, "flag": flag, "count": count})
    treatment = rng.choice(["control", "email", "sms"], N)
    lift = np.where((treatment == "email") & (b > 0), 0.3, 0.0)
    y = (rng.random(N) < 0.2 + lift).astype(int)
    return frame, treatment, y


def hand_encoded(frame):
    """Features as a masked float32 block: categories numbered by first appearance (another
    numbering than the estimator's), every missing cell masked."""
    columns, masks = [], []
    for name in frame.columns:
        column = frame[name]
        missing = column.isna().to_numpy()
        if name in ("color", "flag"):
            seen = {}
            codes = [seen.setdefault(v, 10.0 * (len(seen) + 1)) if not m else 0.0
                     for v, m in zip(column, missing)]
            values = np.asarray(codes, dtype=np.float32)
        else:
            values = column.to_numpy(dtype=np.float64, na_value=0.0).astype(np.float32)
        columns.append(values)
        masks.append(missing)
    return np.column_stack(columns), np.column_stack(masks)


def raw_fit(name, features, mask, cat, codes, y, weight=None, headers=None):
    n_features = features.shape[1]
    headers = headers or [f"x{i}" for i in range(n_features)]
    extra = [codes, y] + ([weight] if weight is not None else [])
    table = np.ma.MaskedArray(
        np.column_stack([features, *extra]).astype(np.float32),
        np.column_stack([mask] + [np.zeros(N, bool)] * len(extra)),
    )
    all_headers = headers + ["__treatment__", "__outcome__"] + (
        ["__weight__"] if weight is not None else [])
    conf = {
        "feature": headers, "cat": [headers[i] for i in cat], "treatment": ["__treatment__"],
        "y": "__outcome__", "n_tree": 4, "max_depth": 4, "min_samples_leaf": 40, "seed": 7,
        **({"weight": "__weight__"} if weight is not None else {}),
    }
    model = CausalModel(name, conf)
    model.fit(all_headers, table)
    return model, all_headers, table


def trees_of(model):
    """The tree records (their configuration lines name the columns, which may differ)."""
    return [block.split("\n")[1] for block in text_blocks(model_text(model))[1]]


def group_codes(treatment):
    return np.searchsorted(["control", "email", "sms"], treatment).astype(np.float32)


def test_a_dataframe_grows_the_trees_of_its_hand_encoded_table():
    frame, treatment, y = make_data()
    est = UpliftForestClassifier(control_name="control", **PARAMS).fit(frame, y, treatment)
    features, mask = hand_encoded(frame)
    raw, headers, table = raw_fit("RandomForestClassifier", features, mask, [2, 3],
                                  group_codes(treatment), y,
                                  headers=list(frame.columns))
    assert trees_of(est.model_) == trees_of(raw)
    expected = np.asarray(raw.predict_array(headers, table))
    assert est.predict(frame).tobytes() == expected.tobytes()
    # Columns by name: a reordered frame predicts the same.
    assert est.predict(frame[frame.columns[::-1]]).tobytes() == expected.tobytes()
    assert est.treatment_names_ == ["email", "sms"] and est.control_name_ == "control"
    assert list(est.feature_names_in_) == list(frame.columns) and est.n_features_in_ == 5


def test_categorical_choices_and_numpy_inputs_agree_with_raw_fits():
    frame, treatment, y = make_data(1)
    numeric = frame[["a", "b"]].to_numpy()
    codes = group_codes(treatment)
    features = numeric.astype(np.float32)
    mask = np.isnan(numeric)
    raw, headers, table = raw_fit("RandomForestClassifier", np.where(mask, 0, features), mask,
                                  [], codes, y)
    expected_trees = trees_of(raw)
    inputs = {
        "float64": numeric,
        "float32": features,
        "fortran": np.asfortranarray(numeric),
        "masked": np.ma.masked_invalid(numeric),
    }
    for kind, X in inputs.items():
        est = UpliftForestClassifier(control_name="control", **PARAMS).fit(X, y, treatment)
        assert trees_of(est.model_) == expected_trees, kind
        assert "feature_names_in_" not in vars(est)

    # An integer column declared categorical by position, by mask and (in a frame) by name.
    cats = np.random.default_rng(2).integers(0, 6, N)
    with_cat = np.column_stack([np.where(mask, 0, numeric), cats])
    cat_mask = np.column_stack([mask, np.zeros(N, bool)])
    raw_cat, _, _ = raw_fit("RandomForestClassifier", with_cat.astype(np.float32), cat_mask, [2],
                            codes, y)
    X = np.column_stack([numeric, cats])
    frame3 = pd.DataFrame(X, columns=["a", "b", "k"])
    for X_in, spec in [(X, [2]), (X, [-1]), (X, [False, False, True]), (frame3, ["k"])]:
        est = UpliftForestClassifier(control_name="control", categorical_features=spec,
                                     **PARAMS).fit(X_in, y, treatment)
        assert trees_of(est.model_) == trees_of(raw_cat), spec
        assert est._coding.categorical == [False, False, True]


def test_arrow_tables_and_unseen_categories():
    pa = pytest.importorskip("pyarrow")
    frame, treatment, y = make_data(3)
    est = UpliftForestClassifier(control_name="control", **PARAMS).fit(frame, y, treatment)
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    from_arrow = UpliftForestClassifier(control_name="control", **PARAMS).fit(arrow, y, treatment)
    assert trees_of(from_arrow.model_) == trees_of(est.model_)
    assert from_arrow.predict(arrow).tobytes() == est.predict(frame).tobytes()

    # A colour fit never met predicts as the raw model's unseen category does.
    features, mask = hand_encoded(frame)
    raw, headers, table = raw_fit("RandomForestClassifier", features, mask, [2, 3],
                                  group_codes(treatment), y, headers=list(frame.columns))
    unseen = frame.assign(color="purple")
    table.data[:, 2] = 999.0
    table.mask[:, 2] = False
    expected = np.asarray(raw.predict_array(headers, table))
    assert est.predict(unseen).tobytes() == expected.tobytes()


def test_regressor_with_weights_and_numeric_treatment_labels():
    frame, _, _ = make_data(4)
    rng = np.random.default_rng(5)
    treatment = rng.integers(0, 3, N)
    y = rng.normal(size=N) + 0.5 * (treatment == 1) * (frame["b"] > 0)
    weight = rng.random(N) + 0.5
    est = UpliftForestRegressor(**PARAMS).fit(frame, y, treatment, sample_weight=weight)
    assert est.control_name_ == 0 and est.treatment_names_ == [1, 2]
    features, mask = hand_encoded(frame)
    raw, headers, table = raw_fit("RandomForestRegressor", features, mask, [2, 3],
                                  treatment.astype(np.float32), y.astype(np.float32),
                                  weight=weight.astype(np.float32), headers=list(frame.columns))
    assert trees_of(est.model_) == trees_of(raw)
    assert est.predict(frame).tobytes() == np.asarray(raw.predict_array(headers, table)).tobytes()


def _importances_by_hand(model, n_features, regression, rows=None):
    """Importances from the tree records; for regression the node row counts come from routing
    the hand-encoded rows (features only) through each tree in Python."""
    import json

    totals = np.zeros(n_features)
    for record in trees_of(model):
        tree = json.loads(record)
        counts = np.zeros(len(tree["level"]))
        if regression:
            features, mask, cat, bins = rows
            for r in range(features.shape[0]):
                node = 0
                while tree["left_children"][node] is not None:
                    counts[node] += 1
                    split = tree["split"][node]
                    f, v = split["feature_id"], split["value"][0]
                    b = None if mask[r, f] else bins[f](features[r, f])
                    left = b is not None and (b == v if split["iscat"] else b <= v)
                    node = tree["left_children"][node] if left else tree["right_children"][node]
        for node, split in enumerate(tree["split"]):
            if tree["left_children"][node] is None:
                continue
            weight = split["gain"] * counts[node] if regression else split["gain_importance"]
            totals[split["feature_id"]] += weight
    return totals / totals.sum()


def test_feature_importances_are_the_normalised_weighted_gains():
    frame, treatment, y = make_data(6)
    frame = frame[["a", "b", "count"]]
    est = UpliftForestClassifier(control_name="control", **PARAMS).fit(frame, y, treatment)
    expected = _importances_by_hand(est.model_, 3, regression=False)
    np.testing.assert_allclose(est.feature_importances_, expected, rtol=1e-6)
    assert est.feature_importances_.sum() == pytest.approx(1.0)

    rng = np.random.default_rng(8)
    y_real = rng.normal(size=N) + (treatment == "email") * (frame["b"] > 0)
    reg = UpliftForestRegressor(control_name="control", **PARAMS).fit(frame, y_real, treatment)
    import json

    head = text_blocks(model_text(reg.model_))[0]
    thresholds = {}
    for block in head[1:]:
        kind, name, record = block.split("\n")
        thresholds[name] = np.asarray(json.loads(record)["threshold"], dtype=np.float32)
    features = frame.to_numpy(dtype=np.float64, na_value=np.nan).astype(np.float32)
    mask = np.isnan(features)
    bins = [lambda x, t=thresholds[name]: int(np.searchsorted(t, x, side="right"))
            for name in frame.columns]
    expected = _importances_by_hand(reg.model_, 3, True, (features, mask, None, bins))
    np.testing.assert_allclose(reg.feature_importances_, expected, rtol=1e-4)

    # No split anywhere: all zeros.
    flat = UpliftForestClassifier(control_name="control", n_estimators=2, max_depth=0,
                                  random_state=1).fit(frame, y, treatment)
    assert (flat.feature_importances_ == 0).all()
