"""``lamina-design refine``: least-squares refinement of a design's thicknesses towards targets."""
from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import Any

from lamina_design.cli import options
from lamina_design.cli.output import print_report, check_band, evaluate, fixed, outputs, printable, table, targets_span, warn
from lamina_design.io.files import DesignFileError, design_toml, load_design, load_targets, material_warnings
from lamina_design.materials.base import MaterialError, RangeWarning

EXIT_OK = 0
#: ``refine`` stopped at its evaluation budget before converging.
EXIT_NOT_CONVERGED = 3


def add(commands: Any) -> None:
    refine = options.add_command(commands, "refine", "refine a design's thicknesses towards targets",
                         "Least-squares refinement of the layer thicknesses towards the targets; "
                         "writes DESIGN_refined.toml (a design file that reads back), "
                         "DESIGN_refined.csv and DESIGN_refined.png to --out. Needs SciPy.")
    refine.add_argument("design", type=Path, help=options.DESIGN_HELP)
    refine.add_argument("targets", type=Path,
                        help=f"a targets file (TOML): [[target]] tables (quantity R, T, A, psi, delta, phase_r/t, GD_r/t, "
                             f"GDD_r/t or colour, wavelength_nm, value or min/max, "
                             f"tolerance, weight, angle_deg, polarisation) and an optional [refine] table (vary, "
                             f"max_evaluations); see {options.DOCS}")
    refine.add_argument("--min-thickness", type=options.non_negative, default=1.0, metavar="NM",
                        help="varied layers that end thinner than this are named in the result (default 1 nm)")
    options.add_progress(refine)
    options.add_time_budget(refine)
    options.add_outputs(refine)
    options.add_spectrum_plot(refine)
    refine.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from lamina_design.optimize.refine import refine

    design = load_design(args.design)
    check_band(args, design)
    layers = design.stack.all_layers()
    request = load_targets(args.targets, len(layers))
    warn(material_warnings(design))
    for i, target in enumerate(request.targets):
        place = request.places[i] if i < len(request.places) else str(args.targets)
        warn(material_warnings(design, target.wavelength_nm, f"on the wavelengths of target[{i + 1}] at {place}"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            result = refine(design.stack, list(request.targets), request.vary, max_nfev=request.max_evaluations,
                            progress=True if args.progress else None, time_budget=args.time_budget,
                            min_thickness_nm=args.min_thickness)
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{args.targets}: cannot refine: {' '.join(str(exc).split())}") from None
    print(result.summary())
    names = [printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'start nm':>9}  {'refined nm':>10}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 9}  {'-' * 10}")
    before = design.stack.thicknesses()
    for i, (name, d) in enumerate(zip(names, result.stack.thicknesses())):
        print(f"{i + 1:>5}  {name:<{width}}  {fixed(before[i], 9, 2)}  {fixed(d, 10, 2)}")
    results = evaluate(design, result.stack)
    table(design, results, targets_span(request.targets))
    print_report(result)
    stem = f"{design.path.stem}_refined"
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    toml_path = out / f"{stem}.toml"
    text = design_toml(design.data, [float(d) for d in result.stack.thicknesses()], design.path.parent, out)
    toml_path.write_text(text, encoding="utf-8")
    print(f"refined design written to {toml_path}")
    outputs(args, design, results, stem, targets=request.targets)
    if not result.success:
        print(f"lamina-design: not converged: refine stopped after {result.nfev} evaluations ({result.message}); "
              f"the design written is the best found so far. Raise max_evaluations in the [refine] table of "
              f"{args.targets} (now {request.max_evaluations}) or start closer to the targets.", file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return EXIT_OK
