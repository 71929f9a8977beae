"""Yield of a band-pass filter when every layer comes out 1 % off, on a Dask cluster.

A 13-layer single-cavity Ta₂O₅/SiO₂ band-pass on N-BK7 (two quarter-wave mirrors around a
half-wave Ta₂O₅ spacer, centred at 550 nm) must transmit at least 75 % at 549–551 nm and at most
15 % at 480–520 and 580–620 nm. Each Monte Carlo sample draws every layer's thickness with a
Gaussian 1 % error; the yield is the share of samples meeting all of that, with its 95 % Wilson
interval, and the exact thickness derivatives rank the layers by how much their errors matter
(the spacer first, then its neighbours).

The samples run on a Dask LocalCluster (two single-threaded worker processes), handed to
`lamina_design.tolerance` as `client.get_executor()`; without Dask they run on a process pool.
Either way the numbers are the same to the bit: each sample draws its errors from its own index.

    python examples/bandpass_yield.py [--samples N] [--workers K] [--out DIR] [--no-plot]
"""

from __future__ import annotations

import argparse
import contextlib
import time
import warnings
from pathlib import Path
from typing import Any, Iterator, Optional, Sequence

import numpy as np

from lamina_design import materials
from lamina_design.executor import process_pool
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.tolerance import Errors, ToleranceResult, sample_errors, tolerance
from plotting import load_pyplot, print_table, save

CENTRE = 550.0
TARGETS = (
    Target("T", [549.0, 550.0, 551.0], 1.0, 0.25),
    Target("T", np.r_[np.linspace(480.0, 520.0, 9), np.linspace(580.0, 620.0, 9)], 0.0, 0.15),
)
ERRORS = Errors(thickness_rel=0.01)


def design() -> Stack:
    """(HL)³ 2H (LH)³ at 550 nm on a half-infinite N-BK7, air side first."""
    high, low = materials.get("Ta2O5"), materials.get("SiO2")
    nh = float(high.index(np.array([CENTRE]))[0].real)
    nl = float(low.index(np.array([CENTRE]))[0].real)
    h, l = Layer(high, CENTRE / (4 * nh)), Layer(low, CENTRE / (4 * nl))
    layers = [h, l] * 3 + [Layer(high, CENTRE / (2 * nh))] + [l, h] * 3
    return Stack(materials.Constant(1.0, "air"), tuple(layers), exit=materials.get("N-BK7"), name="band-pass")


@contextlib.contextmanager
def cluster_executor(workers: int) -> Iterator[tuple[Any, str]]:
    """A Dask LocalCluster's executor, or a process pool when Dask is not installed."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        with process_pool(workers) as pool:
            yield pool, f"a process pool of {workers} workers (Dask is not installed)"
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the cluster's notices about ports and memory
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                          silence_logs=40) as cluster, Client(cluster) as client:
            yield client.get_executor(), f"a Dask LocalCluster of {workers} workers"


def run(samples: int, workers: int) -> ToleranceResult:
    stack = design()
    with cluster_executor(workers) as (executor, where):
        start = time.perf_counter()
        result = tolerance(stack, TARGETS, ERRORS, samples, seed=550, executor=executor, chunk_size=500)
        print(f"{samples} samples on {where} in {time.perf_counter() - start:.1f} s")
    return result


def plot(plt: Any, result: ToleranceResult) -> Any:
    fig, (ax_hist, ax_env) = plt.subplots(1, 2, figsize=(11, 4.2), gridspec_kw={"wspace": 0.25})
    result.plot_histogram(ax_hist)
    wl = np.linspace(470.0, 630.0, 321)
    ax_env.plot(wl, result.stack.spectrum(wl).t, color="black", label="nominal")
    d, _, _ = sample_errors(result.stack, result.errors, 40, seed=result.seed)
    for k, row in enumerate(d):
        ax_env.plot(wl, result.stack.with_thicknesses(row).spectrum(wl).t, color="tab:blue", alpha=0.2, lw=0.8,
                    label="samples" if k == 0 else None)
    for target in result.targets:
        wl_t, value, tol = target.arrays()
        ax_env.plot(wl_t, np.clip(value - tol, 0, 1) if value[0] > 0.5 else value + tol, "v" if value[0] > 0.5
                    else "^", color="tab:red", markersize=4)
    ax_env.set_xlabel("wavelength (nm)")
    ax_env.set_ylabel("T")
    ax_env.set_title("40 samples under 1 % thickness errors; red: the requirement")
    ax_env.legend(frameon=False)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description="Yield of a band-pass filter under 1 % thickness errors.")
    parser.add_argument("--samples", type=int, default=4000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--out", type=Path, default=Path("."), help="directory for the PNG plot (default: .)")
    parser.add_argument("--no-plot", action="store_true", help="print the table only")
    args = parser.parse_args(argv)
    result = run(args.samples, args.workers)
    low, high = result.interval()
    print(f"yield {100 * result.yield_fraction:.1f} % (95 % interval {100 * low:.1f}–{100 * high:.1f} %)")
    rows = [[str(j + 1), result.stack.layers[j].material.name, f"{result.stack.layers[j].thickness_nm:.1f}",
             f"{result.thickness_sigma[j]:.2f}", f"{result.sensitivity[j]:.3f}"]
            for j in result.ranked_layers()[:5]]
    print_table(["layer", "material", "d (nm)", "σ (nm)", "rms shift / tolerance"], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, result), args, "bandpass_yield.png")


if __name__ == "__main__":
    main()
