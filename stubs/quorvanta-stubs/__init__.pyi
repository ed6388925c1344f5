from collections.abc import Buffer, Sequence
from typing import Any, TypeAlias, final

# Rows of cells (None marks a missing cell), or a 2-D numeric array read through its buffer.
_Table: TypeAlias = Sequence[Sequence[float | None]] | Buffer

@final
class CausalModel:
    """An uplift random forest: "RandomForestClassifier" or "RandomForestRegressor"."""

    def __new__(cls, name: str, conf: dict[str, Any]) -> CausalModel: ...
    def load(self, name: str, path: str) -> CausalModel:
        """Reads the model file at `path` into a new instance; `self` is left as it is."""
    def save(self, path: str) -> None: ...
    def fit(self, headers: Sequence[str], arr: _Table) -> None: ...
    def predict(
        self, headers: Sequence[str], arr: _Table
    ) -> list[list[float]]:
        """One row per row of `arr`: the effect of each treatment group against control."""
    def predict_array(self, headers: Sequence[str], arr: _Table) -> memoryview:
        """`predict`'s effects as a writable float32 memoryview of shape (rows, treatment groups);
        `numpy.asarray` takes it without a copy."""
