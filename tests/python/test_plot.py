"""quorvanta_sklearn.plot: what each plot draws, its legend's score, the Axes it returns, and the
message when matplotlib is missing."""

import importlib
import sys

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from quorvanta_sklearn import metrics  # noqa: E402
from quorvanta_sklearn.plot import (  # noqa: E402
    plot_qini_curve,
    plot_uplift_by_percentile,
    plot_uplift_curve,
)

RNG = np.random.default_rng(5)
T = RNG.integers(0, 2, 400)
SCORES = RNG.normal(size=400)
Y = (RNG.random(400) < 0.3 + 0.2 * T * (SCORES > 0)).astype(int)


@pytest.fixture
def ax():
    figure, axes = plt.subplots()
    yield axes
    plt.close(figure)


def lines_by_label(ax):
    return {line.get_label().split(" (")[0]: line for line in ax.get_lines()}


def test_qini_plot_draws_model_random_and_perfect_with_the_score(ax):
    assert plot_qini_curve(Y, SCORES, T, name="forest", ax=ax) is ax
    lines = lines_by_label(ax)
    assert set(lines) == {"forest", "random", "perfect"}
    x, y = metrics.qini_curve(Y, SCORES, T)
    np.testing.assert_array_equal(lines["forest"].get_xdata(), x)
    np.testing.assert_array_equal(lines["forest"].get_ydata(), y)
    np.testing.assert_array_equal(lines["random"].get_ydata(), [0, y[-1]])
    np.testing.assert_array_equal(
        lines["perfect"].get_ydata(), metrics.perfect_qini_curve(Y, T)[1]
    )
    score = metrics.qini_auc_score(Y, SCORES, T)
    assert f"Qini AUC {score:.3f}" in lines["forest"].get_label()
    assert [text.get_text() for text in ax.get_legend().get_texts()][0].startswith("forest")


def test_uplift_plot_and_its_options(ax):
    plot_uplift_curve(Y, SCORES, T, perfect=False, ax=ax)
    lines = lines_by_label(ax)
    assert set(lines) == {"model", "random"}
    # The normalised score needs the perfect curve, not its line.
    score = metrics.uplift_auc_score(Y, SCORES, T)
    assert f"uplift AUC {score:.3f}" in lines["model"].get_label()
    with_perfect = plot_uplift_curve(Y, SCORES, T)  # a new figure's Axes
    try:
        assert with_perfect is not ax
        assert set(lines_by_label(with_perfect)) == {"model", "random", "perfect"}
    finally:
        plt.close(with_perfect.figure)


def test_continuous_outcomes_are_plotted_with_the_unnormalised_area(ax):
    y = Y * 10.0 + RNG.normal(size=400)
    plot_qini_curve(y, SCORES, T, ax=ax)
    area = metrics.qini_auc_score(y, SCORES, T, normalize=False)
    assert f"area above random {area:.4g}" in ax.get_lines()[0].get_label()
    with pytest.raises(ValueError, match="perfect uplift curve needs binary outcomes"):
        plot_uplift_curve(y, SCORES, T, ax=ax)


def test_curve_plots_without_a_normalised_score(ax):
    # No outcome of 1: no ranking beats random, so the legend gives the area.
    plot_uplift_curve(np.zeros(400), SCORES, T, ax=ax)
    assert "area above random 0" in ax.get_lines()[0].get_label()
    with pytest.raises(ValueError, match="plot_qini_curve needs treated and control rows"):
        plot_qini_curve(Y, SCORES, np.ones(400), ax=ax)


def test_uplift_by_percentile_bars(ax):
    assert plot_uplift_by_percentile(Y, SCORES, T, bins=5, ax=ax) is ax
    table = metrics.uplift_by_percentile(Y, SCORES, T, bins=5)
    bars = {container.get_label(): container for container in ax.containers}
    for label, column in (("treated", "response_rate_treatment"),
                          ("control", "response_rate_control"), ("uplift", "uplift")):
        heights = [patch.get_height() for patch in bars[label].patches]
        np.testing.assert_allclose(heights, table[column])
    assert [tick.get_text() for tick in ax.get_xticklabels()] == list(table.index)


def test_missing_matplotlib_names_the_plot_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
    monkeypatch.delitem(sys.modules, "quorvanta_sklearn.plot")
    with pytest.raises(ImportError, match=r"pip install 'quorvanta\[plot\]'"):
        importlib.import_module("quorvanta_sklearn.plot")
