#!/usr/bin/env python
"""Monte Carlo tolerancing on one and two worker processes, and against tmm-faster in a loop.

    python benchmarks/monte_carlo.py            # 100,000 samples of a 20-layer design, W = 401
    python benchmarks/monte_carlo.py --quick    # 2,000 samples: do the script and its checks work?

Each sample perturbs every thickness by a Gaussian 1 % error and scores the design's R against
its target at 401 wavelengths (normal incidence, unpolarised). lamina_design.tolerance runs it on
a process pool of 1 and of 2 workers (the engine single-threaded in each, chunks of 1,000
samples, one batched engine call per chunk); the two runs must give the same bits. tmm-faster
computes the same samples one call each, on its default OpenMP threads, for a subset of the
samples; its time is extrapolated to the full count and its merits must agree with lamina's.
"""

import argparse
import os
import sys
import time

import numpy as np

from lamina_design.executor import available_workers, process_pool
from lamina_design.materials import Constant
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.tolerance import Errors, sample_errors, tolerance

HIGH, LOW, GLASS = 2.35, 1.46, 1.52
CENTRE = 550.0
WAVELENGTHS = np.linspace(400.0, 800.0, 401)
ERRORS = Errors(thickness_rel=0.01)
SEED = 20261207
CHUNK = 1000


def design() -> Stack:
    """A 20-layer band-pass at 550 nm: two quarter-wave mirrors around a half-wave spacer."""
    h, l = Constant(HIGH, "H"), Constant(LOW, "L")
    quarter = {h: CENTRE / (4 * HIGH), l: CENTRE / (4 * LOW)}
    order = [h, l] * 4 + [h, l, l] + [h, l] * 4 + [h]
    layers = [Layer(m, quarter[m]) for m in order[:20]]
    return Stack(Constant(1.0, "air"), tuple(layers), exit=Constant(GLASS, "glass"))


def target(stack: Stack) -> Target:
    """The nominal design's own R, to within 0.05: a sample fails where it strays further."""
    return Target("R", WAVELENGTHS, stack.spectrum(WAVELENGTHS).r, 0.05)


def timed(workers: int, stack: Stack, goal: Target, samples: int):
    with process_pool(workers) as pool:
        tolerance(stack, [goal], ERRORS, 2 * workers, executor=pool, chunk_size=1)  # start the workers
        start = time.perf_counter()
        result = tolerance(stack, [goal], ERRORS, samples, seed=SEED, executor=pool, chunk_size=CHUNK)
        return time.perf_counter() - start, result


def tmm_faster_merits(stack: Stack, goal: Target, samples: int):
    import tmm_faster

    d, _, _ = sample_errors(stack, ERRORS, samples, seed=SEED)
    indices = [1.0, *(layer.material.value for layer in stack.layers), GLASS]
    n = np.ascontiguousarray(np.tile(np.array(indices, dtype=np.complex128), (WAVELENGTHS.size, 1)))
    _, value, tol = goal.arrays()
    merits = np.empty(samples)
    start = time.perf_counter()
    for b in range(samples):
        out = tmm_faster.calc_coherent(n, [np.inf, *d[b].tolist(), np.inf], [0.0], WAVELENGTHS)
        r = 0.5 * (out["R_s"][:, 0] + out["R_p"][:, 0])
        residual = (r - value) / tol
        merits[b] = np.sqrt(np.mean(residual * residual))
    return time.perf_counter() - start, merits


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2,000 samples, 200 for tmm-faster")
    parser.add_argument("--samples", type=int, help="Monte Carlo samples (default 100,000; 2,000 with --quick)")
    args = parser.parse_args(argv)
    samples = args.samples or (2000 if args.quick else 100_000)
    peer_samples = min(samples, 200 if args.quick else 2000)
    stack = design()
    goal = target(stack)
    print(f"{samples:,} samples of a {len(stack.layers)}-layer design at W = {WAVELENGTHS.size}, "
          f"{available_workers()} processors available, load {os.getloadavg()[0]:.1f}")
    one, first = timed(1, stack, goal, samples)
    two, second = timed(2, stack, goal, samples)
    same = all(np.array_equal(getattr(first, k), getattr(second, k)) for k in ("merit", "passed", "low", "high"))
    print(f"1 worker : {one:8.2f} s  ({samples / one:,.0f} samples/s)")
    print(f"2 workers: {two:8.2f} s  ({samples / two:,.0f} samples/s), speed-up {one / two:.2f}")
    print(f"1 and 2 workers give the same bits: {'yes' if same else 'NO'}")
    print(first.summary())
    ok = same
    try:
        peer_time, peer = tmm_faster_merits(stack, goal, peer_samples)
    except ImportError:
        print("tmm-faster is not installed (the bench extra): no comparison")
    else:
        full = peer_time * samples / peer_samples
        agree = float(np.max(np.abs(peer - first.merit[:peer_samples])))
        print(f"tmm-faster in a loop: {peer_time:.2f} s for {peer_samples:,} samples, "
              f"{full:.1f} s extrapolated to {samples:,}: lamina on 1 worker is {full / one:.1f}x faster, "
              f"on 2 workers {full / two:.1f}x")
        print(f"largest merit difference from tmm-faster: {agree:.2e}")
        ok = ok and agree < 1e-9
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
