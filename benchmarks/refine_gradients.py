#!/usr/bin/env python
"""Refinement on the exact Jacobian against the forward differences it replaces.

    python benchmarks/refine_gradients.py            # 10, 20 and 40 layers
    python benchmarks/refine_gradients.py --quick    # 4 and 6 layers: do the script and its checks work?

The problem: recover the thicknesses of an alternating H/L stack on glass (random thicknesses of
60-160 nm, a Cauchy high index) from its unpolarised reflectance at 30 degrees, 200 wavelengths
from 420 to 900 nm, starting from thicknesses off by up to 1 % (further off, 40 layers stop in a local minimum). Both runs start from the same
point; each is timed by its best of `--repeats` runs. A sweep is one native call over the grid
(lamina's simulate, or one _engine call): forward differences cost one sweep per layer and
Jacobian, the exact Jacobian one in all.
"""

import argparse
import sys
import time

import numpy as np

from lamina_design.materials import Cauchy, Constant
from lamina_design.refine import fit_spectrum
from lamina_design.stack import Layer, Stack

HIGH = Cauchy(2.1, 0.02, name="H")
LOW = Constant(1.46, "L")
WL = np.linspace(420.0, 900.0, 200)
THETA = 0.5236


def problem(layers, seed=1):
    rng = np.random.default_rng(seed)
    true = Stack(Constant(1.0), tuple(Layer(HIGH if k % 2 == 0 else LOW, float(d))
                                      for k, d in enumerate(rng.uniform(60.0, 160.0, layers))),
                 exit=Constant(1.52, "glass"))
    start = true.with_thicknesses(true.thicknesses() * rng.uniform(0.99, 1.01, layers))
    return true, start, true.spectrum(WL, THETA).r


def run(layers, repeats):
    true, start, measured = problem(layers)
    rows = {}
    for how in ("difference", "exact"):
        best = None
        for _ in range(repeats):
            began = time.perf_counter()
            result = fit_spectrum(start, WL, measured, sigma=1e-3, angle_rad=THETA, jacobian=how, max_nfev=400)
            elapsed = time.perf_counter() - began
            if best is None or elapsed < best[1]:
                best = (result, elapsed)
        rows[how] = best
    return true, rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    sizes = (4, 6) if args.quick else (10, 20, 40)
    repeats = 1 if args.quick else args.repeats
    print(f"refining N layers to a reflectance at {WL.size} wavelengths, best of {repeats}")
    print(f"{'layers':>6} {'jacobian':>10} {'evals':>6} {'jacs':>5} {'sweeps':>7} {'seconds':>8} "
          f"{'cost':>10} {'max |x - true| nm':>18}")
    ok = True
    for layers in sizes:
        true, rows = run(layers, repeats)
        for how in ("difference", "exact"):
            result, elapsed = rows[how]
            error = float(np.max(np.abs(result.x - true.thicknesses())))
            print(f"{layers:>6} {how:>10} {result.nfev:>6} {result.njev:>5} {result.lamina_calls:>7} "
                  f"{elapsed:>8.3f} {result.cost:>10.3g} {error:>18.2e}")
        fd, exact = rows["difference"][0], rows["exact"][0]
        same = float(np.max(np.abs(fd.x - exact.x)))
        ratio = fd.lamina_calls / exact.lamina_calls
        speed = rows["difference"][1] / rows["exact"][1]
        print(f"{'':>6} {'':>10} same optimum to {same:.1e} nm; {ratio:.1f}x fewer sweeps, {speed:.1f}x faster")
        ok = ok and same < 1e-4
    print("optima agree" if ok else "OPTIMA DIFFER")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
