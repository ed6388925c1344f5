"""The per-row inputs besides the features: the outcome, the treatment labels and the weights,
checked and turned into the float32 columns the model reads."""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any

import numpy as np

# The model numbers treatment groups with one byte, and a group number of 255 leaves it without
# a group count: control and at most 254 treatment groups.
MAX_GROUPS = 255
_SHOWN = 5  # row positions a message lists


def _one_dimensional(name: str, values: Any, n_rows: int) -> Any:
    import pandas as pd

    if isinstance(values, pd.DataFrame):
        if values.shape[1] != 1:
            raise ValueError(f"{name} must be one column, not {values.shape[1]}")
        values = values.iloc[:, 0]
    series = values if isinstance(values, pd.Series) else None
    if series is None:
        array = np.asarray(values.to_numpy() if hasattr(values, "to_numpy") else values)
        if array.ndim == 2 and array.shape[1] == 1:
            array = array[:, 0]
        if array.ndim != 1:
            raise ValueError(f"{name} must be 1-D, not of shape {array.shape}")
        series = pd.Series(array, copy=False)
    if len(series) != n_rows:
        raise ValueError(f"{name} has {len(series)} rows but X has {n_rows}")
    return series


def _positions(flags: np.ndarray) -> str:
    where = np.flatnonzero(flags)
    shown = ", ".join(str(position) for position in where[:_SHOWN])
    more = ", ..." if len(where) > _SHOWN else ""
    return f"{len(where)} row{'s' if len(where) != 1 else ''} (positions {shown}{more})"


def _finite(name: str, series: Any) -> np.ndarray:
    import pandas as pd

    missing = series.isna().to_numpy()
    if missing.any():
        raise ValueError(f"{name} has missing values in {_positions(missing)}")
    if pd.api.types.is_bool_dtype(series.dtype):
        return series.to_numpy(dtype=np.float64)
    if not pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_complex_dtype(
        series.dtype
    ):
        raise TypeError(f"{name} must be numeric, not of dtype {series.dtype}")
    values = series.to_numpy(dtype=np.float64)
    bad = ~np.isfinite(values)
    if bad.any():
        raise ValueError(f"{name} has non-finite values in {_positions(bad)}")
    return values


def outcome(y: Any, n_rows: int, binary: bool) -> np.ndarray:
    """The outcome as float64 (the caller narrows it); for a classifier only 0 and 1."""
    values = _finite("y", _one_dimensional("y", y, n_rows))
    if binary:
        wrong = (values != 0) & (values != 1)
        if wrong.any():
            found = np.unique(values)
            shown = ", ".join(f"{value:g}" for value in found[:10])
            raise ValueError(
                "y of a classifier must hold only 0 and 1 (ints, floats or bools); found the "
                f"values {shown}{', ...' if len(found) > 10 else ''}"
            )
    return values


def weights(sample_weight: Any, n_rows: int) -> np.ndarray | None:
    if sample_weight is None:
        return None
    return _finite("sample_weight", _one_dimensional("sample_weight", sample_weight, n_rows))


def _sorted_labels(labels: list[Hashable]) -> list[Hashable]:
    try:
        return sorted(labels)  # type: ignore[type-var]
    except TypeError:
        return sorted(labels, key=lambda label: (type(label).__name__, repr(label)))


def _is_number(label: Any) -> bool:
    return isinstance(label, (int, float, np.integer, np.floating)) and not isinstance(
        label, (bool, np.bool_)
    )


@dataclass(frozen=True)
class TreatmentCoding:
    """The control label and the other labels in group order (group 1, 2, ...)."""

    control: Hashable
    treatments: list[Hashable]

    @staticmethod
    def checked(treatment: Any, n_rows: int) -> Any:
        """The labels as a Series, refused when some are missing."""
        series = _one_dimensional("treatment", treatment, n_rows)
        missing = series.isna().to_numpy()
        if missing.any():
            raise ValueError(f"treatment has missing values in {_positions(missing)}")
        return series

    @classmethod
    def fit(cls, treatment: Any, control_name: Any, n_rows: int) -> tuple[TreatmentCoding, Any]:
        series = cls.checked(treatment, n_rows)
        return cls.of_labels(list(series.unique()), control_name), series

    @classmethod
    def of_labels(cls, labels: list[Any], control_name: Any) -> TreatmentCoding:
        """The coding of a set of distinct labels."""
        if control_name is None:
            if labels and all(_is_number(label) for label in labels) and 0 in labels:
                control = labels[labels.index(0)]
            else:
                raise ValueError(
                    "treatment labels "
                    f"{_sorted_labels(labels)[:10]!r} do not include the number 0: give "
                    "control_name, the label of the control group"
                )
        else:
            matches = [label for label in labels if label == control_name]
            if not matches:
                raise ValueError(
                    f"control_name {control_name!r} is not among the treatment labels "
                    f"{_sorted_labels(labels)[:10]!r}"
                )
            control = matches[0]
        others = _sorted_labels([label for label in labels if label != control])
        if not others:
            raise ValueError(
                f"treatment holds only one group ({control!r}); uplift needs the control group "
                "and at least one treatment group"
            )
        if len(others) + 1 > MAX_GROUPS:
            raise ValueError(
                f"treatment holds {len(others) + 1} groups; the model holds at most {MAX_GROUPS} "
                "(control and 254 treatments)"
            )
        return cls(control, others)

    def codes(self, series: Any) -> np.ndarray:
        """Group numbers: 0 for control, 1, 2, ... for the other labels in order."""
        import pandas as pd

        index = pd.Index([self.control, *self.treatments], dtype=object, tupleize_cols=False)
        codes = index.get_indexer(series.to_numpy(dtype=object))
        return codes.astype(np.float32)
