"""A design search over many candidate stacks, spread over a Dask cluster.

The question: which four-layer antireflection coating (MgF₂ / TiO₂ / SiO₂ / TiO₂ on N-BK7,
air side first) has the lowest mean reflectance over 420–680 nm? The candidates are random
thickness vectors; each is scored by one lamina simulation. The candidates are cut into chunks,
and each chunk is one Dask task.

DataPy objects cannot be pickled, so nothing lamina-made travels over the network: the tasks
receive plain NumPy arrays (the index table and the wavelengths are broadcast to every worker
once) and build their DataPy objects where they run.

    python examples/dask_sweep.py                       # a LocalCluster, one worker per core
    python examples/dask_sweep.py --scheduler tcp://host:8786   # an existing cluster
    python examples/dask_sweep.py --candidates 1000000 --chunk 5000
    python examples/dask_sweep.py --out DIR          # the plot in DIR (default: .); --no-plot skips it

Needs Dask's distributed scheduler (in the `examples` and `dask` extras:
`pip install '.[examples]'`, or `pip install 'dask[distributed]'` beside lamina).

On a cluster every worker needs numpy and lamina installed. Give each worker process one
thread (`dask worker --nthreads 1`, or several processes per machine): lamina holds the
interpreter lock while it computes, so a second thread in the same worker process waits.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
import time
from pathlib import Path
from typing import Any, Optional, Sequence

import numpy as np

import lamina
from materials import FloatArray, ComplexArray, bk7, fused_silica, magnesium_fluoride, stack_indices, titanium_dioxide
from plotting import load_pyplot, save

LAYERS = [magnesium_fluoride, titanium_dioxide, fused_silica, titanium_dioxide]
#: Range (nm) from which each layer's thickness is drawn.
THICKNESS_RANGE = (5.0, 150.0)
BAND_NM = (420.0, 680.0)
BAND_POINTS = 131
UNPOLARISED = math.pi / 4


def problem() -> tuple[ComplexArray, FloatArray]:
    """The index table (air, layers, glass) × wavelengths and the wavelengths, shared by every candidate."""
    wl = np.linspace(*BAND_NM, BAND_POINTS, dtype=np.float64)
    return stack_indices(wl, [1.0, *LAYERS, bk7]), wl


def candidates(count: int, seed: int) -> FloatArray:
    """`count` random thickness vectors, one per row, reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    return rng.uniform(*THICKNESS_RANGE, size=(count, len(LAYERS)))


def score_chunk(thicknesses: FloatArray, n: ComplexArray, wl: FloatArray) -> FloatArray:
    """Mean unpolarised reflectance at normal incidence of each candidate (row): runs on a worker."""
    merits = np.empty(len(thicknesses))
    for i, d in enumerate(thicknesses):
        merits[i] = lamina.DataPy(np.ascontiguousarray(d), n, wl, 0.0, UNPOLARISED).simulate().r.mean()
    return merits


def _ship_code_by_value() -> None:
    # Workers on other machines have lamina and numpy but not this file. Run as a script, its
    # functions travel by value anyway; imported under its own name (from a notebook, say) they
    # would travel as references to a module the workers cannot import.
    if __name__ != "__main__":
        cloudpickle = importlib.import_module("cloudpickle")  # comes with distributed
        cloudpickle.register_pickle_by_value(sys.modules[__name__])


def run_sweep(
    client: Any, thicknesses: FloatArray, chunk: int = 2000, show_progress: bool = True, timeout: Optional[float] = None
) -> FloatArray:
    """Score every candidate on the cluster behind `client`; merits come back in candidate order.

    With a `timeout` (seconds), a cluster that stops making progress raises TimeoutError
    instead of waiting for ever.
    """
    from distributed import progress, wait

    _ship_code_by_value()
    n, wl = problem()
    # Fresh keys (hash=False): re-scattering equal data under its content hash while the
    # previous sweep's copies are still being released can stall the scatter.
    n_on_workers, wl_on_workers = client.scatter([n, wl], broadcast=True, hash=False, timeout=timeout)
    futures = [
        client.submit(score_chunk, thicknesses[start : start + chunk], n_on_workers, wl_on_workers, pure=False)
        for start in range(0, len(thicknesses), chunk)
    ]
    if show_progress and futures:
        progress(futures)
        print()
    wait(futures, timeout=timeout)
    return np.concatenate(client.gather(futures)) if futures else np.empty(0)


def run_local(thicknesses: FloatArray) -> FloatArray:
    """The same scores from a plain loop in this process."""
    n, wl = problem()
    return score_chunk(thicknesses, n, wl)


