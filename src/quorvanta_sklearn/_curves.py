"""The curves and areas behind the uplift metrics, on checked float64 columns: y (outcomes),
scores and flags (1 treated, 0 control)."""

from __future__ import annotations

import numpy as np

from quorvanta_sklearn._inputs import require_binary

Curve = tuple[np.ndarray, np.ndarray]


def ratio(numerator: np.ndarray, denominator: np.ndarray) -> np.ndarray:
    """numerator / denominator, 0 where the denominator is 0 (a group without rows yet)."""
    quotient: np.ndarray = np.divide(
        numerator, denominator, out=np.zeros_like(numerator), where=denominator != 0
    )
    return quotient


def ranked(*columns: np.ndarray, scores: np.ndarray) -> list[np.ndarray]:
    """The columns in ranking order: a stable ascending sort of the scores, reversed, so rows of
    equal score come in reverse row order."""
    order = np.argsort(scores, kind="stable")[::-1]
    return [column[order] for column in columns]


def running_sums(y: np.ndarray, scores: np.ndarray, flags: np.ndarray) -> tuple[np.ndarray, ...]:
    """N, N_T, N_C, Y_T and Y_C after the last row of each run of equal scores."""
    y, flags, scores = ranked(y, flags, scores, scores=scores)
    cuts = np.append(np.flatnonzero(scores[1:] != scores[:-1]), len(scores) - 1)
    n_rows = (cuts + 1).astype(np.float64)
    n_treated = np.cumsum(flags)[cuts]
    y_treated = np.cumsum(y * flags)[cuts]
    y_control = np.cumsum(y * (1.0 - flags))[cuts]
    return n_rows, n_treated, n_rows - n_treated, y_treated, y_control


def from_origin(x: np.ndarray, y: np.ndarray) -> Curve:
    if x[0] != 0 or y[0] != 0:
        return np.concatenate([[0.0], x]), np.concatenate([[0.0], y])
    return x, y


def uplift_curve(y: np.ndarray, scores: np.ndarray, flags: np.ndarray) -> Curve:
    n_rows, n_treated, n_control, y_treated, y_control = running_sums(y, scores, flags)
    values = (ratio(y_treated, n_treated) - ratio(y_control, n_control)) * n_rows
    return from_origin(n_rows, values)


def qini_curve(y: np.ndarray, scores: np.ndarray, flags: np.ndarray) -> Curve:
    n_rows, n_treated, n_control, y_treated, y_control = running_sums(y, scores, flags)
    values = y_treated - y_control * ratio(n_treated, n_control)
    return from_origin(n_rows, values)


def perfect_uplift_curve(y: np.ndarray, flags: np.ndarray) -> Curve:
    require_binary(y, "perfect_uplift_curve")
    control_responders = np.sum(y * (1.0 - flags))
    treated_non_responders = np.sum((1.0 - y) * flags)
    tie_breaker = y if control_responders > treated_non_responders else flags
    return uplift_curve(y, 2.0 * (y == flags) + tie_breaker, flags)


def perfect_qini_curve(y: np.ndarray, flags: np.ndarray, negative_effect: bool) -> Curve:
    if negative_effect:
        return qini_curve(y, y * flags - y * (1.0 - flags), flags)
    n_treated = np.sum(flags)
    n_control = len(flags) - n_treated
    y_control = np.sum(y * (1.0 - flags))
    net = np.sum(y * flags) - (n_treated * y_control / n_control if n_control else 0.0)
    return np.array([0.0, net, len(y)]), np.array([0.0, net, net])


def area(curve: Curve) -> float:
    """Trapezoidal area under a curve."""
    x, y = curve
    return float(np.sum((y[1:] + y[:-1]) * np.diff(x)) / 2.0)


def random_area(curve: Curve) -> float:
    """Area under the straight line from (0, 0) to the curve's last point: random targeting."""
    x, y = curve
    return float(x[-1] * y[-1] / 2.0)


def area_above_random(curve: Curve) -> float:
    """Area between the curve and the random line to its last point: the unnormalised score."""
    return area(curve) - random_area(curve)


def normalised_area(curve: Curve, perfect: Curve) -> float:
    """(area(curve) - random) / (area(perfect) - random), the random line's end being the
    perfect curve's last point."""
    baseline = random_area(perfect)
    best = area(perfect) - baseline
    if best == 0:
        raise ValueError(
            "the score is undefined: the best ranking does no better than random targeting "
            "(for example, no row has an outcome of 1)"
        )
    return (area(curve) - baseline) / best
