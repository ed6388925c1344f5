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
        call(headers, rows)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    model.save(path + ".after")
    """
)


def interrupt_child(action, n_thread, tmp_path):
    path = str(tmp_path / f"{action}{n_thread}")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, action, str(n_thread), path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(0.5)  # well inside the call
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
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
