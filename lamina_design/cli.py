"""The ``lamina-design`` command: spectra and refinement of designs written in TOML.

    lamina-design spectrum design.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--phase]
                                       [--field WAVELENGTH [--depth MIN MAX]]
    lamina-design refine design.toml targets.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--progress]

The file format is described in ``docs/design-files.md`` (and briefly in
:mod:`lamina_design.files`). Exit statuses: 0 done; 1 a missing dependency or an output that
cannot be written; 2 a usage error or a design, targets or material file that cannot be used
(one located message, never a traceback); 3 ``refine`` stopped at its evaluation budget before
converging (its best design is still written).
"""
from __future__ import annotations

import argparse
import csv
import math
import sys
import textwrap
import warnings
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import numpy as np

from lamina_design.files import (
    DEFAULT_WAVELENGTHS,
    Design,
    DesignFileError,
    RefineRequest,
    design_toml,
    load_design,
    load_targets,
    material_warnings,
)
from lamina_design.fields import Field, plot_field
from lamina_design.materials.base import FloatArray, MaterialError, RangeWarning
from lamina_design.optics import PhaseSpectrum, phase_spectrum
from lamina_design.stack import Spectrum, Stack

__all__ = [
    "EXIT_FAILURE",
    "EXIT_NOT_CONVERGED",
    "EXIT_OK",
    "EXIT_USAGE",
    "Design",
    "DesignFileError",
    "RefineRequest",
    "design_toml",
    "load_design",
    "load_targets",
    "main",
    "field_depths",
    "phase_spectra",
    "spectra",
    "write_csv",
    "write_field",
    "write_plot",
]

EXIT_OK = 0
#: A missing dependency, or an output that cannot be written.
EXIT_FAILURE = 1
#: A usage error, or a design, targets or material file that cannot be used.
EXIT_USAGE = 2
#: ``refine`` stopped at its evaluation budget before converging.
EXIT_NOT_CONVERGED = 3

#: |A| below this is rounding in a lossless design, not absorption.
A_ROUNDING = 1e-12

DOCS = "docs/design-files.md"


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - Python < 3.8
        return "unknown"
    try:
        return version("lamina")
    except PackageNotFoundError:
        import lamina_design

        return str(getattr(lamina_design, "__version__", "unknown (not installed)"))


def _printable(text: str) -> str:
    """`text` with control characters escaped, for one-line terminal output."""
    return "".join(ch if ch.isprintable() else ch.encode("unicode_escape").decode("ascii") for ch in text)


# -- output -------------------------------------------------------------------------------------
def spectra(design: Design, stack: Optional[Stack] = None) -> List[Spectrum]:
    """One spectrum per angle of the design's sweep."""
    use = design.stack if stack is None else stack
    return [use.spectrum(design.wavelength_nm, math.radians(a), design.polarisation)  # type: ignore[arg-type]
            for a in design.angles_deg]


#: The columns --phase adds per angle: (name, unit) of arg r, arg t, GD, GDD for s and p, then Ψ, Δ.
PHASE_COLUMNS = tuple(
    [(f"{q}_{pol}", unit) for q, unit in (("phase_r", "deg"), ("phase_t", "deg"), ("GD_r", "fs"), ("GD_t", "fs"),
                                          ("GDD_r", "fs2"), ("GDD_t", "fs2")) for pol in "sp"]
    + [("psi", "deg"), ("delta", "deg")])


def phase_spectra(design: Design, stack: Optional[Stack] = None) -> List[PhaseSpectrum]:
    """Amplitudes, phases, GD, GDD and Ψ/Δ per angle of the design's sweep."""
    use = design.stack if stack is None else stack
    return [phase_spectrum(use, design.wavelength_nm, math.radians(a)) for a in design.angles_deg]


def _phase_columns(phase: PhaseSpectrum) -> List[FloatArray]:
    columns: List[FloatArray] = []
    for values in (np.degrees(phase.phase_r), np.degrees(phase.phase_t), phase.gd_r, phase.gd_t, phase.gdd_r,
                   phase.gdd_t):
        columns += [values[0], values[1]]
    return columns + [phase.psi_deg, phase.delta_deg]


