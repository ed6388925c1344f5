"""The scikit-learn scorer of make_uplift_scorer: scores an uplift estimator's first treatment
column against control, with `treatment` requested through metadata routing."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np


def _label_rows(labels: np.ndarray, label: Any) -> np.ndarray:
    """Rows whose label equals `label`; held in a 0-d object array so that a tuple label is
    compared as one value, not broadcast."""
    target = np.empty((), dtype=object)
    target[()] = label
    return np.asarray(labels == target, dtype=bool)


def _labels(treatment: Any) -> np.ndarray:
    if hasattr(treatment, "to_numpy"):
        treatment = treatment.to_numpy(dtype=object)
    labels = np.asarray(treatment, dtype=object)
    if labels.ndim == 2 and labels.shape[1] == 1:
        labels = labels[:, 0]
    if labels.ndim != 1:
        raise ValueError(f"treatment must be one column of labels, not of shape {labels.shape}")
    return labels


class UpliftScorer:
    """Called as scorer(estimator, X, y_true, treatment=labels) by scikit-learn's searches and
    cross-validation. The estimator (or a pipeline's last step) names its groups in
    control_name_ and treatment_names_; a score of predict(X)[:, 0] is taken on the rows of the
    control group (as 0) and of the first treatment group (as 1)."""

    def __init__(self, name: str, score_function: Callable[..., float], kwargs: dict[str, Any]):
        self._name = name
        self._score_function = score_function
        self._kwargs = dict(kwargs)
        self._treatment_request: Any = True

    def __call__(self, estimator: Any, X: Any, y_true: Any, treatment: Any = None) -> float:
        if treatment is None:
            raise ValueError(
                f"the {self._name} scorer needs treatment: enable metadata routing "
                "(sklearn.set_config(enable_metadata_routing=True)) and pass treatment=... to "
                "fit of the search or to cross_validate's params"
            )
        fitted = estimator.steps[-1][1] if hasattr(estimator, "steps") else estimator
        labels = _labels(treatment)
        is_control = _label_rows(labels, fitted.control_name_)
        is_treated = _label_rows(labels, fitted.treatment_names_[0])
        kept = is_control | is_treated

        effects = np.asarray(estimator.predict(X))
        first_group = effects[:, 0] if effects.ndim == 2 else effects
        outcomes = np.asarray(y_true)
        if not len(labels) == len(outcomes) == len(first_group):
            raise ValueError(
                f"treatment has {len(labels)} rows, y_true {len(outcomes)} and X "
                f"{len(first_group)}: they must be the same rows"
            )
        return float(
            self._score_function(
                outcomes[kept], first_group[kept], is_treated[kept].astype(np.float64),
                **self._kwargs,
            )
        )

    def set_score_request(self, *, treatment: Any = True) -> UpliftScorer:
        """Whether scikit-learn's routing passes `treatment` to this scorer (True, the default),
        or the name of the metadata to pass as treatment."""
        self._treatment_request = treatment
        return self

    def get_metadata_routing(self) -> Any:
        from sklearn.utils.metadata_routing import MetadataRequest

        request = MetadataRequest(owner=type(self).__name__)
        request.score.add_request(param="treatment", alias=self._treatment_request)
        return request

    def __repr__(self) -> str:
        arguments = "".join(f", {key}={value!r}" for key, value in self._kwargs.items())
        return f"make_uplift_scorer({self._name!r}{arguments})"
