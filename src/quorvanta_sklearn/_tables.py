"""Feature tables as the model reads them: a DataFrame, a numpy array (masked or not) or an Arrow
table turned into one float32 block with a mask of missing cells, categorical columns encoded by
a mapping learnt at fit.

The block is allocated once, column-major, with room for the columns the caller appends (the
treatment, outcome and weight): the feature columns are copied once, as float32, and nothing else
is copied. Casting to float32 here rounds exactly as the model's own reading of a wider number
does, so the bins and trees equal those of the model fed the original table.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np

# The code of a category that fit never met: no kept category has it, so the model sends it
# where it sends unseen categories.
UNSEEN_CODE = -1.0


@dataclass
class Block:
    """The table handed to the model: `values` (rows x columns, float32, column-major) and
    `mask` (True where a cell is missing; None when nothing is)."""

    values: np.ndarray
    mask: np.ndarray | None

    def table(self) -> Any:
        return self.values if self.mask is None else np.ma.MaskedArray(self.values, self.mask)

    def set_column(self, position: int, column: np.ndarray) -> None:
        self.values[:, position] = column


def _is_frame(table: Any) -> bool:
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency of the estimators
        return False
    return isinstance(table, pd.DataFrame)


def as_columns(table: Any) -> tuple[Any, bool]:
    """The table as a pandas DataFrame (named columns, True) or a 2-D numpy array (False).

    Tables with the Arrow C stream interface (pyarrow, polars) become DataFrames, dictionary
    columns becoming pandas categoricals."""
    if _is_frame(table):
        return table, True
    if isinstance(table, np.ndarray):
        if table.ndim != 2:
            raise ValueError(f"X must be 2-D (rows x features), not {table.ndim}-D")
        return table, False
    if hasattr(table, "__arrow_c_stream__"):
        try:
            import pyarrow as pa
        except ImportError:
            raise TypeError(
                f"X of type {type(table).__name__} is an Arrow table: install pyarrow to use it"
            ) from None
        return pa.table(table).to_pandas(), True
    if hasattr(table, "__array__") or isinstance(table, Sequence):
        array = np.asarray(table)
        if array.ndim != 2:
            raise ValueError(f"X must be 2-D (rows x features), not {array.ndim}-D")
        return array, False
    raise TypeError(
        "X must be a pandas DataFrame, a 2-D numpy array (masked or not) or an Arrow table, "
        f"not {type(table).__module__}.{type(table).__name__}"
    )


def _auto_categorical(dtype: Any) -> bool:
    import pandas as pd

    return bool(
        isinstance(dtype, pd.CategoricalDtype)
        or pd.api.types.is_bool_dtype(dtype)
        or pd.api.types.is_object_dtype(dtype)
        or pd.api.types.is_string_dtype(dtype)
    )


def _checked_numeric(name: str, dtype: Any) -> None:
    import pandas as pd

    numeric = (
        pd.api.types.is_numeric_dtype(dtype)
        or pd.api.types.is_datetime64_any_dtype(dtype)
        or pd.api.types.is_timedelta64_dtype(dtype)
    ) and not pd.api.types.is_complex_dtype(dtype)
    if not numeric:
        raise TypeError(
            f"feature {name} has dtype {dtype}, which is not numeric; list it in "
            "categorical_features to encode it"
        )


def categorical_flags(spec: Any, names: list[Any], dtypes: list[Any], is_frame: bool) -> list[bool]:
    """Which features are categorical, from `categorical_features` ("auto", None, names,
    positions or a boolean mask)."""
    n = len(names)
    if isinstance(spec, str):
        if spec != "auto":
            raise ValueError(
                f"categorical_features must be 'auto', None, a list of names or positions or a "
                f"boolean mask, not {spec!r}"
            )
        return [_auto_categorical(dtype) for dtype in dtypes]
    if spec is None:
        return [False] * n
    items = list(spec)
    if items and all(isinstance(item, (bool, np.bool_)) for item in items):
        if len(items) != n:
            raise ValueError(
                f"categorical_features is a boolean mask of {len(items)} entries but X has {n} "
                "features"
            )
        return [bool(item) for item in items]
    flags = [False] * n
    for item in items:
        if isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_)):
            if not -n <= item < n:
                raise ValueError(
                    f"categorical_features position {item} is out of range for {n} features"
                )
            flags[int(item)] = True
        elif is_frame and item in names:
            flags[names.index(item)] = True
        elif is_frame:
            raise ValueError(f"categorical_features names {item!r}, which is not a column of X")
        else:
            raise ValueError(
                f"categorical_features names {item!r}, but X has no column names: give positions"
            )
    return flags


def _as_categorical(column: Any) -> Any:
    """The column as a pandas categorical whose categories are the ones the feature keeps: a
    categorical's own, else the distinct present values, sorted when they sort and in order of
    appearance otherwise. One pass of hashing over the column."""
    import pandas as pd

    if isinstance(column.dtype, pd.CategoricalDtype):
        return column
    codes, uniques = pd.factorize(column, use_na_sentinel=True)
    categories = sorted_categories(np.asarray(uniques))
    positions = categories.get_indexer(uniques)
    sorted_codes = np.where(codes >= 0, positions[np.maximum(codes, 0)], -1)
    return pd.Series(pd.Categorical.from_codes(sorted_codes, categories), index=column.index)


def sorted_categories(present: np.ndarray) -> Any:
    """Distinct category values as an index, sorted when they sort."""
    import pandas as pd

    values: Any = present
    try:
        values = np.sort(present) if present.dtype != object else sorted(present)
    except TypeError:
        pass
    return pd.Index(values, tupleize_cols=False)


def _codes(column: Any, categories: Any) -> tuple[np.ndarray, np.ndarray]:
    """A categorical column's codes (positions in `categories`, UNSEEN_CODE for values not among
    them) and its mask of missing cells."""
    import pandas as pd

    missing = column.isna().to_numpy()
    if isinstance(column.dtype, pd.CategoricalDtype) and column.cat.categories.equals(categories):
        codes = column.cat.codes.to_numpy()
    else:
        codes = categories.get_indexer(column)  # the Series itself: Arrow strings stay fast
    coded = codes.astype(np.float32)
    coded[(codes < 0) & ~missing] = UNSEEN_CODE
    return coded, missing


def _numeric(column: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """A numeric column's values (any dtype, the array's own buffer where it has one) and its
    mask of missing cells (None when nothing is missing)."""
    import pandas as pd

    dtype = column.dtype
    if pd.api.types.is_datetime64_any_dtype(dtype) or pd.api.types.is_timedelta64_dtype(dtype):
        missing = column.isna().to_numpy()
        values = column.to_numpy().view(np.int64)
        return values, (missing if missing.any() else None)
    if isinstance(dtype, np.dtype) and dtype.kind == "O":
        column = pd.to_numeric(column)
        dtype = column.dtype
    if isinstance(dtype, np.dtype):
        values = column.to_numpy()
        if values.dtype.kind == "f":
            missing = np.isnan(values)
            return values, (missing if missing.any() else None)
        return values, None
    missing = column.isna().to_numpy()  # nullable extension dtypes: pd.NA
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return values, (missing if missing.any() else None)


class _Frame:
    """Column access shared by DataFrames and arrays: pandas Series either way."""

    def __init__(self, table: Any, is_frame: bool) -> None:
        import pandas as pd

        self.table = table
        self.is_frame = is_frame
        self.n_rows = table.shape[0]
        self.n_columns = table.shape[1]
        self._mask: np.ndarray | None = None
        # Categorical columns encoded while fitting, by position, so that they are hashed once.
        self.encoded: dict[int, Any] = {}
        if not is_frame and isinstance(table, np.ma.MaskedArray):
            mask = np.ma.getmaskarray(table)
            self._mask = mask if mask.any() else None
            self.table = np.ma.getdata(table)
        self._pd = pd

    def series(self, position: int) -> Any:
        if position in self.encoded:
            return self.encoded[position]
        if self.is_frame:
            return self.table.iloc[:, position]
        column = self.table[:, position]
        if self._mask is not None and self._mask[:, position].any():
            column = np.where(self._mask[:, position], None, column.astype(object))
        return self._pd.Series(column, copy=False)

    def numeric(self, position: int) -> tuple[np.ndarray, np.ndarray | None]:
        if self.is_frame or self.table.dtype == object:
            return _numeric(self.series(position))
        values = self.table[:, position]
        missing = np.isnan(values) if values.dtype.kind == "f" else None
        if self._mask is not None:
            masked = self._mask[:, position]
            missing = masked if missing is None else missing | masked
        return values, (missing if missing is not None and missing.any() else None)

    def rows_first(self) -> bool:
        """Whether the table is a C-contiguous numeric array, best copied row by row."""
        return (
            not self.is_frame
            and self.table.dtype.kind in "biuf"
            and bool(self.table.flags.c_contiguous)
        )

    def missing_cells(self, features: np.ndarray) -> np.ndarray | None:
        """For an array copied whole into `features`: its NaN and masked cells, or None."""
        missing = np.isnan(features) if self.table.dtype.kind == "f" else None
        if self._mask is not None:
            missing = self._mask.copy() if missing is None else missing | self._mask
        return missing if missing is not None and missing.any() else None

    def dtypes(self) -> list[Any]:
        if self.is_frame:
            return list(self.table.dtypes)
        return [self.table.dtype] * self.n_columns


@dataclass
class FeatureCoding:
    """How a fitted estimator reads feature tables: the column names it was fitted on (None for
    arrays), which features are categorical and the categories of each."""

    names: list[Any] | None
    n_features: int
    categorical: list[bool]
    categories: list[Any]  # a pandas Index per categorical feature, None for numeric ones

    @classmethod
    def fit(cls, table: Any, categorical_features: Any) -> tuple[FeatureCoding, _Frame, bool]:
        """The coding of a table, the table's columns (ready for `block`) and whether it was a
        DataFrame."""
        columns, is_frame = as_columns(table)
        frame = _Frame(columns, is_frame)
        names = list(columns.columns) if is_frame else None
        flags = categorical_flags(
            categorical_features,
            names if names is not None else list(range(frame.n_columns)),
            frame.dtypes(),
            is_frame,
        )
        categories: list[Any] = []
        for position, categorical in enumerate(flags):
            if categorical:
                column = _as_categorical(frame.series(position))
                frame.encoded[position] = column
                categories.append(column.cat.categories)
            else:
                if names is not None:
                    _checked_numeric(repr(names[position]), frame.dtypes()[position])
                categories.append(None)
        if not is_frame:
            _checked_array_dtype(columns, allow_object=True)
        coding = cls(names, frame.n_columns, flags, categories)
        return coding, frame, is_frame

    def aligned(self, table: Any) -> _Frame:
        """The table's columns in fit order; refuses missing and extra columns."""
        if isinstance(table, _Frame):
            return table
        columns, is_frame = as_columns(table)
        if self.names is not None:
            if not is_frame:
                raise ValueError(
                    "X has no column names, but the estimator was fitted on a DataFrame with "
                    f"columns {self.names!r}"
                )
            given = list(columns.columns)
            missing = [name for name in self.names if name not in given]
            extra = [name for name in given if name not in self.names]
            if missing or extra:
                parts = []
                if missing:
                    parts.append(f"missing columns {missing!r}")
                if extra:
                    parts.append(f"extra columns {extra!r}")
                raise ValueError("X does not have the columns of fit: " + "; ".join(parts))
            if given != self.names:
                columns = columns[self.names]
        elif columns.shape[1] != self.n_features:
            raise ValueError(
                f"X has {columns.shape[1]} features, but the estimator was fitted with "
                f"{self.n_features}"
            )
        elif not is_frame:
            _checked_array_dtype(columns, allow_object=True)
        return _Frame(columns, is_frame)

    def block(self, table: Any, n_extra: int) -> Block:
        """The model's table: the encoded features, then `n_extra` columns for the caller. It is
        laid out as the input is: row by row for a C-contiguous array (copied in one pass),
        column by column otherwise."""
        frame = self.aligned(table)
        rows_first = frame.rows_first()
        order: Literal["C", "F"] = "C" if rows_first else "F"
        values = np.empty(
            (frame.n_rows, self.n_features + n_extra), dtype=np.float32, order=order
        )
        columns_missing: list[tuple[int, np.ndarray]] = []
        if rows_first:
            features = values[:, : self.n_features]
            features[...] = frame.table
            bulk = frame.missing_cells(features)
            if bulk is not None:
                bulk[:, self.categorical] = False  # their codes below say what is missing
                features[bulk] = 0.0
                columns_missing.append((-1, bulk))
        for position in range(self.n_features):
            missing: np.ndarray | None
            if self.categorical[position]:
                column, missing = _codes(frame.series(position), self.categories[position])
            elif rows_first:
                continue
            else:
                column, missing = frame.numeric(position)
            values[:, position] = column
            if missing is not None and missing.any():
                values[missing, position] = 0.0
                columns_missing.append((position, missing))
        if not columns_missing:
            return Block(values, None)
        mask = np.zeros(values.shape, dtype=bool, order=order)
        for position, missing in columns_missing:
            if position < 0:
                mask[:, : self.n_features] = missing
            else:
                mask[:, position] = missing
        return Block(values, mask)


def _checked_array_dtype(array: np.ndarray, allow_object: bool = False) -> None:
    kind = array.dtype.kind
    if kind in "biuf" or (allow_object and kind == "O"):
        return
    raise TypeError(
        f"X has dtype {array.dtype}, which is not numeric; give categorical_features for "
        "columns of labels"
    )


def header_names(names: list[Any] | None, n_features: int, reserved: Sequence[str]) -> list[str]:
    """Column names for the model: a DataFrame's own when they are usable names (distinct
    non-empty strings without line feeds, none of the reserved ones), else x0, x1, ..."""
    if names is not None:
        usable = (
            all(isinstance(name, str) and name and "\n" not in name for name in names)
            and len(set(names)) == len(names)
            and not set(names) & set(reserved)
        )
        if usable:
            return list(names)
    return [f"x{index}" for index in range(n_features)]
