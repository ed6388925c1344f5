"""The estimators' parameters checked and mapped onto the model's configuration keys.

The model reads its configuration silently, taking the default for any unusable value; the
estimators check every value first, so that a mistake is a ValueError or TypeError naming the
parameter."""

from __future__ import annotations

import math
import numbers
import os
from typing import Any

import numpy as np

_MAX_SEED = 2**64 - 2  # 2**64 - 1 means "no seed" to the model
_MAX_BINS = 254


def _integer(name: str, value: Any, low: int, high: int | None = None) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__} ({value!r})")
    value = int(value)
    if value < low or (high is not None and value > high):
        bound = f"in [{low}, {high}]" if high is not None else f">= {low}"
        raise ValueError(f"{name} must be an int {bound}, not {value}")
    return value


def _real(name: str, value: Any, low: float, high: float | None, low_open: bool = False) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__} ({value!r})")
    value = float(value)
    too_low = value <= low if low_open else value < low
    if not math.isfinite(value) or too_low or (high is not None and value > high):
        low_bracket = "(" if low_open else "["
        bound = f"in {low_bracket}{low:g}, {high:g}]" if high is not None else f">= {low:g}"
        raise ValueError(f"{name} must be a finite number {bound}, not {value!r}")
    return value


def _boolean(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__} ({value!r})")
    return bool(value)


def max_features_count(value: Any, n_features: int) -> int:
    """`max_features` as a feature count: an int as given, a float as a fraction of the
    features (at least one), "sqrt" as the square root of their number (at least one)."""
    if isinstance(value, str):
        if value != "sqrt":
            raise ValueError(f"max_features must be an int, a float in (0, 1] or 'sqrt', not "
                             f"{value!r}")
        return max(1, int(math.sqrt(n_features)))
    if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        return _integer("max_features", value, 1)
    if isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
        fraction = _real("max_features", value, 0.0, 1.0, low_open=True)
        return max(1, int(fraction * n_features))
    raise TypeError(f"max_features must be an int, a float or 'sqrt', not "
                    f"{type(value).__name__} ({value!r})")


def thread_count(n_jobs: Any) -> int:
    """`n_jobs` as a thread count: None is 1, -1 all cores, -2 all but one, and so on."""
    if n_jobs is None:
        return 1
    n_jobs = _integer("n_jobs", n_jobs, -(10**6))
    if n_jobs == 0:
        raise ValueError("n_jobs must not be 0: give a thread count, or -1 for all cores")
    if n_jobs > 0:
        return n_jobs
    return max(1, (os.cpu_count() or 1) + 1 + n_jobs)


def seed_of(random_state: Any) -> int | None:
    """`random_state` as the model's seed: None for none, an int as is, and one seed drawn from
    a numpy RandomState or Generator."""
    if random_state is None:
        return None
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**63 - 1, dtype=np.int64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**63 - 1))
    if isinstance(random_state, (bool, np.bool_)) or not isinstance(random_state, numbers.Integral):
        raise TypeError(
            "random_state must be None, an int, a numpy RandomState or Generator, not "
            f"{type(random_state).__name__} ({random_state!r})"
        )
    return _integer("random_state", random_state, 0, _MAX_SEED)


def forest_conf(params: dict[str, Any], n_features: int, classifier: bool) -> dict[str, Any]:
    """The model configuration of the estimator's parameters (columns and seed apart)."""
    conf = {
        "n_tree": _integer("n_estimators", params["n_estimators"], 1),
        "max_depth": _integer("max_depth", params["max_depth"], 0),
        "min_samples_leaf": _integer("min_samples_leaf", params["min_samples_leaf"], 0),
        "min_samples_treatment": _integer(
            "min_samples_treatment", params["min_samples_treatment"], 0
        ),
        "max_features": max_features_count(params["max_features"], n_features),
        "n_bin": _integer("n_bins", params["n_bins"], 1, _MAX_BINS),
        "alpha": _real("alpha", params["alpha"], 0.0, None),
        "subsample": _real("subsample", params["subsample"], 0.0, 1.0, low_open=True),
        "n_thread": thread_count(params["n_jobs"]),
    }
    if classifier:
        conf["n_reg"] = _integer("n_reg", params["n_reg"], 0)
        conf["normalization"] = _boolean("normalization", params["normalization"])
    _boolean("warm_start", params["warm_start"])
    return conf
