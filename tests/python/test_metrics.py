"""Uplift metrics on small hand-worked cases: curves with ties, perfect curves, normalised areas,
uplift at k, uplift by percentile and the checks of their inputs."""

import numpy as np
import pandas as pd
import pytest

from quorvanta_sklearn.metrics import (
    perfect_qini_curve,
    perfect_uplift_curve,
    qini_auc_score,
    qini_curve,
    uplift_at_k,
    uplift_auc_score,
    uplift_by_percentile,
    uplift_curve,
)

# Ranked (highest score first, ties in reverse row order): rows 1, 0 | 2 | 4, 3 | 5, cut after
# 2, 3, 5 and 6 rows. Running (N_T, N_C, Y_T, Y_C) at the cuts: (1,1,1,0) (2,1,2,0) (3,2,2,1)
# (3,3,2,1).
Y = [1, 0, 1, 0, 1, 0]
SCORES = [0.9, 0.9, 0.5, 0.3, 0.3, 0.1]
T = [1, 0, 1, 1, 0, 0]


def assert_curve(curve, x, y):
    np.testing.assert_allclose(curve[0], x, rtol=0, atol=1e-12)
    np.testing.assert_allclose(curve[1], y, rtol=0, atol=1e-12)


def test_curves_cut_once_per_distinct_score_and_start_at_the_origin():
    # Qini: Y_T - Y_C * N_T / N_C; uplift: (Y_T / N_T - Y_C / N_C) * N.
    assert_curve(qini_curve(Y, SCORES, T), [0, 2, 3, 5, 6], [0, 1, 2, 0.5, 1])
    assert_curve(uplift_curve(Y, SCORES, T), [0, 2, 3, 5, 6], [0, 2, 3, 5 / 6, 2])
    # One run of equal scores is one cut, at all rows.
    assert_curve(qini_curve(Y, [0.2] * 6, T), [0, 6], [0, 1])


def test_a_group_without_rows_yet_counts_as_zero_in_its_ratio():
    # Ranked: treated y=1, then control y=1, then treated y=0, then control y=0.
    y, scores, t = [1, 1, 0, 0], [4, 3, 2, 1], [1, 0, 1, 0]
    assert_curve(qini_curve(y, scores, t), [0, 1, 2, 3, 4], [0, 1, 0, -1, 0])
    assert_curve(uplift_curve(y, scores, t), [0, 1, 2, 3, 4], [0, 1, 0, -1.5, 0])
    # Control first: the treated ratio is 0 while N_T is 0.
    assert_curve(uplift_curve([1, 1], [2, 1], [0, 1]), [0, 1, 2], [0, -1, 0])


def test_curves_match_counting_the_rows_above_each_threshold():
    """The rows ranked before a cut are those with score >= the cut's score; many ties."""
    rng = np.random.default_rng(3)
    y = rng.integers(0, 2, 300).astype(float)
    t = rng.integers(0, 2, 300).astype(float)
    scores = rng.integers(0, 12, 300) / 4.0
    x_qini, qini = qini_curve(y, scores, t)
    x_uplift, uplift = uplift_curve(y, scores, t)
    thresholds = np.unique(scores)[::-1]
    assert len(x_qini) == len(thresholds) + 1
    for i, threshold in enumerate(thresholds, start=1):
        above = scores >= threshold
        n_t, n_c = np.sum(above & (t == 1)), np.sum(above & (t == 0))
        y_t, y_c = np.sum(y[above & (t == 1)]), np.sum(y[above & (t == 0)])
        assert x_qini[i] == x_uplift[i] == above.sum()
        assert qini[i] == pytest.approx(y_t - (y_c * n_t / n_c if n_c else 0.0))
        rates = (y_t / n_t if n_t else 0.0) - (y_c / n_c if n_c else 0.0)
        assert uplift[i] == pytest.approx(rates * above.sum())


def test_perfect_qini_curves():
    # Score y*t - y*(1-t): treated responders (rows 2, 0), then the zeros, then row 4.
    assert_curve(perfect_qini_curve(Y, T), [0, 2, 5, 6], [0, 2, 2, 1])
    # R = Y_T - N_T * Y_C / N_C = 2 - 3 * 1 / 3.
    assert_curve(perfect_qini_curve(Y, T, negative_effect=False), [0, 1, 6], [0, 1, 1])


