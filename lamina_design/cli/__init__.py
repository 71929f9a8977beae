"""The ``lamina-design`` command: spectra and refinement of designs written in TOML.

    lamina-design spectrum design.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--phase]
                                       [--field WAVELENGTH [--depth MIN MAX]]
    lamina-design refine design.toml targets.toml [--out DIR] [--no-plot] [--log] [--band MIN MAX] [--progress]
    lamina-design synthesize design.toml targets.toml [--material NAME ...] [--method needle|gradual]
                  [--max-layers N] [--max-total NM] [--workers N|serial] [--out DIR] [--no-plot] [--progress]
    lamina-design tolerance design.toml targets.toml [--samples N] [--thickness-rel S ...] [--workers K] ...
    lamina-design monitor design.toml --wavelength NM [--quantity T|R] [--errors-nm E ...] ...
    lamina-design serve [design.toml] [--targets targets.toml] [--port N]

The file format is described in ``docs/design-files.md`` (and briefly in
:mod:`lamina_design.io.files`). Exit statuses: 0 done; 1 a missing dependency or an output that
cannot be written; 2 a usage error or a design, targets or material file that cannot be used
(one located message, never a traceback); 3 ``refine`` stopped at its evaluation budget before
converging (its best design is still written).
"""
from __future__ import annotations

import argparse
import csv
import importlib
import math
import os
import re
import sys
import textwrap
import warnings
from dataclasses import replace
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from lamina_design.io.files import (
    DEFAULT_WAVELENGTHS,
    Design,
    DesignFileError,
    RefineRequest,
    design_toml,
    load_design,
    load_targets,
    material_warnings,
)
from lamina_design import materials
from lamina_design.core.checks import MAX_ANGLE_RAD
from lamina_design.core.executor import worker_limit
from lamina_design.optics.fields import Field, plot_field
from lamina_design.core.limits import MAX_CHUNKS, MAX_LAYERS, MAX_SAMPLES, MAX_STEPS, WORKERS_PER_PROCESSOR
from lamina_design.materials.base import Constant, FloatArray, Material, MaterialError, RangeWarning
from lamina_design.optics.phase import PhaseSpectrum, phase_spectrum
from lamina_design.optics.stack import Spectrum, Stack

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
    import lamina_design

    return lamina_design.__version__


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
    plt = _pyplot()
    if plt is None:
        return False
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
    depths: FloatArray = np.linspace(lo, hi, FIELD_POINTS, dtype=np.float64)
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
    plt = _pyplot("the field plot")
    if plt is None:
        return written

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
    if args.view:
        from lamina_design.plotting.views import write_views
        for path in write_views(args.out, design.path.stem, design, args.view):
            print(f"view written to {path}")
    return EXIT_OK


def _refine_command(args: argparse.Namespace) -> int:
    from lamina_design.optimize.refine import refine

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


def _material_refs(design: Design, extra: Sequence[str]) -> Tuple[List[Material], List[Tuple[Material, Any]]]:
    """The materials to insert and, for each material a layer may end up with, how a file names it."""
    refs: List[Tuple[Material, Any]] = []
    for layer, entry in zip(design.stack.layers, design.data.get("layer", [])):
        refs.append((layer.material, entry["material"]))
    chosen: List[Material] = []
    for text in extra:
        try:
            index = float(text)
        except ValueError:
            pass
        else:
            if not (index > 0 and math.isfinite(index)):
                raise DesignFileError(f"--material {text!r}: a constant index must be finite and > 0")
            chosen.append(Constant(index, f"n={index:g}"))
            refs.append((chosen[-1], index))
            continue
        try:
            material = materials.resolve(text, base_dir=Path.cwd())
        except Exception as exc:  # noqa: BLE001 - whatever a material file holds is the user's input
            raise DesignFileError(f"--material {text!r}: {str(exc) or type(exc).__name__}") from None
        chosen.append(material)
        path = Path(text).expanduser()
        files = (".csv", ".yml", ".yaml")
        ref: Any = str(path.resolve()) if path.suffix.lower() in files and not text.startswith("refractiveindex:") else text
        refs.append((material, ref))
    if not extra:
        for layer in design.stack.layers:
            if not any(layer.material is m for m in chosen):
                chosen.append(layer.material)
    if not chosen:
        raise DesignFileError(f"{design.path}: the design has no layers: name the materials to insert with --material")
    return chosen, refs


