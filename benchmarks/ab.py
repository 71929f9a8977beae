#!/usr/bin/env python
"""Two builds of lamina, interleaved on the same stack: is B faster or slower than A?

    python benchmarks/ab.py OLD.so NEW.so [--media 10] [--width 10000] [--rounds 60]

Each round times one simulate() of A and one of B, in alternating order, so that
load from other processes falls on both alike. Reports ns per wavelength (median
and 10th percentile) and the ratios B/A, and checks that both give the same bits.
Pin it to one processor (taskset -c 0) and keep --width <= 100 to time the
serial path alone.
"""

import argparse
import importlib.util
import time

import numpy as np


def load(path):
    spec = importlib.util.spec_from_file_location("lamina", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("a", help="path of build A's extension module")
    parser.add_argument("b", help="path of build B's extension module")
    parser.add_argument("--media", type=int, default=10)
    parser.add_argument("--width", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=60)
    args = parser.parse_args()

    builds = {"A": load(args.a), "B": load(args.b)}
    rng = np.random.default_rng(1)
    media, width = args.media, args.width
    lossy = rng.random((media, 1)) < 0.3
    n = (rng.uniform(1.3, 2.5, (media, 1)) + 0.05j * lossy) * np.ones((1, width))
    d = rng.uniform(50.0, 300.0, media - 2)
    wl = np.linspace(400.0, 900.0, width)

    def simulate(module):
        return module.DataPy(d, n, wl, 0.3, 0.4).simulate()

    results = {name: simulate(module) for name, module in builds.items()}
    same = all(np.asarray(getattr(results["A"], key)).tobytes() == np.asarray(getattr(results["B"], key)).tobytes()
               for key in ("r", "t"))
    times = {"A": [], "B": []}
    for round_ in range(args.rounds):
        for name in ("A", "B") if round_ % 2 else ("B", "A"):
            stack = builds[name].DataPy(d, n, wl, 0.3, 0.4)
            start = time.perf_counter()
            stack.simulate()
            times[name].append((time.perf_counter() - start) / width * 1e9)
    for name, path in (("A", args.a), ("B", args.b)):
        print(f"{name}: median {np.median(times[name]):8.1f} ns/wavelength, "
              f"p10 {np.percentile(times[name], 10):8.1f}  ({path})")
    for label, q in (("median", 50), ("p10", 10)):
        print(f"B/A {label}: {np.percentile(times['B'], q) / np.percentile(times['A'], q):.3f}")
    print("same bits:", same)


if __name__ == "__main__":
    main()
