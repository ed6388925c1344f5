"""How well predicted uplift ranks rows for targeting: Qini and uplift curves, their normalised
areas, uplift at k, uplift by percentile and a scikit-learn scorer.

Every function takes `y_true` (outcomes), `uplift` (one score per row; higher means target
first) and `treatment` (1 treated, 0 control) as arrays, lists or Series. With several treatment
groups, keep the rows of one group and of control.

Rows are ranked by a stable ascending sort of the scores, reversed, so that rows of equal score
come in reverse row order. Curves have one point per distinct score, after the last row of its
run, at the number N of rows ranked so far; N_T and N_C count the treated and control rows among
them and Y_T and Y_C sum their outcomes (float64 running sums).
"""

from __future__ import annotations

import inspect
import math
import numbers
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvanta_sklearn import _curves as curves
from quorvanta_sklearn._curves import Curve
if TYPE_CHECKING:
    import pandas as _pd

from quorvanta_sklearn._inputs import (
    outcome_inputs,
    require_binary,
    require_both_groups,
    uplift_inputs,
)

_CONTINUOUS_HINT = (
    "; for continuous outcomes pass normalize=False for the area between the curve and the "
    "random line"
)


def uplift_curve(y_true: Any, uplift: Any, treatment: Any) -> Curve:
    """Uplift curve (x, y): at each cut, y = (Y_T / N_T - Y_C / N_C) * N, each ratio 0 while its
    count is 0; x = N. Starts at (0, 0)."""
    return curves.uplift_curve(*uplift_inputs(y_true, uplift, treatment))


def qini_curve(y_true: Any, uplift: Any, treatment: Any) -> Curve:
    """Qini curve (x, y): at each cut, y = Y_T - Y_C * N_T / N_C (the ratio 0 while N_C is 0),
    the extra outcome of the treated rows over what control's rate predicts; x = N. Starts at
    (0, 0)."""
    return curves.qini_curve(*uplift_inputs(y_true, uplift, treatment))


def perfect_uplift_curve(y_true: Any, treatment: Any) -> Curve:
    """The uplift curve of the best ranking of binary outcomes: with CR the control responders
    and TN the treated non-responders, the curve of the score 2 * (y == t) + (y if CR > TN else
    t)."""
    return curves.perfect_uplift_curve(*outcome_inputs(y_true, treatment))


def perfect_qini_curve(y_true: Any, treatment: Any, negative_effect: bool = True) -> Curve:
    """The Qini curve of the best ranking. With negative_effect, the curve of the score
    y * t - y * (1 - t): treated responders first, control responders last. Without it, the
    points (0, 0), (R, R), (n, R), where R = Y_T - N_T * Y_C / N_C over all rows."""
    return curves.perfect_qini_curve(*outcome_inputs(y_true, treatment), negative_effect)


def _area_score(
    name: str,
    curve_of: Callable[[np.ndarray, np.ndarray, np.ndarray], Curve],
    perfect_of: Callable[[np.ndarray, np.ndarray], Curve],
    inputs: tuple[Any, Any, Any],
    normalize: bool,
) -> float:
    y, scores, flags = uplift_inputs(*inputs)
    require_both_groups(flags, name)
    curve = curve_of(y, scores, flags)
    if not normalize:
        return curves.area_above_random(curve)
    require_binary(y, name, _CONTINUOUS_HINT)
    return curves.normalised_area(curve, perfect_of(y, flags))


def qini_auc_score(
    y_true: Any, uplift: Any, treatment: Any, negative_effect: bool = True, normalize: bool = True
) -> float:
    """Normalised area under the Qini curve: (A - B) / (A* - B), with A the trapezoidal area of
    qini_curve, A* that of perfect_qini_curve(negative_effect) and B the area under the straight
    line from (0, 0) to the perfect curve's last point. 1 is the best ranking, 0 random.

    Needs binary outcomes. With normalize=False (any outcomes), A - B: the area between the curve
    and the random line, in rows x outcome units."""
    def perfect(y: np.ndarray, flags: np.ndarray) -> Curve:
        return curves.perfect_qini_curve(y, flags, negative_effect)

    return _area_score(
        "qini_auc_score", curves.qini_curve, perfect, (y_true, uplift, treatment), normalize
    )


