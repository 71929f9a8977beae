"""Batch work on other processes: the same bits on any executor, worker count and chunk size
(a real Dask cluster included), single-threaded engines in the workers, failures that reach the
caller, Ctrl-C that stops a run at once, and stacks that survive the trip."""

from __future__ import annotations

import concurrent.futures as cf
import json
import os
import pickle
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design.executor import SerialExecutor, chunk_bounds, map_chunks, map_over, process_pool
from lamina_design.materials import Bruggeman, Cauchy, Combined, Constant, RangeWarning, TaucLorentz, get, names
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate
from lamina_design.tolerance import Errors, tolerance

from design_stacks import AIR, GLASS

H, L = Constant(2.3 + 0.001j, "H"), Constant(1.46, "L")
DESIGN = Stack(AIR, tuple(Layer(m, d) for m, d in zip((H, L) * 5, np.linspace(60, 150, 10))), exit=GLASS)
TARGETS = (Target("R", np.linspace(450, 650, 41), 0.0, 0.05), Target("T", [700.0, 720.0], 0.8, 0.1, 0.3, "p"))
ERRORS = Errors(thickness_rel=0.02, thickness_nm=0.5, index_rel={"H": 0.01}, angle_rad=0.0)
SAMPLES = 300


def run(executor, chunk_size, errors=ERRORS):
    return tolerance(DESIGN, TARGETS, errors, SAMPLES, seed=2024, executor=executor, chunk_size=chunk_size, keep=50)


def assert_same_bits(a, b):
    for name in ("merit", "worst", "passed", "values", "low", "high", "nominal"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


@pytest.fixture(scope="module")
def serial():
    return run("serial", SAMPLES)


def worker_environment(_payload, start, stop):
    return os.environ.get("RAYON_NUM_THREADS"), start, stop


def failing_chunk(_payload, start, _stop):
    if start >= 4:  # chunks 4 and 6 fail; the first is reported
        raise ArithmeticError(f"chunk at {start}")
    return start


@pytest.mark.heavy
def test_process_pools_of_any_size_and_chunking_give_the_serial_bits(serial):
    with process_pool(2) as pool:
        assert_same_bits(run(pool, 37), serial)
        assert_same_bits(run(pool, 300), serial)
        assert map_chunks(worker_environment, None, 5, chunk_size=2, executor=pool) == [
            ("1", 0, 2), ("1", 2, 4), ("1", 4, 5)]
    assert_same_bits(run(1, 128), serial)
    assert_same_bits(run("serial", 7), serial)


@pytest.mark.heavy
def test_dask_cluster_gives_the_serial_bits(serial):
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the cluster's own port and resource notices
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=40) as cluster, distributed.Client(cluster) as client:
            executor = client.get_executor()
            assert_same_bits(run(executor, 64), serial)
            envs = map_chunks(worker_environment, None, 4, chunk_size=2, executor=executor)
            assert [e[0] for e in envs] == ["1", "1"]


def test_angle_errors_take_the_same_draws_in_any_chunking():
    errors = Errors(thickness_rel=0.01, angle_rad=0.05)
    a = tolerance(DESIGN, TARGETS, errors, 40, seed=9, executor="serial", chunk_size=40)
    b = tolerance(DESIGN, TARGETS, errors, 40, seed=9, executor="serial", chunk_size=6)
    assert_same_bits(a, b)


@pytest.mark.parametrize("executor", ["serial", 2])
def test_a_failing_chunk_reaches_the_caller(executor):
    with pytest.raises(ArithmeticError, match="chunk at 4"):
        map_chunks(failing_chunk, None, 10, chunk_size=2, executor=executor)


def test_chunks_cover_every_sample_once_in_order():
    assert chunk_bounds(10, 4) == [(0, 4), (4, 8), (8, 10)]
    assert chunk_bounds(0, 4) == []
    done = []
    assert map_chunks(lambda p, a, b: (p, a, b), "x", 5, chunk_size=3, executor=SerialExecutor(),
                      progress=lambda n, total: done.append((n, total))) == [("x", 0, 3), ("x", 3, 5)]
    assert done == [(3, 5), (5, 5)]


def through_map_over(executor):
    with map_over(executor, tasks=2) as run:
        return run(abs, [-1, -2])


@pytest.mark.parametrize("entry", [lambda e: map_chunks(failing_chunk, None, 2, chunk_size=1, executor=e),
                                   through_map_over], ids=["map_chunks", "map_over"])
