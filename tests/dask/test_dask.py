"""quorvanta_dask on a local cluster of two worker processes: fitting and predicting on dask
arrays and DataFrames, agreement with local models bit for bit, bad input, faults, memory, and
workers that die."""

from __future__ import annotations

import concurrent.futures
import os
import pickle
import signal
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")

import dask  # noqa: E402
from dask.delayed import delayed  # noqa: E402

import quorvanta_dask  # noqa: E402
from quorvanta import CausalModel  # noqa: E402
from quorvanta_dask._faults import fault_type, remote_fault  # noqa: E402
from quorvanta_dask._model import batch_seed, batch_sizes, default_batches  # noqa: E402
from quorvanta_dask._model_text import ModelBlocks, model_text  # noqa: E402

NAME = "RandomForestClassifier"
HEADERS = ["a", "b", "c", "d", "t", "y"]
CONF = {
    "feature": ["a", "b", "c", "d"],
    "cat": ["d"],
    "treatment": ["t"],
    "y": "y",
    "n_tree": 8,
    "max_depth": 4,
    "min_samples_leaf": 40,
    "seed": 11,
}
N_BATCH = 4
DEADLINE = 120  # seconds a cluster call may take (workers restart slowly on a busy machine)


def make_table(n_rows: int, seed: int = 0) -> np.ndarray:
    """Numeric a, b, c; categorical d; treatment groups 0-2 in t; binary outcome y."""
    rng = np.random.default_rng(seed)
    a, b, c = rng.random(n_rows), rng.random(n_rows), rng.normal(size=n_rows)
    d = rng.integers(0, 4, n_rows)
    t = rng.integers(0, 3, n_rows)
    lift = np.where((t == 1) & (a > 0.5), 0.3, 0.0) + np.where((t == 2) & (d == 1), 0.2, 0.0)
    y = rng.random(n_rows) < 0.2 + lift
    return np.column_stack([a, b, c, d, t, y]).astype(np.float32)


TABLE = make_table(6000)


def local_cluster(n_workers: int):
    """Worker processes of one thread each; everything listens on 127.0.0.1 at free ports, and
    the dashboard is off (the scheduler's own HTTP server would otherwise take port 8787)."""
    return distributed.LocalCluster(
        n_workers=n_workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, worker_dashboard_address=None,
        scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
    )


@pytest.fixture(scope="module")
def cluster():
    # One retry after a lost worker: a task that kills every worker it lands on fails fast.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        with local_cluster(2) as two_workers:
            yield two_workers


@pytest.fixture(scope="module")
def client(cluster):
    with distributed.Client(cluster, set_as_default=False) as module_client:
        yield module_client


@pytest.fixture
def healthy(client):
    """The client, once both workers are up (a test before may have killed one)."""
    client.wait_for_workers(2, timeout=DEADLINE)
    return client


def bits(values) -> np.ndarray:
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def local_effects(model: CausalModel, table) -> np.ndarray:
    return np.asarray(model.predict(HEADERS, table), dtype=np.float32)


def dask_model(client, **conf) -> quorvanta_dask.DaskCausalModel:
    return quorvanta_dask.DaskCausalModel(NAME, {**CONF, **conf}, client=client, n_batch=N_BATCH)


def frame_of(table: np.ndarray, index=None) -> pd.DataFrame:
    return pd.DataFrame(table, columns=HEADERS, index=index)


@pytest.fixture(scope="module")
def fitted(client):
    model = dask_model(client)
    model.fit(HEADERS, da.from_array(TABLE, chunks=(1000, 6)))
    return model


def blocks_of(model) -> ModelBlocks:
    return ModelBlocks.of(model_text(model.to_local() if hasattr(model, "to_local") else model))


