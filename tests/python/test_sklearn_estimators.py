"""quorvanta_sklearn's estimators as scikit-learn sees them: parameter and input checks with their
messages, model faults as Exceptions, fit from scratch and warm starts, clone, searches with
metadata routing, joblib and pickling within and across processes."""

from __future__ import annotations

import multiprocessing
import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
sklearn = pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.metrics import make_scorer  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_validate  # noqa: E402

import quorvanta_sklearn._forest as forest_module  # noqa: E402
from quorvanta import CausalModel  # noqa: E402
from quorvanta_sklearn import (  # noqa: E402
    UpliftForestClassifier,
    UpliftForestRegressor,
    UpliftModelError,
)
from quorvanta_sklearn._model_io import model_text, text_blocks  # noqa: E402

N = 2000
SMALL = dict(n_estimators=3, max_depth=3, min_samples_leaf=30, random_state=4)


def data(seed: int = 0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"a": rng.random(N), "b": rng.normal(size=N),
                      "c": rng.choice(["u", "v", "w"], N)})
    t = rng.choice(["ctl", "mail"], N)
    y = (rng.random(N) < 0.2 + 0.3 * ((t == "mail") & (X["a"] > 0.5))).astype(int)
    return X, y, t


def fault() -> BaseException:
    """A real FaultException, as the model raises it."""
    try:
        CausalModel("no such model", {})
    except BaseException as error:  # noqa: BLE001
        return error
    raise AssertionError("no fault")


class FaultyModel:
    """Stands in for CausalModel: a real model that fails its fit or predict on demand."""

    fail_fit_when = staticmethod(lambda conf: False)
    raise_in_fit: BaseException | None = None

    def __init__(self, name, conf):
        self._model = CausalModel(name, conf)
        self._conf = conf

    def fit(self, headers, table):
        if self.raise_in_fit is not None:
            raise self.raise_in_fit
        if self.fail_fit_when(self._conf):
            raise fault()
        self._model.fit(headers, table)

    def __getattr__(self, name):
        return getattr(self._model, name)


@pytest.mark.parametrize(
    "params, error, words",
    [
        (dict(n_estimators=0), ValueError, "n_estimators"),
        (dict(n_estimators=2.0), TypeError, "n_estimators"),
        (dict(max_depth=-1), ValueError, "max_depth"),
        (dict(min_samples_leaf=True), TypeError, "min_samples_leaf"),
        (dict(max_features="log2"), ValueError, "max_features"),
        (dict(max_features=1.5), ValueError, "max_features"),
        (dict(n_bins=255), ValueError, "n_bins"),
        (dict(alpha=float("nan")), ValueError, "alpha"),
        (dict(normalization=1), TypeError, "normalization"),
        (dict(subsample=0.0), ValueError, "subsample"),
        (dict(n_jobs=0), ValueError, "n_jobs"),
        (dict(random_state=-1), ValueError, "random_state"),
        (dict(random_state="7"), TypeError, "random_state"),
        (dict(warm_start="yes"), TypeError, "warm_start"),
        (dict(categorical_features="all"), ValueError, "categorical_features"),
        (dict(categorical_features=["nope"]), ValueError, "'nope'"),
        (dict(categorical_features=[5]), ValueError, "position 5"),
        (dict(control_name="other"), ValueError, "control_name 'other'"),
    ],
)
def test_bad_parameters_are_refused_at_fit_by_name(params, error, words):
    X, y, t = data()
    est = UpliftForestClassifier(**{"control_name": "ctl", **params})
    with pytest.raises(error, match=words):
        est.fit(X, y, t)
    assert not hasattr(est, "model_")


