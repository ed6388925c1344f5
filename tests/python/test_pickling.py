"""Models pickle, copy and travel to other processes as themselves: same predictions to the bit,
same saved text, in every state (untrained, fitted once, fitted twice)."""

import copy
import multiprocessing
import pickle
import subprocess
import sys

import numpy as np
import pytest

from conftest import HEADERS, make_rows, small_conf
from quorvanta import CausalModel

KINDS = ["RandomForestClassifier", "RandomForestRegressor"]


def model_in_state(kind: str, n_fits: int) -> CausalModel:
    model = CausalModel(kind, small_conf())
    for fit in range(n_fits):
        model.fit(HEADERS, make_rows(400, seed=fit + 1))
    return model


def effects(model: CausalModel) -> np.ndarray:
    return np.asarray(model.predict_array(HEADERS, make_rows(200, seed=9)))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_fits", [0, 1, 2])
def test_pickle_and_deepcopy_keep_the_model(kind, n_fits):
    model = model_in_state(kind, n_fits)
    copies = [pickle.loads(pickle.dumps(model, protocol=p)) for p in (2, pickle.HIGHEST_PROTOCOL)]
    copies += [copy.deepcopy(model), copy.copy(model)]
    for other in copies:
        assert other is not model
        assert other._to_text() == model._to_text()
        assert repr(other) == repr(model)
        if n_fits:
            assert effects(other).tobytes() == effects(model).tobytes()
    # A copy is a model of its own: fitting it leaves the original as it was.
    copies[0].fit(HEADERS, make_rows(400, seed=7))
    assert copies[0]._to_text() != model._to_text() == copies[1]._to_text()


def test_text_helpers_match_save_and_load(tmp_path):
    model = model_in_state("RandomForestClassifier", 2)
    path = str(tmp_path / "model.txt")
    model.save(path)
    with open(path, encoding="utf-8") as file:
        assert file.read() == model._to_text()
    loaded = CausalModel._from_text("RandomForestClassifier", model._to_text())
    assert loaded._to_text() == model.load("RandomForestClassifier", path)._to_text()
    # The same failures as load, the name first.
    for name, text in [("Forest", "not a model"), ("RandomForestClassifier", "not a model")]:
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        with pytest.raises(BaseException) as from_file:
            model.load(name, path)
        with pytest.raises(BaseException) as from_text:
            CausalModel._from_text(name, text)
        assert from_text.value.args == from_file.value.args
    # An untrained model's text is not a loadable file, but it is a model's own text.
    untrained = CausalModel("RandomForestRegressor", small_conf())
    with pytest.raises(BaseException, match="unwrap"):
        CausalModel._from_text("RandomForestRegressor", untrained._to_text())
    assert pickle.loads(pickle.dumps(untrained))._to_text() == untrained._to_text()


def test_a_damaged_pickle_is_a_fault_not_a_crash():
    model = model_in_state("RandomForestClassifier", 1)
    restore, (name, text) = model.__reduce__()
    for damaged in [text[: len(text) // 2], text + "junk", "", text.replace("[", "{", 3)]:
        with pytest.raises(BaseException) as failure:
            restore(name, damaged)
        assert type(failure.value).__name__ == "FaultException"


def _predict_pickled(payload: bytes) -> bytes:
    return effects(pickle.loads(payload)).tobytes()


def test_a_pickled_model_predicts_the_same_in_a_spawned_process():
    model = model_in_state("RandomForestRegressor", 2)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        remote = pool.apply(_predict_pickled, (pickle.dumps(model),))
    assert remote == effects(model).tobytes()


def test_repr_names_kind_trees_and_features():
    model = model_in_state("RandomForestClassifier", 2)
    assert repr(model) == "<CausalModel RandomForestClassifier: 6 trees, 2 features>"
    assert repr(CausalModel("RandomForestRegressor", {})) == (
        "<CausalModel RandomForestRegressor: 0 trees, 0 features>"
    )


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_conf_values_let_interrupts_and_memory_errors_through(error):
    class Raises:
        def __index__(self):
            raise error

        def __float__(self):
            raise error

    for key in ["n_tree", "alpha", "seed"]:
        with pytest.raises(error):
            CausalModel("RandomForestClassifier", {key: Raises()})
    # Ordinary failures still give the default, silently.
    class Refuses:
        def __index__(self):
            raise ValueError("no")

    assert repr(CausalModel("RandomForestClassifier", {"n_tree": Refuses()})).endswith(
        "0 trees, 0 features>"
    )


def test_diagnostics_name_source_positions_from_the_source_root():
    script = "from quorvanta import CausalModel\ntry:\n    CausalModel('x', {})\nexcept BaseException:\n    pass\n"
    stderr = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True).stderr
    assert "failed at src/forest/model.cpp:" in stderr, stderr