@pytest.mark.parametrize("executor, error, message", [
    ("threads", ValueError, "executor must be None, a worker count, 'serial' or an Executor, got 'threads'"),
    (True, TypeError, "not a bool"), (object(), TypeError, "must have a submit"),
    (0, ValueError, "at least 1 worker, got 0")])
def test_refuses_what_is_not_an_executor(entry, executor, error, message):
    with pytest.raises(error, match=message):
        entry(executor)


def test_worker_counts_and_chunk_counts_are_capped_before_any_process_starts():
    from lamina_design.executor import available_workers

    with pytest.raises(ValueError, match=r"at most \d+ allowed here \(4 per available processor\)"):
        map_chunks(worker_environment, None, 2, chunk_size=1, executor=1_000_000)
    with map_over(1_000_000, tasks=2) as run:  # a map of two tasks never needs more than two workers
        assert list(run(abs, [-1, -2])) == [1, 2]
    with pytest.raises(ValueError, match=f"at most {4 * available_workers()} allowed"):
        process_pool(4 * available_workers() + 1)
    start = time.process_time()
    with pytest.raises(ValueError, match="chunks, at most 100000 allowed"):
        chunk_bounds(10**12, 5)
    assert time.process_time() - start < 1.0
    assert len(chunk_bounds(100_000, 1)) == 100_000


def test_stacks_and_every_catalogue_material_survive_pickling():
    wl = np.array([450.0, 900.0])
    models = [Cauchy(1.45, 4000.0), TaucLorentz(100.0, 4.0, 1.5, 3.0), Bruggeman(get("SiO2"), Cauchy(1.0), 0.3),
              Combined(get("N-BK7"), get("TiO2"))]
    for material in [get(name) for name in names()] + models:
        name = material.name
        copy = pickle.loads(pickle.dumps(material))
        assert copy == material and hash(copy) == hash(material)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            np.testing.assert_array_equal(copy.index(wl), material.index(wl))
        for array in vars(copy).values():
            if isinstance(array, np.ndarray):
                assert not array.flags.writeable, name
    plate = Stack(AIR, (Layer(get("TiO2"), 50.0), Layer(get("SiO2"), 90.0)),
                  substrate=Substrate(get("N-BK7"), 1e6, (Layer(get("MgF2"), 99.0),)))
    assert pickle.loads(pickle.dumps(plate)) == plate


def interrupting_chunk(ran, start, _stop):
    ran.append(start)
    if start == 2:
        raise KeyboardInterrupt
    return start


def test_ctrl_c_in_a_serial_chunk_stops_the_run_there():
    ran, done = [], []
    with pytest.raises(KeyboardInterrupt):
        map_chunks(interrupting_chunk, ran, 10, chunk_size=2, executor="serial",
                   progress=lambda n, total: done.append(n))
    assert ran == [0, 2] and done == [2]


@pytest.mark.parametrize("before", [None, "7"])
def test_an_executor_in_this_process_leaves_the_environment_alone(monkeypatch, before):
    if before is None:
        monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    else:
        monkeypatch.setenv("RAYON_NUM_THREADS", before)
    with cf.ThreadPoolExecutor(2) as pool:
        assert map_chunks(worker_environment, None, 4, chunk_size=2, executor=pool) == [(before, 0, 2),
                                                                                         (before, 2, 4)]
        assert os.environ.get("RAYON_NUM_THREADS") == before
        run(pool, 150)
        assert os.environ.get("RAYON_NUM_THREADS") == before
        with pytest.raises(ArithmeticError):
            map_chunks(failing_chunk, None, 10, chunk_size=2, executor=pool)
        assert os.environ.get("RAYON_NUM_THREADS") == before


# A tolerance run sized to take 40 s on one processor here (timed on a short run first), sent a
# SIGINT from a timer thread; then the same short run again, which must give the same bits.
INTERRUPTED_TOLERANCE = """
import json, multiprocessing, os, signal, threading, time
import numpy as np
from lamina_design.materials import Constant
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.tolerance import Errors, tolerance
from lamina_design.core import executor

executor._free_processors = lambda: 2.0  # the pooled run goes parallel whatever else this machine runs
H, L = Constant(2.3 + 0.001j, "H"), Constant(1.46, "L")
design = Stack(Constant(1.0, "air"), tuple(Layer(m, 100.0) for m in (H, L) * 20), exit=Constant(1.52, "glass"))
targets = (Target("R", np.linspace(400.0, 900.0, 1000), 0.0, 0.05),)

def run(samples, executor, chunk_size=50):
    return tolerance(design, targets, Errors(thickness_rel=0.01), samples, seed=1, executor=executor,
                     chunk_size=chunk_size)

start = time.perf_counter()
short = run(100, "serial")
samples = int(40.0 / ((time.perf_counter() - start) / 100))
workers, sent = [], []
def interrupt():
    workers.extend(child.pid for child in multiprocessing.active_children())
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer({delay}, interrupt).start()
started = time.perf_counter()
# serial: chunks of 10 s asked for; pooled: the first, run here, of 1 s. The run ends with the samples done.
stopped = run(samples, {executor!r}, samples // {chunks})
latency = time.perf_counter() - sent[0] if stopped.message.startswith("interrupted") else None
done = stopped.samples
left = [pid for pid in workers if os.path.exists(f"/proc/{{pid}}")]  # an unreaped zombie counts
again = run(100, {executor!r})
same = all(np.array_equal(getattr(short, k), getattr(again, k)) for k in ("merit", "worst", "values"))
print(json.dumps({{"samples": samples, "latency": latency, "workers": workers, "left": left, "same": same,
                  "done": done}}))
"""


