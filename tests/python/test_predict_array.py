"""predict_array: the effects of predict, bit for bit, as one float32 block that numpy takes
without a copy; the same arguments and the same failures in the same order."""

import json

import numpy as np
import pytest

from quorvanta import CausalModel

HEADERS = ["a", "b", "c", "d", "k", "t", "y"]
FEATURES = ["a", "b", "c", "d", "k"]


def training_table(n_rows: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, 4)) * [1, 10, 0.01, 3]
    k = rng.integers(0, 6, size=n_rows)
    t = rng.integers(0, 3, size=n_rows)
    lift = 0.25 * ((t == 1) & (x[:, 0] > 0)) + 0.2 * ((t == 2) & (k == 3))
    y = (rng.random(n_rows) < 0.3 + lift).astype(float)
    return np.column_stack([x, k, t, y])


def prediction_table(n_rows: int, seed: int) -> np.ndarray:
    """Training-like rows with NaN, infinities, signed zeros and unseen categories mixed in."""
    table = training_table(n_rows, seed)
    rng = np.random.default_rng(seed + 1)
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 17.0])
    mask = rng.random(size=(n_rows, 5)) < 0.1
    table[:, :5][mask] = rng.choice(specials, size=mask.sum())
    return table


def bits(values) -> np.ndarray:
    return np.asarray(values, dtype=np.float32).view(np.uint32)


@pytest.fixture(scope="module", params=[1, 2, 3, 4])
def model(request):
    conf = {
        "feature": FEATURES,
        "cat": ["k"],
        "treatment": ["t"],
        "y": "y",
        "n_tree": 7,
        "max_depth": 5,
        "min_samples_leaf": 30,
        "n_thread": request.param,
        "seed": 11,
    }
    fitted = CausalModel("RandomForestClassifier", conf)
    fitted.fit(HEADERS, training_table(4000, 1))
    return fitted


def layouts(table: np.ndarray):
    yield "C order", np.ascontiguousarray(table)
    yield "Fortran order", np.asfortranarray(table)
    yield "every other row", np.repeat(table, 2, axis=0)[::2]
    yield "rows reversed", table[::-1].copy()[::-1]
    yield "columns of a wider table", np.column_stack([table, table])[:, : table.shape[1]]


DTYPES = [np.float32, np.float64, np.float16, np.int8, np.int16, np.int32, np.int64, np.uint8,
          np.uint16, np.uint32, np.uint64, np.bool_]


class TestSameEffectsAsPredict:
    def test_every_dtype_and_layout(self, model):
        table = prediction_table(3000, 5)
        for dtype in DTYPES:
            with np.errstate(invalid="ignore", over="ignore"):
                typed = table.astype(dtype)
            for name, arranged in layouts(typed):
                expected = model.predict(HEADERS, arranged)
                result = np.asarray(model.predict_array(HEADERS, arranged))
                assert result.shape == (3000, 2), (dtype, name)
                assert np.array_equal(bits(result), bits(expected)), (dtype, name)

    def test_tables_of_many_row_runs(self, model):
        # Worker threads hand over runs of rows while they route the rest; the list built from
        # them as they come must be the array, row for row.
        table = prediction_table(60_000, 13).astype(np.float32)
        listed = model.predict(HEADERS, table)
        assert len(listed) == 60_000 and all(type(row) is list and len(row) == 2 for row in listed)
        assert np.array_equal(bits(model.predict_array(HEADERS, table)), bits(listed))

    def test_lists_with_missing_cells(self, model):
        table = prediction_table(500, 9).tolist()
        for r, row in enumerate(table):
            if r % 3 == 0:
                row[r % 5] = None
        expected = model.predict(HEADERS, table)
        assert np.array_equal(bits(model.predict_array(HEADERS, table)), bits(expected))

    def test_the_trees_split_on_values_the_table_holds(self, model):
        # Rows that repeat the training values: each of them lies exactly on some cut value.
        table = training_table(4000, 1)
        expected = model.predict(HEADERS, table)
        assert np.array_equal(bits(model.predict_array(HEADERS, table)), bits(expected))
        assert len({tuple(row) for row in expected}) > 10, "the forest must split"

    def test_after_save_and_load(self, model, tmp_path):
        path = str(tmp_path / "model.txt")
        model.save(path)
        again = model.load("RandomForestClassifier", path)
        table = prediction_table(700, 3)
        assert np.array_equal(
            bits(again.predict_array(HEADERS, table)), bits(model.predict(HEADERS, table))
        )


    def test_thresholds_out_of_order_or_nan_in_a_loaded_file(self, model, tmp_path):
        path = tmp_path / "model.txt"
        model.save(str(path))
        blocks = path.read_text().split("\n\n")
        edited = []
        for block in blocks:
            lines = block.split("\n")
            if len(lines) == 3 and lines[0] == "Continuous":
                record = json.loads(lines[2])
                cuts = record["threshold"]
                if lines[1] == "a":
                    cuts.reverse()
                elif lines[1] == "b" and len(cuts) > 2:
                    cuts[1] = None  # NaN is written as null
                lines[2] = json.dumps(record, separators=(",", ":"))
            edited.append("\n".join(lines))
        path.write_text("\n\n".join(edited))
        again = model.load("RandomForestClassifier", str(path))
        table = prediction_table(2000, 6)
        expected = again.predict(HEADERS, table)
        assert np.array_equal(bits(again.predict_array(HEADERS, table)), bits(expected))
        assert expected != model.predict(HEADERS, table), "the edited cuts must change routing"