def test_bad_inputs_are_refused_with_messages():
    X, y, t = data()
    est = UpliftForestClassifier(control_name="ctl", **SMALL)
    y_bad = y.astype(float)
    y_bad[[3, 8]] = np.nan
    with pytest.raises(ValueError, match=r"y has missing values in 2 rows \(positions 3, 8\)"):
        est.fit(X, y_bad, t)
    y_bad[[3, 8]] = np.inf
    with pytest.raises(ValueError, match=r"y has non-finite values in 2 rows"):
        est.fit(X, y_bad, t)
    with pytest.raises(ValueError, match=r"only 0 and 1.*found the values 0, 1, 2"):
        est.fit(X, np.where(np.arange(N) == 5, 2, y), t)
    with pytest.raises(ValueError, match="sample_weight has missing values in 1 row"):
        est.fit(X, y, t, sample_weight=np.where(np.arange(N) == 0, np.nan, 1.0))
    t_missing = t.astype(object)
    t_missing[7] = None
    with pytest.raises(ValueError, match=r"treatment has missing values in 1 row \(positions 7\)"):
        est.fit(X, y, t_missing)
    with pytest.raises(ValueError, match="give control_name"):
        UpliftForestClassifier().fit(X, y, t)
    with pytest.raises(ValueError, match="only one group"):
        est.fit(X, y, np.full(N, "ctl"))
    with pytest.raises(ValueError, match="treatment has 10 rows but X has"):
        est.fit(X, y, t[:10])
    with pytest.raises(TypeError, match="not numeric"):
        est.fit(X.assign(d=X["a"].astype(complex)), y, t)

    with pytest.raises(NotFittedError):
        est.predict(X)
    est.fit(X, y, t)
    with pytest.raises(ValueError, match=r"missing columns \['c'\]; extra columns \['z'\]"):
        est.predict(X.rename(columns={"c": "z"}))
    with pytest.raises(ValueError, match="X has no column names"):
        est.predict(X.to_numpy())
    on_array = UpliftForestRegressor(control_name="ctl", **SMALL).fit(X[["a", "b"]].to_numpy(),
                                                                     y, t)
    with pytest.raises(ValueError, match="X has 1 features, but .* fitted with 2"):
        on_array.predict(X[["a"]].to_numpy())


def test_model_faults_become_exceptions_and_interrupts_stay(monkeypatch):
    X, y, t = data()
    monkeypatch.setattr(forest_module, "CausalModel", FaultyModel)
    monkeypatch.setattr(FaultyModel, "fail_fit_when", staticmethod(lambda conf: True))
    est = UpliftForestClassifier(control_name="ctl", **SMALL)
    with pytest.raises(UpliftModelError, match="model name no such model not found") as caught:
        est.fit(X, y, t)
    assert isinstance(caught.value, RuntimeError)
    assert not isinstance(caught.value.__cause__, Exception)  # the model's own fault
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is UpliftModelError and copy.args == caught.value.args
    for interrupt in (KeyboardInterrupt(), MemoryError()):
        monkeypatch.setattr(FaultyModel, "raise_in_fit", interrupt)
        with pytest.raises(type(interrupt)):
            est.fit(X, y, t)


def test_fit_starts_afresh_and_warm_start_adds_the_difference():
    X, y, t = data(1)
    est = UpliftForestClassifier(control_name="ctl", **SMALL)
    once = model_text(est.fit(X, y, t).model_)
    twice = model_text(est.fit(X, y, t).model_)
    assert text_blocks(twice)[1] == text_blocks(once)[1] and est.n_trees_ == 3

    est.set_params(warm_start=True, n_estimators=5)
    est.fit(X, y, t)
    trees = text_blocks(model_text(est.model_))[1]
    assert est.n_trees_ == 5 and len(trees) == 5
    assert trees[:3] == text_blocks(once)[1]
    assert len(set(trees)) == 5  # the added trees are others than the ones held
    est.fit(X, y, t)  # as many as held: nothing added
    assert len(text_blocks(model_text(est.model_))[1]) == 5
    # The warm-started model round-trips with all its trees.
    assert pickle.loads(pickle.dumps(est)).predict(X).tobytes() == est.predict(X).tobytes()
    with pytest.raises(ValueError, match="must not be smaller than the 5 trees"):
        est.set_params(n_estimators=4).fit(X, y, t)


