"""numpy masked arrays and arrays read in place: a masked cell is a missing cell exactly as None is
in a list of rows, and a table read from its buffer trains, predicts and fails exactly as the same
table given as Python lists does, on any number of threads."""

import warnings

import numpy as np
import pytest

from quorvanta import CausalModel

FEATURES = ["n0", "n1", "n2", "c0", "c1"]
HEADERS = ["n0", "y", "n1", "c0", "t", "n2", "c1", "w"]
N_ROWS = 900


def random_table(rng, dtype=np.float32):
    """Numeric features with infinities and repeated values, small-integer categories, a binary
    outcome, a treatment group and positive weights, in the column order of HEADERS."""
    table = np.empty((N_ROWS, len(HEADERS)))
    table[:, 0] = rng.standard_normal(N_ROWS) * 1e3
    table[:, 1] = rng.random(N_ROWS) < 0.4
    table[:, 2] = rng.integers(-5, 5, N_ROWS)
    table[:, 3] = rng.integers(0, 7, N_ROWS)
    table[:, 4] = rng.integers(0, 2, N_ROWS)
    table[:, 5] = rng.random(N_ROWS)
    table[:, 6] = rng.integers(0, 300, N_ROWS)
    table[:, 7] = 0.5 + rng.random(N_ROWS)
    table[:7, 0] = [np.inf, -np.inf, np.inf, 0.0, -0.0, 1e-30, -1e-30]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return table.astype(dtype)


def feature_mask(rng, share=0.1):
    """Masked cells in the feature columns only (targets must be present)."""
    mask = rng.random((N_ROWS, len(HEADERS))) < share
    for name in ("y", "t", "w"):
        mask[:, HEADERS.index(name)] = False
    return mask


def as_rows(table, mask):
    """The list of rows a caller would write by hand: None where the mask is set."""
    return [[None if masked else float(value) for value, masked in zip(row, row_mask)]
            for row, row_mask in zip(table.tolist(), mask.tolist())]


def conf(n_thread, **overrides):
    # Trees grown on several threads are kept in the order they finish, and the effects summed in
    # that order; one tree keeps threaded results comparable bit for bit.
    settings = {"feature": FEATURES, "cat": ["c0", "c1"], "treatment": ["t"], "y": "y",
                "weight": "w", "n_tree": 3 if n_thread == 1 else 1, "max_depth": 4, "min_samples_leaf": 10, "seed": 11,
                "n_thread": n_thread, "n_bin": 30}
    settings.update(overrides)
    return settings


def outcome(table, tmp_path, n_thread=1, predict_table=None, **overrides):
    """What a fit and predict leave: the model file (bins, trees; its blocks sorted, since the bin
    records are kept in a hash map) and the predicted effects, each as exact text and floats; or the
    failure, with the bins the failed fit kept."""
    model = CausalModel("RandomForestClassifier", conf(n_thread, **overrides))
    path = tmp_path / "model.txt"
    try:
        model.fit(HEADERS, table)
    except BaseException as error:  # noqa: BLE001 - the failure itself is compared
        model.save(str(path))
        return type(error), str(error), sorted(path.read_text().split("\n\n"))
    model.save(str(path))
    predicted = model.predict(HEADERS, table if predict_table is None else predict_table)
    # As bytes, so that NaN effects compare equal to themselves.
    return sorted(path.read_text().split("\n\n")), np.array(predicted, np.float64).tobytes()