def test_perfect_uplift_curve_breaks_ties_by_outcome_or_treatment():
    # CR = 1 control responder, TN = 1 treated non-responder: CR > TN fails, score 2*(y==t) + t.
    assert_curve(perfect_uplift_curve(Y, T), [0, 2, 4, 5, 6], [0, 2, 4, 10 / 3, 2])
    # CR = 2 > TN = 1: score 2*(y==t) + y = 3, 1, 0, 1 ranks rows 0, 3, 1, 2.
    assert_curve(perfect_uplift_curve([1, 1, 0, 1], [1, 0, 1, 0]), [0, 1, 3, 4], [0, 1, 0, -2])


def test_normalised_areas():
    # Qini: area 5.75, perfect area 9.5 (4.5 without negative effects: 0.5 + 5), random 3.
    assert qini_auc_score(Y, SCORES, T) == pytest.approx(2.75 / 6.5)
    assert qini_auc_score(Y, SCORES, T, negative_effect=False) == pytest.approx(2.75 / 2.5)
    # Uplift: area 9.75, perfect area 14 + 1/3, random 6.
    assert uplift_auc_score(Y, SCORES, T) == pytest.approx(3.75 / (8 + 1 / 3))
    assert qini_auc_score(Y, SCORES, T, normalize=False) == pytest.approx(2.75)
    assert uplift_auc_score(Y, SCORES, T, normalize=False) == pytest.approx(3.75)
    # The best ranking scores 1, the reversed best ranking below 0.
    best = np.array(Y) * np.array(T) - np.array(Y) * (1 - np.array(T))
    assert qini_auc_score(Y, best, T) == pytest.approx(1.0)
    assert qini_auc_score(Y, -best, T) < 0


def test_continuous_outcomes_have_only_the_unnormalised_area():
    # Qini curve 0, 3, 2, 1, 0 (ends at 0, so the random line is 0): area 6.
    y, scores, t = [3.0, 1.0, 0.0, 2.0], [0.4, 0.3, 0.2, 0.1], [1, 0, 1, 0]
    assert qini_auc_score(y, scores, t, normalize=False) == pytest.approx(6.0)
    for score in (qini_auc_score, uplift_auc_score):
        with pytest.raises(ValueError, match="binary outcomes .*normalize=False"):
            score(y, scores, t)
    with pytest.raises(ValueError, match="binary outcomes"):
        perfect_uplift_curve(y, t)


def test_scores_refuse_data_where_they_mean_nothing():
    with pytest.raises(ValueError, match="no control rows"):
        qini_auc_score([1, 0], [1, 2], [1, 1])
    with pytest.raises(ValueError, match="no treated rows"):
        uplift_auc_score([1, 0], [1, 2], [0, 0])
    with pytest.raises(ValueError, match="undefined"):
        qini_auc_score([0, 0, 0, 0], [1, 2, 3, 4], [1, 0, 1, 0])


def test_uplift_at_k_takes_tied_rows_in_reverse_row_order():
    # All scores tie, so the ranking is rows 3, 2, 1, 0.
    y, scores, t = [0, 1, 1, 0], [0.5] * 4, [1, 1, 0, 0]
    # First 3 rows: treated row 1 (y 1), control rows 3 and 2 (y 0 and 1).
    assert uplift_at_k(y, scores, t, "overall", k=3) == pytest.approx(0.5)
    assert uplift_at_k(y, scores, t, "overall", k=0.75) == pytest.approx(0.5)
    # First treated row is row 1 (y 1), first control row is row 3 (y 0).
    assert uplift_at_k(y, scores, t, "by_group", k=1) == pytest.approx(1.0)
    assert uplift_at_k(y, scores, t, "by_group", k=0.5) == pytest.approx(1.0)


def test_uplift_at_k_counts():
    # Ranked rows 1, 0, 2, 4, 3, 5; floor(6 * 0.5) = 3 rows: treated mean 1, control mean 0.
    assert uplift_at_k(Y, SCORES, T, "overall", k=0.5) == pytest.approx(1.0)
    # floor(0.7 * 3) = 2 of each group: treated rows 0, 2 (mean 1), control rows 1, 4 (0.5).
    assert uplift_at_k(Y, SCORES, T, "by_group", k=0.7) == pytest.approx(0.5)
    assert uplift_at_k(Y, SCORES, T, "by_group", k=2) == pytest.approx(0.5)
    # 0.29 of 100 rows is 29 rows, although 0.29 * 100 is 28.999999999999996 in floats.
    y100 = np.zeros(100)
    t100 = np.r_[np.zeros(28), 1.0, np.zeros(71)]  # the 29th row is the only treated one in 29
    y100[28] = 1.0
    assert uplift_at_k(y100, -np.arange(100), t100, "overall", k=0.29) == pytest.approx(1.0)


