import pytest

from conftest import HEADERS, small_conf
from quorvanta import CausalModel


class Reentrant:
    """A cell whose float conversion calls back into the model being converted for."""

    def __init__(self, call):
        self.call, self.errors = call, []

    def __float__(self):
        try:
            self.call()
        except RuntimeError as error:
            self.errors.append(str(error))
        return 0.5


@pytest.mark.parametrize("method", ["fit", "predict"])
def test_calls_during_exclusive_use_are_refused(rows, tmp_path, method):
    model = CausalModel("RandomForestClassifier", small_conf())
    model.fit(HEADERS, rows)
    path = str(tmp_path / "model.txt")
    model.save(path)
    calls = [
        lambda: model.fit(HEADERS, rows),
        lambda: model.predict(HEADERS, rows),
        lambda: model.save(path),
        lambda: model.load("RandomForestClassifier", path),
    ]
    cells = [Reentrant(call) for call in calls]
    table = [[cell, 1.0, 1.0, 1.0] for cell in cells] + rows
    getattr(model, method)(HEADERS, table)
    assert [cell.errors for cell in cells] == [
        ["Already borrowed"], ["Already borrowed"],
        ["Already mutably borrowed"], ["Already mutably borrowed"],
    ]
    # every way out gives the use back
    model.save(path)
    model.predict(HEADERS, rows)


def test_use_is_released_after_errors(rows):
    model = CausalModel("RandomForestClassifier", small_conf())
    with pytest.raises(TypeError):
        model.fit(HEADERS, [["x"]])
    with pytest.raises(BaseException):
        model.predict(HEADERS, rows)
    model.fit(HEADERS, rows)
