import importlib
import inspect
import subprocess
import sys
import weakref

import pytest

import quorvanta
from quorvanta import CausalModel


def test_module_exposes_only_the_class():
    public = [name for name in dir(quorvanta) if not name.startswith("__")]
    assert public == ["CausalModel"]
    assert quorvanta.__doc__ == ""


def test_reimport_in_same_interpreter_returns_same_module():
    saved = sys.modules.pop("quorvanta")
    try:
        again = importlib.import_module("quorvanta")
        assert again is saved
        assert again.CausalModel is CausalModel
    finally:
        sys.modules["quorvanta"] = saved


def test_import_from_second_interpreter_is_refused(tmp_path):
    import _xxsubinterpreters as interpreters

    result = tmp_path / "result.txt"
    code = (
        "try:\n"
        "    import quorvanta\n"
        "    outcome = 'imported'\n"
        "except ImportError as error:\n"
        "    outcome = 'ImportError'\n"
        f"open({str(result)!r}, 'w').write(outcome)\n"
    )
    # A non-isolated interpreter lets the import reach the module's own check.
    interpreter = interpreters.create(isolated=False)
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    assert result.read_text() == "ImportError"


def test_only_init_function_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", quorvanta.__file__],
        check=True, capture_output=True, text=True,
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_quorvanta"]


def test_class_shape():
    model = CausalModel("RandomForestRegressor", {})
    with pytest.raises(TypeError):
        type("Sub", (CausalModel,), {})
    assert not hasattr(model, "__dict__")
    with pytest.raises(AttributeError):
        model.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(model)
    assert CausalModel.__module__ == "quorvanta"
    assert CausalModel.__text_signature__ == "(name, conf)"
    assert str(inspect.signature(CausalModel)) == "(name, conf)"
    for method, signature in [
        ("load", "($self, name, path)"),
        ("save", "($self, path)"),
        ("fit", "($self, headers, arr)"),
        ("predict", "($self, headers, arr)"),
    ]:
        assert getattr(CausalModel, method).__text_signature__ == signature
        assert getattr(CausalModel, method).__doc__ is None


def test_stubs_match_the_module():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvanta"], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_instances_release_their_type(tmp_path):
    path = str(tmp_path / "model.txt")
    CausalModel("RandomForestRegressor", {"n_tree": 0}).save(path)
    before = sys.getrefcount(CausalModel)
    for _ in range(100):
        model = CausalModel("RandomForestRegressor", {})
        model.load("RandomForestClassifier", path)
        with pytest.raises(BaseException):
            CausalModel("RandomForestRegressor", {"n_bin": 999})
    del model
    assert sys.getrefcount(CausalModel) == before