@pytest.mark.parametrize(
    "strategy, k, message",
    [
        ("overall", 0.0, "out of range"),
        ("overall", 1.0, "out of range"),
        ("overall", 7, "out of range: there are 6 rows"),
        ("overall", 0, "out of range"),
        ("by_group", 4, "out of range: there are 3 treated rows"),
        ("overall", True, "fraction in \\(0, 1\\) or a number of rows"),
        ("overall", "all", "fraction in \\(0, 1\\) or a number of rows"),
        ("overall", 0.1, "the first 0 rows hold no treated rows"),
        ("overall", 1, "the first 1 rows hold no treated rows"),
        ("by_group", 0.2, "no treated row is taken"),
        ("best", 0.3, 'strategy must be "overall" or "by_group"'),
    ],
)
def test_uplift_at_k_refuses_out_of_range_k_and_empty_groups(strategy, k, message):
    with pytest.raises(ValueError, match=message):
        uplift_at_k(Y, SCORES, T, strategy, k=k)


def test_uplift_by_percentile_slices_the_ranking():
    # 6 rows in 4 slices of 2, 2, 1 and 1: rows (1, 0), (2, 4), (3), (5).
    table = uplift_by_percentile(Y, SCORES, T, bins=4)
    assert list(table.index) == ["0-25", "25-50", "50-75", "75-100"]
    assert list(table["n_treatment"]) == [1, 1, 1, 0]
    assert list(table["n_control"]) == [1, 1, 0, 1]
    np.testing.assert_array_equal(table["response_rate_treatment"], [1, 1, 0, np.nan])
    np.testing.assert_array_equal(table["response_rate_control"], [0, 1, np.nan, 0])
    np.testing.assert_array_equal(table["uplift"], [1, 0, np.nan, np.nan])
    # Standard errors sqrt(p * (1 - p) / n): p = 1/2 of 2 rows in each group.
    one = uplift_by_percentile([1, 0, 1, 0], [4, 3, 2, 1], [1, 1, 0, 0], bins=1).iloc[0]
    assert one["std_treatment"] == pytest.approx(np.sqrt(0.125))
    assert one["std_control"] == pytest.approx(np.sqrt(0.125))
    assert one["std_uplift"] == pytest.approx(0.5)
    for bins in (0, 7, 2.5, True):
        with pytest.raises(ValueError, match="bins must be a whole number"):
            uplift_by_percentile(Y, SCORES, T, bins=bins)


@pytest.mark.parametrize(
    "y, scores, t, message",
    [
        ([1, np.nan], [1, 2], [0, 1], "y_true holds NaN or infinite values in 1 rows \\(positions 1\\)"),
        ([1, np.inf], [1, 2], [0, 1], "y_true holds NaN or infinite"),
        ([1, 0], [np.nan, 2], [0, 1], "uplift holds NaN in 1 rows \\(positions 0\\)"),
        ([1, 0], [1, 2], [0, np.nan], "treatment must hold only 1 .* found the values 0, nan"),
        ([1, 0], [1, 2], [0, 2], "found the values 0, 2; with several treatment groups"),
        ([1, 0], [1, 2, 3], [0, 1], "uplift has 3 rows but y_true has 2"),
        ([1, 0], [1, 2], [0, 1, 1], "treatment has 3 rows but y_true has 2"),
        ([], [], [], "no rows to evaluate"),
        ([1, 0], [[1, 2], [3, 4]], [0, 1], "uplift has 2 columns"),
        (["a", "b"], [1, 2], [0, 1], "y_true must hold numbers"),
        (pd.Series([1, pd.NA], dtype="Int64"), [1, 2], [0, 1], "y_true holds NaN"),
    ],
)
def test_inputs_are_checked(y, scores, t, message):
    with pytest.raises(ValueError, match=message):
        qini_curve(y, scores, t)


def test_inputs_take_series_lists_and_one_column_predictions():
    expected = qini_curve(Y, SCORES, T)
    as_series = qini_curve(pd.Series(Y), pd.Series(SCORES), pd.Series(T, dtype=bool))
    one_column = qini_curve(np.array(Y), np.array(SCORES, dtype=np.float32)[:, None], T)
    for curve in (as_series, one_column):
        assert_curve(curve, *expected)
    # An infinite score still ranks first.
    assert_curve(qini_curve([1, 0], [np.inf, 0.0], [1, 0]), [0, 1, 2], [0, 1, 1])
