"""Long operations: the minimum layer thickness, progress records, stops and interrupts.

Merits are checked against an independent R from tmm; progress against what a caller sees: the
records it gets, the result it is handed back, the processes left behind.
"""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("scipy")
tmm = pytest.importorskip("tmm")

from lamina_design.core.progress import Progress
from lamina_design.materials import Constant
from lamina_design.refine import Target, refine
from lamina_design.search import differential_evolution, multistart
from lamina_design.stack import Layer, Stack
from lamina_design.synthesis import gradual_evolution, needle
from lamina_design.tolerance import Errors, tolerance

from design_stacks import AIR, GLASS, LOW

HIGH = Constant(2.3, "clear high")
MID = Constant(1.8, "mid")
WL = np.linspace(420.0, 680.0, 14)
AR = [Target("R", WL, 0.0, 0.01)]
START = Stack(AIR, (Layer(LOW, 90.0), Layer(HIGH, 60.0)), exit=GLASS)
# Two layers that refinement thins: what it leaves of them must go.
THINNING = Stack(AIR, (Layer(LOW, 90.0), Layer(HIGH, 20.0), Layer(LOW, 20.0), Layer(HIGH, 10.0)), exit=GLASS)


def tmm_merit(stack):
    """The AR merit with R from tmm: rms of R / 1 %."""
    ns = [1.0] + [complex(layer.material.index(np.array([500.0]))[0]) for layer in stack.layers] + [1.52]
    ds = [np.inf] + [layer.thickness_nm for layer in stack.layers] + [np.inf]
    r = np.array([tmm.coh_tmm("s", ns, ds, 0.0, w)["R"] for w in WL])
    return math.sqrt(np.mean((r / 0.01) ** 2))


ROUTES = {
    "needle": lambda start, mats, **kw: needle(start, AR, mats, max_steps=3, executor="serial", **kw),
    "needle without growth": lambda start, mats, **kw: needle(start, AR, mats, max_steps=6, grow="none",
                                                               executor="serial", **kw),
    "gradual": lambda start, mats, **kw: gradual_evolution(start, AR, mats, rounds=4, needle_steps=0,
                                                           executor="serial", **kw),
    "gradual with needles": lambda start, mats, **kw: gradual_evolution(start, AR, mats, rounds=2, needle_steps=1,
                                                                        executor="serial", **kw),
}


@pytest.mark.parametrize("minimum", [5.0, 25.0])
@pytest.mark.parametrize("route", list(ROUTES))
def test_every_synthesis_route_honours_the_minimum_thickness(route, minimum):
    result = ROUTES[route](THINNING, [HIGH, LOW], max_layers=8, max_total_nm=600.0, min_thickness_nm=minimum)
    d = result.stack.thicknesses()
    assert d.size and d.min() >= minimum * (1 - 1e-12), (route, d)
    materials = [layer.material for layer in result.stack.layers]
    assert all(a is not b for a, b in zip(materials, materials[1:])), "neighbours of one material not merged"
    assert f"{minimum:g} nm" in result.message
    assert result.merit == pytest.approx(tmm_merit(result.stack), rel=1e-8)


@pytest.mark.parametrize("route", ["needle", "gradual"])
def test_a_start_of_a_material_not_allowed_is_refused_by_name(route):
    start = Stack(AIR, (Layer(MID, 80.0),), exit=GLASS)
    with pytest.raises(ValueError, match="'mid'.*not among the materials"):
        ROUTES[route](start, [HIGH, LOW])


