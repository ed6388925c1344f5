"""Ctrl-C stops a long fit or predict at once: a real SIGINT sent to a child process in the middle
of the call ends it within half a second with KeyboardInterrupt, on one thread and on two, and
the model keeps exactly what it had before the call."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent(
    """
    import os, signal, sys, time
    import numpy as np
    import quorvanta

    # A shell without job control starts background jobs with SIGINT ignored, and Python then
    # leaves it ignored: install the usual handler, as an interactive session has it.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    action, n_thread, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = np.random.default_rng(1)

    def table(n_rows):
        x = rng.random((n_rows, 4), dtype=np.float32)
        t = rng.integers(0, 2, n_rows).astype(np.float32)
        y = (rng.random(n_rows) < 0.3 + 0.2 * t * (x[:, 0] > 0.5)).astype(np.float32)
        return np.column_stack([x, t, y])

    headers = ["a", "b", "c", "d", "t", "y"]
    conf = {"feature": headers[:4], "treatment": ["t"], "y": "y", "n_thread": n_thread,
            "seed": 3, "min_samples_leaf": 5}
    if action == "fit":
        # Bins first (a failed fit keeps the bins its loading made), then thousands of deep trees
        # on many rows: minutes of work.
        small = quorvanta.CausalModel("RandomForestClassifier", dict(conf, n_tree=2))
        small.fit(headers, table(2000))
        model = small._untrained_copy(5000, 3)
        call, rows = model.fit, table(200000)
    else:
        model = quorvanta.CausalModel("RandomForestClassifier", dict(conf, n_tree=200))
        model.fit(headers, table(1000))
        call, rows = model.predict, table(2000000)
    model.save(path + ".before")
    print("ready", flush=True)
    try:
        # A fast predict may end before the signal comes: predict again until it does.
        deadline = time.monotonic() + 60
        call(headers, rows)
        while action == "predict" and time.monotonic() < deadline:
            call(headers, rows)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    model.save(path + ".after")
    """
)


def run_and_interrupt(script, *args):
    """Runs `script` in a child, sends SIGINT 0.5 s after it prints "ready" (well inside the call)
    and gives its return code, output, errors and the moment the signal was sent."""
    child = subprocess.Popen(
        [sys.executable, "-c", script, *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, out, err, sent


def interrupt_child(action, n_thread, tmp_path):
    path = str(tmp_path / f"{action}{n_thread}")
    returncode, out, err, sent = run_and_interrupt(CHILD, action, str(n_thread), path)
    assert returncode == 0, err
    words = out.split()
    assert words[0] == "interrupted", (out, err)
    with open(path + ".before", "rb") as before, open(path + ".after", "rb") as after:
        assert before.read() == after.read(), "the interrupted call changed the model"
    return float(words[1]) - sent


@pytest.mark.parametrize("n_thread", [1, 2])
@pytest.mark.parametrize("action", ["fit", "predict"])
def test_sigint_ends_the_call_within_half_a_second(action, n_thread, tmp_path):
    delay = interrupt_child(action, n_thread, tmp_path)
    assert delay < 0.5, f"{action} on {n_thread} thread(s) ended {delay:.3f} s after SIGINT"


PHASE_CHILD = textwrap.dedent(
    """
    import signal, sys, time
    import numpy as np
    import quorvanta

    signal.signal(signal.SIGINT, signal.default_int_handler)
    phase = sys.argv[1]
    rng = np.random.default_rng(1)
    headers = ["a", "b", "t", "y"]
    conf = {"feature": ["a", "b"], "treatment": ["t"], "y": "y", "seed": 3, "n_tree": 20}
    model = quorvanta.CausalModel("RandomForestClassifier", dict(conf, n_thread=2))
    small = np.column_stack([rng.random((2000, 2)), rng.integers(0, 2, (2000, 2))])
    model.fit(headers, small)
    if phase == "list":  # converting a long list of rows
        rows = np.tile(small, (3000, 1)).tolist()
        call = lambda: model.predict(headers, rows)
    elif phase == "loading":  # binning new features of a large table
        rows = np.column_stack([rng.random((20000000, 2), dtype=np.float32),
                                rng.integers(0, 2, (20000000, 2)).astype(np.float32)])
        fresh = quorvanta.CausalModel("RandomForestClassifier", dict(conf, n_thread=2))
        call = lambda: fresh.fit(headers, rows)
    elif phase == "growing":  # the top nodes of trees over many rows, the bins already known
        rows = np.column_stack([rng.random((40000000, 2), dtype=np.float32),
                                rng.integers(0, 2, (40000000, 2)).astype(np.float32)])
        grower = model._untrained_copy(200, 3)
        call = lambda: grower.fit(headers, rows)
    elif phase == "threaded":  # routing many rows through many trees on two threads
        big = quorvanta.CausalModel("RandomForestClassifier", dict(conf, n_thread=2, n_tree=200))
        big.fit(headers, small)
        rows = np.tile(small, (1000, 1)).astype(np.float32)
        call = lambda: big.predict(headers, rows)
    else:  # routing a broadcast view of 2^40 rows, treatment column present
        row = np.asarray(small[0], dtype=np.float32)
        rows = np.lib.stride_tricks.as_strided(row, shape=(2 ** 40, 4), strides=(0, 4))
        call = lambda: model.predict_array(headers, rows)
    print("ready", flush=True)
    try:
        # A fast predict may end before the signal comes: predict again until it does.
        deadline = time.monotonic() + 60
        call()
        while phase not in ("loading", "growing") and time.monotonic() < deadline:
            call()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    except MemoryError:
        print("memory", flush=True)
    """
)


@pytest.mark.parametrize("phase", ["list", "loading", "growing", "threaded", "broadcast"])
def test_every_phase_answers_sigint_at_once(phase):
    _, out, err, sent = run_and_interrupt(PHASE_CHILD, phase)
    words = out.split()
    if words[:1] == ["memory"]:
        pytest.skip("not enough memory for the table on this machine")
    assert words[:1] == ["interrupted"], (out, err[-2000:])
    delay = float(words[1]) - sent
    # 100 ms is the promise; on a shared machine the scheduler may add a few hundred ms, which
    # still tells a poll from a phase that never polls (seconds, or an unending broadcast view).
    assert delay < 0.5, f"{phase}: KeyboardInterrupt {delay:.3f} s after SIGINT"


class Alarm(Exception):
    pass


def test_load_answers_a_signal_while_it_reads_many_trees(tmp_path):
    from conftest import HEADERS, make_rows, small_conf
    from quorvanta import CausalModel

    model = CausalModel("RandomForestRegressor", dict(small_conf(), n_tree=1))
    model.fit(HEADERS, make_rows(400, seed=1))
    text = model._to_text()
    config, rest = text.split("\n\n", 1)
    *bins, tree, end = rest.split("\n\n")
    count = 60000
    big = "\n\n".join([config.replace('"n_tree":1,', f'"n_tree":{count},'), *bins]
                      + [tree] * count + [end])
    path = tmp_path / "big.model"
    path.write_text(big, encoding="utf-8")
    started = time.monotonic()
    CausalModel._from_text("RandomForestRegressor", big)
    whole = time.monotonic() - started

    def raise_alarm(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, raise_alarm)
    try:
        for read in [lambda: model.load("RandomForestRegressor", str(path)),
                     lambda: CausalModel._from_text("RandomForestRegressor", big)]:
            signal.setitimer(signal.ITIMER_REAL, whole / 4)
            sent = time.monotonic() + whole / 4
            with pytest.raises(Alarm):
                read()
            delay = time.monotonic() - sent
            assert delay < max(0.2, whole / 2), f"{delay:.3f} s of a {whole:.3f} s read"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
