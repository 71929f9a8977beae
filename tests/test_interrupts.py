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


# A signal handler runs while the batch's pass holds the pool: the engine called from it computes
# on the calling thread, the same bits, instead of waiting for the pass it interrupts.
HANDLER_CALLS_THE_ENGINE = """
import json, os, signal, threading, time
import numpy as np
from lamina_design import _engine

K, W = 42, 1000
n = np.full((K, W), 1.5 + 0.01j)
wl, theta = np.linspace(400.0, 900.0, W), np.array([0.0, 0.3])
small = np.full((4, K - 2), 90.0)
expected = _engine.spectra(small, n, wl, theta)
inside = []
def handler(signum, frame):
    inside.append(_engine.spectra(small, n, wl, theta))
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, handler)
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGUSR1)).start()
start = time.perf_counter()
try:
    _engine.spectra(np.full((20000, K - 2), 100.0), n, wl, theta)
except KeyboardInterrupt:
    pass
print(json.dumps({"elapsed": time.perf_counter() - start,
                  "same": len(inside) == 1 and all(np.array_equal(a, b) for a, b in zip(expected, inside[0]))}))
"""


def test_a_signal_handler_may_call_the_engine_during_a_batch():
    out = json.loads(run_python(HANDLER_CALLS_THE_ENGINE, {"RAYON_NUM_THREADS": "2"}, timeout=60).splitlines()[-1])
    assert out["same"] and out["elapsed"] < 5.0, out


# Ctrl-C during one long DataPy.simulate, which keeps the GIL throughout: a thick absorbing stack
# sized to take 15 s here (timed on a small one first), interrupted 1 s in, twice. No thread of
# the process could send the signal while the call holds the GIL, so a helper process does, and
# reports when on the system-wide monotonic clock. At most 100 wavelengths stay on the calling
# thread, more go to the pool. Then small sweeps on both paths give the bits a fresh process gives.
SMALL_SIMULATIONS = """
import numpy as np, lamina

def small_spectra():
    out = []
    for count in (64, 1000):
        wl = np.linspace(400.0, 900.0, count)
        n = np.full((12, count), 1.5 + 0.002j)
        n[1:-1:2] = 2.3 + 0.001j
        sim = lamina.DataPy(np.linspace(80.0, 140.0, 10), n, wl, 0.4, 0.3).simulate()
        out.append(sim.r.tobytes().hex() + sim.t.tobytes().hex())
    return out
"""

SEND_SIGINT = """
import os, signal, sys, time
time.sleep(1.0)
print(time.monotonic(), flush=True)
os.kill(int(sys.argv[1]), getattr(signal, sys.argv[2] if len(sys.argv) > 2 else "SIGINT"))
"""

INTERRUPTED_SIMULATE = SMALL_SIMULATIONS + """
import json, os, subprocess, sys, time

W = {wavelengths}
def inputs(media):
    n = np.full((media, W), 1.5 + 0.01j)
    n[1:-1:2] = 2.3 + 0.01j
    return np.linspace(1e6, 1.5e6, media - 2), n, np.linspace(400.0, 900.0, W)

probe_media = max(20, 400000 // W)
start = time.perf_counter()
lamina.DataPy(*inputs(probe_media), 0.3, 0.2).simulate()
per_layer = (time.perf_counter() - start) / probe_media
media = int(15.0 / per_layer) + 1
data = lamina.DataPy(*inputs(media), 0.3, 0.2)
latencies, finished = [], []
for attempt in range(2):
    sender = subprocess.Popen([sys.executable, "-c", {send!r}, str(os.getpid())], stdout=subprocess.PIPE)
    try:
        data.simulate()
        finished.append(attempt)
    except KeyboardInterrupt:
        stopped = time.monotonic()
        latencies.append(stopped - float(sender.communicate()[0]))
    sender.wait()
print(json.dumps({{"estimate": media * per_layer, "latencies": latencies, "finished": finished,
                  "small": small_spectra()}}))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("wavelengths", [100, 4000])
def test_ctrl_c_stops_a_long_simulate_at_once(wavelengths, threads):
    env = {"RAYON_NUM_THREADS": threads}
    code = INTERRUPTED_SIMULATE.format(wavelengths=wavelengths, send=SEND_SIGINT)
    out = json.loads(run_python(code, env, timeout=180).splitlines()[-1])
    assert out["estimate"] >= 10.0
    assert out["finished"] == [], "the simulation ran to its end"
    assert len(out["latencies"]) == 2 and max(out["latencies"]) < 5.0, out
    fresh = json.loads(run_python(SMALL_SIMULATIONS + "import json\nprint(json.dumps(small_spectra()))",
                                  env).splitlines()[-1])
    assert out["small"] == fresh, "an interrupted simulate changed later results"


# A signal handler runs 1 s into a pooled simulate sized to 15 s, which holds the pool: the simulate it calls
# computes on the calling thread, the same bits, and its exception ends the outer call.
HANDLER_CALLS_SIMULATE = SMALL_SIMULATIONS + """
import json, os, signal, subprocess, sys, time

expected = small_spectra()
inside = []
def handler(signum, frame):
    inside.append(small_spectra())
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, handler)
W = 1000
def simulation(media):
    n = np.full((media, W), 1.5 + 0.01j)
    return lamina.DataPy(np.linspace(1e6, 1.5e6, media - 2), n, np.linspace(400.0, 900.0, W), 0.3, 0.2)
start = time.perf_counter()
simulation(400).simulate()
data = simulation(int(15.0 / (time.perf_counter() - start) * 400) + 1)
sender = subprocess.Popen([sys.executable, "-c", {send!r}, str(os.getpid()), "SIGUSR1"])
start = time.perf_counter()
try:
    data.simulate()
except KeyboardInterrupt:
    pass
sender.wait()
print(json.dumps({{"elapsed": time.perf_counter() - start, "same": inside == [expected]}}))
"""


def test_a_signal_handler_may_call_simulate_during_a_simulate():
    code = HANDLER_CALLS_SIMULATE.format(send=SEND_SIGINT)
    out = json.loads(run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=180).splitlines()[-1])
    assert out["same"] and out["elapsed"] < 6.0, out


# A batch on the main thread checks for signals with the interpreter lock taken for a moment;
# meanwhile another thread, holding that lock, starts a pooled simulate. Had it waited for the
# pool, which the batch holds, neither could go on.
BATCH_BESIDE_SIMULATE = """
import json, threading, time
import numpy as np, lamina
from lamina_design import _engine
K, W = 12, 1000
wl, theta = np.linspace(400.0, 900.0, W), np.array([0.1])
started, done = threading.Event(), {}
def simulate():
    started.wait()
    time.sleep(0.2)
    n = np.full((5, W), 1.5 + 0.01j)
    done["r"] = lamina.DataPy(np.full(3, 100.0), n, wl, 0.1, 0.1).simulate().r
other = threading.Thread(target=simulate)
other.start()
started.set()
R, T = _engine.spectra(np.full((1500, K - 2), 100.0), np.full((K, W), 1.5 + 0.01j), wl, theta)
other.join()
alone = lamina.DataPy(np.full(3, 100.0), np.full((5, W), 1.5 + 0.01j), wl, 0.1, 0.1).simulate().r
print(json.dumps({"same": bool(np.array_equal(done["r"], alone))}))
"""


def test_a_batch_and_a_simulate_on_another_thread_both_finish():
    out = json.loads(run_python(BATCH_BESIDE_SIMULATE, {"RAYON_NUM_THREADS": "2"}, timeout=120).splitlines()[-1])
    assert out["same"], out
