"""Every phase of a call answers Ctrl-C: converting a long list, loading the table of a fit,
checking the table of a prediction, routing on threads. A timer raises KeyboardInterrupt in the
middle of the phase; the call must end soon after, far sooner than the phase would take.

A call nested inside another (a signal handler that runs a second model) owns its stop: stopping
it leaves the outer call running."""

import signal
import time

import numpy as np
import pytest

import quorvanta

# What "soon" means here: the calls poll every 50 ms; the rest is room for a loaded machine.
MAX_DELAY = 1.0

HEADERS = ["a", "b", "t", "y"]


def conf(**overrides):
    settings = {"feature": ["a", "b"], "treatment": ["t"], "y": "y", "n_tree": 2, "seed": 1,
                "min_samples_leaf": 5}
    settings.update(overrides)
    return settings


def table(n_rows, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.random((n_rows, 2), dtype=np.float32)
    t = rng.integers(0, 2, n_rows).astype(np.float32)
    y = (rng.random(n_rows) < 0.3 + 0.2 * t).astype(np.float32)
    return np.column_stack([x, t, y])


def trained(**overrides):
    model = quorvanta.CausalModel("RandomForestClassifier", conf(**overrides))
    model.fit(HEADERS, table(2000))
    return model


class Alarm:
    """Raises KeyboardInterrupt `after` seconds from now, as Ctrl-C would, and notes when."""

    def __init__(self, after):
        self.after = after
        self.fired_at = None

    def _fire(self, signum, frame):
        self.fired_at = time.monotonic()
        raise KeyboardInterrupt

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, self._fire)
        signal.setitimer(signal.ITIMER_REAL, self.after)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)
        return False


def delay_of_interrupt(call, after=0.3):
    with Alarm(after) as alarm:
        with pytest.raises(KeyboardInterrupt):
            call()
        ended = time.monotonic()
    assert alarm.fired_at is not None, "the call ended before the interrupt"
    return ended - alarm.fired_at


def test_converting_a_long_list_answers():
    model = trained()
    rows = table(300_000).tolist() * 20  # 6,000,000 rows: seconds of conversion
    assert delay_of_interrupt(lambda: model.predict(HEADERS, rows), after=0.2) < MAX_DELAY


def test_loading_a_large_fit_answers():
    model = quorvanta.CausalModel("RandomForestClassifier", conf(n_thread=2))
    rows = table(12_000_000)
    assert delay_of_interrupt(lambda: model.fit(HEADERS, rows), after=0.15) < MAX_DELAY


def test_checking_a_huge_broadcast_table_answers():
    # 2^40 rows of one repeated row: checking that every treatment cell is present would take
    # half an hour.
    model = trained(n_thread=2)
    rows = np.broadcast_to(table(1)[0], (1 << 40, 4))
    assert delay_of_interrupt(lambda: model.predict_array(HEADERS, rows)) < MAX_DELAY


@pytest.mark.parametrize("n_thread", [1, 2])
def test_threaded_routing_answers(n_thread):
    model = quorvanta.CausalModel("RandomForestClassifier", conf(n_tree=200, n_thread=n_thread))
    model.fit(HEADERS, table(2000))
    rows = table(3_000_000)
    assert delay_of_interrupt(lambda: model.predict(HEADERS, rows)) < MAX_DELAY


def test_an_interrupt_inside_a_nested_call_stays_there():
    outer = quorvanta.CausalModel("RandomForestClassifier", conf(n_tree=40, n_thread=2,
                                                                 min_samples_leaf=1))
    inner = quorvanta.CausalModel("RandomForestClassifier", conf(n_tree=5000, n_thread=2,
                                                                 min_samples_leaf=1))
    inner_rows = table(50_000, seed=2)
    caught = []

    def stop_inner(signum, frame):
        raise KeyboardInterrupt

    def run_inner(signum, frame):
        # Ctrl-C lands in the inner fit, and this handler catches it: the outer fit goes on.
        previous = signal.signal(signal.SIGPROF, stop_inner)
        signal.setitimer(signal.ITIMER_PROF, 0.05)
        try:
            inner.fit(HEADERS, inner_rows)
        except KeyboardInterrupt:
            caught.append("inner")
        finally:
            signal.setitimer(signal.ITIMER_PROF, 0)
            signal.signal(signal.SIGPROF, previous)

    previous = signal.signal(signal.SIGALRM, run_inner)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        outer.fit(HEADERS, table(200_000))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert caught == ["inner"], "the inner fit was not interrupted"
    assert repr(outer).endswith(": 40 trees, 2 features>")
    assert repr(inner).endswith(": 0 trees, 2 features>")


def test_predicts_list_is_out_of_reach_until_complete():
    # A handler that walks every tracked object while threaded predict builds its result list
    # must never meet the list's empty slots (that ended the process).
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(
        """
        import gc, signal
        import numpy as np
        import quorvanta
        rng = np.random.default_rng(1)
        rows = np.column_stack([rng.random((300000, 2)), rng.integers(0, 2, 300000),
                                rng.integers(0, 2, 300000)]).astype(np.float32)
        headers = ["a", "b", "t", "y"]
        model = quorvanta.CausalModel("RandomForestClassifier", {"feature": ["a", "b"],
            "treatment": ["t"], "y": "y", "n_tree": 30, "n_thread": 2, "seed": 1})
        model.fit(headers, rows[:5000])
        walking = [True]
        def walk(signum, frame):
            for obj in gc.get_objects():
                if type(obj) is list and len(obj) > 1000:
                    for item in obj:
                        if type(item) is list:
                            len(item)
            if walking[0]:
                signal.setitimer(signal.ITIMER_REAL, 0.005)  # again once this walk is over
        signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        for _ in range(3):
            model.predict(headers, rows)
        walking[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("done")
        """
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0 and child.stdout.strip() == "done", child.stderr[-2000:]
