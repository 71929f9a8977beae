"""lamina and lamina_design._engine in one process: one engine, one pool, fork-safe, GIL free."""

import ast
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import lamina
import lamina_design
from lamina_design import _engine
from helpers import ticks_during
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


ATFORK_DELAY = Path(__file__).resolve().parent / "native" / "atfork_delay.c"


@pytest.fixture(scope="module")
def atfork_delay(tmp_path_factory):
    """A preloadable library that sleeps after each fork handler the engine registers."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    library = tmp_path_factory.mktemp("atfork") / "atfork_delay.so"
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    done = subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", str(ATFORK_DELAY),
                           "-o", str(library), "-ldl"], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return library


# Forks while another thread makes the process's first parallel sweep (a batch:
# it runs without the GIL), at the moment the engine has just registered a fork
# handler, if it registers one then; the child sweeps and forks in turn. A
# child that hangs is ended by its alarm after 20 s.
FORK_AFTER_A_REGISTRATION = """
import os, signal, threading, time, numpy as np
from lamina_design import _engine
mark = os.environ["ATFORK_DELAY_MARK"]
if os.path.exists(mark):
    os.remove(mark)  # what the engine registered as it loaded
d, n = np.full((4, 3), 80.0), (1.6 + 0.01j) * np.ones((5, 600))
wl, theta = np.linspace(400, 900, 600), np.array([0.0, 0.5])
def sweep():
    _engine.amplitudes(d, n, wl, theta)
def outcome(status):
    if os.WIFSIGNALED(status):
        return "hung" if os.WTERMSIG(status) == signal.SIGALRM else f"signal {os.WTERMSIG(status)}"
    return f"exit {os.WEXITSTATUS(status)}"
first = threading.Thread(target=sweep)
first.start()
deadline = time.monotonic() + 10
while first.is_alive() and not os.path.exists(mark) and time.monotonic() < deadline:
    time.sleep(0.002)
pid = os.fork()
if pid == 0:
    signal.alarm(20)
    sweep()
    grandchild = os.fork()
    if grandchild == 0:
        sweep()
        os._exit(0)
    _, status = os.waitpid(grandchild, 0)
    os._exit(0 if outcome(status) == "exit 0" else 5)
first.join()
_, status = os.waitpid(pid, 0)
print(outcome(status))
"""


def test_fork_right_after_a_fork_handler_is_registered(atfork_delay, tmp_path):
    env = {"RAYON_NUM_THREADS": "2", "ATFORK_DELAY_LIBRARY": "lamina_strata", "ATFORK_DELAY_MS": "1500",
           "ATFORK_DELAY_MARK": str(tmp_path / "registered"),
           "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(atfork_delay)]))}
    out = run_python(FORK_AFTER_A_REGISTRATION, env, timeout=120)
    assert out.strip() == "exit 0", "the child, or its own child, did not fork and sweep cleanly"


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
    elapsed, during = ticks_during(lambda: _engine.amplitudes(d, n, wl, theta))
    assert elapsed > 0.05, "the batch is too short to tell"
    assert during >= 5, f"{during} ticks in {elapsed:.3f} s: the batch held the GIL"


def stub_signatures():
    tree = ast.parse((Path(lamina_design.__file__).parent / "_engine.pyi").read_text())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


def top_level_split(text, separator):
    """Splits at `separator` outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, char in enumerate(text):
        if quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
    return [*parts, text[start:]]


def runtime_parameters(function):
    """Names, kinds and defaults from nanobind's signature text (its types need not parse as Python)."""
    text, _, defaults = function.__nb_signature__[0]
    inside = top_level_split(text[text.index("(") + 1:], ")")[0]
    groups = {"positional only": [], "positional": [], "positional defaults": [], "keyword": [],
              "keyword defaults": []}
    names, values = groups["positional"], groups["positional defaults"]
    for part in (p.strip() for p in top_level_split(inside, ",") if p.strip()):
        if part == "/":
            groups["positional only"], groups["positional"] = groups["positional"], []
            names = groups["positional"]
            continue
        if part == "*":
            names, values = groups["keyword"], groups["keyword defaults"]
            continue
        names.append(top_level_split(part, ":")[0].split("=")[0].strip())
        pieces = top_level_split(part, "=")
        if len(pieces) > 1:
            default = pieces[-1].strip()
            values.append(defaults[int(default[1:])] if default.startswith("\\") else ast.literal_eval(default))
        elif names is groups["keyword"]:
            values.append(None)
    return tuple(groups.values())


def stub_parameters(args):
    """The same from the stub; the types are the stub's to state."""
    return ([a.arg for a in args.posonlyargs], [a.arg for a in args.args],
            [ast.literal_eval(node) for node in args.defaults], [a.arg for a in args.kwonlyargs],
            [None if v is None else ast.literal_eval(v) for v in args.kw_defaults])


def test_stub_matches_the_module():
    """stubtest cannot read nanobind's functions; their own signatures are compared here."""
    stubs = stub_signatures()
    public = {name for name in dir(_engine) if not name.startswith("_")}
    assert public == set(stubs)
    for name in sorted(public):
        assert runtime_parameters(getattr(_engine, name)) == stub_parameters(stubs[name]), name


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