def write_csv(path: Path, design: Design, results: Sequence[Spectrum],
              phases: Optional[Sequence[PhaseSpectrum]] = None) -> None:
    """R, T, A per angle; with ``phases`` also the PHASE_COLUMNS per angle."""
    header = ["wavelength_nm"]
    for angle in design.angles_deg:
        suffix = "" if len(design.angles_deg) == 1 else f"@{angle:g}deg"
        header += [f"R{suffix}", f"T{suffix}", f"A{suffix}"]
        if phases is not None:
            header += [f"{name}_{unit}{suffix}" for name, unit in PHASE_COLUMNS]
    extra = [_phase_columns(p) for p in phases] if phases is not None else [[] for _ in results]
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(header)
        for i, wl in enumerate(design.wavelength_nm):
            row = [repr(float(wl))]
            for spectrum, columns in zip(results, extra):
                row += [repr(float(spectrum.r[i])), repr(float(spectrum.t[i])), repr(float(spectrum.a[i]))]
                row += [repr(float(c[i])) for c in columns]
            writer.writerow(row)


def _polarisation_label(polarisation: object) -> str:
    if isinstance(polarisation, str):
        return {"s": "s-polarised", "p": "p-polarised"}.get(polarisation.lower(), "unpolarised")
    return f"polarisation angle {math.degrees(float(polarisation)):g}°"  # type: ignore[arg-type]


