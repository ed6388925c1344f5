"""Checks of what the uplift metrics read per row: outcomes, scores and 0/1 treatment flags, each
turned into one float64 column of the same length."""

from __future__ import annotations

from typing import Any

import numpy as np

_SHOWN = 5  # row positions and values a message lists


def _column(name: str, values: Any) -> np.ndarray:
    if hasattr(values, "to_numpy"):  # pandas and polars columns; pandas' NA becomes NaN
        try:
            values = values.to_numpy(dtype=np.float64, na_value=np.nan)
        except TypeError:
            values = values.to_numpy()
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must hold numbers ({error})") from None
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim == 2:
        raise ValueError(
            f"{name} has {array.shape[1]} columns: pass one column, the scores of one treatment "
            "group against control (for example predict(X)[:, 0])"
        )
    if array.ndim != 1:
        raise ValueError(f"{name} must be one column of numbers, not of shape {array.shape}")
    return array


def _refuse_rows(name: str, flags: np.ndarray, what: str) -> None:
    if flags.any():
        where = np.flatnonzero(flags)
        shown = ", ".join(str(position) for position in where[:_SHOWN])
        more = ", ..." if len(where) > _SHOWN else ""
        raise ValueError(f"{name} holds {what} in {len(where)} rows (positions {shown}{more})")


def _found_values(values: np.ndarray) -> str:
    found = np.unique(values)  # NaN sorts last and, in numpy 2, is listed once
    shown = ", ".join(f"{value:g}" for value in found[:_SHOWN])
    return shown + (", ..." if len(found) > _SHOWN else "")


def outcome_inputs(y_true: Any, treatment: Any) -> tuple[np.ndarray, np.ndarray]:
    """y_true and treatment as float64 columns of one non-zero length: finite outcomes, and
    treatment flags that are only 0 (control) and 1 (treated)."""
    y = _column("y_true", y_true)
    flags = _column("treatment", treatment)
    if len(flags) != len(y):
        raise ValueError(f"treatment has {len(flags)} rows but y_true has {len(y)}")
    if len(y) == 0:
        raise ValueError("there are no rows to evaluate")
    _refuse_rows("y_true", ~np.isfinite(y), "NaN or infinite values")
    if ((flags != 0) & (flags != 1)).any():
        raise ValueError(
            "treatment must hold only 1 (treated) and 0 (control), found the values "
            f"{_found_values(flags)}; with several treatment groups, keep the rows of one group "
            "and of control"
        )
    return y, flags


def uplift_inputs(y_true: Any, uplift: Any, treatment: Any) -> tuple[np.ndarray, ...]:
    """As outcome_inputs, with the scores as a third float64 column of the same length: not NaN
    (an infinite score still ranks)."""
    y, flags = outcome_inputs(y_true, treatment)
    scores = _column("uplift", uplift)
    if len(scores) != len(y):
        raise ValueError(f"uplift has {len(scores)} rows but y_true has {len(y)}")
    _refuse_rows("uplift", np.isnan(scores), "NaN")
    return y, scores, flags


def is_binary(y: np.ndarray) -> bool:
    return not ((y != 0) & (y != 1)).any()


def require_binary(y: np.ndarray, what: str, hint: str = "") -> None:
    """Refuses outcomes other than 0 and 1, saying what needs them (and what to do instead)."""
    if not is_binary(y):
        raise ValueError(
            f"{what} needs binary outcomes (0 and 1), found the values {_found_values(y)}{hint}"
        )


def require_both_groups(flags: np.ndarray, what: str) -> None:
    n_treated = int(flags.sum())
    if n_treated == 0 or n_treated == len(flags):
        missing = "treated" if n_treated == 0 else "control"
        raise ValueError(f"{what} needs treated and control rows; there are no {missing} rows")
