"""The one error type the estimators raise for a failure inside the model, and the boundary that
turns the model's faults into it."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator


class UpliftModelError(RuntimeError):
    """The model failed inside `fit` or `predict`; the message is the model's own and the
    original fault (a `FaultException`, which is not an `Exception`) is the `__cause__`."""

    __module__ = "quorvanta_sklearn"


def is_fault(error: BaseException) -> bool:
    """Whether `error` is quorvanta's FaultException (the module does not export the type)."""
    return any(
        base.__module__ == "quorvanta" and base.__name__ == "FaultException"
        for base in type(error).__mro__
    )


@contextlib.contextmanager
def model_faults() -> Iterator[None]:
    """Around calls of the model: a fault leaves as an UpliftModelError, so that `except
    Exception` (and scikit-learn's error_score) catches it. Everything else, KeyboardInterrupt and
    MemoryError included, passes unchanged."""
    try:
        yield
    except BaseException as error:
        if is_fault(error) and not isinstance(error, Exception):
            message = str(error.args[0]) if error.args else type(error).__name__
            raise UpliftModelError(message) from error
        raise
