import re

import pytest

import quorvanta
from conftest import HEADERS, small_conf
from quorvanta import CausalModel


def fault_of(call) -> BaseException:
    with pytest.raises(BaseException) as error:
        call()
    return error.value


def test_fault_type(capfd):
    fault = fault_of(lambda: CausalModel("randomforestregressor", {}))
    fault_type = type(fault)
    assert fault_type.__name__ == "FaultException"
    assert fault_type.__bases__ == (BaseException,)
    assert not isinstance(fault, Exception)
    assert fault.args == ("model name randomforestregressor not found",)
    assert not any(value is fault_type for value in vars(quorvanta).values())
    # every fault shares the one type
    assert type(fault_of(lambda: CausalModel("RandomForestClassifier", {"n_bin": 255}))) is fault_type


def test_except_exception_does_not_catch_a_fault():
    caught = None
    try:
        try:
            CausalModel("Nope", {})
        except Exception:
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    assert caught == "BaseException"


def test_fault_writes_diagnostic_to_stderr(capfd):
    fault_of(lambda: CausalModel("Nope", {}))
    err = capfd.readouterr().err
    assert "model name Nope not found" in err
    assert re.search(r"thread '[^']+' failed at \S+:\d+:\d+:", err), err


def test_diagnostic_names_the_worker_thread_a_fault_arose_on(capfd, rows):
    outcome_two = [[x1, x2, t, 2.0] for x1, x2, t, _ in rows]
    model = CausalModel("RandomForestClassifier", small_conf(n_thread=2))
    fault_of(lambda: model.fit(HEADERS, outcome_two))
    assert re.search(r"thread 'qv-worker-\d+' failed at \S+\.cpp:\d+:\d+:", capfd.readouterr().err)


def test_n_bin_limit():
    fault = fault_of(lambda: CausalModel("RandomForestRegressor", {"n_bin": 255}))
    assert fault.args == ("n_bin 255 exceeds max 255",)
    CausalModel("RandomForestRegressor", {"n_bin": 254})


def test_model_stays_usable_after_a_fault(rows):
    model = CausalModel("RandomForestClassifier", small_conf())
    fault = fault_of(lambda: model.predict(HEADERS, rows))
    assert fault.args == ("called `Option::unwrap()` on a `None` value",)
    fault = fault_of(lambda: model.fit(["x2", "t", "y"], [row[1:] for row in rows]))
    assert fault.args == ("Column is missing: x1",)
    model.fit(HEADERS, rows)
    assert len(model.predict(HEADERS, rows)) == len(rows)
