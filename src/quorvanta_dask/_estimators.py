"""DaskUpliftForestClassifier and DaskUpliftForestRegressor: the scikit-learn estimators of
quorvanta_sklearn on dask DataFrames and arrays, grown by DaskCausalModel.

Categories and treatment labels are gathered from the whole table first; every partition is then
encoded by the same code as a local fit (quorvanta_sklearn's training tables), so a partition
reaches the workers as the float32 columns a local estimator would hand its model."""

from __future__ import annotations

import dataclasses
import inspect
from typing import Any

import numpy as np
from sklearn.base import BaseEstimator

from dask.delayed import delayed

from quorvanta_dask._faults import carried_faults
from quorvanta_dask._model import DaskCausalModel, _default_client
from quorvanta_dask._tasks import local_table, partition_cells
from quorvanta_sklearn import UpliftForestClassifier, UpliftForestRegressor, _importances
from quorvanta_sklearn._faults import model_faults
from quorvanta_sklearn._model_io import model_text
from quorvanta_sklearn._forest import _UpliftForest
from quorvanta_sklearn._params import forest_conf, seed_of
from quorvanta_sklearn._tables import FeatureCoding, sorted_categories
from quorvanta_sklearn._targets import TreatmentCoding
from quorvanta_sklearn._training import column_conf, table_headers, training_block

_Y, _T, _W = "__y_in__", "__t_in__", "__w_in__"


def _as_frame(X: Any) -> tuple[Any, bool]:
    """A dask DataFrame of the features, and whether X was a DataFrame."""
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(X, dd.DataFrame):
        return X, True
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"X must be 2-D (rows x features), not {X.ndim}-D")
        return dd.from_dask_array(X, columns=[str(i) for i in range(X.shape[1])]), False
    raise TypeError(f"X must be a dask DataFrame or a dask array, not {type(X).__name__}")


def _column(values: Any, frame: Any, name: str) -> Any:
    """`values` (a dask Series or 1-D dask array with X's partitioning) as a column of frame."""
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(values, da.Array):
        values = dd.from_dask_array(values, index=frame.index)
    if not isinstance(values, dd.Series):
        raise TypeError(f"{name} must be a dask Series or dask array, not {type(values).__name__}")
    return values


def _encoded_partition(
    part: Any, coding: FeatureCoding, treatments: TreatmentCoding, binary: bool, is_frame: bool,
    n_features: int, headers: list[str],
) -> Any:
    import pandas as pd

    features = part.iloc[:, :n_features]
    block, _, _ = training_block(
        coding, features if is_frame else features.to_numpy(), part[_Y], part[_T],
        part[_W] if _W in part.columns else None, binary, treatments,
    )
    values = block.values
    if block.mask is not None:
        values[block.mask] = np.nan  # a DataFrame's NaN is a missing cell to DaskCausalModel
    return pd.DataFrame(values, columns=headers, index=part.index)


