#!/usr/bin/env python
"""Serial, default and held-pool tolerance runs, interleaved, as ratios to serial.

    python benchmarks/pools.py              # 2,000 samples of a 20-layer design at 201 wavelengths
    python benchmarks/pools.py --rounds 9

Each round runs the same tolerance three ways, in turn so that the machine's load falls on all
three alike: ``executor="serial"``; the default (``executor=None``: the first chunk here, the rest
shared with the kept pool when that is estimated to be sooner); and a pool held with
``process_pool`` and started before the timings. The first default call, and a ten times larger
one that starts the kept pool if it pays there, are reported on their own: the timed default
calls find the kept pool as that call left it. All runs must give the same bits.
"""

import argparse
import multiprocessing
import os
import statistics
import time

import numpy as np

from lamina_design.executor import available_workers, process_pool
from lamina_design.materials import Constant
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.tolerance import Errors, tolerance

WAVELENGTHS = np.linspace(400.0, 800.0, 201)


def design() -> Stack:
    h, l = Constant(2.35, "H"), Constant(1.46, "L")
    layers = [Layer(m, 550.0 / (4 * (2.35 if m is h else 1.46))) for m in [h, l] * 10]
    return Stack(Constant(1.0, "air"), tuple(layers), exit=Constant(1.52, "glass"))


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    stack = design()
    goal = Target("R", WAVELENGTHS, stack.spectrum(WAVELENGTHS).r, 0.05)

    def timed(executor):
        start = time.perf_counter()
        result = tolerance(stack, [goal], Errors(thickness_rel=0.01), args.samples, seed=7, executor=executor)
        return time.perf_counter() - start, result

    workers = available_workers()
    print(f"CPU: {cpu_model()}, {workers} available processors, load average {os.getloadavg()[0]:.1f}")
    print(f"{args.samples} samples, {len(stack.layers)} layers, {WAVELENGTHS.size} wavelengths")
    reference = timed("serial")[1]
    first, result = timed(None)
    assert np.array_equal(result.merit, reference.merit)
    # A large call, which starts the kept pool if its workers pay there; the timed default calls
    # then find it warm, as the calls of a session after its first large one do.
    start = time.perf_counter()
    tolerance(stack, [goal], Errors(thickness_rel=0.01), 10 * args.samples, seed=7)
    large = time.perf_counter() - start
    kept = len(multiprocessing.active_children())
    times = {"serial": [], "default": [], "held": []}
    with process_pool(workers) as pool:
        timed(pool)  # start its workers
        for _ in range(args.rounds):
            for name, executor in (("serial", "serial"), ("default", None), ("held", pool)):
                t, result = timed(executor)
                assert np.array_equal(result.merit, reference.merit), name
                times[name].append(t)
    serial = statistics.median(times["serial"])
    print(f"first default call: {first:.2f} s = {serial / first:.2f}x serial")
    print(f"a default call of {10 * args.samples} samples: {large:.2f} s = {10 * serial / large:.2f}x serial, "
          f"{kept} kept workers after it")
    for name, ts in times.items():
        median = statistics.median(ts)
        print(f"{name:8s} median {median:.2f} s = {serial / median:.2f}x serial   (runs: "
              + " ".join(f"{t:.2f}" for t in ts) + ")")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
