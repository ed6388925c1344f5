"""DaskCausalModel: an uplift forest grown and applied by a Dask cluster, stored as an ordinary
quorvanta model."""

from __future__ import annotations

import hashlib
import secrets
import zlib
from typing import Any

import numpy as np
from dask.base import tokenize
from dask.delayed import delayed

from quorvanta import CausalModel
from quorvanta_dask import _tasks
from quorvanta_dask._faults import fault_type, local_fault
from quorvanta_dask._memory import check_fit_memory, smallest_memory_limit
from quorvanta_dask._model_text import ModelBlocks, model_from_text, model_text, untrained_copy
from quorvanta_dask._tables import DaskTable, checked_headers

# The configuration keys a model reads; others are not sent to the workers.
_CONF_KEYS = (
    "index", "feature", "cat", "treatment", "y", "weight", "n_bin", "min_samples_leaf",
    "min_samples_treatment", "n_reg", "alpha", "normalization", "max_features", "max_depth",
    "n_tree", "subsample", "n_thread", "seed",
)
# Trees per batch unless the caller says otherwise, and the most batches a fit makes by default:
# each batch loads the whole table once more (on one thread about as long as growing half a tree
# at 2,000,000 x 20, bench/bench_dask.py), so batches of about five trees keep that small while
# still feeding a few workers.
TREES_PER_BATCH = 5
MAX_DEFAULT_BATCHES = 8