class _DaskUpliftForest(BaseEstimator):
    _local_class: type[_UpliftForest] = _UpliftForest
    __metadata_request__fit = {"treatment": True}

    def fit(self, X: Any, y: Any, treatment: Any, sample_weight: Any = None) -> Any:
        """Grows the forest on the cluster; y, treatment and sample_weight are dask Series or
        arrays partitioned as X. Returns self."""
        import pandas as pd

        frame, is_frame = _as_frame(X)
        n_features = len(frame.columns)
        meta = frame._meta if is_frame else np.empty((0, n_features), dtype=X.dtype)
        coding = FeatureCoding.fit(meta, self.categorical_features)[0]
        params = self.get_params()
        conf = forest_conf(params, coding.n_features, self._local_class._binary_outcome)
        seed = seed_of(self.random_state)
        joined = frame.assign(**{_Y: _column(y, frame, "y"), _T: _column(treatment, frame,
                                                                          "treatment")})
        if sample_weight is not None:
            joined = joined.assign(**{_W: _column(sample_weight, frame, "sample_weight")})

        # Categories and labels of the whole table, in one pass over it.
        wanted = {"labels": joined[_T].dropna().unique()}
        for position, categorical in enumerate(coding.categorical):
            if categorical:
                wanted[str(position)] = frame.iloc[:, position].dropna().unique()
        client = self.client if self.client is not None else _default_client()
        keys = list(wanted)
        found = dict(zip(keys, client.gather(client.compute([wanted[key] for key in keys]))))
        categories = [
            sorted_categories(pd.Series(found[str(p)]).to_numpy()) if flag else None
            for p, flag in enumerate(coding.categorical)
        ]
        coding = dataclasses.replace(coding, categories=categories)
        treatments = TreatmentCoding.of_labels(list(found["labels"]), self.control_name)

        weighted = sample_weight is not None
        headers = table_headers(coding, weighted)
        encoded = joined.map_partitions(
            _encoded_partition, coding, treatments, self._local_class._binary_outcome, is_frame,
            n_features, headers,
            meta=pd.DataFrame({name: np.empty(0, np.float32) for name in headers}),
        )
        conf.update(column_conf(coding, weighted))
        if seed is not None:
            conf["seed"] = seed
        dask_model = DaskCausalModel(self._local_class._model_name, conf, client=client)
        with model_faults():
            dask_model.fit(headers, encoded)
            model = dask_model.to_local()
        self._local = self._fitted_local(model, coding, treatments, conf["n_tree"])
        if not self._local._binary_outcome:
            self._local.feature_importances_ = _regression_importances(
                client, self._local, model, headers, encoded
            )
        for name in ("n_features_in_", "feature_names_in_", "control_name_", "treatment_names_",
                     "feature_importances_", "n_trees_"):
            if hasattr(self._local, name):
                setattr(self, name, getattr(self._local, name))
        return self

    def _fitted_local(
        self, model: Any, coding: FeatureCoding, treatments: TreatmentCoding, n_trees: int
    ) -> _UpliftForest:
        local_params = {k: v for k, v in self.get_params().items() if k != "client"}
        local = self._local_class(**local_params)
        local._store(model, coding, treatments, n_trees)
        if local._binary_outcome:
            local.feature_importances_ = _importances.classification_importances(
                model_text(model), coding.n_features
            )
        return local

    def __getstate__(self) -> dict[str, Any]:
        # A client holds its connection; the copy uses the default client, as client=None does.
        return {**super().__getstate__(), "client": None}

    def to_local(self) -> _UpliftForest:
        """The fitted forest as the scikit-learn estimator (UpliftForestClassifier or
        UpliftForestRegressor)."""
        if not hasattr(self, "_local"):
            from sklearn.exceptions import NotFittedError

            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet.")
        return self._local

    def predict(self, X: Any) -> Any:
        """Effects, lazily, as float32: for a dask array a dask array with one row per row and
        one column per entry of treatment_names_; for a dask DataFrame a DataFrame with X's
        index and one column per treatment label (as str)."""
        import dask.array as da
        import pandas as pd

        local = self.to_local()
        n_effects = len(local.treatment_names_)
        if isinstance(X, da.Array):
            if X.ndim != 2:
                raise ValueError(f"X must be 2-D (rows x features), not {X.ndim}-D")
            if len(X.chunks[1]) > 1:
                X = X.rechunk({1: -1})
            return X.map_blocks(
                local.predict, dtype=np.float32, chunks=(X.chunks[0], (n_effects,)),
                meta=np.empty((0, n_effects), dtype=np.float32),
            )
        frame = _as_frame(X)[0]
        columns = [str(name) for name in local.treatment_names_]
        meta = pd.DataFrame({name: np.empty(0, np.float32) for name in columns},
                            index=frame._meta.index)
        return frame.map_partitions(_predict_frame, local, columns, meta=meta)


def _predict_frame(part: Any, local: _UpliftForest, columns: list[str]) -> Any:
    import pandas as pd

    return pd.DataFrame(local.predict(part), columns=columns, index=part.index)


def _partition_gain_sums(part: Any, name: str, counter_text: str, headers: list[str]) -> Any:
    with carried_faults():
        values, mask = partition_cells(part)
        sums = _importances.gain_row_sums(name, counter_text, headers, local_table(values, mask))
        return sums.reshape(1, -1)


def _regression_importances(
    client: Any, local: _UpliftForest, model: Any, headers: list[str], encoded: Any
) -> np.ndarray:
    """Regression importances as a local fit gives them: the rows per node are the table's rows
    reaching it, counted by the workers partition by partition."""
    n_features = local.n_features_in_
    counter = _importances.path_gain_counter(model_text(model))
    if counter is None:
        return np.zeros(n_features, dtype=np.float64)
    counter_text, used, n_trees = counter
    parts = encoded.to_delayed()
    sums = [delayed(_partition_gain_sums)(part, local._model_name, counter_text, headers)
            for part in parts]
    total = np.concatenate(client.gather(client.compute(sums))).sum(axis=0)
    return _importances.weighted_gain_importances(total, used, n_trees, n_features)


def _dask_class(local_class: type[_UpliftForest]) -> type[_DaskUpliftForest]:
    """The Dask estimator of a local one: its parameters plus client."""
    signature = inspect.signature(local_class.__init__)
    names = [name for name in signature.parameters if name != "self"]

    def __init__(self: Any, *args: Any, client: Any = None, **kwargs: Any) -> None:
        bound = signature.bind(None, *args, **kwargs)
        bound.apply_defaults()
        for name in names:
            setattr(self, name, bound.arguments[name])
        self.client = client

    parameters = [*signature.parameters.values(),
                  inspect.Parameter("client", inspect.Parameter.KEYWORD_ONLY, default=None)]
    __init__.__signature__ = signature.replace(parameters=parameters)  # type: ignore[attr-defined]
    name = "Dask" + local_class.__name__
    doc = (f"{local_class.__name__} grown on a Dask cluster (`client`, None: the default "
           "client) from dask DataFrames and arrays; to_local() gives the fitted "
           f"{local_class.__name__}.")
    return type(name, (_DaskUpliftForest,), {
        "__init__": __init__, "_local_class": local_class, "__doc__": doc,
        "__module__": "quorvanta_dask",
    })


DaskUpliftForestClassifier = _dask_class(UpliftForestClassifier)
DaskUpliftForestRegressor = _dask_class(UpliftForestRegressor)
