"""Cost of handing a short sweep to the worker pool.

    python benchmarks/handoff.py            # default pool, then a 64-thread pool
    python benchmarks/handoff.py --calls 20000

W = 100 is the longest sweep that stays on the calling thread, W = 101 the shortest
that goes to the pool, both on a 3-media stack, so the pool's hand-off dominates the
difference. Calls of the two widths alternate so that a noisy neighbour slows both
alike; each ratio is the median pooled time over the median serial time. The pool
size is read once per process, so each pool runs in a process of its own.
"""

import argparse
import os
import subprocess
import sys
import time

WORKER = """
import statistics, time
import numpy as np, lamina

def data(width):
    wl = np.linspace(400.0, 800.0, width)
    n = np.empty((3, width), dtype=np.complex128)
    n[0], n[1], n[2] = 1.0, 2.1 + 0.01j, 1.52
    return lamina.DataPy(np.array([120.0]), n, wl, 0.3, 0.7)

serial, pooled = data(100), data(101)
for _ in range(200):
    serial.simulate(); pooled.simulate()
clock = time.perf_counter_ns
serial_ns, pooled_ns = [], []
for _ in range({calls}):
    start = clock(); serial.simulate(); middle = clock(); pooled.simulate(); end = clock()
    serial_ns.append(middle - start)
    pooled_ns.append(end - middle)
print(statistics.median(serial_ns), statistics.median(pooled_ns))
"""

POOLS = (("default pool", None, 1.3), ("RAYON_NUM_THREADS=64", "64", 2.0))


def medians(threads, calls):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    out = subprocess.run([sys.executable, "-c", WORKER.format(calls=calls)], env=env,
                         capture_output=True, text=True, check=True)
    serial, pooled = map(float, out.stdout.split())
    return serial, pooled


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=5000, help="calls of each width per pool")
    args = parser.parse_args()
    print(f"simulate(), K = 3 media: median of {args.calls} interleaved calls of each width")
    print(f"{'pool':<22}  {'W=100 serial':>12}  {'W=101 pooled':>12}  {'ratio':>6}  {'goal':>6}")
    for name, threads, goal in POOLS:
        serial, pooled = medians(threads, args.calls)
        ratio = pooled / serial
        verdict = "met" if ratio <= goal else "missed"
        print(f"{name:<22}  {serial / 1e3:>9.1f} µs  {pooled / 1e3:>9.1f} µs  {ratio:>5.2f}×"
              f"  ≤{goal:.1f}× {verdict}")


if __name__ == "__main__":
    started = time.perf_counter()
    main()
    print(f"(run took {time.perf_counter() - started:.0f} s)")