def test_clone_params_and_repr():
    est = UpliftForestClassifier(n_estimators=7, control_name="ctl", max_features="sqrt")
    assert repr(est) == ("UpliftForestClassifier(control_name='ctl', max_features='sqrt', "
                         "n_estimators=7)")
    twin = clone(est)
    assert twin.get_params() == est.get_params() and twin is not est
    assert "n_reg" not in UpliftForestRegressor().get_params()
    assert UpliftForestRegressor().set_params(alpha=0.5).alpha == 0.5


def uplift_gain(y, effects, treatment):
    """Scorer body: outcome gap between treated and control rows in the top half by effect."""
    top = effects[:, 0] >= np.median(effects[:, 0])
    treated, control = top & (treatment == "mail"), top & (treatment == "ctl")
    return float(y[treated].mean() - y[control].mean())


def test_search_and_cross_validation_route_the_treatment(monkeypatch):
    X, y, t = data(2)
    with sklearn.config_context(enable_metadata_routing=True):
        scorer = make_scorer(uplift_gain).set_score_request(treatment=True)
        search = GridSearchCV(UpliftForestClassifier(control_name="ctl", **SMALL),
                              {"max_depth": [1, 3]}, scoring=scorer, cv=3)
        search.fit(X, y, treatment=t)
        assert search.best_estimator_.n_trees_ == 3
        assert np.isfinite(search.cv_results_["mean_test_score"]).all()

        scores = cross_validate(UpliftForestRegressor(control_name="ctl", **SMALL), X, y,
                                params={"treatment": t}, scoring=scorer, cv=2)
        assert np.isfinite(scores["test_score"]).all()

        # One grid point that the model fails is scored NaN; the others are scored.
        monkeypatch.setattr(forest_module, "CausalModel", FaultyModel)
        monkeypatch.setattr(FaultyModel, "fail_fit_when",
                            staticmethod(lambda conf: conf["max_depth"] == 2))
        search = GridSearchCV(UpliftForestClassifier(control_name="ctl", **SMALL),
                              {"max_depth": [1, 2, 3]}, scoring=scorer, cv=2, error_score=np.nan)
        with pytest.warns(UserWarning):
            search.fit(X, y, treatment=t)
        means = search.cv_results_["mean_test_score"]
        assert np.isnan(means[1]) and np.isfinite(means[[0, 2]]).all()


def fit_one(depth):
    X, y, t = data(3)
    return UpliftForestClassifier(control_name="ctl", **{**SMALL, "max_depth": depth}).fit(X, y, t)


def predict_in_child(payload, queue):
    X, _, _ = data(3)
    queue.put(pickle.loads(payload).predict(X).tobytes())


def test_estimators_pickle_through_joblib_and_spawned_processes(tmp_path):
    joblib = pytest.importorskip("joblib")
    fitted = joblib.Parallel(n_jobs=2)(joblib.delayed(fit_one)(depth) for depth in (2, 3))
    X, _, _ = data(3)
    for depth, est in zip((2, 3), fitted):
        assert est.predict(X).tobytes() == fit_one(depth).predict(X).tobytes()

    est = fitted[1]
    import copy

    assert copy.deepcopy(est).predict(X).tobytes() == est.predict(X).tobytes()
    joblib.dump(est, tmp_path / "est.joblib")
    assert joblib.load(tmp_path / "est.joblib").predict(X).tobytes() == est.predict(X).tobytes()
    unfitted = pickle.loads(pickle.dumps(UpliftForestRegressor(n_estimators=2)))
    assert not hasattr(unfitted, "model_") and unfitted.n_estimators == 2

    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    child = context.Process(target=predict_in_child, args=(pickle.dumps(est), queue))
    child.start()
    result = queue.get(timeout=120)
    child.join(timeout=60)
    assert result == est.predict(X).tobytes()


def test_the_package_types_match_its_code():
    import subprocess
    import sys
    from pathlib import Path

    root = Path(__file__).resolve().parents[2]
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(root / "pyproject.toml"),
         "--allowlist", str(Path(__file__).with_name("stubtest_allowlist.txt")),
         "quorvanta_sklearn"],
        capture_output=True, text=True, cwd=root,
    )
    assert result.returncode == 0, result.stdout + result.stderr
