"""lamina and lamina_design._engine in one process: one engine, one pool, fork-safe, GIL free."""

import ast
import os
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import lamina
import lamina_design
from lamina_design import _engine
from test_pool import run_python

BOTH_MODULES = """
import os, numpy as np, lamina
from lamina_design import _engine
def threads():
    return len(os.listdir("/proc/self/task"))
d, n, wl = np.array([10.0]), np.ones((3, 300), complex), np.linspace(400, 800, 300)
start = threads()
for first in {order!r}:
    if first == "engine":
        _engine.spectra(np.tile(d, (4, 1)), n, wl, np.array([0.1, 0.2]))
    else:
        lamina.DataPy(d, n, wl, 0.1, 0.2).simulate()
print(threads() - start)
print(sorted({{m.split()[-1] for m in open("/proc/self/maps") if "lamina_strata" in m}}))
"""


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("order", [("engine", "lamina"), ("lamina", "engine", "lamina", "engine")])
def test_one_pool_of_the_configured_size_for_both_modules(order, threads):
    out = run_python(BOTH_MODULES.format(order=order), {"RAYON_NUM_THREADS": threads}).splitlines()
    assert int(out[0]) == int(threads), "a second pool, or none"
    libraries = ast.literal_eval(out[1])
    assert len(libraries) == 1, f"the engine is loaded more than once: {libraries}"


FORK_DURING_PASS = """
import os, sys, threading, numpy as np, lamina
from lamina_design import _engine
rng = np.random.default_rng(3)
d, n = rng.uniform(0, 300, (40, 8)), (1.5 + 0.01j) * np.ones((10, 400))
wl, theta = np.linspace(400, 900, 400), np.array([0.0, 0.4])
expected = _engine.spectra(d, n, wl, theta)[0].tobytes()
stop = False
def busy():
    while not stop:
        if {engine!r}:
            _engine.spectra(d, n, wl, theta)
        else:
            lamina.DataPy(d[0], n, wl, 0.4, 0.1).simulate()
worker = threading.Thread(target=busy)
worker.start()
for _ in range(8):
    pid = os.fork()
    if pid == 0:
        ok = _engine.spectra(d, n, wl, theta)[0].tobytes() == expected
        lamina.DataPy(d[0], n, wl, 0.4, 0.1).simulate()
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
stop = True
worker.join()
print("ok")
"""


@pytest.mark.parametrize("engine", [True, False], ids=["during a batch", "during a lamina sweep"])
def test_fork_during_a_pass_of_either_module(engine):
    out = run_python(FORK_DURING_PASS.format(engine=engine), {"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert out.strip() == "ok"


BATCH_BYTES = """
import hashlib, numpy as np
from lamina_design import _engine
rng = np.random.default_rng(11)
for B, K, W, A in [(1, 5, 1000, 1), (300, 6, 7, 2), (3, 9, 257, 3)]:
    d = rng.uniform(0, 400, (B, K - 2))
    n = rng.uniform(1.2, 2.5, (B, K, W)) + 1j * rng.uniform(0, 0.3, (B, K, W)) * (rng.random((B, K, 1)) < 0.5)
    wl = rng.uniform(300, 1200, W)
    theta = np.array([0.0, 0.7, 1.3])[:A]
    r, t = _engine.amplitudes(d, n, wl, theta)
    print(hashlib.sha256(r.tobytes() + t.tobytes()).hexdigest())
"""


def test_results_do_not_depend_on_thread_count():
    runs = {threads: run_python(BATCH_BYTES, {"RAYON_NUM_THREADS": threads}) for threads in ("1", "2", "5")}
    assert runs["1"] == runs["2"] == runs["5"]


def test_gil_is_released_during_a_batch():
    """Another Python thread keeps running while a long batch computes."""
    rng = np.random.default_rng(2)
    d, n = rng.uniform(0, 300, (300, 20)), np.full((22, 400), 1.7 + 0.02j)
    wl, theta = np.linspace(400, 900, 400), np.array([0.3])
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.02)
    start = time.perf_counter()
    _engine.amplitudes(d, n, wl, theta)
    end = time.perf_counter()
    done.set()
    counter.join()
    during = [tick for tick in ticks if start < tick < end]
    assert end - start > 0.05, "the batch is too short to tell"
    assert len(during) >= 5, f"{len(during)} ticks in {end - start:.3f} s: the batch held the GIL"


def stub_signatures():
    tree = ast.parse((Path(lamina_design.__file__).parent / "_engine.pyi").read_text())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


def runtime_signature(function):
    text, _, defaults = function.__nb_signature__[0]
    for i, value in enumerate(defaults):
        text = text.replace(f"\\{i}", repr(value))
    return ast.parse(text + ": ...").body[0].args


def parameters(args):
    """Names, kinds and default values; the types are the stub's to state."""
    def values(nodes):
        return [ast.literal_eval(node) for node in nodes]
    return ([a.arg for a in args.posonlyargs], [a.arg for a in args.args], values(args.defaults),
            [a.arg for a in args.kwonlyargs], [None if v is None else ast.literal_eval(v) for v in args.kw_defaults])


def test_stub_matches_the_module():
    """stubtest cannot read nanobind's functions; their own signatures are compared here."""
    stubs = stub_signatures()
    public = {name for name in dir(_engine) if not name.startswith("_")}
    assert public == set(stubs)
    for name in sorted(public):
        assert parameters(runtime_signature(getattr(_engine, name))) == parameters(stubs[name]), name


def test_wheel_layout_shares_one_engine():
    """Installed, both modules find the engine through their run paths in lamina.libs."""
    libs = Path(lamina.__file__).parent / "lamina.libs"
    if not libs.is_dir():
        pytest.skip("a build tree, not an installation")
    assert Path(_engine.__file__).parent.parent == libs.parent
    assert [p.name for p in libs.iterdir()] == ["liblamina_strata.so"]
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "lamina_strata" in line}
    assert mapped == {str((libs / "liblamina_strata.so").resolve())}
