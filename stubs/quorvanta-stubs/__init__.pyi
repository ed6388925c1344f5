from collections.abc import Sequence
from typing import Any, final

@final
class CausalModel:
    """An uplift random forest: "RandomForestClassifier" or "RandomForestRegressor"."""

    def __new__(cls, name: str, conf: dict[str, Any]) -> CausalModel: ...
    def load(self, name: str, path: str) -> CausalModel:
        """Reads the model file at `path` into a new instance; `self` is left as it is."""
    def save(self, path: str) -> None: ...
    def fit(self, headers: Sequence[str], arr: Sequence[Sequence[float | None]]) -> None: ...
    def predict(
        self, headers: Sequence[str], arr: Sequence[Sequence[float | None]]
    ) -> list[list[float]]:
        """One row per row of `arr`: the effect of each treatment group against control."""
