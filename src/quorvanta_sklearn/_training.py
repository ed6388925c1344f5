"""The training table of a fit: the encoded features followed by the treatment groups, the
outcome and the weights, with the model configuration that names those columns. Shared by the
local estimators and the Dask ones, which build one per partition."""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvanta_sklearn._tables import Block, FeatureCoding, header_names
from quorvanta_sklearn._targets import TreatmentCoding, outcome, weights

TREATMENT_COLUMN = "__treatment__"
OUTCOME_COLUMN = "__outcome__"
WEIGHT_COLUMN = "__weight__"
RESERVED = (TREATMENT_COLUMN, OUTCOME_COLUMN, WEIGHT_COLUMN)


def feature_headers(coding: FeatureCoding) -> list[str]:
    return header_names(coding.names, coding.n_features, RESERVED)


def table_headers(coding: FeatureCoding, weighted: bool) -> list[str]:
    extra = [TREATMENT_COLUMN, OUTCOME_COLUMN] + ([WEIGHT_COLUMN] if weighted else [])
    return feature_headers(coding) + extra


def column_conf(coding: FeatureCoding, weighted: bool) -> dict[str, Any]:
    """The configuration keys that give the table's columns their roles."""
    headers = feature_headers(coding)
    return {
        "feature": headers,
        "cat": [name for name, flag in zip(headers, coding.categorical) if flag],
        "treatment": [TREATMENT_COLUMN],
        "y": OUTCOME_COLUMN,
        "weight": WEIGHT_COLUMN if weighted else "",
    }


def group_codes(treatments: TreatmentCoding, series: Any) -> np.ndarray:
    codes = treatments.codes(series)
    if (codes < 0).any():
        raise ValueError(
            "treatment holds labels the forest was not fitted with; the groups are "
            f"{[treatments.control, *treatments.treatments]!r}"
        )
    return codes


def training_block(
    coding: FeatureCoding,
    X: Any,
    y: Any,
    treatment: Any,
    sample_weight: Any,
    binary: bool,
    treatments: TreatmentCoding | None,
    control_name: Any = None,
) -> tuple[Block, TreatmentCoding, bool]:
    """The model's table of one fit (or one partition), the treatment coding (learnt here when
    `treatments` is None) and whether the table has a weight column."""
    frame = coding.aligned(X)
    n_rows = frame.n_rows
    y_values = outcome(y, n_rows, binary)
    weight_values = weights(sample_weight, n_rows)
    if treatments is None:
        treatments, series = TreatmentCoding.fit(treatment, control_name, n_rows)
    else:
        series = TreatmentCoding.checked(treatment, n_rows)
    codes = group_codes(treatments, series)
    n_extra = 2 + (weight_values is not None)
    block = coding.block(frame, n_extra)
    block.set_column(coding.n_features, codes)
    block.set_column(coding.n_features + 1, y_values)
    if weight_values is not None:
        block.set_column(coding.n_features + 2, weight_values)
    return block, treatments, weight_values is not None
