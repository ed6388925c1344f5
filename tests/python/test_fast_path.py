"""Numeric arrays are read from their memory; every case here must convert exactly as iterating
the same object item by item does, or fail the same way."""

import warnings
from collections.abc import Sequence

import numpy as np
import pytest

from conftest import HEADERS, make_rows, small_conf
from quorvanta import CausalModel


class Plain(Sequence):
    """A sequence without a buffer: always converted item by item."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return len(self.items)


def iterated(table):
    """The same numpy scalars (or other items), forced through the item-by-item conversion."""
    return Plain([Plain(list(row)) if np.ndim(row) else row for row in table])


def converted(table, n_cols, path):
    """Every column as a categorical feature: the model file then lists each column's distinct
    cells (up to 254) in order of first appearance, exactly as converted. Failures are returned."""
    headers = [f"c{i}" for i in range(n_cols)]
    model = CausalModel("RandomForestRegressor", {"feature": headers, "cat": headers, "n_tree": 0})
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(headers, table)
    except BaseException as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)
    model.save(str(path))
    blocks = path.read_text().split("\n\n")[1:]
    return dict(block.strip().split("\n", 1)[1].split("\n") for block in blocks if block.strip())


def assert_converts_like_iteration(table, tmp_path, n_cols=None):
    n_cols = n_cols if n_cols is not None else (table.shape[1] if table.ndim == 2 else 1)
    expected = converted(iterated(table) if table.ndim else table, n_cols, tmp_path / "slow")
    assert converted(table, n_cols, tmp_path / "fast") == expected
    if table.ndim == 2:
        assert converted(list(table), n_cols, tmp_path / "rows") == expected
    return expected


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.matrix([[1.0, 2.0], [3.0, 4.0]])

DTYPES = ["f8", "f4", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?"]


def random_table(dtype, rng, shape=(40, 30)):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        with np.errstate(over="ignore"):
            table = (rng.standard_normal(shape) * 10.0 ** rng.integers(-8, 8, shape)).astype(dtype)
        specials = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-45, np.finfo(dtype).max]
        table.flat[: len(specials)] = specials
    elif dtype.kind == "b":
        table = rng.random(shape) < 0.5
    else:
        info = np.iinfo(dtype)
        table = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
        table.flat[:2] = [info.min, info.max]
        if dtype.itemsize == 8:
            # rounds differently via double than straight to f32
            table.flat[2] = 2**54 + 2**30 + 1
    return table


def layouts(table):
    padded = np.zeros(table.size * table.itemsize + 1, np.uint8)[1:].view(table.dtype)
    unaligned = padded.reshape(table.shape)
    unaligned[...] = table
    return {
        "c": table,
        "fortran": np.asfortranarray(table),
        "sliced": table[::2, ::3],
        "reversed": table[::-1, ::-2],
        "unaligned": unaligned,
        "broadcast": np.broadcast_to(table[0], (5, table.shape[1])),
        "byte_swapped": table.astype(table.dtype.newbyteorder()),
    }


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_and_layout_converts_like_iteration(dtype, tmp_path):
    table = random_table(dtype, np.random.default_rng(7))
    for name, variant in layouts(table).items():
        expected = assert_converts_like_iteration(variant, tmp_path)
        assert isinstance(expected, dict), name
        # tolist() holds Python numbers of the same values
        assert converted(variant.tolist(), variant.shape[1], tmp_path / "list") == expected


def test_int64_rounds_through_double(tmp_path):
    cells = converted(np.array([[2**54 + 2**30 + 1]], np.int64), 1, tmp_path / "m")
    assert cells["c0"] == '{"n_bin":1,"mapping":[1.8014399e16]}'  # 2**54, not 2**54 + 2**31


def test_every_half_value(tmp_path):
    every = np.zeros(254 * 259, np.uint16)
    every[: 2**16] = np.arange(2**16)
    assert_converts_like_iteration(every.view(np.float16).reshape(254, 259), tmp_path)


@pytest.mark.parametrize("table", [
    np.array([[1.5, None], [None, 2.0]], dtype=object),
    np.array([[1 + 2j, 3]]),
    np.ones((3, 2), np.longdouble),
    np.array([["1.5", "2"]]),
    np.array([[1, 2]], dtype="M8[s]"),
    np.zeros((0, 4)),
    np.zeros((5, 0), np.int32),
    np.arange(6.0),
    np.array(2.0),
    np.zeros((2, 2, 2)),
    MATRIX,
    np.array([[0, 1, 2, 255]], np.uint8).view(bool),
], ids=lambda table: f"{table.dtype}{table.shape}")
def test_other_arrays_and_shapes_convert_as_iterated(table, tmp_path):
    assert_converts_like_iteration(table, tmp_path, n_cols=2)


def test_buffer_rows(tmp_path):
    table = random_table("f4", np.random.default_rng(3), (6, 8))
    expected = converted(iterated(table), 8, tmp_path / "slow")
    assert converted([memoryview(row) for row in table], 8, tmp_path / "mv") == expected
    raw = [bytearray(row) for row in np.random.default_rng(4).integers(0, 256, (6, 8), np.uint8)]
    assert (converted([bytes(row) for row in raw], 8, tmp_path / "bytes")
            == converted(raw, 8, tmp_path / "bytearray")
            == converted([list(row) for row in raw], 8, tmp_path / "ints"))
    raw[0].extend(b"\0")  # the buffer was released again
    # memoryviews that cannot be iterated fail as before
    unaligned = layouts(table)["unaligned"]
    for rows in ([memoryview(unaligned[0])], memoryview(table), [memoryview(table)]):
        failure = converted(rows, 8, tmp_path / "x")
        assert failure[0] is NotImplementedError
    released = memoryview(table[0])
    released.release()
    # iterating a released view would read its freed format; it fails as any other use of it
    assert converted([released], 8, tmp_path / "x")[0] is ValueError
    assert converted(released, 8, tmp_path / "x")[0] is ValueError


def test_a_broadcast_table_too_large_for_memory_fails_cleanly(tmp_path):
    huge = np.broadcast_to(np.uint8(1), (2**31, 2**31))
    assert converted(huge, 1, tmp_path / "m")[0] is MemoryError


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", ["f8", "f4"])
def test_fit_and_predict_match_the_list_path(order, dtype, tmp_path):
    table = np.array(make_rows(600, seed=4), dtype=dtype, order=order)
    results = []
    for arr in (table, table.tolist()):
        model = CausalModel("RandomForestClassifier", small_conf(n_tree=4))
        model.fit(HEADERS, arr)
        path = tmp_path / f"model{len(results)}"
        model.save(str(path))
        results.append((model.predict(HEADERS, arr), sorted(path.read_text().split("\n\n"))))
    assert results[0] == results[1]