class TestMaskedCellsAreMissingCells:
    @pytest.mark.parametrize("n_thread", [1, 2, 3, 4])
    def test_masked_array_trains_and_predicts_as_rows_with_none(self, n_thread, tmp_path):
        rng = np.random.default_rng(n_thread)
        table, mask = random_table(rng), feature_mask(rng)
        expected = outcome(as_rows(table, mask), tmp_path, n_thread)
        assert isinstance(expected[0], list) and '"mapping"' in "".join(expected[0])
        masked = np.ma.array(table, mask=mask)
        assert outcome(masked, tmp_path, n_thread) == expected
        # A list of masked rows reads each row the same way.
        assert outcome(list(masked), tmp_path, n_thread) == expected

    @pytest.mark.parametrize("dtype", ["f8", "f4", "f2", "i4", "u8"])
    def test_every_layout_of_a_masked_array(self, dtype, tmp_path):
        rng = np.random.default_rng(5)
        table, mask = random_table(rng, dtype), feature_mask(rng)
        expected = outcome(as_rows(table, mask), tmp_path)
        masked = np.ma.array(table, mask=mask)
        fortran = np.ma.array(np.asfortranarray(table), mask=np.asfortranarray(mask))
        assert fortran.data.flags.f_contiguous and fortran.mask.flags.f_contiguous
        assert outcome(fortran, tmp_path) == expected
        # Views keep data and mask in step, whatever their strides.
        reversed_rows = masked[::-1]
        assert outcome(reversed_rows, tmp_path) == outcome(as_rows(table, mask)[::-1], tmp_path)
        every_other = masked[::2]
        assert outcome(every_other, tmp_path) == outcome(as_rows(table, mask)[::2], tmp_path)

    def test_masked_invalid_marks_nan_cells_missing(self, tmp_path):
        rng = np.random.default_rng(8)
        table, mask = random_table(rng, np.float64), feature_mask(rng)
        with_nan = np.where(mask, np.nan, table)
        # A NaN is a value, and a NaN in a numeric training column fails the fit.
        assert outcome(with_nan, tmp_path)[:2] == (
            outcome(with_nan.tolist(), tmp_path)[0], "called `Option::unwrap()` on a `None` value")
        # masked_invalid masks the infinities too.
        invalid = mask | ~np.isfinite(table)
        assert invalid.sum() > mask.sum()
        assert outcome(np.ma.masked_invalid(with_nan), tmp_path) == outcome(
            as_rows(table, invalid), tmp_path)

    def test_no_mask_and_an_all_false_mask_read_the_data(self, tmp_path):
        table = random_table(np.random.default_rng(9))
        expected = outcome(table.tolist(), tmp_path)
        assert np.ma.array(table).mask is np.ma.nomask
        assert outcome(np.ma.array(table), tmp_path) == expected
        assert outcome(np.ma.array(table, mask=np.zeros(table.shape, bool)), tmp_path) == expected

    def test_a_masked_target_cell_fails_as_none_does(self, tmp_path):
        rng = np.random.default_rng(10)
        table = random_table(rng)
        for name in ("y", "t", "w"):
            mask = feature_mask(rng)
            mask[N_ROWS // 2, HEADERS.index(name)] = True
            failure = outcome(np.ma.array(table, mask=mask), tmp_path)
            assert failure == outcome(as_rows(table, mask), tmp_path), name
            assert failure[1] == "called `Option::unwrap()` on a `None` value", name

    def test_masked_rows_predict_on_a_list_trained_model(self, tmp_path):
        rng = np.random.default_rng(12)
        table, mask = random_table(rng), feature_mask(rng, share=0.3)
        rows = as_rows(table, mask)
        assert (outcome(rows, tmp_path, predict_table=np.ma.array(table, mask=mask))
                == outcome(rows, tmp_path))


class TestBufferTablesLoadAsLists:
    @pytest.mark.parametrize("n_thread", [1, 2, 3, 4])
    def test_failures_and_kept_bins_match_the_list_path(self, n_thread, tmp_path):
        rng = np.random.default_rng(20 + n_thread)
        table = random_table(rng, np.float64)
        cases = {
            "nan in a numeric feature": (HEADERS.index("n1"), np.nan),
            "nan in the outcome": (HEADERS.index("y"), np.nan),
            "infinite weight": (HEADERS.index("w"), np.inf),
            "nan category": (HEADERS.index("c1"), np.nan),
        }
        for name, (column, value) in cases.items():
            broken = table.copy()
            broken[rng.integers(N_ROWS), column] = value
            for variant in (broken, np.asfortranarray(broken), broken[::-1][::-1]):
                assert outcome(variant, tmp_path, n_thread) == outcome(
                    broken.tolist(), tmp_path, n_thread), name

    def test_missing_columns_and_short_tables_fail_in_the_same_order(self, tmp_path):
        table = random_table(np.random.default_rng(30))
        # Rows of two cells: n0 is binned and kept, n1 (third cell) fails the fit.
        narrow = table[:, :2]
        failure = outcome(narrow, tmp_path)
        assert failure == outcome(narrow.tolist(), tmp_path)
        assert failure[1] == "called `Option::unwrap()` on a `None` value"
        assert any(block.startswith("Continuous\nn0\n") for block in failure[2])
        empty = table[:0]
        assert outcome(empty, tmp_path) == outcome(empty.tolist(), tmp_path)

    def test_the_caller_may_change_the_array_between_calls(self, tmp_path):
        table = random_table(np.random.default_rng(31))
        model = CausalModel("RandomForestClassifier", conf(2))
        model.fit(HEADERS, table)
        first = model.predict(HEADERS, table)
        table[:, 0] = 0.0  # nothing of the array is kept by the model
        assert model.predict(HEADERS, table) != first  # no NaN here: a plain comparison
        assert model.predict(HEADERS, table) == model.predict(HEADERS, table.tolist())


@pytest.mark.parametrize(
    "make",
    [
        lambda t: np.ma.masked_invalid(t.astype(">f4")),  # big-endian
        lambda t: np.ma.masked_invalid(t.astype(np.longdouble)),
        lambda t: np.ma.array(t.astype(object), mask=np.isnan(t)),
        lambda t: np.ma.masked_invalid(t).view(type("MaskedSubclass", (np.ma.MaskedArray,), {})),
    ],
    ids=["big-endian", "longdouble", "object", "subclass"],
)
def test_masked_cells_are_missing_on_every_path(make):
    from conftest import HEADERS, make_rows, small_conf

    rows = make_rows(600, seed=4)
    for index in range(0, 600, 7):
        rows[index][index % 2] = None  # missing feature cells in both columns
    as_nan = np.array([[np.nan if c is None else c for c in row] for row in rows], np.float64)
    model = CausalModel("RandomForestClassifier", small_conf())
    model.fit(HEADERS, rows)
    expected = model.predict(HEADERS, rows)
    table = make(as_nan)
    assert model.predict(HEADERS, table) == expected
    assert np.asarray(model.predict_array(HEADERS, table)).tolist() == expected
    refit = CausalModel("RandomForestClassifier", small_conf())
    refit.fit(HEADERS, table)
    assert refit._to_text() == model._to_text()