def _reference(material: Material, refs: Sequence[Tuple[Material, Any]]) -> Any:
    for known, ref in refs:
        if known is material:
            return ref
    for known, ref in refs:
        try:
            if bool(known == material):
                return ref
        except (TypeError, ValueError):
            continue
    return material.name


def _synthesize_command(args: argparse.Namespace) -> int:
    from lamina_design.core.targets import Target
    from lamina_design.optimize.synthesis import gradual_evolution, needle

    design = load_design(args.design)
    _check_band(args, design)
    if design.stack.substrate is not None:
        raise DesignFileError(f"{design.path}: synthesize designs a coating on a half-infinite medium: give exit = "
                              f"... instead of a [substrate] table")
    request = load_targets(args.targets, len(design.stack.layers))
    for i, target in enumerate(request.targets):
        if not isinstance(target, Target) or target.quantity not in ("R", "T", "A"):
            place = request.places[i] if i < len(request.places) else str(args.targets)
            raise DesignFileError(f"{place}: synthesize designs towards R, T and A targets only")
    chosen, refs = _material_refs(design, args.material or [])
    _warn(material_warnings(design))
    executor: Any = args.workers if args.workers == "serial" else int(args.workers)
    method = needle if args.method == "needle" else gradual_evolution
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        try:
            result = method(design.stack, list(request.targets), chosen, max_layers=args.max_layers,
                            max_total_nm=args.max_total, min_thickness_nm=args.min_thickness,
                            max_nfev=request.max_evaluations, trials=args.trials, executor=executor,
                            progress=True if args.progress else None)
        except (ValueError, MaterialError) as exc:
            raise DesignFileError(f"{args.targets}: cannot synthesize: {' '.join(str(exc).split())}") from None
    print(result.summary())
    print(f"{'step':>4}  {'kind':<6}  {'layers':>6}  {'total nm':>9}  {'merit':>10}  {'sweeps':>7}")
    print(f"{'-' * 4}  {'-' * 6}  {'-' * 6}  {'-' * 9}  {'-' * 10}  {'-' * 7}")
    for i, step in enumerate(result.steps):
        print(f"{i:>4}  {step.kind:<6}  {step.layers:>6}  {_fixed(step.total_nm, 9, 1)}  "
              f"{_fixed(step.merit, 10, 5)}  {step.sweeps:>7}")
    layers = result.stack.layers
    names = [_printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'thickness nm':>12}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 12}")
    for i, (name, layer) in enumerate(zip(names, layers)):
        print(f"{i + 1:>5}  {name:<{width}}  {_fixed(layer.thickness_nm, 12, 2)}")
    results = _evaluate(design, result.stack)
    shown = replace(design, stack=result.stack)
    _table(shown, results)
    stem = f"{design.path.stem}_synthesized"
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    data = dict(design.data)
    data["layer"] = [{"material": _reference(layer.material, refs)} for layer in layers]
    text = design_toml(data, [layer.thickness_nm for layer in layers], design.path.parent, out)
    toml_path = out / f"{stem}.toml"
    toml_path.write_text(text, encoding="utf-8")
    print(f"synthesized design written to {toml_path}")
    _outputs(args, shown, results, stem)
    png = out / f"{stem}_merit.png"
    if not args.no_plot and _merit_plot(png, result, _printable(design.stack.name)):
        print(f"plot written to {png}")
    return EXIT_OK


