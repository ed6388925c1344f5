import sys
from collections.abc import Sequence

import pytest

from conftest import HEADERS, make_rows, small_conf
from quorvanta import CausalModel


@pytest.fixture
def model():
    return CausalModel("RandomForestRegressor", {})


ARITY_CASES = [
    (lambda m: CausalModel(),
     "CausalModel.__new__() missing 2 required positional arguments: 'name' and 'conf'"),
    (lambda m: CausalModel("RandomForestRegressor"),
     "CausalModel.__new__() missing 1 required positional argument: 'conf'"),
    (lambda m: CausalModel("RandomForestRegressor", {}, 3),
     "CausalModel.__new__() takes 2 positional arguments but 3 were given"),
    (lambda m: CausalModel("RandomForestRegressor", {}, x=1),
     "CausalModel.__new__() got an unexpected keyword argument 'x'"),
    (lambda m: CausalModel("RandomForestRegressor", {}, name="x"),
     "CausalModel.__new__() got multiple values for argument 'name'"),
    (lambda m: m.save(), "CausalModel.save() missing 1 required positional argument: 'path'"),
    (lambda m: m.save("a", "b"), "CausalModel.save() takes 1 positional arguments but 2 were given"),
    (lambda m: m.save(1, 2, bogus=3),
     "CausalModel.save() takes 1 positional arguments but 2 were given"),
    (lambda m: m.fit([]), "CausalModel.fit() missing 1 required positional argument: 'arr'"),
    (lambda m: m.fit(bogus=1), "CausalModel.fit() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.fit([], headers=[]), "CausalModel.fit() got multiple values for argument 'headers'"),
    (lambda m: m.predict(arr=[]),
     "CausalModel.predict() missing 1 required positional argument: 'headers'"),
    (lambda m: m.load("a", "b", "c", "d"),
     "CausalModel.load() takes 2 positional arguments but 4 were given"),
]


@pytest.mark.parametrize("call, message", ARITY_CASES)
def test_arity_and_keyword_errors(model, call, message):
    with pytest.raises(TypeError) as error:
        call(model)
    assert str(error.value) == message


def test_keywords_bind_by_name():
    model = CausalModel(conf=small_conf(n_tree=1), name="RandomForestRegressor")
    model.fit(arr=make_rows(200), headers=HEADERS)


def test_receiver_must_be_a_causal_model():
    with pytest.raises(TypeError, match="CausalModel"):
        CausalModel.fit(5, HEADERS, [])


CONVERSION_CASES = [
    (lambda m: CausalModel(5, {}),
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda m: CausalModel("RandomForestRegressor", []),
     "argument 'conf': 'list' object cannot be converted to 'PyDict'"),
    # conf is converted before the name is looked up
    (lambda m: CausalModel("NoSuchModel", 5),
     "argument 'conf': 'int' object cannot be converted to 'PyDict'"),
    (lambda m: m.save(b"path"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m: m.load("RandomForestRegressor", None),
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda m: m.load(None, None),
     "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda m: m.fit("x1", []), "argument 'headers': Can't extract `str` to `Vec`"),
    (lambda m: m.fit(HEADERS, ["1.0"]), "argument 'arr': Can't extract `str` to `Vec`"),
    (lambda m: m.fit({"x1"}, []),
     "argument 'headers': 'set' object cannot be converted to 'Sequence'"),
    (lambda m: m.predict(HEADERS, [{1.0}]),
     "argument 'arr': 'set' object cannot be converted to 'Sequence'"),
    (lambda m: m.fit(["x1", 5], []),
     "argument 'headers': 'int' object cannot be converted to 'PyString'"),
    (lambda m: m.fit(HEADERS, [[1.0, "2"]]), "argument 'arr': must be real number, not str"),
    # headers are converted before arr
    (lambda m: m.fit(5, "abc"), "argument 'headers': 'int' object cannot be converted to 'Sequence'"),
]


@pytest.mark.parametrize("call, message", CONVERSION_CASES)
def test_conversion_errors(model, call, message):
    with pytest.raises(TypeError) as error:
        call(model)
    assert str(error.value) == message


class Rows(Sequence):
    """A sequence that is neither list nor tuple, with hooks to misbehave."""

    def __init__(self, items, iter_error=None, len_error=None):
        self.items, self.iter_error, self.len_error = items, iter_error, len_error

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return len(self.items)

    def __iter__(self):
        if self.iter_error:
            raise self.iter_error
        return iter(self.items)


def test_errors_other_than_type_errors_pass_unchanged(model):
    with pytest.raises(ValueError, match="^boom$"):
        model.fit(Rows(HEADERS, iter_error=ValueError("boom")), [])
    with pytest.raises(TypeError, match="^argument 'arr': boom$"):
        model.fit(HEADERS, Rows([], iter_error=TypeError("boom")))

    class BadFloat:
        def __float__(self):
            raise ZeroDivisionError("no float")

    with pytest.raises(ZeroDivisionError, match="^no float$"):
        model.fit(HEADERS, [[BadFloat()]])
    with pytest.raises(UnicodeEncodeError):
        model.fit(["x\udcff"], [])


def test_sequences_of_any_kind_convert_alike(trained, rows):
    expected = trained.predict(HEADERS, rows[:20])
    as_tuples = tuple(tuple(row) for row in rows[:20])
    assert trained.predict(tuple(HEADERS), as_tuples) == expected
    # a failing __len__ only loses the size hint
    unsized = Rows([Rows(row, len_error=RuntimeError()) for row in rows[:20]],
                   len_error=RuntimeError())
    assert trained.predict(Rows(HEADERS), unsized) == expected


def test_cells_convert_through_float(trained):
    class Index:
        def __index__(self):
            return 1

    class Float:
        def __float__(self):
            return 0.25

    reference = trained.predict(HEADERS, [[0.25, 1.0, 1.0, 1.0]])
    assert trained.predict(HEADERS, [[Float(), True, Index(), 1]]) == reference
    # differences below f32 precision vanish in the narrowing
    assert trained.predict(HEADERS, [[0.25 + 1e-12, 1.0, 1.0, 1.0]]) == reference
    # None is a missing feature cell, not an error
    assert len(trained.predict(HEADERS, [[None, None, 1.0, 1.0]])) == 1


def test_conversions_hold_no_references():
    model = CausalModel("RandomForestRegressor", small_conf())
    cell, header = 0.5, "x" * 20
    table = [[cell] * 4] * 10
    before = sys.getrefcount(cell), sys.getrefcount(header)
    for _ in range(200):
        with pytest.raises(BaseException):
            model.fit([header, 5], table)
        with pytest.raises(BaseException):
            model.predict([header], table + [[cell, "bad"]])
        with pytest.raises(BaseException):
            model.predict([header], table)
    assert (sys.getrefcount(cell), sys.getrefcount(header)) == before