def write_plot(path: Path, design: Design, results: Sequence[Spectrum], title: str, log: bool = False,
               band: Optional[Tuple[float, float]] = None) -> bool:
    """A PNG of R and T in %, and A where it is more than rounding; False when matplotlib is missing.

    `log` draws the percentages on a logarithmic axis; `band` (nm) limits the wavelengths shown.
    """
    try:
        import matplotlib
    except ImportError:
        print("note: matplotlib is not installed, skipping the plot (pip install 'lamina[design]')")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import LogFormatter

    class PlainLog(LogFormatter):
        """Plain percentages (0.05, 0.5, 99) read better than powers of ten."""

        def _num_to_string(self, x: float, vmin: float, vmax: float) -> str:
            return f"{x:g}"

    wl = design.wavelength_nm
    shown = np.ones(wl.shape, dtype=bool) if band is None else (wl >= band[0]) & (wl <= band[1])
    absorbs = any(bool(np.any(np.abs(s.a[shown]) > A_ROUNDING)) for s in results)
    names = ("R", "T", "A") if absorbs else ("R", "T")
    fig, axes = plt.subplots(len(names), 1, figsize=(8, 2.4 * len(names) + 0.8), sharex=True, squeeze=False)
    column = axes[:, 0]
    for angle, spectrum in zip(design.angles_deg, results):
        curves = {"R": spectrum.r, "T": spectrum.t, "A": np.where(np.abs(spectrum.a) > A_ROUNDING, spectrum.a, 0.0)}
        for ax, name in zip(column, names):
            percent = 100.0 * np.asarray(curves[name], dtype=np.float64)[shown]
            if log:
                percent = np.where(percent > 0, percent, np.nan)  # a log axis has no zero
            ax.plot(wl[shown], percent, lw=1.3, label=f"{angle:g}°")
    for ax, name in zip(column, names):
        ax.set_ylabel(f"{name} (%)")
        if log:
            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(PlainLog())
            ax.yaxis.set_minor_formatter(PlainLog(labelOnlyBase=False, minor_thresholds=(2, 0.5)))
        ax.grid(alpha=0.3, which="both" if log else "major")
    if band is not None:
        column[0].set_xlim(max(band[0], float(wl[shown].min())), min(band[1], float(wl[shown].max())))
    subtitle = _polarisation_label(design.polarisation)
    if len(design.angles_deg) == 1:
        subtitle = f"{design.angles_deg[0]:g}° incidence, {subtitle}"
    if not absorbs:
        subtitle += "; A = 0 (no absorption beyond rounding)"
    column[0].set_title(f"{title}\n{subtitle}", fontsize=11)
    if len(design.angles_deg) > 1:
        column[0].legend(title="incidence", frameon=False, fontsize=9)
    column[-1].set_xlabel("wavelength (nm)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def _fixed(value: float, width: int, digits: int = 5) -> str:
    """`value` right-aligned with `digits` decimals, never as -0.000…."""
    text = f"{value:.{digits}f}"
    if float(text) == 0.0:
        text = f"{0.0:.{digits}f}"
    return text.rjust(width)


def _table(design: Design, results: Sequence[Spectrum]) -> None:
    count = len(design.stack.all_layers())
    wl = design.wavelength_nm
    points = "wavelength" if wl.size == 1 else "wavelengths"
    print(f"{_printable(design.stack.name)}: {count} {'layer' if count == 1 else 'layers'}, {wl.size} {points} "
          f"{wl.min():g}-{wl.max():g} nm")
    print(f"{'angle':>7}  {'mean R':>9}  {'min R':>9}  {'mean T':>9}  {'mean A':>9}")
    print(f"{'-' * 7}  {'-' * 9}  {'-' * 9}  {'-' * 9}  {'-' * 9}")
    for angle, s in zip(design.angles_deg, results):
        print(f"{angle:>6g}°  {_fixed(s.r.mean(), 9)}  {_fixed(s.r.min(), 9)}  {_fixed(s.t.mean(), 9)}  "
              f"{_fixed(s.a.mean(), 9)}")


def _outputs(args: argparse.Namespace, design: Design, results: Sequence[Spectrum], stem: str,
             phases: Optional[Sequence[PhaseSpectrum]] = None) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    csv_path = out / f"{stem}.csv"
    write_csv(csv_path, design, results, phases)
    print(f"spectra written to {csv_path}")
    png = out / f"{stem}.png"
    if not args.no_plot and write_plot(png, design, results, _printable(design.stack.name), args.log, args.band):
        print(f"plot written to {png}")


#: Depth points of a field written by ``--field``.
FIELD_POINTS = 2001


def field_depths(stack: Stack, window: Optional[Tuple[float, float]] = None) -> FloatArray:
    """Depths (nm) from `window`, or by default the first coating the light meets (the first run
    of coherent layers), with a margin on either side.

    Incoherent layers (a substrate) bound the default window: their inside is a smooth decay, and
    a millimetre of it would hide the coating's fringes.
    """
    if window is not None:
        lo, hi = window
    else:
        bounds = stack.boundaries()
        layers = stack.inner_layers()
        first = next((i for i, layer in enumerate(layers) if layer.coherent), None)
        if first is None:
            lo = hi = float(bounds[0])
        else:
            last = next((i for i in range(first, len(layers)) if not layers[i].coherent), len(layers))
            lo, hi = float(bounds[first]), float(bounds[last])
        margin = max(0.2 * (hi - lo), 100.0)
        lo, hi = lo - margin, hi + margin
    depths: FloatArray = np.linspace(lo, hi, FIELD_POINTS)
    return depths


def write_field(out: Path, stem: str, design: Design, wavelength_nm: float, plot: bool,
                window: Optional[Tuple[float, float]] = None) -> List[Path]:
    """|E|² and the absorbed power per nm at one wavelength, at every angle of the design, on the
    depths of :func:`field_depths`: a CSV (and a PNG unless `plot` is False or matplotlib is
    missing). Returns the files written."""
    depths = field_depths(design.stack, window)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            fields: List[Field] = [
                design.stack.field(depths, [wavelength_nm], math.radians(a), design.polarisation)  # type: ignore[arg-type]
                for a in design.angles_deg]
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{design.path}: cannot compute the field at {wavelength_nm:g} nm: "
                                  f"{' '.join(str(exc).split())}") from None
    written = []
    csv_path = out / f"{stem}_field.csv"
    header = ["depth_nm"]
    for angle in design.angles_deg:
        suffix = "" if len(design.angles_deg) == 1 else f"@{angle:g}deg"
        header += [f"E2{suffix}", f"absorption_per_nm{suffix}"]
    with csv_path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(header)
        for i, z in enumerate(depths):
            row = [repr(float(z))]
            for f in fields:
                row += [repr(float(f.e2[0, i])), repr(float(f.absorption[0, i]))]
            writer.writerow(row)
    written.append(csv_path)
    if not plot:
        return written
    try:
        import matplotlib
    except ImportError:
        print("note: matplotlib is not installed, skipping the field plot (pip install 'lamina[design]')")
        return written
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 3.8))
    plot_field(fields[0], ax)
    for k, (angle, f) in enumerate(zip(design.angles_deg[1:], fields[1:]), start=1):
        ax.plot(depths, f.e2[0], lw=1.2, color=f"C{k}", label=f"{angle:g}°")
    if len(fields) > 1:
        ax.lines[0].set_label(f"{design.angles_deg[0]:g}°")
        ax.legend(title="incidence", frameon=False, fontsize=8)
        ax.set_title(f"λ = {wavelength_nm:g} nm, {_polarisation_label(design.polarisation)}", fontsize=9, pad=14)
    ax.grid(alpha=0.3)
    fig.suptitle(_printable(design.stack.name), fontsize=11)
    fig.tight_layout()
    png = out / f"{stem}_field.png"
    fig.savefig(png, dpi=120)
    plt.close(fig)
    written.append(png)
    return written


