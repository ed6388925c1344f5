"""Uplift random forests for pandas and scikit-learn users: estimators that take DataFrames,
uplift metrics and their plots."""
