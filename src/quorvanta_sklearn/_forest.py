"""UpliftForestClassifier and UpliftForestRegressor: quorvanta's uplift forests as scikit-learn
estimators on DataFrames, arrays and Arrow tables."""

from __future__ import annotations

import hashlib
from typing import Any

import numpy as np
from sklearn.base import BaseEstimator
from sklearn.exceptions import NotFittedError

from quorvanta import CausalModel
from quorvanta_sklearn import _importances
from quorvanta_sklearn._faults import model_faults
from quorvanta_sklearn._model_io import joined_text, model_from_text, model_text, text_blocks
from quorvanta_sklearn._params import forest_conf, seed_of
from quorvanta_sklearn._tables import Block, FeatureCoding
from quorvanta_sklearn._targets import TreatmentCoding
from quorvanta_sklearn._training import (
    column_conf,
    feature_headers,
    table_headers,
    training_block,
)


def added_trees_seed(seed: int, n_held: int) -> int:
    """The seed of trees added by a warm start to a forest of `n_held` trees grown from `seed`:
    the same forest again for the same seed, other trees than the ones held."""
    digest = hashlib.blake2b(
        f"{seed}:{n_held}".encode(), digest_size=8, person=b"quorvanta-warm"
    ).digest()
    return int.from_bytes(digest, "little") % (2**64 - 1)


def _keep_params(estimator: BaseEstimator, arguments: dict[str, Any]) -> None:
    """Stores an __init__'s arguments unchanged under their names, as scikit-learn expects."""
    for name, value in arguments.items():
        if name not in ("self", "__class__"):
            setattr(estimator, name, value)


class _UpliftForest(BaseEstimator):
    """What both estimators share; `_model_name` and `_binary_outcome` tell them apart."""

    _model_name = ""
    _binary_outcome = False
    __metadata_request__fit = {"treatment": True}

    # -- fitting ----------------------------------------------------------------------------

    def fit(self, X: Any, y: Any, treatment: Any, sample_weight: Any = None) -> Any:
        """Grows the forest on X (features), y (outcome) and treatment (group labels); a fresh
        forest each time unless warm_start adds trees to the one held. Returns self."""
        warm = bool(self.warm_start) and hasattr(self, "model_")
        if warm:
            coding, columns, treatments = self._coding, X, self._treatment_coding
        else:
            coding, columns, _ = FeatureCoding.fit(X, self.categorical_features)
            treatments = None
        conf = forest_conf(self.get_params(), coding.n_features, self._binary_outcome)
        block, treatments, weighted = training_block(
            coding, columns, y, treatment, sample_weight, self._binary_outcome, treatments,
            self.control_name,
        )
        seed = seed_of(self.random_state)
        if block.values.shape[0] == 0:
            raise ValueError("X has no rows")
        all_headers = table_headers(coding, weighted)
        conf.update(column_conf(coding, weighted))
        if seed is not None:
            conf["seed"] = seed

        if warm:
            model = self._grown_more(conf["n_tree"], seed, all_headers, block)
        else:
            model = CausalModel(self._model_name, conf)
            with model_faults():
                model.fit(all_headers, block.table())
        text = model_text(model)
        self._store(model, coding, treatments, conf["n_tree"])
        self.feature_importances_ = self._importances(text, all_headers, block)
        return self

    def _grown_more(
        self, n_estimators: int, seed: int | None, headers: list[str], block: Block
    ) -> CausalModel:
        """The held forest with n_estimators - n_trees_ more trees grown on this table."""
        n_held = self.n_trees_
        if n_estimators < n_held:
            raise ValueError(
                f"n_estimators={n_estimators} must not be smaller than the {n_held} trees held "
                "when warm_start is True"
            )
        if n_estimators == n_held:
            return self.model_
        added_seed = None if seed is None else added_trees_seed(seed, n_held)
        grower = self.model_._untrained_copy(  # type: ignore[attr-defined]
            n_estimators - n_held, added_seed
        )
        with model_faults():
            grower.fit(headers, block.table())
        head, held = text_blocks(model_text(self.model_))
        added = text_blocks(model_text(grower))[1]
        with model_faults():
            return model_from_text(self._model_name, joined_text(head, held + added))

    def _store(
        self,
        model: CausalModel,
        coding: FeatureCoding,
        treatments: TreatmentCoding,
        n_trees: int,
    ) -> None:
        self.model_ = model
        self.n_trees_ = n_trees
        self._coding = coding
        self._treatment_coding = treatments
        self._headers = feature_headers(coding)
        self.n_features_in_ = coding.n_features
        if coding.names is not None and all(isinstance(name, str) for name in coding.names):
            self.feature_names_in_ = np.asarray(coding.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        self.control_name_ = treatments.control
        self.treatment_names_ = list(treatments.treatments)

    def _importances(self, text: str, headers: list[str], block: Block) -> np.ndarray:
        n_features = self._coding.n_features
        if self._binary_outcome:
            return _importances.classification_importances(text, n_features)
        with model_faults():
            return _importances.regression_importances(
                self._model_name, text, n_features, headers, block.table()
            )

    # -- using the fitted forest --------------------------------------------------------------

    def _check_fitted(self) -> None:
        if not hasattr(self, "model_"):
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                "appropriate arguments before using this estimator."
            )

    def predict(self, X: Any) -> np.ndarray:
        """The effect of each treatment group against control for every row of X: float32, one
        row per row and one column per entry of treatment_names_."""
        self._check_fitted()
        block = self._coding.block(X, 0)
        with model_faults():
            effects = self.model_.predict_array(self._headers, block.table())
        return np.asarray(effects, dtype=np.float32).reshape(
            block.values.shape[0], len(self.treatment_names_)
        )

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "model_")


