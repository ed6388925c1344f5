"""Uplift random forests on a Dask cluster: trees grown in batches by the workers, tables of any
size scored block by block, and the result an ordinary quorvanta model."""

from quorvanta_dask._faults import remote_fault_type
from quorvanta_dask._model import DaskCausalModel

__all__ = ["DaskCausalModel", "remote_fault_type"]