def _merit_plot(path: Path, result: Any, title: str) -> bool:
    """The merit against the total thickness after every step; False without matplotlib."""
    plt = _pyplot()
    if plt is None:
        return False

    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    ax.plot(result.total_nm, result.merits, "o-", color="#1f4e79")
    for step in result.steps:
        ax.annotate(str(step.layers), (step.total_nm, step.merit), textcoords="offset points", xytext=(4, 4),
                    fontsize=8)
    if np.all(result.merits > 0):
        ax.set_yscale("log")
    ax.set_xlabel("total thickness (nm)")
    ax.set_ylabel("merit (rms of residual / tolerance)")
    ax.set_title(f"{title}: synthesis steps (labels: layers)" if title else "synthesis steps (labels: layers)")
    ax.grid(alpha=0.3, which="both")
    fig.savefig(path, dpi=150, bbox_inches="tight")
    plt.close(fig)
    return True


class _Bar:
    """A one-line progress bar on standard error: always with --progress, else on a terminal."""

    def __init__(self, label: str, always: bool) -> None:
        self.label = label
        self.enabled = always or sys.stderr.isatty()
        self.shown = False

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled:
            return
        filled = 30 * done // max(total, 1)
        sys.stderr.write(f"\r{self.label} [{'#' * filled}{'.' * (30 - filled)}] {done}/{total}")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _sigma(values: Optional[Sequence[str]], stack: Stack, option: str) -> Any:
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


def _executor(args: argparse.Namespace) -> Tuple[Any, Any]:
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


