"""Cost of handing a short sweep to the worker pool.

    python benchmarks/handoff.py            # default pool, then a 64-thread pool
    python benchmarks/handoff.py --calls 20000

W = 100 is the longest sweep that stays on the calling thread, W = 101 the shortest
that goes to the pool, both on a 3-media stack, so the pool's hand-off dominates the
difference. Calls of the two widths alternate so that a noisy neighbour slows both
alike; each ratio is the median pooled time over the serial median scaled to 101
wavelengths. The measurement is compare.py's (measure.handoff), run on its own with
more calls; the pool size is read once per process, so each pool runs in a worker of
its own.
"""

import argparse
import time

import measure
from report import GOALS, handoff_ratio

POOLS = (("default pool", None, GOALS["handoff"]), ("RAYON_NUM_THREADS=64", 64, GOALS["handoff_64"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=5000, help="calls of each width per pool")
    args = parser.parse_args()
    print(f"simulate(), K = 3 media: median of {args.calls} interleaved calls of each width")
    print(f"{'pool':<22}  {'W=100 serial':>12}  {'W=101 pooled':>12}  {'ratio':>6}  {'goal':>6}")
    for name, threads, goal in POOLS:
        worker = measure.Worker(name, ["lamina"], threads)
        try:
            figures = worker.ask(op="handoff", repeats=args.calls)
        finally:
            worker.close()
        ratio = handoff_ratio(figures)
        verdict = "met" if ratio <= goal else "missed"
        print(f"{name:<22}  {figures['serial_median'] * 1e6:>9.1f} µs  {figures['pooled_median'] * 1e6:>9.1f} µs"
              f"  {ratio:>5.2f}×  ≤{goal:.1f}× {verdict}")


if __name__ == "__main__":
    started = time.perf_counter()
    main()
    print(f"(run took {time.perf_counter() - started:.0f} s)")