def _warn(messages: Sequence[str]) -> None:
    for message in messages:
        print(f"lamina-design: warning: {message}", file=sys.stderr)


def _check_band(args: argparse.Namespace, design: Design) -> None:
    if args.band is None:
        return
    lo, hi = args.band
    wl = design.wavelength_nm
    if not np.any((wl >= lo) & (wl <= hi)):
        raise DesignFileError(f"{design.path}: --band {lo:g} {hi:g} nm holds none of the design's wavelengths "
                              f"({wl.min():g}-{wl.max():g} nm)")


def _evaluate(design: Design, stack: Optional[Stack] = None) -> List[Spectrum]:
    """The design's spectra; material warnings have been reported, located, beforehand."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            results = spectra(design, stack)
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{design.path}: cannot compute the spectrum: {' '.join(str(exc).split())}") from None
    for angle, s in zip(design.angles_deg, results):
        bad = ~(np.isfinite(s.r) & np.isfinite(s.t))
        if np.any(bad):
            first = float(design.wavelength_nm[np.argmax(bad)])
            raise DesignFileError(f"{design.path}: the spectrum is not finite at {int(bad.sum())} wavelengths "
                                  f"(the first {first:g} nm, at {angle:g}°): indices or thicknesses out of reach")
    return results


def _spectrum_command(args: argparse.Namespace) -> int:
    design = load_design(args.design)
    _check_band(args, design)
    _warn(material_warnings(design))
    results = _evaluate(design)
    phases = None
    if args.phase:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                phases = phase_spectra(design)
            except (ValueError, MaterialError) as exc:
                raise DesignFileError(f"{design.path}: cannot compute the phases: {' '.join(str(exc).split())}") from None
    if args.field is not None:
        _warn(material_warnings(design, np.array([args.field]), f"--field {args.field:g}"))
    _table(design, results)
    _outputs(args, design, results, design.path.stem, phases)
    if args.field is not None:
        for path in write_field(args.out, design.path.stem, design, args.field, not args.no_plot, args.depth):
            print(f"field at {args.field:g} nm written to {path}")
    return EXIT_OK


def _refine_command(args: argparse.Namespace) -> int:
    from lamina_design.refine import refine

    design = load_design(args.design)
    _check_band(args, design)
    layers = design.stack.all_layers()
    request = load_targets(args.targets, len(layers))
    _warn(material_warnings(design))
    for i, target in enumerate(request.targets):
        place = request.places[i] if i < len(request.places) else str(args.targets)
        _warn(material_warnings(design, target.wavelength_nm, f"on the wavelengths of target[{i + 1}] at {place}"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            result = refine(design.stack, list(request.targets), request.vary, max_nfev=request.max_evaluations,
                            progress=True if args.progress else None)
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{args.targets}: cannot refine: {' '.join(str(exc).split())}") from None
    print(result.summary())
    names = [_printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'start nm':>9}  {'refined nm':>10}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 9}  {'-' * 10}")
    before = design.stack.thicknesses()
    for i, (name, d) in enumerate(zip(names, result.stack.thicknesses())):
        print(f"{i + 1:>5}  {name:<{width}}  {_fixed(before[i], 9, 2)}  {_fixed(d, 10, 2)}")
    results = _evaluate(design, result.stack)
    _table(design, results)
    stem = f"{design.path.stem}_refined"
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    toml_path = out / f"{stem}.toml"
    text = design_toml(design.data, [float(d) for d in result.stack.thicknesses()], design.path.parent, out)
    toml_path.write_text(text, encoding="utf-8")
    print(f"refined design written to {toml_path}")
    _outputs(args, design, results, stem)
    if not result.success:
        print(f"lamina-design: not converged: refine stopped after {result.nfev} evaluations ({result.message}); "
              f"the design written is the best found so far. Raise max_evaluations in the [refine] table of "
              f"{args.targets} (now {request.max_evaluations}) or start closer to the targets.", file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return EXIT_OK


def _band(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"a wavelength must be finite and > 0 nm, got {text!r}")
    return value


_EPILOG = f"""\
The design and targets files are TOML; every table and key, with types, units, defaults and
examples, is described in {DOCS} (in the source distribution and the repository).

exit status:
  0  done
  1  a missing dependency (SciPy, tomli) or an output that cannot be written
  2  a usage error, or a design, targets or material file that cannot be used
     (one message naming the file, the line and the key)
  3  refine stopped at its evaluation budget before converging; the best design found
     is still written. Raise max_evaluations in the targets file's [refine] table.
