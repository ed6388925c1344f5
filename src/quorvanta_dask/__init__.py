"""Uplift random forests on a Dask cluster: trees grown in batches by the workers, tables of any
size scored block by block, and the result an ordinary quorvanta model."""

from quorvanta_dask._faults import remote_fault_type
from quorvanta_dask._model import DaskCausalModel

__all__ = [
    "DaskCausalModel",
    "DaskUpliftForestClassifier",
    "DaskUpliftForestRegressor",
    "remote_fault_type",
]


def __getattr__(name: str) -> object:
    # The estimators need scikit-learn, which DaskCausalModel does not.
    if name in ("DaskUpliftForestClassifier", "DaskUpliftForestRegressor"):
        from quorvanta_dask import _estimators

        return getattr(_estimators, name)
    raise AttributeError(f"module 'quorvanta_dask' has no attribute {name!r}")
