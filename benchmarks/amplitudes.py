#!/usr/bin/env python
"""lamina_design._engine's batches against a Python loop of lamina's simulate() and the peers.

    python benchmarks/amplitudes.py            # full run, a few minutes
    python benchmarks/amplitudes.py --quick    # small batches, seconds: do the scripts work?

Cases (times are the best call of interleaved rounds; see compare.py for the method):
- one stack (K = 12, W = 1,000, 45 deg): the amplitudes r and t of s and p against
  DataPy(...).simulate() on the same stack (goal: at most 1.1x its cost);
- batches of B stacks of K = 12 sharing their indices, at 0 and 45 deg: B = 1,000 at
  W = 1,000 and B = 10,000 at W = 50, R and T written into one preallocated (B, A, W)
  pair by _engine.spectra, against a Python loop of simulate() writing into the same
  arrays (goals: at least 1.8x at W = 50 on two cores, and at 0 deg), against
  tmm-faster looping over the stacks on all its threads and on one, and tmm-fast
  (PyTorch, CPU) when it is installed.
The batch stacks are lossless (dielectric, dispersive): at normal incidence the engine
then computes one polarisation. The loop's and the batch's R and T are compared bit
for bit on every case. One-thread contenders run in a worker process of their own
(the pool and OpenMP read their sizes once per process), interleaved with the rest.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import report  # noqa: E402
import stacks  # noqa: E402

PHI = stacks.PHI
MEDIA = 12
SINGLE = (MEDIA, 1_000)
BATCHES = [(1_000, 1_000), (10_000, 50)]  # (B, W)
QUICK_BATCHES = [(20, 1_000), (200, 50)]
ANGLES = (0.0, 45.0)
SETTLE_SECONDS = 0.002


def batch_stacks(stacks_count, width):
    """B dielectric stacks of K = 12 with their own thicknesses and shared, real indices."""
    d, n, wl = stacks.make_stack(MEDIA, width)
    high, low = n[1].real, n[2].real
    n = np.array([n[0].real] + [high if j % 2 else low for j in range(1, MEDIA - 1)] + [n[-1].real],
                 dtype=complex)
    rng = np.random.default_rng(stacks_count * 7 + width)
    return d * rng.uniform(0.8, 1.2, (stacks_count, d.size)), n, wl


# --------------------------------------------------------------------------- contenders
# Each factory takes (d (B, K-2), n (K, W), wl, theta in radians) and returns a call
# that writes R and T into its (B, 1, W) outputs, which it returns.

def engine_batch(d, n, wl, theta):
    from lamina_design import _engine
    R, T = np.empty((d.shape[0], 1, wl.size)), np.empty((d.shape[0], 1, wl.size))
    angles = np.array([theta])

    def call():
        _engine.spectra(d, n, wl, angles, PHI, R=R, T=T)
        return R, T
    return call


def simulate_loop(d, n, wl, theta):
    import lamina
    R, T = np.empty((d.shape[0], 1, wl.size)), np.empty((d.shape[0], 1, wl.size))

    def call():
        for b in range(d.shape[0]):
            result = lamina.DataPy(d[b], n, wl, theta, PHI).simulate()
            R[b, 0], T[b, 0] = result.r, result.t
        return R, T
    return call


def tmm_faster_loop(d, n, wl, theta):
    import tmm_faster
    R, T = np.empty((d.shape[0], 1, wl.size)), np.empty((d.shape[0], 1, wl.size))
    by_wavelength = np.ascontiguousarray(n.T)
    angles = [np.degrees(theta)]
    s_weight, p_weight = np.cos(PHI) ** 2, np.sin(PHI) ** 2

    def call():
        for b in range(d.shape[0]):
            out = tmm_faster.calc_coherent(by_wavelength, [np.inf, *d[b].tolist(), np.inf], angles, wl)
            R[b, 0] = s_weight * out["R_s"][:, 0] + p_weight * out["R_p"][:, 0]
            T[b, 0] = s_weight * out["T_s"][:, 0] + p_weight * out["T_p"][:, 0]
        return R, T
    return call


def tmm_fast_batch(d, n, wl, theta):
    import tmm_fast
    import torch
    R, T = np.empty((d.shape[0], 1, wl.size)), np.empty((d.shape[0], 1, wl.size))
    thick = np.concatenate([np.full((d.shape[0], 1), np.inf), d, np.full((d.shape[0], 1), np.inf)], axis=1)
    indices = np.broadcast_to(n, (d.shape[0],) + n.shape)
    T_, N_ = torch.from_numpy(thick * 1e-9), torch.from_numpy(np.ascontiguousarray(indices))
    L_, A_ = torch.from_numpy(wl * 1e-9), torch.from_numpy(np.array([theta]))
    s_weight, p_weight = np.cos(PHI) ** 2, np.sin(PHI) ** 2

    def call():
        s = tmm_fast.coh_tmm("s", N_, T_, A_, L_)
        p = tmm_fast.coh_tmm("p", N_, T_, A_, L_)
        R[:] = s_weight * s["R"].numpy() + p_weight * p["R"].numpy()
        T[:] = s_weight * s["T"].numpy() + p_weight * p["T"].numpy()
        return R, T
    return call


def available(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


BATCH_CONTENDERS = {"engine": engine_batch, "simulate loop": simulate_loop}
if available("tmm_faster"):
    BATCH_CONTENDERS["tmm-faster"] = tmm_faster_loop
if available("tmm_fast"):
    BATCH_CONTENDERS["tmm-fast"] = tmm_fast_batch
WORKER_CONTENDERS = {"engine, 1 thread": engine_batch}
if available("tmm_faster"):
    WORKER_CONTENDERS["tmm-faster, 1 thread"] = tmm_faster_loop


def single_stack_calls():
    import lamina
    from lamina_design import _engine
    d, n, wl = stacks.make_stack(*SINGLE)  # the compare.py stack: absorbing layers and a metal
    theta = np.radians(45.0)
    args = (d[None, :], n, wl, np.array([theta]))
    r, t = _engine.amplitudes(*args)
    return {"amplitudes": lambda: _engine.amplitudes(*args, r=r, t=t),
            "simulate": lambda: lamina.DataPy(d, n, wl, theta, PHI).simulate()}


# --------------------------------------------------------------------------- timing

def timed(call):
    start = time.perf_counter()
    call()
    elapsed = time.perf_counter() - start
    time.sleep(SETTLE_SECONDS)
    return elapsed


class Worker:
    """A process with one-thread pools, answering one timed call per request."""

    def __init__(self):
        env = dict(os.environ, RAYON_NUM_THREADS="1", OMP_NUM_THREADS="1")
        self.process = subprocess.Popen([sys.executable, __file__, "--worker"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def time(self, name, case, angle):
        self.process.stdin.write(json.dumps([name, case, angle]) + "\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def worker_main():
    calls = {}
    for line in sys.stdin:
        name, case, angle = json.loads(line)
        key = (name, tuple(case), angle)
        if key not in calls:
            d, n, wl = batch_stacks(*case)
            calls[key] = WORKER_CONTENDERS[name](d, n, wl, np.radians(angle))
            calls[key]()  # warm up
        print(timed(calls[key]), flush=True)


def rounds(calls, least, budget):
    """Best time of each call over interleaved rounds, rotating the order."""
    best = {name: float("inf") for name in calls}
    start, count = time.perf_counter(), 0
    names = list(calls)
    while count < least or time.perf_counter() - start < budget:
        order = names[count % len(names):] + names[:count % len(names)]
        for name in order:
            best[name] = min(best[name], calls[name]())
        count += 1
    return best, count


# --------------------------------------------------------------------------- run

def verdict(value, goal, higher_is_better=True):
    met = value >= goal if higher_is_better else value <= goal
    return "met" if met else "missed"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small batches and short timings")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker_main()

    least, budget = (2, 0.2) if args.quick else (3, 5.0)
    batches = QUICK_BATCHES if args.quick else BATCHES
    print(report.machine_summary())
    print(f"pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '<unset>')}; "
          f"peers: {', '.join(name for name in BATCH_CONTENDERS if name not in ('engine', 'simulate loop'))}"
          f"{'' if available('tmm_fast') else '; tmm-fast not installed, skipped'}")
    goals = []

    single = {name: (lambda call=call: timed(call)) for name, call in single_stack_calls().items()}
    best, count = rounds(single, least * 5, budget / 2)
    ratio = best["amplitudes"] / best["simulate"]
    print(f"\none stack, K = {SINGLE[0]}, W = {SINGLE[1]:,}, 45 deg ({count} rounds): amplitudes "
          f"{best['amplitudes'] * 1e3:.3f} ms, simulate() {best['simulate'] * 1e3:.3f} ms: {ratio:.2f}x")
    goals.append(f"amplitudes for one stack at most 1.1x simulate(): {ratio:.2f}x, {verdict(ratio, 1.1, False)}")

    worker = Worker()
    try:
        for stacks_count, width in batches:
            d, n, wl = batch_stacks(stacks_count, width)
            for angle in ANGLES:
                theta = np.radians(angle)
                made = {name: factory(d, n, wl, theta) for name, factory in BATCH_CONTENDERS.items()}
                R, T = (a.copy() for a in made["engine"]())
                R_loop, T_loop = made["simulate loop"]()
                same = R.tobytes() == R_loop.tobytes() and T.tobytes() == T_loop.tobytes()
                calls = {name: (lambda call=call: timed(call)) for name, call in made.items()}
                for name in WORKER_CONTENDERS:
                    worker.time(name, [stacks_count, width], angle)  # warm up
                    calls[name] = (lambda name=name: worker.time(name, [stacks_count, width], angle))
                best, count = rounds(calls, least, budget)
                print(f"\nB = {stacks_count:,}, K = {MEDIA}, W = {width:,}, {angle:g} deg ({count} rounds; "
                      f"batch = loop of simulate(), bit for bit: {'yes' if same else 'NO'})")
                engine = best["engine"]
                for name, seconds in best.items():
                    per = seconds / (stacks_count * width) * 1e9
                    print(f"  {name:22s} {seconds * 1e3:10.2f} ms  {per:8.1f} ns per stack and wavelength"
                          f"  {seconds / engine:6.2f}x the engine's time")
                speedup = best["simulate loop"] / engine
                if width <= 100:
                    goals.append(f"B = {stacks_count:,}, W = {width}, {angle:g} deg: {speedup:.2f}x the loop "
                                 f"(goal 1.8x on two cores): {verdict(speedup, 1.8)}")
                elif angle == 0.0:
                    goals.append(f"B = {stacks_count:,}, W = {width:,}, 0 deg: {speedup:.2f}x the loop "
                                 f"(goal 1.8x): {verdict(speedup, 1.8)}")
                if not same:
                    goals.append(f"B = {stacks_count:,}, W = {width}, {angle:g} deg: the batch's bits differ "
                                 "from the loop's: FAILED")
    finally:
        worker.close()
    print("\ngoals:")
    for line in goals:
        print("- " + line)
    return 1 if any("FAILED" in line for line in goals) else 0


if __name__ == "__main__":
    sys.exit(main())