def default_batches(n_tree: int) -> int:
    """One batch per five trees, at least two (when there are two trees) and at most eight."""
    return min(n_tree, max(2, min(MAX_DEFAULT_BATCHES, -(-n_tree // TREES_PER_BATCH))))


def batch_sizes(n_tree: int, n_batch: int) -> list[int]:
    """Trees per batch: n_batch batches (at most one per tree), the first ones one tree larger."""
    n_batch = min(n_tree, n_batch)
    if n_batch == 0:
        return []
    base, extra = divmod(n_tree, n_batch)
    return [base + (1 if index < extra else 0) for index in range(n_batch)]


def batch_seed(seed: int, index: int) -> int:
    """The seed of one batch, from the fit's seed and the batch's index alone, so that the forest
    does not depend on how many workers grew it."""
    digest = hashlib.blake2b(
        f"{seed}:{index}".encode(), digest_size=8, person=b"quorvanta-batch"
    ).digest()
    return int.from_bytes(digest, "little")


def _default_client() -> Any:
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        raise ValueError(
            "no Dask client: pass client= or create a distributed.Client first"
        ) from None


class DaskCausalModel:
    """An uplift random forest grown and applied by a Dask cluster.

    `name` and `conf` are those of `quorvanta.CausalModel`; `n_thread` is the thread count of
    each task. `client` is the Dask client to use (None: the default client when fitting).
    `n_batch` is the number of tasks a fit's trees are split into (at most one per tree; None:
    one per five trees, from two to eight); it is part of what decides the forest, the number
    of workers is not.
    """

    def __init__(
        self,
        name: str,
        conf: dict[str, Any],
        client: Any = None,
        n_batch: int | None = None,
    ) -> None:
        if not isinstance(conf, dict):
            raise TypeError(f"conf must be a dict, not {type(conf).__name__}")
        if n_batch is not None and (
            isinstance(n_batch, bool) or not isinstance(n_batch, int) or n_batch < 1
        ):
            raise ValueError(f"n_batch must be a positive int or None, not {n_batch!r}")
        # Checks the name and reads the configuration exactly as a local model does.
        self._template = CausalModel(name, conf)
        self._config = ModelBlocks.of(model_text(self._template)).config_record()
        self.name = name
        self.conf = {key: conf[key] for key in _CONF_KEYS if key in conf}
        self.client = client
        self.n_batch = n_batch
        self._text: str | None = None
        self._n_effects = 0

    # -- fitting ----------------------------------------------------------------------------

    def fit(self, headers: Any, table: Any) -> None:
        """Grows the configured number of trees on the whole table, in batches spread over the
        cluster, and adds them to the model (as a second `CausalModel.fit` would)."""
        headers = checked_headers(headers)
        dask_table = DaskTable.of(headers, table)
        client = self.client if self.client is not None else _default_client()
        self._check_columns(headers)
        n_rows = dask_table.n_rows(client)
        check_fit_memory(
            dask_table.float32_bytes(n_rows), n_rows, len(headers), smallest_memory_limit(client)
        )

        n_tree = int(self._config["n_tree"])
        seed = self._config["seed"]
        base_seed = seed if seed is not None else secrets.randbits(64)
        partitions = dask_table.partitions()
        table_key = "quorvanta-table-" + tokenize(headers, [part.key for part in partitions])
        if self._text is None:
            bins = delayed(_tasks.fit_bins, pure=True)(
                self.name, self.conf, headers, table_key, *partitions
            )
        else:
            previous = model_from_text(self.name, self._text)
            bins = model_text(untrained_copy(previous, 0, None))
        n_batch = self.n_batch if self.n_batch is not None else default_batches(n_tree)
        sizes = batch_sizes(n_tree, n_batch)
        batches = [
            delayed(_tasks.grow_batch, pure=True)(
                self.name, headers, table_key, bins, size, batch_seed(base_seed, index),
                *partitions,
            )
            for index, size in enumerate(sizes)
        ]
        try:
            futures = client.compute([bins, *batches] if self._text is None else batches)
            results = client.gather(futures)
        except BaseException as error:
            if isinstance(error, fault_type()):
                raise local_fault(error) from None
            raise
        finally:
            _forget_table(client, table_key)
        bins_text = results[0] if self._text is None else bins
        grown = results[1:] if self._text is None else results
        self._join(bins_text, sizes, grown, seed)

    def _check_columns(self, headers: list[str]) -> None:
        """Fails before any task runs: as a local fit would for a missing feature, and with a
        ValueError for a missing outcome or treatment column, which a local fit only meets when
        it grows its first tree."""
        probe = untrained_copy(self._template, 0, None)
        probe.fit(headers, np.zeros((1, len(headers)), dtype=np.float32))
        if int(self._config["n_tree"]) == 0:
            return
        treatments = self._config["treatment_cols"]
        for role, key, column in (
            ("outcome", "y", self._config["y_col"]),
            ("treatment", "treatment", treatments[0] if treatments else ""),
        ):
            if not column:
                raise ValueError(f"no {role} column is configured (conf key {key!r})")
            if column not in headers:
                raise ValueError(f"the {role} column {column!r} is not among the headers")

    def _join(
        self, bins_text: str, sizes: list[int], grown: list[_tasks.GrownBatch], seed: int | None
    ) -> None:
        reference = ModelBlocks.of(bins_text)
        for index, (size, batch) in enumerate(zip(sizes, grown)):
            if batch.bins != reference.bin_set():
                raise RuntimeError(f"batch {index} grew its trees on other bins than the fit's")
            if len(batch.trees) != size:
                raise RuntimeError(f"batch {index} returned {len(batch.trees)} of {size} trees")
        joined = untrained_copy(
            model_from_text(self.name, bins_text), int(self._config["n_tree"]), seed
        )
        head = ModelBlocks.of(model_text(joined))
        earlier = ModelBlocks.of(self._text).trees if self._text is not None else ()
        trees = earlier + tuple(tree for batch in grown for tree in batch.trees)
        text = ModelBlocks(head.config, head.bins, trees).text()
        model_from_text(self.name, text)  # the joined text must read back as a model
        self._text = text
        self._n_effects = ModelBlocks.of(text).n_effects()

    # -- using the fitted model ---------------------------------------------------------------

    def _fitted_text(self, action: str) -> str:
        if self._text is None:
            raise ValueError(f"the model is not fitted: call fit before {action}")
        return self._text

    def to_local(self) -> CausalModel:
        """A quorvanta.CausalModel holding the whole forest."""
        return model_from_text(self.name, self._fitted_text("to_local"))

    def save(self, path: str) -> None:
        """Writes the model file, the same as CausalModel.save of the whole forest."""
        text = self._fitted_text("save")
        model_from_text(self.name, text).save(path)

    def predict(self, headers: Any, table: Any) -> Any:
        """Effects of every row, lazily: a float32 dask array with one row per input row and one
        column per treatment group besides control, or, for a DataFrame, a DataFrame with the
        same index and the columns effect_1, effect_2, ..."""
        text = self._fitted_text("predict")
        headers = checked_headers(headers)
        dask_table = DaskTable.of(headers, table)
        # Fails as a local predict would (missing columns, no trees) before any task runs.
        model_from_text(self.name, text).predict(
            headers, np.zeros((1, len(headers)), dtype=np.float32)
        )
        packed = _packed(self.name, text)
        n_effects = self._n_effects
        if dask_table.is_frame:
            return _predict_frame(dask_table, packed, n_effects)
        return _predict_array(dask_table, packed, n_effects)


def effect_columns(n_effects: int) -> list[str]:
    return [f"effect_{group}" for group in range(1, n_effects + 1)]


def _packed(name: str, text: str) -> Any:
    """The compressed model as one key of the task graph (not scattered: a key is recomputed from
    the graph if the worker holding it dies, a scattered object is lost with it)."""
    compressed = zlib.compress(text.encode("utf-8"), 6)
    digest = hashlib.sha256(compressed).hexdigest()[:32]
    packed = _tasks.PackedModel(name, digest, compressed)
    return delayed(packed, name=f"quorvanta-model-{digest}", pure=True)


def _predict_array(dask_table: DaskTable, packed: Any, n_effects: int) -> Any:
    rows = dask_table.collection
    return rows.map_blocks(
        _tasks.predict_block,
        packed,
        dask_table.headers,
        n_effects,
        chunks=(rows.chunks[0], (n_effects,)),
        dtype=np.float32,
        meta=np.empty((0, n_effects), dtype=np.float32),
        token="quorvanta-predict",
    )


def _predict_frame(dask_table: DaskTable, packed: Any, n_effects: int) -> Any:
    import pandas as pd

    frame = dask_table.collection
    columns = effect_columns(n_effects)
    meta = pd.DataFrame(
        {column: np.empty(0, dtype=np.float32) for column in columns},
        index=frame._meta.index,
    )
    return frame.map_partitions(
        _tasks.predict_frame, packed, dask_table.headers, columns, meta=meta,
        align_dataframes=False,
    )


def _forget_table(client: Any, table_key: str) -> None:
    """Frees the joined table on every worker; a worker lost meanwhile holds none."""
    try:
        client.run(_tasks.forget_table, table_key, on_error="ignore")
    except Exception:  # noqa: BLE001 - freeing memory early is best effort
        pass


__all__ = ["DaskCausalModel"]
