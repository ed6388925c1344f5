"""Callers that fight back: Python code that walks the collector's objects or runs another model
inside a signal handler in the middle of a call, masked arrays the fast path cannot read in place,
and lengths or masks that raise an interrupt. None of them may crash the process, change what is
read, or swallow the interrupt."""

import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvanta import CausalModel

HEADERS = ["a", "b", "t", "y"]


def table(n_rows, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.random((n_rows, 2))
    t = rng.integers(0, 2, n_rows).astype(float)
    y = (rng.random(n_rows) < 0.3 + 0.3 * t * (x[:, 0] > 0.5)).astype(float)
    return np.column_stack([x, t, y])


CONF = {"feature": ["a", "b"], "treatment": ["t"], "y": "y", "seed": 4, "min_samples_leaf": 10}


def test_collector_walks_during_a_threaded_predict_never_see_a_half_built_list():
    # A handler that touches every long list the collector knows, run every 5 ms while predict
    # builds its rows on the main thread and workers route the rest.
    script = textwrap.dedent(
        """
        import gc, signal
        import numpy as np
        from quorvanta import CausalModel
        rng = np.random.default_rng(1)
        rows = np.column_stack([rng.random((300000, 2)), rng.integers(0, 2, 300000),
                                rng.integers(0, 2, 300000)]).astype(np.float32)
        model = CausalModel("RandomForestClassifier", {"feature": ["a", "b"], "treatment": ["t"],
                            "y": "y", "n_thread": 2, "n_tree": 30, "seed": 3})
        model.fit(["a", "b", "t", "y"], rows[:5000])
        busy = walks = 0
        def walk(*_):
            global busy, walks
            if busy:
                return
            busy, walks = 1, walks + 1
            for item in gc.get_objects():
                if type(item) is list and len(item) > 1000:
                    for row in item:
                        type(row)
            busy = 0
        signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.005)
        # A predict can end before the first walk on a fast machine: repeat until one has run.
        for _ in range(50):
            effects = model.predict(["a", "b", "t", "y"], rows)
            if walks:
                break
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(walks > 0, len(effects))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["True", "300000"]


@pytest.mark.parametrize("n_thread", [1, 2])
def test_an_interrupted_call_in_a_signal_handler_leaves_the_enclosing_fit_running(n_thread):
    rows = table(20000)
    outer = CausalModel("RandomForestClassifier", dict(CONF, n_tree=60, n_thread=n_thread))
    reference = CausalModel("RandomForestClassifier", dict(CONF, n_tree=60, n_thread=n_thread))
    reference.fit(HEADERS, rows)
    state = {"inner": "not run"}

    def on_alarm(*_):
        if state["inner"] == "running":
            raise KeyboardInterrupt  # stops the inner fit only
        if state["inner"] != "not run":
            return
        inner = CausalModel("RandomForestClassifier", dict(CONF, n_tree=5000, n_thread=2))
        state["inner"] = "running"
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        try:
            inner.fit(HEADERS, rows)
            state["inner"] = "finished"
        except KeyboardInterrupt:
            state["inner"] = "interrupted"

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        outer.fit(HEADERS, rows)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert state["inner"] == "interrupted"
    assert repr(outer) == repr(reference)
    if n_thread == 1:  # threads share the generator, so only one thread's trees are repeatable
        assert outer._to_text() == reference._to_text()


def masked_forms(data, mask):
    """The same masked table in forms the fast path declines, then reads item by item."""

    class Subclass(np.ma.MaskedArray):
        pass

    return {
        "big-endian": np.ma.masked_array(data.astype(">f8"), mask=mask),
        "long double": np.ma.masked_array(data.astype(np.longdouble), mask=mask),
        "object": np.ma.masked_array(data.astype(object), mask=mask),
        "subclass": Subclass(data, mask=mask),
    }


def test_masked_cells_are_missing_on_every_path():
    rows = table(600)
    rows[::7, 0] = np.nan  # missing cells in fit, so that missing and NaN route apart
    model = CausalModel("RandomForestClassifier", dict(CONF, n_tree=5))
    model.fit(HEADERS, [[None if np.isnan(v) else v for v in row] for row in rows])
    data = table(200, seed=2)
    mask = np.zeros(data.shape, dtype=bool)
    mask[::3, 0] = True
    as_missing = [[None if m else v for v, m in zip(row, row_mask)] for row, row_mask in zip(data, mask)]
    expected = model.predict(HEADERS, as_missing)
    as_nan = np.where(mask, np.nan, data)
    assert model.predict(HEADERS, as_nan) != expected, "the model must tell NaN from missing"
    assert model.predict(HEADERS, np.ma.masked_array(data, mask=mask)) == expected
    for form, masked in masked_forms(data, mask).items():
        assert model.predict(HEADERS, masked) == expected, form
        assert np.asarray(model.predict_array(HEADERS, masked)).tolist() == expected, form
        rows_of_masked = [masked[i] for i in range(len(masked))]
        assert model.predict(HEADERS, rows_of_masked) == expected, form


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_lengths_and_masks_let_interrupts_and_memory_errors_through(error, monkeypatch):
    model = CausalModel("RandomForestClassifier", dict(CONF, n_tree=2))
    rows = table(300)
    model.fit(HEADERS, rows)

    class LyingLength(list):
        def __len__(self):
            raise error

    with pytest.raises(error):
        model.predict(HEADERS, LyingLength(rows.tolist()))
    with pytest.raises(error):
        model.predict(LyingLength(HEADERS), rows)

    # An ordinary failure of __len__ is only a missing size hint.
    class NoLength(list):
        def __len__(self):
            raise ValueError("no length")

    assert model.predict(HEADERS, NoLength(rows.tolist())) == model.predict(HEADERS, rows)

    def raising_mask(self):
        raise error

    monkeypatch.setattr(np.ma.MaskedArray, "mask", property(raising_mask))
    with pytest.raises(error):
        model.predict(HEADERS, np.ma.MaskedArray(rows))


def test_running_out_of_memory_while_starting_threads_is_a_memory_error():
    # The address space is capped just above what the process uses, so that the worker threads'
    # start-up is what finds no memory.
    script = textwrap.dedent(
        """
        import re, resource
        import numpy as np
        from quorvanta import CausalModel
        rows = np.random.default_rng(1).random((300, 4))
        rows[:, 2:] = rows[:, 2:] > 0.5
        model = CausalModel("RandomForestClassifier", {"feature": ["a", "b"], "treatment": ["t"],
                            "y": "y", "n_tree": 2, "n_thread": 2})
        model.fit(["a", "b", "t", "y"], rows)
        model.predict(["a", "b", "t", "y"], rows)
        status = open("/proc/self/status").read()
        size = int(re.search(r"VmSize:\\s+(\\d+)", status).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 1024, resource.RLIM_INFINITY))
        try:
            model.predict(["a", "b", "t", "y"], rows)
            print("predicted")
        except BaseException as error:
            print(type(error).__name__)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["MemoryError"], (done.stdout, done.stderr[-2000:])