def spectra(thicknesses: FloatArray, wl: FloatArray) -> FloatArray:
    """Unpolarised R at normal incidence of each candidate (row) over `wl`: one row per candidate."""
    n = stack_indices(wl, [1.0, *LAYERS, bk7])
    return np.array([lamina.DataPy(np.ascontiguousarray(d), n, wl, 0.0, UNPOLARISED).simulate().r
                     for d in thicknesses])


def plot(plt: Any, thicknesses: FloatArray, merits: FloatArray, top: int) -> Any:
    """How the candidates' merits spread, and the spectra of the best few."""
    fig, (ax_hist, ax_r) = plt.subplots(1, 2, figsize=(11, 4.2), gridspec_kw={"wspace": 0.25})
    percent = 100 * merits
    low = max(float(percent.min()), 1e-3)
    bins = np.geomspace(low, max(float(percent.max()), 1.1 * low), 60)
    ax_hist.hist(percent, bins=bins, color="#1f4e79")
    ax_hist.set_xscale("log")
    ax_hist.set_xlabel(f"mean R {BAND_NM[0]:.0f}–{BAND_NM[1]:.0f} nm (%)")
    ax_hist.set_ylabel("candidates")
    ax_hist.set_title(f"{len(merits):,} random MgF$_2$/TiO$_2$/SiO$_2$/TiO$_2$ stacks")
    ax_hist.grid(alpha=0.3)
    wl = np.linspace(380.0, 780.0, 401, dtype=np.float64)
    best = np.argsort(merits)[:top]
    for rank, r in enumerate(spectra(thicknesses[best], wl)):
        ax_r.plot(wl, 100 * r, lw=1.8 if rank == 0 else 1.0, label=f"#{rank + 1}: {100 * merits[best[rank]]:.3f} %")
    ax_r.axvspan(*BAND_NM, color="#1f4e79", alpha=0.07, lw=0)
    ax_r.set_xlim(wl[0], wl[-1])
    ax_r.set_ylim(0, 3 * 100 * float(merits[best[-1]]))
    ax_r.set_xlabel("wavelength (nm)")
    ax_r.set_ylabel("reflectance on N-BK7 (%)")
    ax_r.set_title("the best candidates, normal incidence")
    ax_r.legend(frameon=False, title="rank: mean R in band", loc="upper center", ncol=2, fontsize="small")
    ax_r.grid(alpha=0.3)
    return fig


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Distributed antireflection design search with lamina and Dask.")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="LocalCluster worker processes")
    parser.add_argument("--candidates", type=int, default=200_000, help="number of candidate stacks")
    parser.add_argument("--chunk", type=int, default=2000, help="candidates per task")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--top", type=int, default=5, help="how many of the best stacks to print")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--out", type=Path, default=Path("."), help="directory for the PNG plot (default: .)")
    parser.add_argument("--no-plot", action="store_true", help="print the table only")
    return parser.parse_args(argv)


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(argv)
    from distributed import Client, LocalCluster

    thicknesses = candidates(args.candidates, args.seed)
    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        # Dask supplies the parallelism, one single-threaded worker process per core; lamina's own
        # wavelength pool inside each worker would only compete for the same cores.
        os.environ.setdefault("RAYON_NUM_THREADS", "1")
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"{args.candidates} candidate stacks, {BAND_POINTS} wavelengths each, "
              f"{math.ceil(args.candidates / args.chunk)} tasks on {workers} workers")
        start = time.perf_counter()
        merits = run_sweep(client, thicknesses, args.chunk, show_progress=not args.no_progress)
        elapsed = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print(f"done in {elapsed:.1f} s ({args.candidates / elapsed:,.0f} stacks/s)")
    plt = load_pyplot(args) if args.candidates else None
    if plt is not None:
        save(plt, plot(plt, thicknesses, merits, max(args.top, 1)), args, "dask_sweep.png")
    names = ["MgF2", "TiO2", "SiO2", "TiO2"]
    print(f"best stacks, mean R {BAND_NM[0]:.0f}-{BAND_NM[1]:.0f} nm at normal incidence (thicknesses in nm, air side first):")
    header = ["rank", "mean R (%)", *names]
    rows = [[str(rank + 1), f"{100 * merits[i]:.4f}", *(f"{t:.1f}" for t in thicknesses[i])]
            for rank, i in enumerate(np.argsort(merits)[: args.top])]
    widths = [max(len(r[c]) for r in [header, *rows]) for c in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(w) for cell, w in zip(row, widths)))


if __name__ == "__main__":
    main()
