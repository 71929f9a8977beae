"""``lamina-design tolerance``: the yield of a design under deposition errors, by Monte Carlo."""
from __future__ import annotations

import argparse
import csv
import importlib
import math
import warnings
from pathlib import Path
from typing import Any, Dict, Optional, Sequence, Tuple

from lamina_design.cli import options
from lamina_design.cli.output import print_report, fixed, printable, pyplot, warn
from lamina_design.core.limits import MAX_CHUNKS, MAX_SAMPLES, WORKERS_PER_PROCESSOR
from lamina_design.core.progress import ProgressBar
from lamina_design.io.files import DesignFileError, load_design, load_targets, material_warnings
from lamina_design.materials.base import MaterialError, RangeWarning
from lamina_design.optics.stack import Stack

EXIT_OK = 0


def add(commands: Any) -> None:
    tol = options.add_command(commands, "tolerance", "yield under deposition errors: Monte Carlo against targets",
                      "Monte Carlo over Gaussian thickness, index and angle errors: the yield (the "
                      "share of samples with every target point within its tolerance, or its min/max band, or with a "
                      "merit up to --max-merit) with 95 % intervals, the layers that matter most, "
                      "DESIGN_tolerance.csv (every sample's merit) and DESIGN_tolerance.png "
                      "(histogram and envelopes). The same seed gives the same numbers on any "
                      "number of workers. Needs SciPy.")
    tol.add_argument("design", type=Path, help=options.DESIGN_HELP)
    tol.add_argument("targets", type=Path, help=options.TARGETS_HELP)
    sigma = ("σ: a number for every layer, or MATERIAL=σ for the layers of one material (repeat; a number "
             "given too covers the rest)")
    tol.add_argument("--thickness-rel", nargs="+", metavar="S", help=f"relative thickness error, {sigma}")
    tol.add_argument("--thickness-nm", nargs="+", metavar="S", help=f"absolute thickness error in nm, {sigma}")
    tol.add_argument("--index-rel", nargs="+", metavar="S",
                     help=f"relative error of each layer material's n + ik, one draw per material, {sigma}")
    tol.add_argument("--angle-deg", type=options.finite, default=0.0, metavar="S", help="σ of the angle of incidence, degrees")
    tol.add_argument("--samples", type=options.whole(1, MAX_SAMPLES), default=1000,
                     help=f"Monte Carlo samples (default 1000, at most {MAX_SAMPLES})")
    tol.add_argument("--seed", type=options.whole(0), default=0, help="the run's seed, a whole number ≥ 0 (default 0)")
    tol.add_argument("--max-merit", type=options.positive, metavar="M",
                     help="a sample passes when its merit (rms of residual/tolerance) is at most M, instead of "
                          "every point lying within its tolerance or band")
    tol.add_argument("--workers", type=options.worker_count, default=None, metavar="K",
                     help=f"worker processes (default: one per processor, at most {WORKERS_PER_PROCESSOR} per "
                          f"processor; 1 computes in this process)")
    tol.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler to compute on instead")
    tol.add_argument("--chunk", type=options.whole(1, MAX_SAMPLES), default=500, help="samples per task (default 500)")
    options.add_progress(tol)
    options.add_time_budget(tol)
    options.add_outputs(tol)
    tol.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from lamina_design.production.tolerance import Errors, tolerance

    chunks = -(-args.samples // args.chunk)
    if chunks > MAX_CHUNKS:
        raise DesignFileError(f"--chunk {args.chunk}: cuts {args.samples} samples into {chunks} tasks, at most "
                              f"{MAX_CHUNKS} allowed: give --chunk {-(-args.samples // MAX_CHUNKS)} or more")
    design = load_design(args.design)
    stack = design.stack
    request = load_targets(args.targets, len(stack.all_layers()))
    warn(material_warnings(design))
    if args.angle_deg < 0:
        raise DesignFileError(f"--angle-deg: σ must be ≥ 0, got {args.angle_deg:g}")
    index_rel = sigma_option(args.index_rel, stack, "--index-rel")
    if isinstance(index_rel, list):
        index_rel = {layer.material.name: v for layer, v in zip(stack.all_layers(), index_rel)}
    errors = Errors(thickness_nm=sigma_option(args.thickness_nm, stack, "--thickness-nm"),
                    thickness_rel=sigma_option(args.thickness_rel, stack, "--thickness-rel"), index_rel=index_rel,
                    angle_rad=math.radians(args.angle_deg))
    if not (args.thickness_rel or args.thickness_nm or args.index_rel or args.angle_deg):
        raise DesignFileError("give at least one error: --thickness-rel, --thickness-nm, --index-rel or --angle-deg")
    executor, client = executor_option(args)
    bar = ProgressBar(args.samples, True if args.progress else None, label="sampling", unit="samples")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                result = tolerance(stack, list(request.targets), errors, args.samples, seed=args.seed,
                                   max_merit=args.max_merit, executor=executor, chunk_size=args.chunk, progress=bar,
                                   time_budget=args.time_budget)
            except (ValueError, MaterialError) as exc:
                raise DesignFileError(f"{args.targets}: cannot sample: {' '.join(str(exc).split())}") from None
    finally:
        bar.close()
        if client is not None:
            client.close()
    print(result.summary())
    for method in ("wilson", "clopper-pearson"):
        low, high = result.interval(0.95, method)
        print(f"  95 % interval ({method}): {100 * low:.3f}-{100 * high:.3f} %")
    print_report(result)
    layers = stack.all_layers()
    names = [printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'d nm':>9}  {'sigma nm':>9}  {'rms shift':>9}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 9}  {'-' * 9}  {'-' * 9}")
    for j in result.ranked_layers():
        print(f"{j + 1:>5}  {names[j]:<{width}}  {fixed(layers[j].thickness_nm, 9, 2)}  "
              f"{fixed(result.thickness_sigma[j], 9, 3)}  {fixed(result.sensitivity[j], 9, 4)}")
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    stem = f"{design.path.stem}_tolerance"
    with (out / f"{stem}.csv").open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["sample", "merit", "worst", "passed"])
        for i in range(result.samples):
            writer.writerow([i, repr(float(result.merit[i])), repr(float(result.worst[i])), int(result.passed[i])])
    print(f"samples written to {out / f'{stem}.csv'}")
    if not args.no_plot and tolerance_plot(out / f"{stem}.png", result, printable(stack.name)):
        print(f"plot written to {out / f'{stem}.png'}")
    return EXIT_OK


