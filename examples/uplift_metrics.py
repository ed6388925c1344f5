"""Qini curve and coefficient: how well predicted effects rank rows for targeting. Shared by the
demo and the peer benchmark."""

from __future__ import annotations

import numpy as np


def qini_curve(uplift: np.ndarray, treated: np.ndarray, y: np.ndarray):
    """Cumulative incremental outcome when targeting rows by decreasing predicted uplift."""
    order = np.argsort(-uplift, kind="stable")
    t = treated[order]
    yy = y[order]
    n_t = np.cumsum(t)
    n_c = np.cumsum(1 - t)
    y_t = np.cumsum(yy * t)
    y_c = np.cumsum(yy * (1 - t))
    with np.errstate(divide="ignore", invalid="ignore"):
        gain = y_t - np.where(n_c > 0, y_c * n_t / n_c, 0.0)
    fraction = np.arange(1, len(order) + 1) / len(order)
    return np.concatenate([[0.0], fraction]), np.concatenate([[0.0], gain])


def qini_coefficient(uplift, treated, y):
    """Area between the Qini curve and the straight line of random targeting."""
    fraction, gain = qini_curve(uplift, treated, y)
    random_line = fraction * gain[-1]
    height = gain - random_line
    return float(np.sum((height[1:] + height[:-1]) / 2 * np.diff(fraction)))
