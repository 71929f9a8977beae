"""Speed-up of lamina's worker pool: 2 threads over 1 on a 20-media stack.

    python benchmarks/threads.py            # W = 1,000 and 100,000

The pool size is read once per process, so each thread count runs in a process of its own.
"""

import os
import subprocess
import sys
import time

MEDIA = 20
WIDTHS = (1_000, 100_000)

WORKER = """
import sys, time
sys.path.insert(0, {here!r})
import lamina
from stacks import make_stack
for width in {widths!r}:
    d, n, wl = make_stack({media}, width)
    data = lamina.DataPy(d, n, wl, 0.5, 0.7)
    data.simulate()
    best = float("inf")
    deadline = time.perf_counter() + 2.0
    while time.perf_counter() < deadline or best == float("inf"):
        start = time.perf_counter()
        data.simulate()
        best = min(best, time.perf_counter() - start)
    print(width, best)
"""


def timings(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    code = WORKER.format(here=os.path.dirname(os.path.abspath(__file__)), widths=WIDTHS, media=MEDIA)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return {int(w): float(t) for w, t in (line.split() for line in out.stdout.splitlines())}


def main():
    one, two = timings(1), timings(2)
    print(f"lamina, K = {MEDIA} media, best simulate() time per wavelength")
    print(f"{'W':>9}  {'1 thread':>10}  {'2 threads':>10}  {'speed-up':>8}")
    for width in WIDTHS:
        print(f"{width:>9,}  {one[width] / width * 1e9:>8.0f} ns  {two[width] / width * 1e9:>8.0f} ns"
              f"  {one[width] / two[width]:>7.2f}×")


if __name__ == "__main__":
    started = time.perf_counter()
    main()
    print(f"(run took {time.perf_counter() - started:.0f} s)")