OPERATIONS = {
    "refine with starts": (lambda **kw: refine(START, AR, starts=[[40.0, 20.0], [120.0, 90.0]], max_nfev=30, **kw),
                           "evaluations", 30),
    "needle": (lambda **kw: needle(START, AR, [HIGH, LOW], max_steps=3, executor="serial", **kw), "steps", 3),
    "gradual": (lambda **kw: gradual_evolution(START, AR, [HIGH, LOW], rounds=2, needle_steps=1, executor="serial",
                                               **kw), "steps", 4),
    "multistart": (lambda **kw: multistart(START, AR, 5, max_total_nm=300.0, max_nfev=20, executor="serial", **kw),
                   "starts", 5),
    "differential evolution": (lambda **kw: differential_evolution(START, AR, maxiter=4, popsize=5, tol=0.0,
                                                                   executor="serial", **kw), "generations", 4),
    "tolerance": (lambda **kw: tolerance(START, AR, Errors(thickness_nm=2.0), 200, executor="serial", **kw),
                  "samples", 200),
}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_progress_records_rise_in_their_own_unit_to_their_total(name):
    run, unit, total = OPERATIONS[name]
    records = []
    result = run(callback=records.append)
    assert len(records) >= 2, records
    assert all(isinstance(r, Progress) and r.unit == unit and r.total == total for r in records)
    done = [r.done for r in records]
    assert done == sorted(done) and 0 < done[-1] <= total
    elapsed = [r.elapsed for r in records]
    assert elapsed == sorted(elapsed)
    assert all(r.eta >= 0 or math.isnan(r.eta) for r in records)
    if name == "tolerance":
        assert done[-1] == total and len(records) >= 10  # heard while it runs, not only at its end
        assert records[-1].merit == pytest.approx(float(np.median(result.merit)))
        return
    merits = [r.merit for r in records]
    assert all(b <= a * (1 + 1e-12) for a, b in zip(merits, merits[1:])), "the best merit rose"
    assert records[-1].merit == pytest.approx(result.merit, rel=1e-9)
    # The design a caller would resume from is the one the merit belongs to.
    assert tmm_merit(records[-1].stack) == pytest.approx(records[-1].merit, rel=1e-8)


@pytest.mark.parametrize("how", ["returns True", "raises StopIteration"])
@pytest.mark.parametrize("name", [n for n in OPERATIONS if n != "tolerance"])
def test_a_callback_stops_the_run_with_its_best_design(name, how):
    run, _, _ = OPERATIONS[name]
    seen = []

    def stop(record):
        seen.append(record)
        if len(seen) == 2:
            if how == "returns True":
                return True
            raise StopIteration
        return None

    result = run(callback=stop)
    assert len(seen) == 2
    assert not result.success and "stopped by the callback" in result.message
    assert result.merit == pytest.approx(seen[-1].merit, rel=1e-9)
    assert tmm_merit(result.stack) == pytest.approx(result.merit, rel=1e-8)


def test_a_stopped_tolerance_run_keeps_the_samples_done():
    full = tolerance(START, AR, Errors(thickness_nm=2.0), 200, executor="serial", seed=4)
    part = tolerance(START, AR, Errors(thickness_nm=2.0), 200, executor="serial", seed=4,
                     callback=lambda r: r.done >= 60)
    assert not part.success and "stopped by the callback" in part.message
    assert 60 <= part.samples < 200
    np.testing.assert_array_equal(part.merit, full.merit[:part.samples])


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_a_time_budget_ends_the_run_with_what_it_has(name):
    run, _, _ = OPERATIONS[name]
    result = run(time_budget=1e-9)
    assert "time budget of 1e-09 s ran out" in result.message and not result.success
    if name != "tolerance":
        assert tmm_merit(result.stack) == pytest.approx(result.merit, rel=1e-8)


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_an_interrupt_hands_back_a_result_that_says_so(name):
    # Ctrl-C lands wherever the run is; a callback raising it is the same interrupt, in step.
    run, _, _ = OPERATIONS[name]
    seen = []

    def interrupt(record):
        seen.append(record)
        if len(seen) == 2:
            raise KeyboardInterrupt

    result = run(callback=interrupt)
    assert not result.success and result.message.startswith("interrupted (Ctrl-C"), result.message
    if name != "tolerance":
        assert tmm_merit(result.stack) == pytest.approx(result.merit, rel=1e-8)
        assert result.merit <= seen[-1].merit * (1 + 1e-12)


# A pooled multistart interrupted once its workers are busy: the best start so far comes back and
# no worker outlives the call.
INTERRUPTED_SEARCH = """
import json, multiprocessing, os, signal, threading, time
import numpy as np
from lamina_design.core import executor
from lamina_design.materials import Constant
from lamina_design.refine import Target
from lamina_design.search import multistart
from lamina_design.stack import Layer, Stack

if __name__ == "__main__":
    executor._costs = executor._Costs(startup=0.0, per_chunk=0.0, slowdown=1.0)
    executor._free_processors = lambda: 2.0
    air, glass, low, high = Constant(1.0), Constant(1.52), Constant(1.46), Constant(2.3)
    start = Stack(air, tuple(Layer(low if i % 2 == 0 else high, 50.0) for i in range(8)), exit=glass)
    targets = [Target("R", np.linspace(420.0, 680.0, 40), 0.0, 0.01)]
    workers, sent = [], []
    def interrupt():
        while not workers:
            workers.extend(c.pid for c in multiprocessing.active_children())
            time.sleep(0.05)
        time.sleep(1.0)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    result = multistart(start, targets, 2000, max_total_nm=800.0, executor=2, pieces=4)
    latency = time.perf_counter() - sent[0]
    left = [pid for pid in workers if os.path.exists(f"/proc/{pid}")]
    print(json.dumps({"message": result.message, "success": result.success, "starts": result.nit,
                      "workers": workers, "left": left, "latency": latency,
                      "children": [c.pid for c in multiprocessing.active_children()]}))
"""