def sigma_option(values: Optional[Sequence[str]], stack: Stack, option: str) -> Any:
    """An option's σ: one number for every layer, NAME=σ for the layers of a material, or both
    (the number then covers the materials not named); a list per layer when names are given."""
    if not values:
        return 0.0
    default = 0.0
    named: Dict[str, float] = {}
    for text in values:
        name, _, number = text.rpartition("=")
        try:
            value = float(number)
        except ValueError:
            raise DesignFileError(f"{option}: {text!r} is neither a number nor MATERIAL=NUMBER") from None
        if not (math.isfinite(value) and value >= 0):
            raise DesignFileError(f"{option}: σ must be finite and ≥ 0, got {text!r}")
        if name:
            named[name] = value
        else:
            default = value
    if not named:
        return default
    materials = {layer.material.name for layer in stack.all_layers()}
    unknown = sorted(set(named) - materials)
    if unknown:
        raise DesignFileError(f"{option}: no layer is made of {', '.join(map(repr, unknown))}; the design's "
                              f"materials are {', '.join(map(repr, sorted(materials)))}")
    return [named.get(layer.material.name, default) for layer in stack.all_layers()]


def executor_option(args: argparse.Namespace) -> Tuple[Any, Any]:
    """(executor, client to close): a Dask cluster's, a process pool's worker count, or serial."""
    if args.scheduler:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            raise ImportError("--scheduler needs Dask's distributed scheduler: pip install 'lamina[dask]'") from None
        client = distributed.Client(args.scheduler)
        return client.get_executor(), client
    workers = args.workers
    return ("serial" if workers == 1 else workers), None


def tolerance_plot(path: Path, result: Any, title: str) -> bool:
    """The merit histogram, then one envelope panel per target in the file's order (R, T, A in
    %), two panels a row."""
    plt = pyplot()
    if plt is None:
        return False
    count = len(result.targets)
    columns = 2 if count else 1
    rows = -(-(1 + count) // columns)
    fig, axes = plt.subplots(rows, columns, figsize=(6.4 * columns, 4.2 * rows), squeeze=False)
    panels = list(axes.ravel())
    result.plot_histogram(panels[0])
    for k in range(count):
        result.plot_envelope(panels[1 + k], target=k)
        panels[1 + k].set_title(f"target {k + 1}: {panels[1 + k].get_title()}", fontsize=10)
    for ax in panels[1 + count:]:
        ax.set_visible(False)
    fig.suptitle(f"{title}: envelopes of {result.samples} samples" if title else
                 f"envelopes of {result.samples} samples")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True
