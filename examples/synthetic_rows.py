"""Synthetic rows for the raw model (a list of rows of numbers, None for a missing cell, groups
0, 1 and 2 in the treatment column) with a known effect, and their evaluation with
quorvanta_sklearn's metrics. Used by the Dask demo."""

from __future__ import annotations

import numpy as np

from quorvanta_sklearn.metrics import qini_auc_score
from quorvanta_sklearn.plot import plot_qini_curve

FEATURES = ["x0", "x1", "x2", "x3", "x4", "x5", "c0", "c1"]
CATEGORICAL = ["c0", "c1"]
HEADERS = FEATURES + ["treatment", "y"]


def make_data(n: int, continuous: bool, rng: np.random.Generator):
    """Rows of features, a treatment group (0 control, 1 and 2 treated) and an outcome, plus the
    true effect of each treatment for every row."""
    x = rng.normal(size=(n, 6)).astype(np.float32)
    c = rng.integers(0, 5, size=(n, 2)).astype(np.float32)
    treatment = rng.integers(0, 3, size=n).astype(np.float32)
    # Treatment 1 helps where x0 is high, treatment 2 helps category 2 of c0 and hurts others.
    tau1 = 0.12 * (x[:, 0] > 0.0) + 0.04 * np.tanh(x[:, 1])
    tau2 = np.where(c[:, 0] == 2.0, 0.15, -0.03)
    base = 0.25 + 0.05 * np.tanh(x[:, 2]) + 0.03 * (c[:, 1] == 1)
    effect = np.where(treatment == 1, tau1, np.where(treatment == 2, tau2, 0.0))
    if continuous:
        scale = 10.0
        y = scale * (base + effect) + rng.normal(scale=1.0, size=n)
        true_effects = scale * np.stack([tau1, tau2], axis=1)
    else:
        y = (rng.random(n) < np.clip(base + effect, 0.0, 1.0)).astype(np.float32)
        true_effects = np.stack([tau1, tau2], axis=1)
    table = np.column_stack([x, c, treatment, y]).astype(np.float64)
    rows = table.tolist()
    # Some cells are missing: x3 for one row in twenty, c1 for one in fifty.
    for i in range(0, n, 20):
        rows[i][3] = None
    for i in range(7, n, 50):
        rows[i][7] = None
    return rows, treatment.astype(np.int64), y.astype(np.float64), true_effects


def evaluate(name: str, predictions: np.ndarray, treatment, y, true_effects, axes):
    """Report lines of each treatment's Qini score (normalised for 0/1 outcomes, the area above
    random otherwise) beside the true effect's, with the Qini curves drawn on axes[group - 1].
    Rows whose effect is NaN (a regression leaf without rows of the group) are left out."""
    binary = bool(np.isin(y, (0.0, 1.0)).all())
    lines = []
    for group in (1, 2):
        mask = ((treatment == 0) | (treatment == group)) & ~np.isnan(predictions[:, group - 1])
        treated = (treatment[mask] == group).astype(np.float64)
        predicted, truth = predictions[mask, group - 1], true_effects[mask, group - 1]
        model_qini = qini_auc_score(y[mask], predicted, treated, normalize=binary)
        oracle_qini = qini_auc_score(y[mask], truth, treated, normalize=binary)
        kind = "Qini AUC" if binary else "Qini area above random"
        lines.append(
            f"  treatment {group}: {kind} {model_qini:.4g} (true-effect ranking "
            f"{oracle_qini:.4g})"
        )
        ax = plot_qini_curve(y[mask], predicted, treated, perfect=False, name="forest",
                             ax=axes[group - 1])
        ax.set_title(f"{name}: treatment {group} vs control")
    return lines
