"""Ctrl-C during a long _engine batch: KeyboardInterrupt within moments, not when the batch ends,
and the engine's pool computes the same bits afterwards."""

import json

import pytest

from test_pool import run_python

# A batch sized to take at least 20 s here (timed on a small one first), interrupted by a SIGINT
# from a timer thread 0.5 s in; twice, to see the pool come back from an interrupted pass.
INTERRUPTED_BATCH = """
import json, os, signal, threading, time
import numpy as np
from lamina_design import _engine

call = getattr(_engine, {function!r})
K, W = 42, 1000
rng = np.random.default_rng(5)
n = np.full((K, W), 1.5 + 0.01j)
n[1:-1:2] = 2.3 + 0.001j
wl, theta = np.linspace(400.0, 900.0, W), np.array([0.1])
probe = rng.uniform(50.0, 150.0, (8, K - 2))
start = time.perf_counter()
expected = call(probe, n, wl, theta)
per_stack = (time.perf_counter() - start) / len(probe)
stacks = int(20.0 / per_stack) + 1
d = rng.uniform(50.0, 150.0, (stacks, K - 2))
latencies, finished = [], []
for attempt in range(2):
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.5, interrupt).start()
    try:
        call(d, n, wl, theta)
        finished.append(attempt)
    except KeyboardInterrupt:
        latencies.append(time.perf_counter() - sent[0])
again = call(probe, n, wl, theta)
same = all(np.array_equal(a, b) for a, b in zip(expected, again))
print(json.dumps({{"stacks": stacks, "estimate": stacks * per_stack, "latencies": latencies, "finished": finished, "same": same}}))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("function", ["spectra", "power_jacobian"])
def test_ctrl_c_stops_a_long_batch_at_once(function, threads):
    out = json.loads(run_python(INTERRUPTED_BATCH.format(function=function),
                                {"RAYON_NUM_THREADS": threads}).splitlines()[-1])
    assert out["estimate"] >= 15.0
    assert out["finished"] == [], "the batch ran to its end"
    assert len(out["latencies"]) == 2 and max(out["latencies"]) < 5.0, out
    assert out["same"], "the pool computes other bits after an interrupted pass"