def uplift_auc_score(y_true: Any, uplift: Any, treatment: Any, normalize: bool = True) -> float:
    """Normalised area under the uplift curve: (A - B) / (A* - B) as for qini_auc_score, with
    uplift_curve and perfect_uplift_curve. Needs binary outcomes; with normalize=False (any
    outcomes), A - B."""
    return _area_score(
        "uplift_auc_score",
        curves.uplift_curve,
        curves.perfect_uplift_curve,
        (y_true, uplift, treatment),
        normalize,
    )


def _top_count(k: Any, n_rows: int, rows: str) -> int:
    """How many of n_rows rows the first k are: a fraction k in (0, 1) gives floor(n_rows * k),
    an integer k is the count itself."""
    if isinstance(k, numbers.Integral) and not isinstance(k, bool):
        count = int(k)
        if not 1 <= count <= n_rows:
            raise ValueError(f"k={k} is out of range: there are {n_rows} {rows}")
        return count
    if isinstance(k, numbers.Real) and not isinstance(k, bool):
        fraction = float(k)
        if not 0 < fraction < 1:
            raise ValueError(f"k={k} is out of range: a fraction must lie strictly between 0 and 1")
        # Rounded first so that a fraction such as 0.29 of 100 rows is 29 rows, not the 28 that
        # the float product 28.999999999999996 would floor to.
        return math.floor(round(fraction * n_rows, 9))
    raise ValueError(f"k must be a fraction in (0, 1) or a number of rows, not {k!r}")


def _mean(outcomes: np.ndarray, what: str) -> float:
    if len(outcomes) == 0:
        raise ValueError(f"uplift_at_k: {what}: the mean is undefined")
    return float(np.mean(outcomes))


def uplift_at_k(y_true: Any, uplift: Any, treatment: Any, strategy: str, k: Any = 0.3) -> float:
    """Uplift among the highest-ranked rows: mean outcome of the treated rows minus that of the
    control rows. k is a fraction in (0, 1) or a number of rows.

    strategy "overall": the first floor(n * k) rows (or k rows) of all.
    strategy "by_group": the first floor(k * n_treated) treated rows and the first
    floor(k * n_control) control rows (or k of each), each group ranked on its own."""
    if strategy not in ("overall", "by_group"):
        raise ValueError(f'strategy must be "overall" or "by_group", not {strategy!r}')
    y, scores, flags = uplift_inputs(y_true, uplift, treatment)
    y, flags = curves.ranked(y, flags, scores=scores)
    treated = flags == 1
    if strategy == "overall":
        n_top = _top_count(k, len(y), "rows")
        top, top_treated = y[:n_top], treated[:n_top]
        where = f"the first {n_top} rows hold no"
        return _mean(top[top_treated], f"{where} treated rows") - _mean(
            top[~top_treated], f"{where} control rows"
        )
    treated_y, control_y = y[treated], y[~treated]
    n_treated = _top_count(k, len(treated_y), "treated rows")
    n_control = _top_count(k, len(control_y), "control rows")
    return _mean(treated_y[:n_treated], "no treated row is taken") - _mean(
        control_y[:n_control], "no control row is taken"
    )


def _slice_sums(group: np.ndarray, values: np.ndarray, n_slices: int) -> np.ndarray:
    return np.bincount(group, weights=values, minlength=n_slices)


