"""``lamina-design spectrum``: R, T, A of a design, its phases and its field at one wavelength."""
from __future__ import annotations

import argparse
import warnings
from pathlib import Path
from typing import Any

import numpy as np

from lamina_design.cli import options
from lamina_design.cli.output import check_band, evaluate, outputs, phase_spectra, table, warn, write_field
from lamina_design.io.files import DesignFileError, load_design, material_warnings
from lamina_design.materials.base import MaterialError, RangeWarning

EXIT_OK = 0


def add(commands: Any) -> None:
    spectrum = options.add_command(commands, "spectrum", "R, T, A of a design: a table, a CSV and a PNG",
                           "Compute R, T and A over the design's [spectrum] sweep; print a summary "
                           "and write DESIGN.csv (full precision) and DESIGN.png to --out.")
    spectrum.add_argument("design", type=Path, help=options.DESIGN_HELP)
    spectrum.add_argument("--phase", action="store_true",
                          help="add to the CSV, per angle, the phases of r and t (degrees), their group delay "
                               "(fs) and GDD (fs²) for s and p, and Ψ, Δ (degrees)")
    spectrum.add_argument("--field", type=options.wavelength, metavar="WAVELENGTH",
                          help="also write |E|² and the absorbed power against depth at WAVELENGTH nm, for each "
                               "angle: DESIGN_field.csv and DESIGN_field.png (layer boundaries marked, incoherent "
                               "layers shaded)")
    spectrum.add_argument("--depth", type=float, nargs=2, metavar=("MIN", "MAX"),
                          help="depths shown by --field, nm from the front of the first layer (default: the first "
                               "coating the light meets, with a margin)")
    from lamina_design.plotting.views import VIEW_HELP, view_option

    spectrum.add_argument("--view", type=view_option, action="append", metavar="VIEW[@NM]", help=VIEW_HELP)
    options.add_outputs(spectrum)
    options.add_spectrum_plot(spectrum)
    spectrum.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    design = load_design(args.design)
    check_band(args, design)
    warn(material_warnings(design))
    results = evaluate(design)
    phases = None
    if args.phase:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                phases = phase_spectra(design)
            except (ValueError, MaterialError) as exc:
                raise DesignFileError(f"{design.path}: cannot compute the phases: {' '.join(str(exc).split())}") from None
    if args.field is not None:
        warn(material_warnings(design, np.array([args.field]), f"--field {args.field:g}"))
    table(design, results)
    outputs(args, design, results, design.path.stem, phases)
    if args.field is not None:
        for path in write_field(args.out, design.path.stem, design, args.field, not args.no_plot, args.depth):
            print(f"field at {args.field:g} nm written to {path}")
    if args.view:
        from lamina_design.plotting.views import write_views

        for path in write_views(args.out, design.path.stem, design, args.view):
            print(f"view written to {path}")
    return EXIT_OK

