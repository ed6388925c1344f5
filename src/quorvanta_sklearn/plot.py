"""Plots of the uplift metrics on matplotlib Axes: the Qini and uplift curves of a ranking beside
random targeting and the best ranking, and the response rates by score percentile.

Takes y_true, uplift and treatment (1 treated, 0 control) as the metrics do. Each function draws
on `ax` (a new figure's Axes when None) and returns it."""

from __future__ import annotations

from typing import Any

try:
    import matplotlib  # noqa: F401  (only to fail early, with the name of the extra)
except ImportError as _missing:
    raise ImportError(
        "quorvanta_sklearn.plot draws with matplotlib, which is not installed; install the "
        "plot extra: pip install 'quorvanta[plot]'"
    ) from _missing

import numpy as np

from quorvanta_sklearn import _curves as curves
from quorvanta_sklearn import metrics
from quorvanta_sklearn._inputs import (
    is_binary,
    require_binary,
    require_both_groups,
    uplift_inputs,
)

_PERFECT_STYLE = {"color": "tab:green", "linestyle": ":", "label": "perfect"}
_RANDOM_STYLE = {"color": "grey", "linestyle": "--", "label": "random"}


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.subplots()[1]


def _draw_curves(ax: Any, curve: Any, perfect: Any, label: str, title: str, y_label: str) -> Any:
    x, y = curve
    ax.plot(x, y, label=label)
    ax.plot([0.0, x[-1]], [0.0, y[-1]], **_RANDOM_STYLE)
    if perfect is not None:
        ax.plot(*perfect, **_PERFECT_STYLE)
    ax.set_title(title)
    ax.set_xlabel("rows targeted, highest uplift first")
    ax.set_ylabel(y_label)
    ax.legend()
    return ax


def _score_label(name: str, score_name: str, curve: Any, perfect: Any) -> str:
    """The legend entry of the model: its normalised score where the outcomes allow one (a
    perfect curve is given, above the random line), the unnormalised area otherwise."""
    if perfect is not None and curves.area_above_random(perfect) != 0:
        return f"{name} ({score_name} {curves.normalised_area(curve, perfect):.3f})"
    return f"{name} (area above random {curves.area_above_random(curve):.4g})"


def plot_qini_curve(
    y_true: Any,
    uplift: Any,
    treatment: Any,
    *,
    perfect: bool = True,
    negative_effect: bool = True,
    name: str = "model",
    ax: Any = None,
) -> Any:
    """The Qini curve of the scores, the random line and (perfect=True) perfect_qini_curve with
    negative_effect. The legend gives qini_auc_score for binary outcomes, the unnormalised
    area above the random line for continuous ones."""
    y, scores, flags = uplift_inputs(y_true, uplift, treatment)
    require_both_groups(flags, "plot_qini_curve")
    curve = curves.qini_curve(y, scores, flags)
    best = curves.perfect_qini_curve(y, flags, negative_effect)
    label = _score_label(name, "Qini AUC", curve, best if is_binary(y) else None)
    return _draw_curves(
        _axes(ax), curve, best if perfect else None, label, "Qini curve", "incremental outcome (Qini)"
    )


def plot_uplift_curve(
    y_true: Any,
    uplift: Any,
    treatment: Any,
    *,
    perfect: bool = True,
    name: str = "model",
    ax: Any = None,
) -> Any:
    """The uplift curve of the scores, the random line and (perfect=True, binary outcomes only)
    perfect_uplift_curve. The legend gives uplift_auc_score for binary outcomes, the
    unnormalised area above the random line for continuous ones."""
    y, scores, flags = uplift_inputs(y_true, uplift, treatment)
    require_both_groups(flags, "plot_uplift_curve")
    curve = curves.uplift_curve(y, scores, flags)
    if perfect:
        require_binary(y, "the perfect uplift curve", "; pass perfect=False")
    best = curves.perfect_uplift_curve(y, flags) if is_binary(y) else None
    label = _score_label(name, "uplift AUC", curve, best)
    return _draw_curves(
        _axes(ax), curve, best if perfect else None, label, "Uplift curve", "uplift x rows targeted"
    )


def plot_uplift_by_percentile(
    y_true: Any, uplift: Any, treatment: Any, bins: int = 10, *, ax: Any = None
) -> Any:
    """Bars per percentile of the scores (highest first): the treated and control response rates
    and the uplift, with the uplift's standard error, from uplift_by_percentile."""
    table = metrics.uplift_by_percentile(y_true, uplift, treatment, bins)
    ax = _axes(ax)
    positions = np.arange(len(table))
    width = 0.27
    ax.bar(positions - width, table["response_rate_treatment"], width, label="treated")
    ax.bar(positions, table["response_rate_control"], width, label="control")
    ax.bar(
        positions + width, table["uplift"], width, yerr=table["std_uplift"], capsize=2,
        label="uplift",
    )
    ax.axhline(0.0, color="black", linewidth=0.8)
    ax.set_xticks(positions, table.index, rotation=45 if len(table) > 10 else 0)
    ax.set_title("Uplift by percentile")
    ax.set_xlabel("percentile of uplift, highest first")
    ax.set_ylabel("response rate")
    ax.legend()
    return ax
