"""The caller's table on the cluster: a dask array of rows or a dask DataFrame, checked before any
work starts and cut into the partitions that tasks receive, in row order."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np


def checked_headers(headers: Any) -> list[str]:
    if isinstance(headers, str) or not isinstance(headers, Sequence):
        raise TypeError("headers must be a sequence of column names (str), not a str or "
                        f"{type(headers).__name__}")
    names = list(headers)
    bad = [name for name in names if not isinstance(name, str)]
    if bad:
        raise TypeError(f"headers must be str; got {bad[0]!r}")
    return names


def _is_number_or_bool(dtype: Any) -> bool:
    import pandas as pd

    return bool(pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)) and not (
        pd.api.types.is_complex_dtype(dtype)
    )


@dataclass(frozen=True)
class DaskTable:
    """A validated table: `collection` holds exactly the columns in `headers`, in that order,
    and (for an array) one chunk across its columns."""

    headers: list[str]
    collection: Any
    is_frame: bool

    @classmethod
    def of(cls, headers: list[str], table: Any) -> DaskTable:
        import dask.array as da
        import dask.dataframe as dd

        if isinstance(table, da.Array):
            return cls._of_array(headers, table)
        if isinstance(table, dd.DataFrame):
            return cls._of_frame(headers, table)
        raise TypeError(
            "the table must be a dask array of rows or a dask DataFrame, not "
            f"{type(table).__module__}.{type(table).__name__} (for a local table use "
            "quorvanta.CausalModel)"
        )

    @classmethod
    def _of_array(cls, headers: list[str], table: Any) -> DaskTable:
        if table.ndim != 2:
            raise ValueError(f"the array must be 2-D (rows x columns), not {table.ndim}-D")
        n_cols = table.shape[1]
        if math.isnan(n_cols):
            raise ValueError("the array's column count is unknown; compute its chunk sizes first")
        if n_cols != len(headers):
            raise ValueError(f"the array has {n_cols} columns but headers name {len(headers)}")
        if not _is_number_or_bool(table.dtype):
            raise TypeError(f"the array's dtype {table.dtype} is not numeric")
        if len(table.chunks[1]) > 1:
            table = table.rechunk({1: -1})
        return cls(headers, table, is_frame=False)

    @classmethod
    def _of_frame(cls, headers: list[str], table: Any) -> DaskTable:
        columns = list(table.columns)
        unknown = [name for name in headers if name not in columns]
        if unknown:
            raise ValueError(f"unknown columns: {', '.join(map(repr, unknown))}; the DataFrame "
                             f"has {', '.join(map(repr, columns))}")
        selected = table[headers]
        not_numeric = [
            f"{name!r} ({dtype})"
            for name, dtype in zip(headers, selected.dtypes)
            if not _is_number_or_bool(dtype)
        ]
        if not_numeric:
            raise TypeError(f"columns must be numeric or boolean: {', '.join(not_numeric)}")
        return cls(headers, selected, is_frame=True)

    @property
    def n_partitions(self) -> int:
        return self.collection.npartitions

    def partitions(self) -> list[Any]:
        """One delayed object per partition, in row order."""
        parts = self.collection.to_delayed()
        return list(np.asarray(parts, dtype=object).ravel()) if not self.is_frame else list(parts)

    def known_rows(self) -> int | None:
        if self.is_frame:
            return None
        rows = self.collection.shape[0]
        return None if math.isnan(rows) else int(rows)

    def n_rows(self, client: Any) -> int:
        """The row count, computing partition lengths when the collection does not know it."""
        known = self.known_rows()
        if known is not None:
            return known
        if self.is_frame:
            lengths = self.collection.map_partitions(len)
        else:
            blocks = self.collection
            lengths = blocks.map_blocks(
                _block_rows, chunks=((1,) * blocks.numblocks[0],), drop_axis=1, dtype=np.int64
            )
        return int(client.compute(lengths.sum()).result())

    def float32_bytes(self, n_rows: int) -> int:
        return n_rows * len(self.headers) * 4


def _block_rows(block: Any) -> np.ndarray:
    return np.array([block.shape[0]], dtype=np.int64)