def uplift_by_percentile(y_true: Any, uplift: Any, treatment: Any, bins: int = 10) -> _pd.DataFrame:
    """Response by score percentile: the ranked rows cut into `bins` consecutive slices of
    nearly equal size (the first n % bins slices one row longer), highest scores first.

    One row per slice, indexed by its percentile range: n_treatment and n_control (row counts),
    response_rate_treatment and response_rate_control (mean outcomes; NaN for a group without
    rows in the slice), uplift (their difference), and the standard errors std_treatment and
    std_control, sqrt(v / n) with v the group's outcome variance in the slice (p * (1 - p) for
    binary outcomes), and std_uplift = sqrt(std_treatment^2 + std_control^2)."""
    import pandas as pd  # only here: the curves and scores need numpy alone

    y, scores, flags = uplift_inputs(y_true, uplift, treatment)
    if not isinstance(bins, numbers.Integral) or isinstance(bins, bool) or not 1 <= bins <= len(y):
        raise ValueError(f"bins must be a whole number from 1 to the {len(y)} rows, not {bins!r}")
    y, flags = curves.ranked(y, flags, scores=scores)
    bins = int(bins)
    sizes = len(y) // bins + (np.arange(bins) < len(y) % bins)
    slice_of_row = np.repeat(np.arange(bins), sizes)

    columns: dict[str, np.ndarray] = {}
    errors = {}
    for group, in_group in (("treatment", flags), ("control", 1.0 - flags)):
        count = _slice_sums(slice_of_row, in_group, bins)
        with np.errstate(invalid="ignore", divide="ignore"):
            rate = _slice_sums(slice_of_row, y * in_group, bins) / count
            second_moment = _slice_sums(slice_of_row, y * y * in_group, bins) / count
            errors[group] = np.sqrt(np.maximum(second_moment - rate * rate, 0.0) / count)
        columns[f"n_{group}"] = count.astype(np.int64)
        columns[f"response_rate_{group}"] = rate
    columns["uplift"] = columns["response_rate_treatment"] - columns["response_rate_control"]
    columns["std_treatment"] = errors["treatment"]
    columns["std_control"] = errors["control"]
    columns["std_uplift"] = np.hypot(errors["treatment"], errors["control"])

    edges = [f"{100 * i / bins:g}" for i in range(bins + 1)]
    index = pd.Index([f"{low}-{high}" for low, high in zip(edges, edges[1:])], name="percentile")
    order = ["n_treatment", "n_control", "response_rate_treatment", "response_rate_control"]
    order += ["uplift", "std_treatment", "std_control", "std_uplift"]
    return pd.DataFrame({name: columns[name] for name in order}, index=index)


_SCORES: dict[str, Callable[..., float]] = {
    "qini_auc_score": qini_auc_score,
    "uplift_auc_score": uplift_auc_score,
    "uplift_at_k": uplift_at_k,
}


def make_uplift_scorer(name: str, **kwargs: Any) -> Any:
    """A scikit-learn scorer of the estimators of quorvanta_sklearn by one of "qini_auc_score",
    "uplift_auc_score" or "uplift_at_k" (kwargs go to the function, e.g. strategy and k).

    It scores the first treatment column: predict(X)[:, 0] on the rows whose treatment label is
    the estimator's control_name_ (as 0) or its treatment_names_[0] (as 1); rows of other
    groups are left out. It requests `treatment` through metadata routing, so enable routing
    (sklearn.set_config(enable_metadata_routing=True)) and pass treatment to the search's or
    cross_validate's fit, which routes it to the estimator's fit and to the scorer."""
    from quorvanta_sklearn._scorer import UpliftScorer

    if name not in _SCORES:
        raise ValueError(f"unknown uplift score {name!r}: choose one of {', '.join(_SCORES)}")
    score_function = _SCORES[name]
    try:
        inspect.signature(score_function).bind(None, None, None, **kwargs)
    except TypeError as error:
        raise TypeError(f"make_uplift_scorer({name!r}): {error}") from None
    return UpliftScorer(name, score_function, kwargs)
