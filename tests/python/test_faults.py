import concurrent.futures
import multiprocessing
import pickle
import re
import subprocess
import sys

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


# Messages quote names and file text as given, NUL bytes included.
class TestWholeMessages:
    def test_model_name_with_nul(self, capfd):
        fault = fault_of(lambda: CausalModel("RandomForestRegressor\0", {}))
        assert fault.args == ("model name RandomForestRegressor\x00 not found",)
        assert "model name RandomForestRegressor\x00 not found" in capfd.readouterr().err

    def test_load_name_with_nul_and_text_after_it(self, trained):
        fault = fault_of(lambda: trained.load("Random\0ForestClassifier", "/nonexistent"))
        assert fault.args == ("model name Random\x00ForestClassifier not found",)

    def test_missing_column_with_nul(self, rows):
        model = CausalModel("RandomForestClassifier", small_conf(feature=["x\0tail", "x2"]))
        fault = fault_of(lambda: model.fit(HEADERS, rows))
        assert fault.args == ("Column is missing: x\x00tail",)

    def test_bin_kind_with_nul_read_from_file(self, trained, tmp_path):
        path = tmp_path / "model.txt"
        trained.save(str(path))
        blocks = path.read_text(encoding="utf-8").split("\n\n")
        kind, rest = blocks[1].split("\n", 1)
        blocks[1] = kind + "\0X\n" + rest
        path.write_text("\n\n".join(blocks), encoding="utf-8")
        fault = fault_of(lambda: trained.load("RandomForestClassifier", str(path)))
        assert fault.args == (f"bin_type {kind}\x00X unknown",)


def raise_name_fault():
    CausalModel("Nope", {})


# Tools that carry exceptions between processes pickle them.
class TestFaultPickling:
    def test_round_trip_keeps_type_and_message(self):
        fault = fault_of(lambda: CausalModel("Nope\0", {}))
        again = pickle.loads(pickle.dumps(fault))
        assert type(again) is type(fault)
        assert again.args == fault.args
        assert not any(value is type(fault) for value in vars(quorvanta).values())

    def test_round_trip_keeps_attributes_and_notes(self):
        fault = fault_of(lambda: CausalModel("Nope", {}))
        fault.add_note("while fitting")
        fault.detail = 7
        again = pickle.loads(pickle.dumps(fault, protocol=pickle.HIGHEST_PROTOCOL))
        assert again.__notes__ == ["while fitting"] and again.detail == 7

    def test_fault_in_a_worker_process_reaches_the_parent(self):
        context = multiprocessing.get_context("fork")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            fault = fault_of(lambda: pool.submit(raise_name_fault).result(timeout=60))
        assert type(fault).__name__ == "FaultException"
        assert fault.args == ("model name Nope not found",)

    def test_unpickles_in_a_fresh_interpreter(self):
        fault = fault_of(lambda: CausalModel("Nope", {}))
        check = (
            "import pickle, sys; e = pickle.loads(sys.stdin.buffer.read()); "
            "assert type(e).__name__ == 'FaultException' and type(e).__bases__ == (BaseException,); "
            "print(e.args[0])"
        )
        result = subprocess.run(
            [sys.executable, "-c", check], input=pickle.dumps(fault), capture_output=True, check=True
        )
        assert result.stdout.decode().strip() == "model name Nope not found"
