"""Running out of memory on any thread reaches the caller as MemoryError; nothing ends the process.

Each case runs in a fresh child process that lowers its own address-space limit to a few MiB above
its size and then fits or predicts, so that allocations fail at different stages: starting worker
threads, loading, growing trees on worker threads, predicting on worker threads."""

import os
import subprocess
import sys
import textwrap

import pytest

# AddressSanitizer reserves most of the address space for itself and ends the process when an
# allocation fails, so a limit on the address space tests nothing of ours under it.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits under ASan"
)

CHILD = textwrap.dedent(
    """
    import random, resource, sys
    import quorvanta

    n_thread, action, extra_mib = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])

    def table(n_rows):
        rng = random.Random(1)
        return [[rng.random(), float(rng.randrange(5)), float(rng.randrange(2)),
                 float(rng.random() < 0.3)] for _ in range(n_rows)]

    headers = ["a", "b", "t", "y"]
    conf = {"feature": ["a", "b"], "cat": ["b"], "treatment": ["t"], "y": "y", "n_tree": 20,
            "n_thread": n_thread, "min_samples_leaf": 5, "max_depth": 10, "seed": 1}
    model = quorvanta.CausalModel("RandomForestClassifier", conf)
    if action == "predict":
        model.fit(headers, table(2000))
        rows = table(100000)
    else:
        rows = table(20000)
    with open("/proc/self/status") as status:
        size = [int(l.split()[1]) for l in status if l.startswith("VmSize")][0] * 1024
    limit = size + extra_mib * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        getattr(model, action)(headers, rows)
        print("ok")
    except MemoryError:
        print("MemoryError")
    except BaseException as error:
        if not str(error).startswith("failed to spawn thread: "):
            raise
        print("no thread")
    """
)


def outcome(n_thread: int, action: str, extra_mib: int) -> str:
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(n_thread), action, str(extra_mib)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, (n_thread, action, extra_mib, result.stderr[-2000:])
    return result.stdout.strip()


@pytest.mark.parametrize("n_thread", [2, 4])
def test_fit_on_worker_threads(n_thread):
    outcomes = {outcome(n_thread, "fit", extra) for extra in (4, 24, 32, 48, 64, 256)}
    # From too tight to start a thread to loose enough to finish.
    assert outcomes == {"no thread", "MemoryError", "ok"}, outcomes


def test_predict_on_worker_threads():
    outcomes = {outcome(2, "predict", extra) for extra in (0, 1, 2, 256)}
    assert "ok" in outcomes and outcomes & {"MemoryError", "no thread"}, outcomes


def test_on_the_calling_thread():
    outcomes = {outcome(1, action, extra) for action in ("fit", "predict") for extra in (2, 256)}
    assert outcomes == {"MemoryError", "ok"}, outcomes