def _tolerance_command(args: argparse.Namespace) -> int:
    from lamina_design.production.tolerance import Errors, tolerance

    chunks = -(-args.samples // args.chunk)
    if chunks > MAX_CHUNKS:
        raise DesignFileError(f"--chunk {args.chunk}: cuts {args.samples} samples into {chunks} tasks, at most "
                              f"{MAX_CHUNKS} allowed: give --chunk {-(-args.samples // MAX_CHUNKS)} or more")
    design = load_design(args.design)
    stack = design.stack
    request = load_targets(args.targets, len(stack.all_layers()))
    _warn(material_warnings(design))
    if args.angle_deg < 0:
        raise DesignFileError(f"--angle-deg: σ must be ≥ 0, got {args.angle_deg:g}")
    index_rel = _sigma(args.index_rel, stack, "--index-rel")
    if isinstance(index_rel, list):
        index_rel = {layer.material.name: v for layer, v in zip(stack.all_layers(), index_rel)}
    errors = Errors(thickness_nm=_sigma(args.thickness_nm, stack, "--thickness-nm"),
                    thickness_rel=_sigma(args.thickness_rel, stack, "--thickness-rel"), index_rel=index_rel,
                    angle_rad=math.radians(args.angle_deg))
    if not (args.thickness_rel or args.thickness_nm or args.index_rel or args.angle_deg):
        raise DesignFileError("give at least one error: --thickness-rel, --thickness-nm, --index-rel or --angle-deg")
    executor, client = _executor(args)
    bar = _Bar("sampling", args.progress)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                result = tolerance(stack, list(request.targets), errors, args.samples, seed=args.seed,
                                   max_merit=args.max_merit, executor=executor, chunk_size=args.chunk, progress=bar)
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
    layers = stack.all_layers()
    names = [_printable(layer.material.name) for layer in layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{'layer':>5}  {'material':<{width}}  {'d nm':>9}  {'sigma nm':>9}  {'rms shift':>9}")
    print(f"{'-' * 5}  {'-' * width}  {'-' * 9}  {'-' * 9}  {'-' * 9}")
    for j in result.ranked_layers():
        print(f"{j + 1:>5}  {names[j]:<{width}}  {_fixed(layers[j].thickness_nm, 9, 2)}  "
              f"{_fixed(result.thickness_sigma[j], 9, 3)}  {_fixed(result.sensitivity[j], 9, 4)}")
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    stem = f"{design.path.stem}_tolerance"
    with (out / f"{stem}.csv").open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["sample", "merit", "worst", "passed"])
        for i in range(result.samples):
            writer.writerow([i, repr(float(result.merit[i])), repr(float(result.worst[i])), int(result.passed[i])])
    print(f"samples written to {out / f'{stem}.csv'}")
    if not args.no_plot and _tolerance_plot(out / f"{stem}.png", result, _printable(stack.name)):
        print(f"plot written to {out / f'{stem}.png'}")
    return EXIT_OK


def _pyplot(what: str = "the plot") -> Any:
    """matplotlib.pyplot drawing off screen, or None (with a note) when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        print(f"note: matplotlib is not installed, skipping {what} (pip install 'lamina[design]')")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _tolerance_plot(path: Path, result: Any, title: str) -> bool:
    plt = _pyplot()
    if plt is None:
        return False
    count = len(result.targets)
    fig, axes = plt.subplots(1, 1 + count, figsize=(5 * (1 + count), 4), squeeze=False)
    result.plot_histogram(axes[0, 0])
    for k in range(count):
        result.plot_envelope(axes[0, 1 + k], target=k)
        axes[0, 1 + k].set_title(f"target {k + 1}: envelope of {result.samples} samples", fontsize=10)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def _workers(text: str) -> str:
    if text == "serial":
        return text
    if not (text.isdigit() and int(text) >= 1):
        raise argparse.ArgumentTypeError(f"--workers takes a number of processes (≥ 1) or 'serial', got {text!r}")
    _worker_count(text)
    return text


def _positive(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be finite and > 0, got {text!r}")
    return value


def _count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number ≥ 1, got {text!r}")
    return int(text)


def _layer_count(text: str) -> int:
    value = _count(text)
    if value > MAX_LAYERS:
        raise argparse.ArgumentTypeError(f"at most {MAX_LAYERS} (the layers a design file may have), got {text!r}")
    return value


def _polarisation_option(text: str) -> Any:
    if text.lower() in ("s", "p", "unpolarised", "unpolarized"):
        return text.lower()
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'s', 'p', 'unpolarised' or an angle in degrees, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"a polarisation angle must be finite, got {text!r}")
    return math.radians(value)


def _monitor_command(args: argparse.Namespace) -> int:
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
    _warn(material_warnings(design, np.array(args.wavelength, dtype=np.float64), "at the monitor wavelengths"))
    angle = design.angles_deg[0] if args.angle_deg is None else args.angle_deg
    polarisation = design.polarisation if args.polarisation is None else args.polarisation
    options: Dict[str, Any] = dict(angle=math.radians(angle), polarisation=polarisation, quantity=args.quantity, steps=args.steps)
    bar = _Bar("depositing", args.progress)
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
    names = [_printable(layer.material.name) for layer in stack.layers]
    width = max([len("material")] + [len(name) for name in names])
    print(f"{_printable(stack.name)}: {args.quantity} at {angle:g}° while {count} layers grow, the last first")
    columns = [("layer", 5), ("material", -width), ("d nm", 9), ("monitor nm", 10), ("end signal", 10), ("turns", 5)]
    if run is not None:
        columns += [("cut nm", 9), ("realised", 9), ("off nm", 9)]
    print("  ".join(name.ljust(-w) if w < 0 else name.rjust(w) for name, w in columns))
    print("  ".join("-" * abs(w) for _, w in columns))
    for i in range(count - 1, -1, -1):
        q = count - 1 - i
        line = (f"{i + 1:>5}  {names[i]:<{width}}  {_fixed(stack.layers[i].thickness_nm, 9, 2)}  "
                f"{curve.wavelength_nm[i]:>10g}  {_fixed(curve.end_signal[q], 10)}  "
                f"{int(np.count_nonzero(curve.turning_layer == i)):>5}")
        if run is not None:
            line += (f"  {_fixed(run.cut_nm[i], 9, 2)}  {_fixed(run.realised.layers[i].thickness_nm, 9, 2)}  "
                     f"{_fixed(run.thickness_errors_nm[i], 9, 2)}")
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
    plt = None if args.no_plot else _pyplot()
    if plt is not None:
        fig = plt.figure(figsize=(9, 4.5))
        ax = fig.add_subplot()
        curve.plot(ax, label="design", color="black")
        if run is not None:
            run.curve.plot(ax, label=f"cut by {args.strategy}, with the errors", color="tab:red", lw=1.0)
            ax.legend(frameon=False)
        ax.set_title(f"{_printable(stack.name)}: monitoring curve, {angle:g}° incidence", fontsize=11)
        fig.tight_layout()
        fig.savefig(out / f"{stem}.png", dpi=120)
        plt.close(fig)
        print(f"plot written to {out / f'{stem}.png'}")
    return EXIT_OK


def _whole(least: int, most: Any = None) -> Any:
    """An option type: a whole number in [least, most()] (most a number or a function, None: no cap)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"a whole number ≥ {least}, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"a whole number ≥ {least}, got {text!r}")
        cap = most() if callable(most) else most
        if cap is not None and value > cap:
            raise argparse.ArgumentTypeError(f"at most {cap}, got {text!r}")
        return value

    return parse


_positive_int = _whole(1)


def _worker_count(text: str) -> int:
    value: int = _whole(1)(text)
    if value > worker_limit():
        raise argparse.ArgumentTypeError(f"at most {worker_limit()} here ({WORKERS_PER_PROCESSOR} per available "
                                         f"processor), got {text!r}")
    return value


def _incidence(text: str) -> float:
    """An angle of incidence in degrees, as the engine takes it."""
    value = _finite(text)
    if not 0 <= value < 90:
        raise argparse.ArgumentTypeError(f"an angle of incidence in [0, 90) degrees, got {text!r}")
    if math.radians(value) > MAX_ANGLE_RAD:
        raise argparse.ArgumentTypeError(f"at most {math.degrees(MAX_ANGLE_RAD):.5f}° (closer to grazing the "
                                         f"spectrum loses accuracy), got {text!r}")
    return value


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"a finite number, got {text!r}")
    return value