def within_deadline(call, *args):
    """Runs a cluster call on a thread so that a hang fails the test instead of stopping CI."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(call, *args).result(timeout=DEADLINE)


class TestFitAndPredict:
    def test_array_predictions_are_lazy_float32_and_match_the_local_model(self, fitted):
        effects = fitted.predict(HEADERS, da.from_array(TABLE, chunks=(1000, 6)))
        assert isinstance(effects, da.Array)
        assert effects.dtype == np.float32
        assert effects.chunks == ((1000,) * 6, (2,))
        computed = effects.compute()
        assert computed.shape == (6000, 2)
        local = fitted.to_local()
        np.testing.assert_array_equal(bits(computed), bits(local_effects(local, TABLE)))

    def test_frames_fit_the_same_forest_and_predict_with_their_index(self, healthy, fitted):
        index = pd.Index(np.arange(6000) * 3 + 1000, name="customer")
        frame = dd.from_pandas(frame_of(TABLE, index), npartitions=5)
        model = dask_model(healthy)
        model.fit(HEADERS, frame)
        assert blocks_of(model) == blocks_of(fitted), "same rows, same seed, same forest"

        effects = model.predict(HEADERS, frame)
        assert isinstance(effects, dd.DataFrame)
        computed = effects.compute()
        assert list(computed.columns) == ["effect_1", "effect_2"]
        assert list(computed.dtypes) == [np.float32, np.float32]
        pd.testing.assert_index_equal(computed.index, index)
        np.testing.assert_array_equal(
            bits(computed.to_numpy()), bits(local_effects(fitted.to_local(), TABLE))
        )

    def test_bins_are_those_of_a_local_fit(self, fitted):
        local = CausalModel(NAME, CONF)
        local.fit(HEADERS, TABLE)
        assert blocks_of(fitted).bin_set() == blocks_of(local).bin_set()
        assert len(blocks_of(fitted).trees) == CONF["n_tree"]

    def test_seeded_fit_is_the_same_on_one_worker(self, fitted):
        with local_cluster(1) as single:
            with distributed.Client(single, set_as_default=False) as single_client:
                model = dask_model(single_client)
                model.fit(HEADERS, da.from_array(TABLE, chunks=(1000, 6)))
        assert blocks_of(model).text() == blocks_of(fitted).text()

    def test_saved_file_loads_locally_and_predicts_the_same_bits(self, fitted, tmp_path):
        path = str(tmp_path / "forest.txt")
        fitted.save(path)
        loaded = CausalModel(NAME, {}).load(NAME, path)
        np.testing.assert_array_equal(
            bits(local_effects(loaded, TABLE)),
            bits(fitted.predict(HEADERS, da.from_array(TABLE, chunks=(2500, 6))).compute()),
        )
        assert blocks_of(loaded).config_record()["n_tree"] == CONF["n_tree"]

    def test_a_second_fit_adds_trees_as_a_local_second_fit_does(self, healthy):
        model = dask_model(healthy, n_tree=4)
        rows = da.from_array(TABLE[:3000], chunks=(1000, 6))
        model.fit(HEADERS, rows)
        first = blocks_of(model)
        model.fit(HEADERS, rows)
        second = blocks_of(model)
        assert second.bins == first.bins
        # A new fit restarts the seeded draws, locally and here: the same trees again.
        assert second.trees == first.trees + first.trees
        assert second.config_record()["n_tree"] == 4

    def test_unseeded_fits_draw_new_trees(self, healthy):
        conf = {key: value for key, value in CONF.items() if key != "seed"}
        rows = da.from_array(TABLE[:3000], chunks=(1000, 6))
        models = []
        for _ in range(2):
            model = quorvanta_dask.DaskCausalModel(NAME, {**conf, "n_tree": 2}, client=healthy)
            model.fit(HEADERS, rows)
            models.append(blocks_of(model))
        assert models[0].trees != models[1].trees
        assert models[0].config_record()["seed"] is None

    def test_missing_cells_of_frames_and_masks_of_arrays(self, healthy, fitted):
        table = TABLE.copy()
        table[::7, 0] = np.nan
        table[::11, 3] = np.nan
        # In a DataFrame NaN, NA and None are missing cells, as masked cells are in an array.
        frame = frame_of(table).astype({"d": "Float64"})
        from_frame = dask_model(healthy)
        from_frame.fit(HEADERS, dd.from_pandas(frame, npartitions=3))
        from_masks = dask_model(healthy)
        from_masks.fit(HEADERS, da.ma.masked_invalid(da.from_array(table, chunks=(2000, 6))))
        assert blocks_of(from_frame).text() == blocks_of(from_masks).text()
        local = CausalModel(NAME, CONF)
        local.fit(HEADERS, np.ma.masked_invalid(table))
        assert blocks_of(from_frame).bin_set() == blocks_of(local).bin_set()
        assert blocks_of(from_frame).bin_set() != blocks_of(fitted).bin_set()

        # In an array a masked cell is missing and a NaN stays a value.
        masked = da.ma.masked_invalid(da.from_array(table, chunks=(1000, 6)))
        np.testing.assert_array_equal(
            bits(fitted.predict(HEADERS, masked).compute()),
            bits(local_effects(fitted.to_local(), np.ma.masked_invalid(table))),
        )
        nan_valued = fitted.predict(HEADERS, da.from_array(table, chunks=(1000, 6))).compute()
        np.testing.assert_array_equal(
            bits(nan_valued), bits(local_effects(fitted.to_local(), table))
        )


class TestPartitions:
    def test_empty_partitions_and_unknown_chunk_sizes(self, healthy, fitted):
        empty_blocks = da.from_array(TABLE, chunks=((0, 2500, 0, 3500, 0), (6,)))
        unknown = empty_blocks[empty_blocks[:, 0] > -1.0]  # every row, sizes unknown
        assert np.isnan(unknown.shape[0])
        model = dask_model(healthy)
        model.fit(HEADERS, unknown)
        assert blocks_of(model).text() == blocks_of(fitted).text()

        effects = fitted.predict(HEADERS, unknown)
        assert np.isnan(effects.shape[0]) and effects.shape[1] == 2
        expected = bits(local_effects(fitted.to_local(), TABLE))
        np.testing.assert_array_equal(bits(effects.compute()), expected)
        from_empty_blocks = fitted.predict(HEADERS, empty_blocks).compute()
        np.testing.assert_array_equal(bits(from_empty_blocks), expected)

        pieces = [frame_of(TABLE[:0]), frame_of(TABLE[:2000]), frame_of(TABLE[:0]),
                  frame_of(TABLE[2000:], index=np.arange(2000, 6000))]
        frame = dd.from_delayed([delayed(piece) for piece in pieces], meta=frame_of(TABLE[:0]))
        model = dask_model(healthy)
        model.fit(HEADERS, frame)
        assert blocks_of(model).text() == blocks_of(fitted).text()
        computed = fitted.predict(HEADERS, frame).compute()
        np.testing.assert_array_equal(bits(computed.to_numpy()), expected)
        assert list(computed.index) == list(range(6000))


def exploding_array() -> da.Array:
    """A table whose computation fails loudly: bad input must be refused before it is touched."""

    def explode():
        raise AssertionError("the table was computed")

    return da.from_delayed(delayed(explode)(), shape=(100, 6), dtype=np.float32)


class TestBadInput:
    @pytest.mark.parametrize(
        ("headers", "table", "error", "match"),
        [
            ("abcdty", None, TypeError, "headers"),
            (HEADERS, np.zeros((3, 6)), TypeError, "dask array of rows or a dask DataFrame"),
            (HEADERS[:5], None, ValueError, "6 columns but headers name 5"),
            (HEADERS + ["zz"], "frame", ValueError, "unknown columns: 'zz'"),
            (HEADERS, "text frame", TypeError, r"numeric or boolean: 'b' \("),
        ],
    )
    def test_tables_are_refused_before_any_work(self, healthy, headers, table, error, match):
        if table is None:
            table = exploding_array()
        elif isinstance(table, str):
            frame = frame_of(TABLE[:100])
            if table == "text frame":
                frame["b"] = frame["b"].astype(str).astype(object)
            table = dd.from_pandas(frame, npartitions=2)
        model = dask_model(healthy)
        with pytest.raises(error, match=match):
            model.fit(headers, table)
        with pytest.raises(ValueError, match="not fitted: call fit before predict"):
            model.predict(HEADERS, exploding_array())

    def test_configuration_faults_are_those_of_a_local_fit(self, healthy):
        conf = {**CONF, "feature": ["a", "e"]}
        model = quorvanta_dask.DaskCausalModel(NAME, conf, client=healthy)
        with pytest.raises(fault_type(), match="^Column is missing: e$"):
            model.fit(HEADERS, exploding_array())
        with pytest.raises(fault_type(), match="model name Forest not found"):
            quorvanta_dask.DaskCausalModel("Forest", CONF)
        with pytest.raises(ValueError, match="n_batch"):
            quorvanta_dask.DaskCausalModel(NAME, CONF, n_batch=0)

    @pytest.mark.parametrize(
        ("conf", "match"),
        [
            ({"y": "outcome"}, "the outcome column 'outcome' is not among the headers"),
            ({"y": 5}, r"no outcome column is configured \(conf key 'y'\)"),
            ({"treatment": ["group"]}, "the treatment column 'group' is not among the headers"),
        ],
    )
    def test_outcome_and_treatment_columns_are_checked_before_any_work(self, healthy, conf, match):
        model = quorvanta_dask.DaskCausalModel(NAME, {**CONF, **conf}, client=healthy)
        with pytest.raises(ValueError, match=match):
            model.fit(HEADERS, exploding_array())

    def test_no_client_and_no_model(self, tmp_path):
        model = quorvanta_dask.DaskCausalModel(NAME, CONF)
        with pytest.raises(ValueError, match="no Dask client"):
            model.fit(HEADERS, exploding_array())
        for call in (lambda: model.save(str(tmp_path / "m.txt")), model.to_local):
            with pytest.raises(ValueError, match="not fitted"):
                call()
        assert not (tmp_path / "m.txt").exists()

    def test_predict_checks_columns_before_any_work(self, fitted):
        with pytest.raises(fault_type(), match="^Column is missing: d$"):
            fitted.predict(["a", "b", "c", "z", "t", "y"], exploding_array())

    def test_memory_refusal_names_what_is_needed_and_what_there_is(self, healthy):
        huge = da.zeros((4_000_000_000, 6), dtype=np.float32, chunks=(10_000_000, 6))
        limit = min(
            info["memory_limit"] for info in healthy.scheduler_info()["workers"].values()
        )
        with pytest.raises(MemoryError) as refused:
            within_deadline(dask_model(healthy).fit, HEADERS, huge)
        message = str(refused.value)
        assert "4000000000 rows x 6 columns, 89.41 GiB as float32" in message
        assert "needs about 357.63 GiB" in message
        assert f"smallest worker memory limit is {limit / 2**30:.2f} GiB" in message


class TestFaults:
    def test_a_fault_in_a_task_reaches_the_caller_as_the_local_fault(self, healthy):
        table = TABLE.copy()
        table[100, 5] = 2.0  # no class of a binary outcome
        local = CausalModel(NAME, CONF)
        with pytest.raises(fault_type()) as local_failure:
            local.fit(HEADERS, table)
        with pytest.raises(BaseException) as failure:
            within_deadline(dask_model(healthy).fit, HEADERS, da.from_array(table, chunks=1000))
        assert type(failure.value) is fault_type()
        assert failure.value.args == local_failure.value.args

    def test_a_fault_while_predicting_is_a_fault_dask_can_carry(self, fitted):
        masked = np.ma.masked_array(TABLE, mask=np.zeros(TABLE.shape, bool))
        masked.mask[4321, 4] = True  # a treatment cell must be present
        with pytest.raises(fault_type()) as local_failure:
            fitted.to_local().predict(HEADERS, masked)
        effects = fitted.predict(HEADERS, da.from_array(masked, chunks=(1000, 6), asarray=False))
        with pytest.raises(fault_type()) as failure:
            within_deadline(effects.compute)
        assert isinstance(failure.value, Exception), "Dask hangs on a bare BaseException"
        assert failure.value.args == local_failure.value.args

    def test_remote_faults_pickle_with_their_message(self):
        fault = remote_fault("Column is missing: y")
        again = pickle.loads(pickle.dumps(fault))
        assert type(again) is type(fault)
        assert isinstance(again, fault_type()) and isinstance(again, Exception)
        assert again.args == ("Column is missing: y",)


def estimator_data(seed: int = 0):
    """A frame with a numeric column holding NaN, a normal one and string categories (some
    missing); string treatment labels; a binary and a real outcome."""
    rng = np.random.default_rng(seed)
    n = 3000
    a = rng.random(n)
    a[::11] = np.nan
    colour = rng.choice(["red", "green", "blue"], n).astype(object)
    colour[::17] = None
    frame = pd.DataFrame({"a": a, "b": rng.normal(size=n), "colour": colour})
    treatment = rng.choice(["ctl", "mail", "sms"], n)
    y = (rng.random(n) < 0.2 + 0.3 * ((treatment == "mail") & (frame["b"] > 0))).astype(int)
    return frame, treatment, y


class TestEstimators:
    PARAMS = dict(n_estimators=4, max_depth=3, min_samples_leaf=30, random_state=9,
                  control_name="ctl")

    def test_a_dask_frame_grows_the_trees_of_its_hand_encoded_table(self, healthy):
        from quorvanta_sklearn import UpliftForestClassifier

        frame, treatment, y = estimator_data()
        parts = 3
        est = quorvanta_dask.DaskUpliftForestClassifier(client=healthy, **self.PARAMS)
        est.fit(dd.from_pandas(frame, npartitions=parts),
                dd.from_pandas(pd.Series(y), npartitions=parts),
                dd.from_pandas(pd.Series(treatment), npartitions=parts))
        # By hand: colours numbered by first appearance, missing cells NaN, labels sorted.
        seen: dict = {}
        codes = [np.nan if pd.isna(c) else seen.setdefault(c, 5.0 * len(seen)) for c in
                 frame["colour"]]
        encoded = pd.DataFrame({
            "a": frame["a"].astype(np.float32), "b": frame["b"].astype(np.float32),
            "colour": np.asarray(codes, np.float32),
            "__treatment__": np.searchsorted(["ctl", "mail", "sms"], treatment).astype(np.float32),
            "__outcome__": y.astype(np.float32),
        })
        conf = {"feature": ["a", "b", "colour"], "cat": ["colour"], "treatment": ["__treatment__"],
                "y": "__outcome__", "n_tree": 4, "max_depth": 3, "min_samples_leaf": 30,
                "seed": 9}
        raw = quorvanta_dask.DaskCausalModel(NAME, conf, client=healthy)
        raw.fit(list(encoded.columns), dd.from_pandas(encoded, npartitions=parts))
        local = est.to_local()
        assert isinstance(local, UpliftForestClassifier) and local.treatment_names_ == ["mail",
                                                                                        "sms"]
        records = [tree.split("\n")[1] for tree in blocks_of(raw).trees]
        assert [tree.split("\n")[1] for tree in blocks_of(local.model_).trees] == records

        effects = est.predict(dd.from_pandas(frame, npartitions=2))
        assert list(effects.columns) == ["mail", "sms"]
        np.testing.assert_array_equal(bits(effects.compute().to_numpy()),
                                      bits(local.predict(frame)))
        assert pickle.loads(pickle.dumps(est)).to_local().predict(frame).tobytes() == (
            local.predict(frame).tobytes())

    def test_arrays_and_regression_importances_as_a_local_fit_counts_them(self, healthy):
        from quorvanta_sklearn import _importances
        from quorvanta_sklearn._training import table_headers, training_block

        frame, treatment, _ = estimator_data(1)
        numbers = frame[["a", "b"]].to_numpy()
        y = np.random.default_rng(2).normal(size=len(frame)) + (treatment == "mail")
        est = quorvanta_dask.DaskUpliftForestRegressor(client=healthy, **self.PARAMS)
        est.fit(da.from_array(numbers, chunks=(1000, 2)), da.from_array(y, chunks=1000),
                da.from_array(treatment, chunks=1000))
        local = est.to_local()
        block = training_block(local._coding, numbers, y, treatment, None, False,
                               local._treatment_coding)[0]
        expected = _importances.regression_importances(
            "RandomForestRegressor", model_text(local.model_), 2,
            table_headers(local._coding, False), block.table())
        np.testing.assert_allclose(est.feature_importances_, expected, rtol=1e-6)
        effects = est.predict(da.from_array(numbers, chunks=(700, 2))).compute()
        assert effects.tobytes() == local.predict(numbers).tobytes()
        with pytest.raises(ValueError, match="control_name 'nobody'"):
            est.set_params(control_name="nobody").fit(
                da.from_array(numbers, chunks=(1000, 2)), da.from_array(y, chunks=1000),
                da.from_array(treatment, chunks=1000))


def kill_worker_running(client, key_prefix: str, computing) -> None:
    """SIGKILLs the worker process that holds a task whose key starts with `key_prefix`, while
    `computing` (a concurrent future) has not finished."""
    pids = client.run(os.getpid)
    while not computing.done():
        for address, keys in client.processing().items():
            names = [key[0] if isinstance(key, tuple) else key for key in keys]
            if address in pids and any(str(name).startswith(key_prefix) for name in names):
                os.kill(pids[address], signal.SIGKILL)
                return
        time.sleep(0.002)
    raise AssertionError(f"no task {key_prefix}... was seen before the computation ended")


def slow_rows(table: np.ndarray, n_blocks: int) -> da.Array:
    """The table in blocks that each take a moment to make, so that a prediction lasts long
    enough to be caught in the middle."""

    def slow_block(block):
        time.sleep(0.05)
        return block

    blocks = np.array_split(table, n_blocks)
    return da.concatenate(
        [
            da.from_delayed(delayed(slow_block)(block), shape=block.shape, dtype=block.dtype)
            for block in blocks
        ]
    )


def self_killing_array() -> da.Array:
    """A table whose computation kills the worker process that runs it, every time."""

    def die():
        os.kill(os.getpid(), signal.SIGKILL)

    return da.from_delayed(delayed(die, pure=False)(), shape=(100, 6), dtype=np.float32)


class TestLostWorkers:
    BIG = make_table(40_000, seed=3)

    def test_a_worker_killed_mid_fit_changes_nothing(self, healthy):
        rows = da.from_array(self.BIG, chunks=(5000, 6))
        undisturbed = dask_model(healthy, max_depth=6)
        undisturbed.fit(HEADERS, rows)
        disturbed = dask_model(healthy, max_depth=6)
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            fitting = pool.submit(disturbed.fit, HEADERS, rows)
            kill_worker_running(healthy, "grow_batch", fitting)
            fitting.result(timeout=DEADLINE)
        assert blocks_of(disturbed).text() == blocks_of(undisturbed).text()

    def test_a_worker_killed_mid_predict_changes_nothing(self, healthy, fitted):
        expected = bits(local_effects(fitted.to_local(), self.BIG))
        effects = fitted.predict(HEADERS, slow_rows(self.BIG, 40))
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            computing = pool.submit(healthy.compute, effects, sync=True)
            kill_worker_running(healthy, "quorvanta-predict", computing)
            np.testing.assert_array_equal(bits(computing.result(timeout=DEADLINE)), expected)

    def test_repeated_kills_end_in_an_error(self, healthy, fitted):
        with pytest.raises(distributed.scheduler.KilledWorker):
            within_deadline(dask_model(healthy).fit, HEADERS, self_killing_array())
        healthy.wait_for_workers(2, timeout=DEADLINE)
        effects = fitted.predict(HEADERS, self_killing_array())
        with pytest.raises(distributed.scheduler.KilledWorker):
            within_deadline(healthy.compute(effects).result)


def test_batches_depend_on_the_tree_count_and_seed_alone():
    assert batch_sizes(10, 4) == [3, 3, 2, 2]
    assert batch_sizes(3, 8) == [1, 1, 1]
    assert batch_sizes(0, 8) == []
    assert [default_batches(n) for n in (0, 1, 2, 9, 10, 11, 20, 40, 100)] == [
        0, 1, 2, 2, 2, 3, 4, 8, 8
    ]
    seeds = [batch_seed(11, index) for index in range(8)]
    assert len(set(seeds)) == 8 and all(0 <= seed < 2**64 for seed in seeds)
    assert seeds == [batch_seed(11, index) for index in range(8)]
    assert batch_seed(12, 0) != seeds[0]


class TestJoiningBatches:
    """The client's checks on what the batches return, without a cluster."""

    @pytest.fixture
    def bins_text(self):
        bins_only = CausalModel(NAME, {**CONF, "n_tree": 0})
        bins_only.fit(HEADERS, TABLE)
        return model_text(bins_only)

    def grown(self, bins_text, n_tree: int, seed: int):
        from quorvanta_dask._tasks import GrownBatch
        from quorvanta_dask._model_text import model_from_text, untrained_copy

        batch = untrained_copy(model_from_text(NAME, bins_text), n_tree, seed)
        batch.fit(HEADERS, TABLE)
        blocks = ModelBlocks.of(model_text(batch))
        return GrownBatch(blocks.bin_set(), blocks.trees)

    def test_batches_join_in_order_into_one_loadable_model(self, bins_text):
        model = quorvanta_dask.DaskCausalModel(NAME, {**CONF, "n_tree": 3})
        batches = [self.grown(bins_text, 2, 1), self.grown(bins_text, 1, 2)]
        model._join(bins_text, [2, 1], batches, 11)
        joined = blocks_of(model)
        assert joined.trees == batches[0].trees + batches[1].trees
        assert joined.bin_set() == ModelBlocks.of(bins_text).bin_set()
        assert joined.config_record()["n_tree"] == 3 and joined.config_record()["seed"] == 11
        assert joined.n_effects() == 2
        assert ModelBlocks.of(joined.text()) == joined

    def test_batches_on_other_bins_or_short_of_trees_are_refused(self, bins_text):
        model = quorvanta_dask.DaskCausalModel(NAME, {**CONF, "n_tree": 2})
        batch = self.grown(bins_text, 1, 1)
        other_bins = CausalModel(NAME, {**CONF, "n_tree": 0, "n_bin": 7})
        other_bins.fit(HEADERS, TABLE)
        stranger = self.grown(model_text(other_bins), 1, 2)
        with pytest.raises(RuntimeError, match="batch 1 grew its trees on other bins"):
            model._join(bins_text, [1, 1], [batch, stranger], 11)
        with pytest.raises(RuntimeError, match="batch 0 returned 1 of 2 trees"):
            model._join(bins_text, [2], [batch], 11)
        with pytest.raises(ValueError, match="not fitted"):
            model.to_local()
