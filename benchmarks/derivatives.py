#!/usr/bin/env python
"""Exact derivatives against the sweep they differentiate, in one interleaved run.

    python benchmarks/derivatives.py            # K = 40, W = 1,000: a few seconds
    python benchmarks/derivatives.py --quick    # smaller: do the script and its checks work?

The stack is benchmarks/stacks.py's (40 media: 38 layers, a thin metal among
dielectrics), theta = 0.5. Contenders, each called once per round in a rotating
order, each timed by its best round:

  sweep        lamina.DataPy(...).simulate(): R and T, s and p
  jacobian     lamina_design._engine.power_jacobian: R, T and their exact thickness
               Jacobians, s and p (what refinement needs)
  dr, dt       amplitude_derivatives(indices=False): complex d r / d d_j, d t / d d_j
  with n       amplitude_derivatives(): the same and every index derivative
  GD, GDD      wavenumber_derivatives(phases=True): first and second phase derivatives
  finite diff  the Jacobian by forward differences as lamina_design.refine takes
               them (step sqrt(eps) max(d_j, 10)): 1 + (K - 2) sweeps

Ratios are to the sweep. The exact Jacobian is also compared with those finite
differences: their error is what they cost in accuracy.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import lamina  # noqa: E402
import stacks  # noqa: E402
from lamina_design import _engine  # noqa: E402

THETA = 0.5


def contenders(media, width):
    d, n, wl = stacks.make_stack(media, width)
    batch = (d[None], n, wl, np.array([THETA]))

    def sweep(dd=d):
        s = lamina.DataPy(dd, n, wl, THETA, stacks.PHI).simulate()
        return s.r, s.t

    def finite_differences():
        r0, t0 = sweep()
        jr, jt = np.empty((media - 2, width)), np.empty((media - 2, width))
        for j in range(media - 2):
            step = np.sqrt(np.finfo(np.float64).eps) * max(d[j], 10.0)
            moved = d.copy()
            moved[j] += step
            r, t = sweep(moved)
            jr[j], jt[j] = (r - r0) / step, (t - t0) / step
        return jr, jt

    calls = {
        "sweep": sweep,
        "jacobian": lambda: _engine.power_jacobian(*batch, convention="eta"),
        "dr, dt": lambda: _engine.amplitude_derivatives(*batch, indices=False),
        "with n": lambda: _engine.amplitude_derivatives(*batch),
        "GD, GDD": lambda: _engine.wavenumber_derivatives(*batch, phases=True),
        "finite diff": finite_differences,
    }
    return calls, finite_differences, batch


def measure(calls, rounds):
    """Best wall-clock and best CPU time (all threads of the process) of each call."""
    names = list(calls)
    for call in calls.values():  # warm up: pool, pages, caches
        call()
    wall = {name: float("inf") for name in names}
    cpu = dict(wall)
    for k in range(rounds):
        order = names[k % len(names):] + names[: k % len(names)]
        for name in order:
            start, start_cpu = time.perf_counter(), time.process_time()
            calls[name]()
            wall[name] = min(wall[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], time.process_time() - start_cpu)
            time.sleep(0.002)  # let idle workers stop spinning before the next call
    return wall, cpu


def jacobian_agreement(finite_differences, batch):
    """Largest difference between the exact and the finite-difference Jacobian of lamina's
    R and T (unpolarised as the sweep weighs them), relative to the largest entry."""
    _, _, jr, jt = _engine.power_jacobian(*batch, convention="eta")
    c2, s2 = np.cos(stacks.PHI) ** 2, np.sin(stacks.PHI) ** 2
    exact_r = (c2 * jr[0, 0, 0] + s2 * jr[1, 0, 0]).T
    exact_t = (c2 * jt[0, 0, 0] + s2 * jt[1, 0, 0]).T
    fd_r, fd_t = finite_differences()
    return (np.max(np.abs(exact_r - fd_r)) / np.max(np.abs(exact_r)),
            np.max(np.abs(exact_t - fd_t)) / np.max(np.abs(exact_t)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small stack and few rounds")
    parser.add_argument("--media", type=int, default=40)
    parser.add_argument("--wavelengths", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args(argv)
    media, width, rounds = (10, 200, 3) if args.quick else (args.media, args.wavelengths, args.rounds)

    calls, finite_differences, batch = contenders(media, width)
    error_r, error_t = jacobian_agreement(finite_differences, batch)
    best, cpu = measure(calls, rounds)
    pool = os.environ.get("RAYON_NUM_THREADS", "all")
    print(f"K = {media} media ({media - 2} layers), W = {width:,}, theta = {THETA}, "
          f"pool: {pool} threads of {os.cpu_count()} processors, best of {rounds} interleaved rounds")
    print("(CPU time: all the process's threads; on a busy machine it is the steadier of the two)")
    print(f"{'':14}{'ms':>10}{'x sweep':>10}{'CPU ms':>10}{'x sweep':>10}")
    for name, seconds in best.items():
        print(f"{name:14}{seconds * 1e3:10.2f}{seconds / best['sweep']:10.2f}"
              f"{cpu[name] * 1e3:10.2f}{cpu[name] / cpu['sweep']:10.2f}")
    ratio = best["jacobian"] / best["sweep"]
    print(f"- full thickness Jacobian at K = {media}: {ratio:.2f}x one sweep, {cpu['jacobian'] / cpu['sweep']:.2f}x "
          f"in CPU time (goal <= 3x): {'met' if ratio <= 3.0 else 'missed'}; finite differences "
          f"{best['finite diff'] / best['sweep']:.1f}x")
    print("- refine's finite differences against the exact Jacobian: "
          f"{error_r:.1e} (R), {error_t:.1e} (T) of the largest entry")
    print("all checks done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