@pytest.mark.parametrize("executor, delay, chunks", [("serial", 1.0, 4), (None, 8.0, 40)])
def test_ctrl_c_stops_a_long_tolerance_run_at_once(executor, delay, chunks):
    code = textwrap.dedent(INTERRUPTED_TOLERANCE.format(executor=executor, delay=delay, chunks=chunks))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout.splitlines()[-1])
    assert out["latency"] is not None, "the run went on to its end"
    assert out["latency"] < 5.0, out
    assert 0 < out["done"] < out["samples"], out
    assert out["left"] == [], "worker processes outlived the interrupted run"
    assert (out["workers"] != []) == (executor is None)
    assert out["same"]


# The kept pool. A chunk that sleeps is work whose worth does not depend on how busy the machine is;
# the start-up cost the first chunk is weighed against is set to nothing so that it goes parallel.
def sleeping_chunk(seconds, start, stop):
    time.sleep(seconds)
    return os.getpid(), start, stop


@pytest.fixture
def free_startup(monkeypatch):
    from lamina_design.core import executor

    monkeypatch.setattr(executor, "_costs", executor._Costs(startup=0.0, per_chunk=0.0, slowdown=1.0))
    monkeypatch.setattr(executor, "_free_processors", lambda: 2.0)  # whatever else this machine runs
    return executor


def pooled_pids(executor=2, total=6):
    from lamina_design.core import executor as module

    module._costs = module._Costs(startup=0.0, per_chunk=0.0, slowdown=1.0)  # as measured costs would not be
    out = map_chunks(sleeping_chunk, 0.2, total, chunk_size=1, executor=executor)
    assert [(a, b) for _, a, b in out] == [(k, k + 1) for k in range(total)]
    assert out[0][0] == os.getpid()  # the first chunk measures the work here
    return {pid for pid, _, _ in out[1:]} - {os.getpid()}


def test_a_small_job_runs_here_without_starting_a_worker(monkeypatch):
    import multiprocessing

    from lamina_design.core import executor

    executor._shut_kept()
    out = map_chunks(lambda _p, a, b: (os.getpid(), a, b), None, 6, chunk_size=2, executor=2)
    assert out == [(os.getpid(), 0, 2), (os.getpid(), 2, 4), (os.getpid(), 4, 6)]
    assert multiprocessing.active_children() == []
    assert_same_bits(run(2, 100), run("serial", 300))


def sleepy_failing_chunk(seconds, start, stop):
    time.sleep(seconds)
    return failing_chunk(None, start, stop)


def interrupted_here(_payload, start, stop):
    if start == 0:  # the first chunk, which runs in the calling process
        raise KeyboardInterrupt
    return start, stop


@pytest.mark.heavy
def test_ctrl_c_in_the_chunk_run_here_ends_the_kept_pool_too(free_startup):
    import multiprocessing

    assert pooled_pids()  # the kept pool is up and idle
    with pytest.raises(KeyboardInterrupt):
        map_chunks(interrupted_here, None, 6, chunk_size=1, executor=2)
    assert multiprocessing.active_children() == []


@pytest.mark.heavy
def test_the_first_failing_chunk_is_reported_when_the_kept_pool_shares_the_work(free_startup):
    with pytest.raises(ArithmeticError, match="chunk at 4$"):
        map_chunks(sleepy_failing_chunk, 0.2, 10, chunk_size=1, executor=2)
    assert pooled_pids()  # the pool is still usable


def again(first):
    return pooled_pids()


def after_killing(first):
    import signal

    for pid in first:
        os.kill(pid, signal.SIGKILL)
    return pooled_pids()  # the death may be seen only once chunks are sent: they are redone