class TestResultBuffer:
    def test_numpy_takes_it_without_a_copy(self, model):
        view = model.predict_array(HEADERS, prediction_table(100, 2))
        assert isinstance(view, memoryview)
        assert (view.format, view.itemsize, view.shape, view.readonly) == ("f", 4, (100, 2), False)
        first = np.asarray(view)
        second = np.asarray(view)
        assert first.dtype == np.float32 and first.flags.c_contiguous and not first.flags.owndata
        assert np.shares_memory(first, second)
        first[0, 0] = 42.0
        assert second[0, 0] == 42.0
        assert view.tolist()[0][0] == 42.0

    def test_the_memory_outlives_the_view(self, model):
        view = model.predict_array(HEADERS, prediction_table(50, 2))
        array = np.asarray(view)
        expected = array.copy()
        del view
        assert np.array_equal(bits(array), bits(expected))

    def test_zero_rows(self, model):
        view = model.predict_array(FEATURES, np.zeros((0, 5)))
        assert view.shape[0] == 0
        assert np.asarray(view).size == 0
        assert model.predict(FEATURES, np.zeros((0, 5))) == []

    def test_contiguity_requests(self, model):
        view = model.predict_array(HEADERS, prediction_table(10, 2))
        assert view.c_contiguous
        assert not view.f_contiguous
        column = model.predict_array(HEADERS, prediction_table(1, 2))
        assert column.f_contiguous  # one row is both


def outcome(call):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)
    return np.asarray(result, dtype=np.float32).view(np.uint32).tolist()


class TestSameFailures:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            (("abc", [[1.0]]), {}),
            ((HEADERS, "abc"), {}),
            ((HEADERS, [[1.0] * 7, "abc"]), {}),
            ((HEADERS, {1, 2}), {}),
            ((["a", "b", "c", "d", "t", "y"], [[1.0] * 6]), {}),
            ((HEADERS, [[1.0] * 5 + [None, 1.0]]), {}),
            ((HEADERS, [[1.0] * 7, [1.0] * 6]), {}),
            ((HEADERS, np.zeros((0, 7))), {}),
            ((HEADERS,), {}),
            ((HEADERS, [[1.0] * 7], 1), {}),
            ((), {"headers": HEADERS, "arr": [[1.0] * 7], "other": 1}),
            ((HEADERS,), {"headers": HEADERS}),
        ],
    )
    def test_bad_arguments(self, model, args, kwargs):
        expected = outcome(lambda: model.predict(*args, **kwargs))
        got = outcome(lambda: model.predict_array(*args, **kwargs))
        assert got[1].replace("predict_array", "predict") == expected[1]
        assert got[0] is expected[0]

    def test_an_unfitted_model_builds_and_keeps_its_records(self, tmp_path):
        conf = {"feature": FEATURES, "cat": ["k"], "treatment": ["t"], "y": "y"}
        table = training_table(300, 4)
        files = []
        for method in ("predict", "predict_array"):
            fresh = CausalModel("RandomForestRegressor", conf)
            failure = outcome(lambda: getattr(fresh, method)(HEADERS, table))
            assert failure[0].__name__ == "FaultException"
            assert failure[1] == "called `Option::unwrap()` on a `None` value"
            fresh.save(str(tmp_path / method))
            files.append((tmp_path / method).read_text())
        assert files[0] == files[1]
        assert "Continuous\na\n" in files[0] and "Discrete\nk\n" in files[0]

    def test_nan_in_a_feature_met_first_at_prediction(self):
        conf = {"feature": FEATURES, "cat": ["k"], "treatment": ["t"], "y": "y"}
        table = prediction_table(300, 4)
        results = [
            outcome(lambda: getattr(CausalModel("RandomForestRegressor", conf), method)(
                HEADERS, table))
            for method in ("predict", "predict_array")
        ]
        assert results[0] == results[1]
        assert results[0][1] == "called `Option::unwrap()` on a `None` value"

    def test_exclusive_use(self, model):
        class Reentrant:
            """A cell that calls back into the model while the table is being converted."""

            def __float__(self):
                model.predict_array(HEADERS, [[1.0] * 7])
                return 1.0

        with pytest.raises(RuntimeError, match="Already borrowed"):
            model.predict_array(HEADERS, [[Reentrant()] + [1.0] * 6])
