"""Speed-up of lamina's worker pool: 2 threads over 1 on a 20-media stack.

    python benchmarks/threads.py            # W = 1,000 and 100,000

The pool size is read once per process, so each thread count runs in a worker of its
own (measure.Worker); the two are timed in interleaved rounds for 2 s per width and
each keeps its best call.
"""

import time

import measure

MEDIA = 20
WIDTHS = (1_000, 100_000)
BUDGET_SECONDS = 2.0


def main():
    workers = [measure.Worker(str(threads), ["lamina"], threads) for threads in (1, 2)]
    try:
        best = {width: measure.time_case(workers, MEDIA, width, BUDGET_SECONDS, 1, 1_000_000, {})[0]
                for width in WIDTHS}
    finally:
        for worker in workers:
            worker.close()
    print(f"lamina, K = {MEDIA} media, best simulate() time per wavelength")
    print(f"{'W':>9}  {'1 thread':>10}  {'2 threads':>10}  {'speed-up':>8}")
    for width in WIDTHS:
        one, two = best[width][("1", "lamina")], best[width][("2", "lamina")]
        print(f"{width:>9,}  {one / width * 1e9:>8.0f} ns  {two / width * 1e9:>8.0f} ns  {one / two:>7.2f}×")


if __name__ == "__main__":
    started = time.perf_counter()
    main()
    print(f"(run took {time.perf_counter() - started:.0f} s)")