def in_a_forked_child(first):
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through the pipe
        try:
            from lamina_design.core import executor

            os.write(write, json.dumps(sorted(pooled_pids())).encode())
            executor._shut_kept()
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        reported = pipe.read()
    os.waitpid(child, 0)
    return set(json.loads(reported))


@pytest.mark.heavy
@pytest.mark.parametrize("second, shared", [
    (again, True), (after_killing, False),
    pytest.param(in_a_forked_child, False, marks=pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"))],
    ids=["second call", "after its workers are killed", "forked child"])
def test_the_kept_pool_is_reused_and_rebuilt_when_its_workers_are_gone(free_startup, second, shared):
    first = pooled_pids()
    assert first and os.getpid() not in first
    then = second(first)
    assert then
    assert then <= first if shared else not then & first


# Scripts that drive the kept pool in a process of their own: sleeping chunks, started at once.
POOL_SCRIPT = """
import json, multiprocessing, os, signal, sys, threading, time
from lamina_design.core import executor
from lamina_design.core.executor import map_chunks

def nap(seconds, start, stop):
    time.sleep(seconds)
    return os.getpid()

if __name__ == "__main__":
    executor._costs = executor._Costs(startup=0.0, per_chunk=0.0, slowdown=1.0)
    executor._free_processors = lambda: 2.0
"""

ABANDONED_POOL = """
    pids = set(map_chunks(nap, 0.2, 6, chunk_size=1, executor=2)[1:]) - {os.getpid()}
    with open(sys.argv[1], "w") as out:
        out.write(" ".join(str(pid) for pid in pids))
    os._exit(0)  # no shutdown of the kept pool
"""

# A pooled run of sleeping chunks interrupted once its workers are busy, then run again.
INTERRUPTED_POOL = """
    workers = []
    def interrupt():
        while not workers:
            workers.extend(c.pid for c in multiprocessing.active_children())
            time.sleep(0.05)
        time.sleep(0.5)
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    try:
        map_chunks(nap, 0.5, 200, chunk_size=1, executor=2)
        stopped = False
    except KeyboardInterrupt:
        stopped = True
    left = [pid for pid in workers if os.path.exists(f"/proc/{pid}")]
    again = map_chunks(nap, 0.2, 6, chunk_size=1, executor=2)
    fresh = sorted(set(again[1:]) - {os.getpid()})
    print(json.dumps({"stopped": stopped, "workers": workers, "left": left, "fresh": fresh}))
"""


def run_pool_script(tmp_path, body, *args, **streams):
    script = tmp_path / "pool.py"
    script.write_text(POOL_SCRIPT + body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, str(script), *map(str, args)], timeout=300, env=env, **streams)


@pytest.mark.heavy
def test_kept_workers_end_when_their_parent_dies_without_shutting_them(tmp_path):
    pids, log = tmp_path / "pids", tmp_path / "log"
    with open(log, "w") as stderr:  # a file, not a pipe: an orphan holding a pipe open would block the run
        result = run_pool_script(tmp_path, ABANDONED_POOL, pids, stdout=subprocess.DEVNULL, stderr=stderr)
    assert result.returncode == 0, log.read_text()
    workers = [int(pid) for pid in pids.read_text().split()]
    assert workers
    deadline = time.monotonic() + 60.0
    while any(os.path.exists(f"/proc/{pid}") for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not [pid for pid in workers if os.path.exists(f"/proc/{pid}")], "orphaned kept workers"


@pytest.mark.heavy
def test_an_interrupted_kept_pool_is_ended_and_the_next_call_starts_afresh(tmp_path):
    result = run_pool_script(tmp_path, INTERRUPTED_POOL, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout.splitlines()[-1])
    assert out["stopped"] and out["workers"], out
    assert out["left"] == [], "workers of the interrupted run outlived it"
    assert out["fresh"] and not set(out["fresh"]) & set(out["workers"]), out


@pytest.mark.parametrize("rows, columns, one_thread", [(352, 32, True), (4096, 512, False)])
def test_small_least_squares_problems_factor_on_one_blas_thread(rows, columns, one_thread):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    from lamina_design.core.threads import small_linear_algebra

    def blas_threads():
        return [pool["num_threads"] for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas"]

    outside = blas_threads()
    if not outside or max(outside) == 1:
        pytest.skip("this NumPy's BLAS runs on one thread anyway")
    with small_linear_algebra(rows, columns):
        inside = blas_threads()
    assert (inside == [1] * len(inside)) == one_thread
    assert blas_threads() == outside