@pytest.mark.heavy
def test_ctrl_c_returns_the_best_so_far_and_leaves_no_workers(tmp_path):
    script = tmp_path / "interrupted_search.py"
    script.write_text(INTERRUPTED_SEARCH)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=600, env=env)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout.splitlines()[-1])
    assert out["workers"] and out["left"] == [] and out["children"] == [], out
    assert "interrupted" in out["message"] and not out["success"], out
    assert 0 < out["starts"] < 2000 and out["latency"] < 30.0, out


def test_refine_names_the_layers_left_thinner_than_the_minimum():
    # The best a layer can do against bare glass's own R is to vanish: R = ((1.52 − 1)/(1.52 + 1))².
    bare = ((1.52 - 1.0) / (1.52 + 1.0)) ** 2
    start = Stack(AIR, (Layer(LOW, 30.0), Layer(HIGH, 20.0)), exit=GLASS)
    result = refine(start, [Target("R", WL, bare, 0.001)], vary=[1])
    assert result.x[0] < 1.0
    assert "layers 2 (" in result.message and "thinner than 1 nm" in result.message


@pytest.mark.parametrize("name, unit", [("needle", "steps"), ("tolerance", "samples"), ("multistart", "starts")])
def test_the_bar_counts_in_the_operations_unit_with_the_merit_and_time_left(name, unit):
    import io

    stream = io.StringIO()
    OPERATIONS[name][0](progress=True, stream=stream)
    text = stream.getvalue()
    assert f" {unit}, merit " in text and " left" in text, text[-300:]
    assert "evaluations" not in text


@pytest.mark.heavy  # half a minute of synthesis on a busy machine
def test_needle_grows_past_a_needle_optimum_towards_a_thicker_design():
    # A long-pass edge needs many more periods than a quarter-wave pair holds. Against it: the
    # needle optimum from the same start, and tmm's T of the design returned.
    wl = np.concatenate([np.linspace(440.0, 500.0, 5), np.linspace(580.0, 700.0, 7)])
    wanted = np.where(wl < 540.0, 0.0, 1.0)
    targets = [Target("T", wl, wanted, 0.02)]
    start = Stack(AIR, (Layer(LOW, 470.0 / (4 * 1.46)), Layer(HIGH, 470.0 / (4 * 2.3))), exit=GLASS)
    budget = dict(max_layers=16, max_total_nm=2000.0, max_steps=30, executor="serial")
    optimum = needle(start, targets, [HIGH, LOW], grow="none", **budget)
    assert optimum.message.startswith("no needle lowers the merit")
    grown = needle(start, targets, [HIGH, LOW], **budget)
    assert grown.merit < 0.7 * optimum.merit, (grown.message, optimum.message)
    assert grown.stack.thicknesses().sum() > 1.1 * optimum.stack.thicknesses().sum()
    assert any(step.kind == "grow" for step in grown.steps)
    ns = [1.0] + [complex(layer.material.index(np.array([500.0]))[0]) for layer in grown.stack.layers] + [1.52]
    ds = [np.inf] + [layer.thickness_nm for layer in grown.stack.layers] + [np.inf]
    t = np.array([tmm.coh_tmm("s", ns, ds, 0.0, w)["T"] for w in wl])
    assert grown.merit == pytest.approx(math.sqrt(np.mean(((t - wanted) / 0.02) ** 2)), rel=1e-8)


def chunk_start(_payload, start, _stop):
    return start


@pytest.mark.parametrize("executor", ["serial", 1])
def test_a_stopped_map_returns_the_leading_chunks_done(executor):
    from lamina_design.core.executor import map_chunks

    done = []
    out = map_chunks(chunk_start, None, 20, chunk_size=2, executor=executor,
                     progress=lambda n, total: done.append(n), stop=lambda: len(done) >= 3)
    assert out == [0, 2, 4]
    assert map_chunks(chunk_start, None, 6, chunk_size=2, executor=executor, stop=lambda: False) == [0, 2, 4]
