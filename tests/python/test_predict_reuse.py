"""A model compiles its trees for prediction once and reuses them: what it predicts must follow
every change of its trees, on both result forms, whatever the calls before."""

import numpy as np
import pytest

from conftest import HEADERS, make_rows, small_conf
from quorvanta import CausalModel


def test_predictions_follow_every_fit():
    # One thread: seeded fits on several draw from one generator in no fixed order.
    rows = make_rows(600, seed=3)
    queries = make_rows(300, seed=4)
    conf = small_conf(n_thread=1)
    predicted_between = CausalModel("RandomForestClassifier", conf)
    predicted_between.fit(HEADERS, rows)
    once = predicted_between.predict(HEADERS, queries)
    np.asarray(predicted_between.predict_array(HEADERS, queries[:1]))
    predicted_between.fit(HEADERS, make_rows(600, seed=5))

    fitted_twice = CausalModel("RandomForestClassifier", conf)
    fitted_twice.fit(HEADERS, rows)
    fitted_twice.fit(HEADERS, make_rows(600, seed=5))
    expected = fitted_twice.predict(HEADERS, queries)
    assert expected != once, "the second fit should change the forest"
    assert predicted_between.predict(HEADERS, queries) == expected
    as_array = np.asarray(predicted_between.predict_array(HEADERS, queries))
    assert np.array_equal(as_array, np.asarray(expected, dtype=np.float32))
    # One row at a time, as online scoring calls it, gives the same bits as the batch.
    for index in (0, 17, 299):
        assert predicted_between.predict(HEADERS, [queries[index]]) == [expected[index]]


def test_failures_repeat_at_every_call():
    model = CausalModel("RandomForestClassifier", small_conf())
    for _ in range(3):
        with pytest.raises(BaseException, match="called `Option::unwrap\\(\\)` on a `None` value"):
            model.predict(HEADERS, make_rows(10))
    model.fit(HEADERS, make_rows(400))
    for _ in range(2):
        with pytest.raises(BaseException, match="Column is missing: x2"):
            model.predict(["x1", "t", "y"], [[0.5, 1.0, 0.0]])
    assert len(model.predict(HEADERS, make_rows(5))) == 5
