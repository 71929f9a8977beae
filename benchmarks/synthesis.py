#!/usr/bin/env python
"""Needle synthesis against 100 random multistarts of refine(), in merit and engine sweeps.

    python benchmarks/synthesis.py            # both problems, 100 starts: a few minutes
    python benchmarks/synthesis.py --quick    # 4 starts, small budgets: does the script work?

Problems:

  AR        R = 0 ± 1 % over 420-680 nm (53 points), Ta2O5/SiO2 on N-BK7, normal incidence,
            at most 16 layers and 1000 nm: gradual evolution from bare glass, growing on the air side
  dichroic  a 45° beam splitter, s and p: R = 1 ± 2 % over 420-490 nm, T = 1 ± 2 % over
            540-700 nm, TiO2/SiO2 on N-BK7, at most 24 layers and 2500 nm: gradual
            evolution from a quarter-wave stack of 7 layers, growing on either face

The baseline refines random starts (thicknesses uniform on the simplex, totals uniform up to
the budget) of alternating layers, low index outermost, as many as the synthesised design has
at most, with lamina_design.refine.refine (forward-difference Jacobian); a start that ends
above the thickness budget does not count. Sweeps are engine calls: one lamina call for
refine() (which now refines with the exact Jacobian), one batched native call (R and T, R and
T with their exact Jacobian, or a needle function over all depths) for the synthesis; a call
with the Jacobian costs several plain sweeps in time, so wall times are printed too. Differential evolution on the AR problem with 6 layers
runs as a third contender.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from lamina_design import materials  # noqa: E402
from lamina_design.refine import Target  # noqa: E402
from lamina_design.search import differential_evolution, multistart  # noqa: E402
from lamina_design.stack import Layer, Stack  # noqa: E402
from lamina_design.synthesis import gradual_evolution  # noqa: E402

AIR = materials.Constant(1.0, "air")
#: Needle places refined and compared in every step.
TRIALS = 2


def alternating(high, low, glass, count, thickness=50.0):
    return Stack(AIR, tuple(Layer(low if i % 2 == 0 else high, thickness) for i in range(count)), exit=glass)


def ar_problem():
    targets = [Target("R", np.linspace(420.0, 680.0, 53), 0.0, 0.01)]
    return targets, materials.get("Ta2O5"), materials.get("SiO2"), materials.get("N-BK7")


def dichroic_problem():
    theta = math.radians(45.0)
    reflect = np.linspace(420.0, 490.0, 15)
    transmit = np.linspace(540.0, 700.0, 33)
    targets = [Target("R", reflect, 1.0, 0.02, theta, pol) for pol in ("s", "p")]
    targets += [Target("T", transmit, 1.0, 0.02, theta, pol) for pol in ("s", "p")]
    return targets, materials.get("TiO2"), materials.get("SiO2"), materials.get("N-BK7")


def report(name, synthesis, baseline, starts):
    print(f"\n{name}")
    print(f"  synthesis : merit {synthesis.merit:.5f}, {len(synthesis.stack.layers)} layers, "
          f"{synthesis.stack.thicknesses().sum():.1f} nm, {synthesis.sweeps} sweeps, {synthesis.seconds:.1f} s "
          f"({synthesis.message})")
    print(f"  baseline  : merit {baseline.merit:.5f} (best of {starts} refine() multistarts, "
          f"{len(baseline.stack.layers)} layers, {baseline.stack.thicknesses().sum():.1f} nm), "
          f"{baseline.sweeps} sweeps, {baseline.seconds:.1f} s ({baseline.message})")
    better = synthesis.merit < baseline.merit
    fewer = synthesis.sweeps < baseline.sweeps
    print(f"  goal      : lower merit {'met' if better else 'MISSED'} "
          f"({synthesis.merit / baseline.merit:.3f} of the baseline's), fewer sweeps {'met' if fewer else 'MISSED'} "
          f"({baseline.sweeps / max(synthesis.sweeps, 1):.0f}x fewer)")
    return better and fewer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="4 starts and small budgets")
    parser.add_argument("--starts", type=int, default=None, help="random multistarts of the baseline (100)")
    parser.add_argument("--trials", type=int, default=TRIALS, help=f"needle places tried per step ({TRIALS})")
    args = parser.parse_args()
    starts = args.starts or (4 if args.quick else 100)
    met = True

    targets, high, low, glass = ar_problem()
    layers, total = (6, 400.0) if args.quick else (16, 1000.0)
    synthesis = gradual_evolution(Stack(AIR, (), exit=glass), targets, [high, low], max_layers=layers,
                                  max_total_nm=total, trials=args.trials, grow="front", executor="serial")
    count = len(synthesis.stack.layers)
    baseline = multistart(alternating(high, low, glass, layers), targets, starts, max_total_nm=total, seed=1)
    met &= report(f"AR 420-680 nm on N-BK7, Ta2O5/SiO2, at most {layers} layers ({count} used) and {total:g} nm",
                  synthesis, baseline, starts)

    de = differential_evolution(alternating(high, low, glass, 6), targets, max_thickness_nm=200.0, seed=1,
                                maxiter=20 if args.quick else 300)
    print(f"  DE, 6 layers of at most 200 nm: merit {de.merit:.5f}, {de.sweeps} sweeps, {de.seconds:.1f} s")

    targets, high, low, glass = dichroic_problem()
    layers, total = (10, 1200.0) if args.quick else (24, 2500.0)
    start = Stack(AIR, tuple(Layer(low if i % 2 == 0 else high, 455.0 / (4 * (1.47 if i % 2 == 0 else 2.3)))
                             for i in range(7)), exit=glass)
    synthesis = gradual_evolution(start, targets, [high, low], max_layers=layers, max_total_nm=total,
                                  trials=args.trials, executor="serial")
    baseline = multistart(alternating(high, low, glass, layers), targets, starts, max_total_nm=total, seed=1)
    met &= report(f"dichroic at 45 deg, TiO2/SiO2 on N-BK7, at most {layers} layers and {total:g} nm",
                  synthesis, baseline, starts)
    print("\nall goals met" if met else "\nsome goals MISSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
