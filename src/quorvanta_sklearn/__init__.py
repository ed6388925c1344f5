"""Uplift random forests for pandas and scikit-learn users: estimators that take DataFrames,
uplift metrics and their plots."""

from quorvanta_sklearn._faults import UpliftModelError
from quorvanta_sklearn._forest import UpliftForestClassifier, UpliftForestRegressor

__all__ = ["UpliftForestClassifier", "UpliftForestRegressor", "UpliftModelError"]