def _non_negative(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be finite and ≥ 0, got {text!r}")
    return value



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


class _Parser(argparse.ArgumentParser):
    """Takes any negative number as a value (``--depth -1e3 500``), not only plain -1 or -.5."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-(?:\d|\.\d|inf|nan)", re.IGNORECASE)


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Help whose lines never break inside a path such as docs/design-files.md."""

    def _split_lines(self, text: str, width: int) -> List[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


def _parser() -> argparse.ArgumentParser:
    formatter = _Formatter
    parser = _Parser(
        prog="lamina-design", formatter_class=formatter, epilog=_EPILOG,
        description="Spectra, thickness refinement and synthesis of thin-film designs written in TOML files.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=summary, formatter_class=formatter, epilog=_EPILOG,
                                   description=textwrap.fill(description, 79))

    design_help = (f"a design file (TOML): media, [[layer]] tables from the incidence side, an optional "
                   f"[substrate] and [spectrum] (default {DEFAULT_WAVELENGTHS['start']:g}-"
                   f"{DEFAULT_WAVELENGTHS['stop']:g} nm, 0°, unpolarised); see {DOCS}")
    spectrum = add_command("spectrum", "R, T, A of a design: a table, a CSV and a PNG",
                           "Compute R, T and A over the design's [spectrum] sweep; print a summary "
                           "and write DESIGN.csv (full precision) and DESIGN.png to --out.")
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
    from lamina_design.plotting.views import VIEW_HELP, view_option
    spectrum.add_argument("--view", type=view_option, action="append", metavar="VIEW[@NM]", help=VIEW_HELP)
    refine = add_command("refine", "refine a design's thicknesses towards targets",
                         "Least-squares refinement of the layer thicknesses towards the targets; "
                         "writes DESIGN_refined.toml (a design file that reads back), "
                         "DESIGN_refined.csv and DESIGN_refined.png to --out. Needs SciPy.")
    refine.add_argument("design", type=Path, help=design_help)
    refine.add_argument("targets", type=Path,
                        help=f"a targets file (TOML): [[target]] tables (quantity R, T, A, psi, delta, phase_r/t, GD_r/t, "
                             f"GDD_r/t or colour, wavelength_nm, value or min/max, "
                             f"tolerance, weight, angle_deg, polarisation) and an optional [refine] table (vary, "
                             f"max_evaluations); see {DOCS}")
    refine.add_argument("--progress", action="store_true", help="always show the progress bar")
    synthesize = add_command("synthesize", "create a design: needle optimisation or gradual evolution",
                             "Needle optimisation (or gradual evolution) from the design towards the "
                             "targets (R, T and A): thin layers of the chosen materials are inserted where "
                             "they lower the merit most, every thickness is refined, layers that thin away "
                             "are removed. Writes DESIGN_synthesized.toml, .csv and .png, and "
                             "DESIGN_synthesized_merit.png (merit against total thickness) to --out. "
                             "Needs SciPy.")
    synthesize.add_argument("design", type=Path, help=design_help + " (a half-infinite exit, no [substrate])")
    synthesize.add_argument("targets", type=Path,
                            help=f"a targets file (TOML) with R, T or A targets; [refine] max_evaluations bounds "
                                 f"each refinement; see {DOCS}")
    synthesize.add_argument("--material", action="append", metavar="NAME",
                            help="a material to insert (catalogue name, file, refractiveindex: page or a constant index); repeat "
                                 "for several (default: the design's layer materials)")
    synthesize.add_argument("--method", choices=("needle", "gradual"), default="needle",
                            help="needle optimisation from the design, or gradual evolution (a layer at a time "
                                 "on the front face)")
    synthesize.add_argument("--max-layers", type=_layer_count, default=None, metavar="N", help="layer budget")
    synthesize.add_argument("--max-total", type=_positive, default=None, metavar="NM",
                            help="total thickness budget in nm")
    synthesize.add_argument("--min-thickness", type=_non_negative, default=1.0, metavar="NM",
                            help="layers thinner than this are removed (default 1 nm)")
    synthesize.add_argument("--trials", type=_count, default=1, metavar="K",
                            help="needle places tried per step, in parallel (default 1)")
    synthesize.add_argument("--workers", type=_workers, default="serial", metavar="N|serial",
                            help="processes for the trials (default: serial)")
    synthesize.add_argument("--progress", action="store_true", help="always show the progress bar")
    targets_help = (f"a targets file (TOML): [[target]] tables (quantity R, T or A, wavelength_nm, value or "
                    f"min/max, tolerance, weight, angle_deg, polarisation) and an optional [refine] table (vary, "
                    f"max_evaluations); see {DOCS}")
    tol = add_command("tolerance", "yield under deposition errors: Monte Carlo against targets",
                      "Monte Carlo over Gaussian thickness, index and angle errors: the yield (the "
                      "share of samples with every target point within its tolerance, or its min/max band, or with a "
                      "merit up to --max-merit) with 95 % intervals, the layers that matter most, "
                      "DESIGN_tolerance.csv (every sample's merit) and DESIGN_tolerance.png "
                      "(histogram and envelopes). The same seed gives the same numbers on any "
                      "number of workers. Needs SciPy.")
    tol.add_argument("design", type=Path, help=design_help)
    tol.add_argument("targets", type=Path, help=targets_help)
    sigma = ("σ: a number for every layer, or MATERIAL=σ for the layers of one material (repeat; a number "
             "given too covers the rest)")
    tol.add_argument("--thickness-rel", nargs="+", metavar="S", help=f"relative thickness error, {sigma}")
    tol.add_argument("--thickness-nm", nargs="+", metavar="S", help=f"absolute thickness error in nm, {sigma}")
    tol.add_argument("--index-rel", nargs="+", metavar="S",
                     help=f"relative error of each layer material's n + ik, one draw per material, {sigma}")
    tol.add_argument("--angle-deg", type=_finite, default=0.0, metavar="S", help="σ of the angle of incidence, degrees")
    tol.add_argument("--samples", type=_whole(1, MAX_SAMPLES), default=1000,
                     help=f"Monte Carlo samples (default 1000, at most {MAX_SAMPLES})")
    tol.add_argument("--seed", type=_whole(0), default=0, help="the run's seed, a whole number ≥ 0 (default 0)")
    tol.add_argument("--max-merit", type=_positive, metavar="M",
                     help="a sample passes when its merit (rms of residual/tolerance) is at most M, instead of "
                          "every point lying within its tolerance or band")
    tol.add_argument("--workers", type=_worker_count, default=None, metavar="K",
                     help=f"worker processes (default: one per processor, at most {WORKERS_PER_PROCESSOR} per "
                          f"processor; 1 computes in this process)")
    tol.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler to compute on instead")
    tol.add_argument("--chunk", type=_whole(1, MAX_SAMPLES), default=500, help="samples per task (default 500)")
    tol.add_argument("--progress", action="store_true", help="always show the progress bar")
    monitor = add_command("monitor", "optical monitoring curve and termination errors",
                          "The monitoring signal (R or T at the monitor wavelength) while the design's "
                          "layers grow, the last [[layer]] first, with its turning points; with "
                          "--errors-nm, each layer cut by --strategy and then off by its error, the "
                          "errors carried into the next cut. Writes DESIGN_monitor.csv, "
                          "DESIGN_monitor.png and, with errors, DESIGN_realised.toml.")
    monitor.add_argument("design", type=Path, help=design_help)
    monitor.add_argument("--wavelength", type=_band, nargs="+", required=True, metavar="NM",
                         help="monitor wavelength in nm, one or one per layer (in [[layer]] order)")
    monitor.add_argument("--quantity", choices=("T", "R"), default="T", help="the monitored signal (default T)")
    monitor.add_argument("--angle-deg", type=_incidence, metavar="A",
                         help="monitor angle in degrees (default: the design's first)")
    monitor.add_argument("--polarisation", type=_polarisation_option, metavar="P",
                         help="s, p, unpolarised or an angle in degrees (default: the design's)")
    monitor.add_argument("--steps", type=_whole(2, MAX_STEPS), default=100,
                         help=f"points per layer (default 100, at most {MAX_STEPS})")
    monitor.add_argument("--errors-nm", type=_finite, nargs="+", metavar="E",
                         help="termination error in nm, one or one per layer (in [[layer]] order)")
    monitor.add_argument("--strategy", choices=("level", "thickness"), default="level",
                         help="level: cut where the signal reaches the design's level or turning point; "
                              "thickness: cut at the designed thickness (default level)")
    monitor.add_argument("--progress", action="store_true", help="always show the progress bar")
    from lamina_design.cli import serve

    serve.add_parser(add_command, design_help)
    for sub in (spectrum, refine, synthesize, tol, monitor):
        sub.add_argument("--out", type=Path, default=Path("."), metavar="DIR",
                         help="directory for the outputs (default: .)")
        sub.add_argument("--no-plot", action="store_true", help="write the CSV only")
    for sub in (spectrum, refine, synthesize):
        sub.add_argument("--log", action="store_true", help="plot R, T and A (in %%) on a logarithmic axis")
        sub.add_argument("--band", type=_band, nargs=2, metavar=("MIN", "MAX"),
                         help="plot only wavelengths from MIN to MAX nm (the CSV keeps the whole grid)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        try:
            return _main(argv)
        finally:
            # Flushed here, not at exit, so a closed pipe surfaces below.
            if sys.stdout is not None:
                sys.stdout.flush()
    except BrokenPipeError:
        # The reader (head, less) went away: stop quietly, as a filter does. What is still
        # buffered goes to /dev/null so the flush at interpreter exit does not fail again.
        _stdout_to_devnull()
        return EXIT_FAILURE


def _stdout_to_devnull() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):  # no stdout, or not a file descriptor
        pass


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if getattr(args, "band", None) is not None and not args.band[0] < args.band[1]:
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
        if args.command == "synthesize":
            return _synthesize_command(args)
        if args.command == "tolerance":
            return _tolerance_command(args)
        if args.command == "monitor":
            return _monitor_command(args)
        if args.command == "serve":
            from lamina_design.cli import serve

            return serve.run(args)
        return _refine_command(args)
    except (DesignFileError, MaterialError) as exc:
        print(f"lamina-design: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as exc:
        print(f"lamina-design: {exc}", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        raise  # stdout closed, not an output file: main stops quietly
    except OSError as exc:
        print(f"lamina-design: error: cannot write {exc.filename or 'the outputs'}: {exc.strerror or exc}",
              file=sys.stderr)
        return EXIT_FAILURE

