"""What runs inside Dask tasks: joining a table's partitions (once per worker process), computing
bins, growing a batch of trees, and predicting a block of rows with a model loaded once per
worker process. Every entry point carries faults back as RemoteFaults."""

from __future__ import annotations

import threading
import zlib
from collections import OrderedDict
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvanta import CausalModel
from quorvanta_dask._faults import carried_faults
from quorvanta_dask._model_text import ModelBlocks, model_from_text, model_text, untrained_copy

_lock = threading.Lock()
# The joined training table of the fit in progress: batches that land on the same worker process
# share it. One entry: a worker holds one training table at a time.
_joined: dict[str, tuple[np.ndarray, np.ndarray | None]] = {}
# Models loaded for prediction, by digest of their compressed text; a few, most recent last.
_models: OrderedDict[str, CausalModel] = OrderedDict()
_MODELS_KEPT = 4


def partition_cells(partition: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """A partition's values and its mask of missing cells (None when nothing is missing).

    In a DataFrame the cells that pandas marks missing are missing; in an array the masked ones
    are, and a NaN stays a value."""
    if isinstance(partition, np.ndarray):
        if isinstance(partition, np.ma.MaskedArray):
            mask = np.ma.getmaskarray(partition)
            return np.ma.getdata(partition), (mask if mask.any() else None)
        return partition, None
    missing = partition.isna().to_numpy()
    values = partition.to_numpy(dtype=np.float64, na_value=np.nan)
    return values, (missing if missing.any() else None)


def local_table(values: np.ndarray, mask: np.ndarray | None) -> Any:
    """The table as CausalModel reads it: a numeric array, masked where cells are missing."""
    return values if mask is None else np.ma.MaskedArray(values, mask)


def joined_table(table_key: str, partitions: tuple[Any, ...]) -> Any:
    """The whole training table, its partitions joined in order once per worker process."""
    with _lock:
        cached = _joined.get(table_key)
        if cached is None:
            _joined.clear()
            cells = [partition_cells(partition) for partition in partitions]
            values = np.concatenate([part for part, _ in cells]) if cells else np.empty((0, 0))
            if any(mask is not None for _, mask in cells):
                mask = np.concatenate(
                    [np.zeros(part.shape, bool) if m is None else m for part, m in cells]
                )
            else:
                mask = None
            cached = _joined[table_key] = (values, mask)
    return local_table(*cached)


def forget_table(table_key: str) -> None:
    """Frees the joined table once its fit has ended."""
    with _lock:
        _joined.pop(table_key, None)


def fit_bins(
    name: str, conf: dict[str, Any], headers: list[str], table_key: str, *partitions: Any
) -> str:
    """A fit with no trees on the whole table: the text of a model that holds only its bins."""
    with carried_faults():
        model = untrained_copy(CausalModel(name, conf), 0, None)
        model.fit(headers, joined_table(table_key, partitions))
        return model_text(model)


@dataclass(frozen=True)
class GrownBatch:
    bins: tuple[str, ...]  # the bin blocks the batch's model held, in a fixed order
    trees: tuple[str, ...]  # its tree blocks, in growing order


def grow_batch(
    name: str,
    headers: list[str],
    table_key: str,
    bins_text: str,
    n_tree: int,
    seed: int,
    *partitions: Any,
) -> GrownBatch:
    """Grows `n_tree` trees with `seed` on the bins held by `bins_text`."""
    with carried_faults():
        model = untrained_copy(model_from_text(name, bins_text), n_tree, seed)
        model.fit(headers, joined_table(table_key, partitions))
        blocks = ModelBlocks.of(model_text(model))
        return GrownBatch(blocks.bin_set(), blocks.trees)


@dataclass(frozen=True)
class PackedModel:
    """A model's text, compressed, as the task graph carries it."""

    name: str
    digest: str
    compressed: bytes

    def load(self) -> CausalModel:
        """The model, loaded once per worker process."""
        with _lock:
            model = _models.get(self.digest)
            if model is not None:
                _models.move_to_end(self.digest)
                return model
        text = zlib.decompress(self.compressed).decode("utf-8")
        model = model_from_text(self.name, text)
        with _lock:
            model = _models.setdefault(self.digest, model)
            while len(_models) > _MODELS_KEPT:
                _models.popitem(last=False)
        return model


def predict_cells(model: CausalModel, headers: list[str], table: Any, n_effects: int) -> np.ndarray:
    """Effects of the rows of `table` as float32 rows of `n_effects` columns."""
    effects = model.predict_array(headers, table)  # the bits of `predict`, without the lists
    return np.asarray(effects, dtype=np.float32).reshape(-1, n_effects)


def predict_block(
    block: np.ndarray, packed: PackedModel, headers: list[str], n_effects: int
) -> np.ndarray:
    with carried_faults():
        values, mask = partition_cells(block)
        if values.shape[0] == 0:
            return np.empty((0, n_effects), dtype=np.float32)
        return predict_cells(packed.load(), headers, local_table(values, mask), n_effects)


def predict_frame(
    frame: Any, packed: PackedModel, headers: list[str], columns: list[str]
) -> Any:
    import pandas as pd

    with carried_faults():
        values, mask = partition_cells(frame[headers])
        if values.shape[0] == 0:
            effects = np.empty((0, len(columns)), dtype=np.float32)
        else:
            effects = predict_cells(packed.load(), headers, local_table(values, mask), len(columns))
        return pd.DataFrame(effects, index=frame.index, columns=columns)