"""


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Help whose lines never break inside a path such as docs/design-files.md."""

    def _split_lines(self, text: str, width: int) -> List[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


def _parser() -> argparse.ArgumentParser:
    formatter = _Formatter
    parser = argparse.ArgumentParser(
        prog="lamina-design", formatter_class=formatter, epilog=_EPILOG,
        description="Spectra and thickness refinement of thin-film designs written in TOML files.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    design_help = (f"a design file (TOML): media, [[layer]] tables from the incidence side, an optional "
                   f"[substrate] and [spectrum] (default {DEFAULT_WAVELENGTHS['start']:g}-"
                   f"{DEFAULT_WAVELENGTHS['stop']:g} nm, 0°, unpolarised); see {DOCS}")
    spectrum = commands.add_parser(
        "spectrum", help="R, T, A of a design: a table, a CSV and a PNG", formatter_class=formatter,
        description=textwrap.fill("Compute R, T and A over the design's [spectrum] sweep; print a summary "
                                  "and write DESIGN.csv (full precision) and DESIGN.png to --out.", 79),
        epilog=_EPILOG)
    spectrum.add_argument("design", type=Path, help=design_help)
    spectrum.add_argument("--phase", action="store_true",
                          help="add to the CSV, per angle, the phases of r and t (degrees), their group delay "
                               "(fs) and GDD (fs²) for s and p, and Ψ, Δ (degrees)")
    spectrum.add_argument("--field", type=_band, metavar="WAVELENGTH",
                          help="also write |E|² and the absorbed power against depth at WAVELENGTH nm, for each "
                               "angle: DESIGN_field.csv and DESIGN_field.png (layer boundaries marked, incoherent "
                               "layers shaded)")
    spectrum.add_argument("--depth", type=float, nargs=2, metavar=("MIN", "MAX"),
                          help="depths shown by --field, nm from the front of the first layer (default: the first "
                               "coating the light meets, with a margin)")
    refine = commands.add_parser(
        "refine", help="refine a design's thicknesses towards targets", formatter_class=formatter,
        description=textwrap.fill("Least-squares refinement of the layer thicknesses towards the targets; "
                                  "writes DESIGN_refined.toml (a design file that reads back), "
                                  "DESIGN_refined.csv and DESIGN_refined.png to --out. Needs SciPy.", 79),
        epilog=_EPILOG)
    refine.add_argument("design", type=Path, help=design_help)
    refine.add_argument("targets", type=Path,
                        help=f"a targets file (TOML): [[target]] tables (quantity R, T, A, psi, delta, phase_r/t, GD_r/t, "
                             f"GDD_r/t or colour, wavelength_nm, value, "
                             f"tolerance, angle_deg, polarisation) and an optional [refine] table (vary, "
                             f"max_evaluations); see {DOCS}")
    refine.add_argument("--progress", action="store_true", help="always show the progress bar")
    for command in (spectrum, refine):
        command.add_argument("--out", type=Path, default=Path("."), metavar="DIR", help="directory for the outputs (default: .)")
        command.add_argument("--no-plot", action="store_true", help="write the CSV only")
        command.add_argument("--log", action="store_true", help="plot R, T and A (in %%) on a logarithmic axis")
        command.add_argument("--band", type=_band, nargs=2, metavar=("MIN", "MAX"),
                             help="plot only wavelengths from MIN to MAX nm (the CSV keeps the whole grid)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.band is not None and not args.band[0] < args.band[1]:
        parser.error(f"--band MIN MAX needs MIN < MAX, got {args.band[0]:g} {args.band[1]:g}")
    depth = getattr(args, "depth", None)
    if depth is not None:
        if getattr(args, "field", None) is None:
            parser.error("--depth sets the window of --field: give --field WAVELENGTH too")
        if not (all(math.isfinite(v) for v in depth) and depth[0] < depth[1]):
            parser.error(f"--depth MIN MAX needs finite MIN < MAX, got {depth[0]:g} {depth[1]:g}")
    try:
        if args.command == "spectrum":
            return _spectrum_command(args)
        return _refine_command(args)
    except (DesignFileError, MaterialError) as exc:
        print(f"lamina-design: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as exc:
        print(f"lamina-design: {exc}", file=sys.stderr)
        return EXIT_FAILURE
    except OSError as exc:
        print(f"lamina-design: error: cannot write {exc.filename or 'the outputs'}: {exc.strerror or exc}",
              file=sys.stderr)
        return EXIT_FAILURE


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
