"""make_uplift_scorer: which rows and which column it scores, and the treatment reaching it
through scikit-learn's metadata routing in searches and cross-validation."""

import pickle

import numpy as np
import pandas as pd
import pytest
import sklearn
from sklearn.model_selection import GridSearchCV, cross_validate
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer

from quorvanta_sklearn import UpliftForestClassifier
from quorvanta_sklearn.metrics import (
    make_uplift_scorer,
    qini_auc_score,
    uplift_at_k,
    uplift_auc_score,
)

SMALL = dict(n_estimators=4, min_samples_leaf=40, min_samples_treatment=5, random_state=3)


class FixedEffects:
    """Stands in for a fitted estimator: predict returns the given effects whatever X is."""

    def __init__(self, effects, control, treatments):
        self.effects = np.asarray(effects, dtype=np.float32)
        self.control_name_ = control
        self.treatment_names_ = treatments

    def predict(self, X):
        return self.effects


def marketing(n=1500, seed=0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"age": rng.normal(40, 10, n), "region": rng.choice(["n", "s", "e"], n)})
    t = rng.choice(["control", "email", "sms"], n)
    lift = 0.3 * ((t == "email") & (X["age"] > 40)) + 0.1 * (t == "sms")
    y = (rng.random(n) < 0.2 + lift).astype(int)
    return X, y, t


def test_scores_the_first_treatment_column_on_control_and_first_group_rows():
    labels = np.array(["sms", "control", "email", "control", "email", "sms", "control"])
    y = np.array([1, 0, 1, 1, 0, 1, 0])
    effects = np.column_stack([np.arange(7.0), -np.arange(7.0)])
    estimator = FixedEffects(effects, "control", ["email", "sms"])
    kept = labels != "sms"
    expected = qini_auc_score(y[kept], effects[kept, 0], labels[kept] == "email")
    scorer = make_uplift_scorer("qini_auc_score")
    assert scorer(estimator, None, y, treatment=labels) == pytest.approx(expected)
    assert scorer(estimator, None, pd.Series(y), treatment=pd.Series(labels)) == pytest.approx(
        expected
    )
    # Keyword arguments reach the score; a one-column prediction is used as it is.
    at_k = make_uplift_scorer("uplift_at_k", strategy="by_group", k=1)
    assert at_k(estimator, None, y, treatment=labels) == pytest.approx(
        uplift_at_k(y[kept], effects[kept, 0], labels[kept] == "email", "by_group", k=1)
    )
    numeric = FixedEffects(effects[:, :1], 0, [2])
    number_labels = np.array([2, 0, 1, 0, 1, 2, 0])  # group 1 is not the first treatment group
    kept = number_labels != 1
    expected = uplift_auc_score(y[kept], effects[kept, 0], number_labels[kept] == 2, normalize=False)
    scorer = make_uplift_scorer("uplift_auc_score", normalize=False)
    assert scorer(numeric, None, y, treatment=number_labels) == pytest.approx(expected)


def test_tuple_labels_compare_as_one_value():
    labels = np.empty(4, dtype=object)
    labels[:] = [("a", 0), ("b", 1), ("a", 0), ("b", 1)]
    estimator = FixedEffects([[4.0], [3.0], [2.0], [1.0]], ("a", 0), [("b", 1)])
    y = [0, 1, 1, 0]
    expected = qini_auc_score(y, [4, 3, 2, 1], [0, 1, 0, 1])
    assert make_uplift_scorer("qini_auc_score")(estimator, None, y, labels) == pytest.approx(
        expected
    )


def test_misuse_is_explained():
    with pytest.raises(ValueError, match="unknown uplift score 'auc'"):
        make_uplift_scorer("auc")
    with pytest.raises(TypeError, match="missing a required argument: 'strategy'"):
        make_uplift_scorer("uplift_at_k")
    with pytest.raises(TypeError, match="unexpected keyword argument 'bins'"):
        make_uplift_scorer("qini_auc_score", bins=3)
    estimator = FixedEffects([[1.0], [2.0]], 0, [1])
    with pytest.raises(ValueError, match="needs treatment: enable metadata routing"):
        make_uplift_scorer("qini_auc_score")(estimator, None, [0, 1])
    with pytest.raises(ValueError, match="treatment has 3 rows, y_true 2 and X 2"):
        make_uplift_scorer("qini_auc_score")(estimator, None, [0, 1], treatment=[0, 1, 1])
    scorer = make_uplift_scorer("uplift_at_k", strategy="overall", k=0.5)
    assert repr(scorer) == "make_uplift_scorer('uplift_at_k', strategy='overall', k=0.5)"
    assert repr(pickle.loads(pickle.dumps(scorer))) == repr(scorer)


def test_grid_search_routes_treatment_to_fit_and_scorer():
    X, y, t = marketing()
    scorer = make_uplift_scorer("qini_auc_score")
    with sklearn.config_context(enable_metadata_routing=True):
        search = GridSearchCV(
            UpliftForestClassifier(control_name="control", **SMALL),
            {"max_depth": [2, 4]},
            scoring=scorer,
            cv=2,
            error_score="raise",
        )
        search.fit(X, y, treatment=t)
        scores = search.cv_results_["mean_test_score"]
        assert np.isfinite(scores).all() and scores.max() > 0.05
        best = search.best_estimator_
        assert search.score(X, y, treatment=t) == pytest.approx(scorer(best, X, y, treatment=t))

        # Several scores at once, the search refitting on one of them.
        search = GridSearchCV(
            UpliftForestClassifier(control_name="control", **SMALL),
            {"max_depth": [3]},
            scoring={"qini": scorer, "top": make_uplift_scorer("uplift_at_k", strategy="overall")},
            refit="qini",
            cv=2,
            error_score="raise",
        )
        search.fit(X, y, treatment=t)
        assert np.isfinite(search.cv_results_["mean_test_top"]).all()


def test_cross_validate_and_pipelines_route_treatment():
    X, y, t = marketing(seed=1)
    with sklearn.config_context(enable_metadata_routing=True):
        pipeline = make_pipeline(
            FunctionTransformer(lambda frame: frame.assign(age=frame["age"] / 10)),
            UpliftForestClassifier(control_name="control", max_depth=3, **SMALL),
        )
        results = cross_validate(
            pipeline, X, y, params={"treatment": t}, cv=2, error_score="raise",
            scoring=make_uplift_scorer("uplift_auc_score"),
        )
        assert np.isfinite(results["test_score"]).all()
        # A scorer may take the treatment from metadata of another name.
        renamed = make_uplift_scorer("qini_auc_score").set_score_request(treatment="group")
        search = GridSearchCV(
            UpliftForestClassifier(control_name="control", max_depth=3, **SMALL),
            {"n_bins": [10]}, scoring=renamed, cv=2, error_score="raise",
        )
        search.fit(X, y, treatment=t, group=t)
        assert np.isfinite(search.best_score_)
