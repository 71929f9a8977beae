"""``lamina-design monitor``: the optical monitoring curve of a design and its termination errors."""
from __future__ import annotations

import argparse
import csv
import math
import warnings
from pathlib import Path
from typing import Any, Dict

import numpy as np

from lamina_design.cli import options
from lamina_design.cli.output import fixed, printable, pyplot, warn
from lamina_design.core.limits import MAX_STEPS
from lamina_design.core.progress import ProgressBar
from lamina_design.io.files import DesignFileError, design_toml, load_design, material_warnings
from lamina_design.materials.base import MaterialError, RangeWarning

EXIT_OK = 0


def add(commands: Any) -> None:
    monitor = options.add_command(commands, "monitor", "optical monitoring curve and termination errors",
                          "The monitoring signal (R or T at the monitor wavelength) while the design's "
                          "layers grow, the last [[layer]] first, with its turning points; with "
                          "--errors-nm, each layer cut by --strategy and then off by its error, the "
                          "errors carried into the next cut. Writes DESIGN_monitor.csv, "
                          "DESIGN_monitor.png and, with errors, DESIGN_realised.toml.")
    monitor.add_argument("design", type=Path, help=options.DESIGN_HELP)
    monitor.add_argument("--wavelength", type=options.wavelength, nargs="+", required=True, metavar="NM",
                         help="monitor wavelength in nm, one or one per layer (in [[layer]] order)")
    monitor.add_argument("--quantity", choices=("T", "R"), default="T", help="the monitored signal (default T)")
    monitor.add_argument("--angle-deg", type=options.incidence, metavar="A",
                         help="monitor angle in degrees (default: the design's first)")
    monitor.add_argument("--polarisation", type=options.polarisation, metavar="P",
                         help="s, p, unpolarised or an angle in degrees (default: the design's)")
    monitor.add_argument("--steps", type=options.whole(2, MAX_STEPS), default=100,
                         help=f"points per layer (default 100, at most {MAX_STEPS})")
    monitor.add_argument("--errors-nm", type=options.finite, nargs="+", metavar="E",
                         help="termination error in nm, one or one per layer (in [[layer]] order)")
    monitor.add_argument("--strategy", choices=("level", "thickness"), default="level",
                         help="level: cut where the signal reaches the design's level or turning point; "
                              "thickness: cut at the designed thickness (default level)")
    options.add_progress(monitor)
    options.add_outputs(monitor)
    monitor.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from lamina_design.production.monitoring import monitoring_curve, terminate

    design = load_design(args.design)
    stack = design.stack
    if not stack.layers:
        raise DesignFileError(f"{design.path}: the design has no [[layer]] tables to deposit")
    count = len(stack.layers)
    if len(args.wavelength) not in (1, count):
        raise DesignFileError(f"--wavelength: give one monitor wavelength or one per layer ({count}), "
                              f"got {len(args.wavelength)}")
    if args.errors_nm is not None and len(args.errors_nm) not in (1, count):
        raise DesignFileError(f"--errors-nm: give one error or one per layer ({count}), got {len(args.errors_nm)}")
    warn(material_warnings(design, np.array(args.wavelength, dtype=np.float64), "at the monitor wavelengths"))
    angle = design.angles_deg[0] if args.angle_deg is None else args.angle_deg
    polarisation = design.polarisation if args.polarisation is None else args.polarisation
    options: Dict[str, Any] = dict(angle=math.radians(angle), polarisation=polarisation, quantity=args.quantity, steps=args.steps)
    bar = ProgressBar(len(stack.layers), True if args.progress else None, label="depositing", unit="layers")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                curve = monitoring_curve(stack, args.wavelength, progress=bar, **options)
                run = None if args.errors_nm is None else terminate(
                    stack, args.errors_nm, args.wavelength, strategy=args.strategy, progress=bar, **options)
            except (ValueError, MaterialError) as exc:
                raise DesignFileError(f"{design.path}: cannot monitor: {' '.join(str(exc).split())}") from None
    finally:
        bar.close()
    names = [printable(layer.material.name) for layer in stack.layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{printable(stack.name)}: {args.quantity} at {angle:g}° while {count} layers grow, the last first")
    columns = [("layer", 5), ("material", -width), ("d nm", 9), ("monitor nm", 10), ("end signal", 10), ("turns", 5)]
    if run is not None:
        columns += [("cut nm", 9), ("realised", 9), ("off nm", 9)]
    print("  ".join(name.ljust(-w) if w < 0 else name.rjust(w) for name, w in columns))
    print("  ".join("-" * abs(w) for _, w in columns))
    for i in range(count - 1, -1, -1):
        q = count - 1 - i
        line = (f"{i + 1:>5}  {names[i]:<{width}}  {fixed(stack.layers[i].thickness_nm, 9, 2)}  "
                f"{curve.wavelength_nm[i]:>10g}  {fixed(curve.end_signal[q], 10)}  "
                f"{int(np.count_nonzero(curve.turning_layer == i)):>5}")
        if run is not None:
            line += (f"  {fixed(run.cut_nm[i], 9, 2)}  {fixed(run.realised.layers[i].thickness_nm, 9, 2)}  "
                     f"{fixed(run.thickness_errors_nm[i], 9, 2)}")
        print(line)
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    stem = f"{design.path.stem}_monitor"
    with (out / f"{stem}.csv").open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["deposited_nm", "layer", "signal"] + (["realised_deposited_nm", "realised_signal"]
                                                              if run is not None else []))
        for k in range(curve.signal.size):
            row = [repr(float(curve.deposited_nm[k])), int(curve.layer[k]) + 1, repr(float(curve.signal[k]))]
            if run is not None:
                row += [repr(float(run.curve.deposited_nm[k])), repr(float(run.curve.signal[k]))]
            writer.writerow(row)
    print(f"monitoring curve written to {out / f'{stem}.csv'}")
    if run is not None:
        realised = out / f"{design.path.stem}_realised.toml"
        text = design_toml(design.data, [float(d) for d in run.realised.thicknesses()], design.path.parent, out)
        realised.write_text(text, encoding="utf-8")
        print(f"realised design written to {realised}")
    plt = None if args.no_plot else pyplot()
    if plt is not None:
        fig = plt.figure(figsize=(9, 4.5))
        ax = fig.add_subplot()
        curve.plot(ax, label="design", color="black")
        if run is not None:
            run.curve.plot(ax, label=f"cut by {args.strategy}, with the errors", layers=False, color="tab:red",
                           lw=1.0)
            ax.legend(frameon=False)
        ax.set_title(f"{printable(stack.name)}: monitoring curve, {angle:g}° incidence", fontsize=11)
        fig.tight_layout()
        fig.savefig(out / f"{stem}.png", dpi=120)
        plt.close(fig)
        print(f"plot written to {out / f'{stem}.png'}")
    return EXIT_OK