_SHARED_DOC = """
    Parameters map onto the model's configuration: n_estimators (trees, "n_tree"), max_depth,
    min_samples_leaf and min_samples_treatment (least weight of a child and of each group in
    it), max_features (features drawn per node: an int, a float fraction of the features or
    "sqrt"), n_bins (bins of a numeric feature, 1 to 254, "n_bin"), alpha, subsample (share of
    the rows drawn, with replacement, per tree), n_jobs (threads; -1 all cores), random_state
    (None, an int seed, or a numpy RandomState/Generator that draws one seed per fit).

    control_name is the treatment label of the control group (None: 0, when the labels are
    numbers); the other labels, sorted, are the columns of predict (treatment_names_).
    categorical_features: "auto" (pandas category, object, string and bool columns), None, a
    list of column names or positions, or a boolean mask. Categories are encoded with a mapping
    kept from fit; a category fit never met goes where the model sends unseen categories.
    Missing cells (NaN, None, pd.NA, NaT, masked cells) of features are missing values; an
    infinity is a value. warm_start=True makes fit add n_estimators minus the trees held.

    Fitted attributes: model_ (the quorvanta.CausalModel), n_trees_, n_features_in_,
    feature_names_in_ (DataFrames with str column names), control_name_, treatment_names_ and
    feature_importances_: per feature, the sum over all trees of the weighted gains of the
    splits on it, divided by the sum over all features (all zeros when no node was split).
"""


class UpliftForestClassifier(_UpliftForest):
    _model_name = "RandomForestClassifier"
    _binary_outcome = True

    def __init__(
        self,
        n_estimators: int = 100,
        max_depth: int = 6,
        min_samples_leaf: int = 100,
        min_samples_treatment: int = 10,
        max_features: Any = 10,
        n_bins: int = 30,
        n_reg: int = 10,
        alpha: float = 0.9,
        normalization: bool = True,
        subsample: float = 1.0,
        control_name: Any = None,
        categorical_features: Any = "auto",
        n_jobs: int | None = 1,
        random_state: Any = None,
        warm_start: bool = False,
    ) -> None:
        _keep_params(self, locals())


UpliftForestClassifier.__doc__ = (
    """Uplift random forest for a binary outcome (y 0 or 1): splits maximise the
    Kullback-Leibler divergence of the treatment groups' outcome rates from the control
    group's; predict gives differences of outcome probabilities. n_reg (weight of the parent's
    rate in a child's) and normalization (divide gains by the split's balance) tune the
    criterion. The weighted gain of a split is its gain_importance: the divergence gain weighted
    by the children's weights, before normalisation.
"""
    + _SHARED_DOC
)


class UpliftForestRegressor(_UpliftForest):
    _model_name = "RandomForestRegressor"
    _binary_outcome = False

    def __init__(
        self,
        n_estimators: int = 100,
        max_depth: int = 6,
        min_samples_leaf: int = 100,
        min_samples_treatment: int = 10,
        max_features: Any = 10,
        n_bins: int = 30,
        alpha: float = 0.9,
        subsample: float = 1.0,
        control_name: Any = None,
        categorical_features: Any = "auto",
        n_jobs: int | None = 1,
        random_state: Any = None,
        warm_start: bool = False,
    ) -> None:
        _keep_params(self, locals())


UpliftForestRegressor.__doc__ = (
    """Uplift random forest for a continuous outcome: splits reward large, well-estimated
    differences of mean outcomes between treatment group 1 and control, alpha weighting the
    penalty on unequal group weights; predict gives differences of mean outcomes. The weighted
    gain of a split is its gain times the number of training rows of the last fit that reach
    its node.
"""
    + _SHARED_DOC
)
