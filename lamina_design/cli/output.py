"""What the subcommands print and write: summary tables, CSV files, spectrum and field plots."""
from __future__ import annotations

import argparse
import csv
import math
import sys
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from lamina_design.io.files import Design, DesignFileError
from lamina_design.materials.base import FloatArray, MaterialError, RangeWarning
from lamina_design.optics.fields import Field, plot_field
from lamina_design.optics.phase import PhaseSpectrum, phase_spectrum
from lamina_design.optics.stack import Spectrum, Stack

#: |A| below this is rounding in a lossless design, not absorption.
A_ROUNDING = 1e-12


def printable(text: str) -> str:
    """`text` with control characters escaped, for one-line terminal output."""
    return "".join(ch if ch.isprintable() else ch.encode("unicode_escape").decode("ascii") for ch in text)



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


def polarisation_label(polarisation: object) -> str:
    if isinstance(polarisation, str):
        return {"s": "s-polarised", "p": "p-polarised"}.get(polarisation.lower(), "unpolarised")
    return f"polarisation angle {math.degrees(float(polarisation)):g}°"  # type: ignore[arg-type]


def write_plot(path: Path, design: Design, results: Sequence[Spectrum], title: str, log: bool = False,
               band: Optional[Tuple[float, float]] = None, targets: Sequence[Any] = ()) -> bool:
    """A PNG of R and T in %, and A where it is more than rounding; False when matplotlib is missing.

    `log` draws the percentages on a logarithmic axis; `band` (nm) limits the wavelengths shown.
    The R, T and A `targets` are marked: their wavelengths shaded, their bounds (or value ±
    tolerance) drawn as dashed lines.
    """
    plt = pyplot()
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
    mark_targets(dict(zip(names, column)), targets)
    if band is not None:
        column[0].set_xlim(max(band[0], float(wl[shown].min())), min(band[1], float(wl[shown].max())))
    subtitle = polarisation_label(design.polarisation)
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


def mark_targets(axes: Dict[str, Any], targets: Sequence[Any]) -> None:
    """Shade each R, T or A target's wavelengths on the axes of its quantity and draw its bounds
    in %: the wanted band, clipped to 0-100 %."""
    labelled = False
    shaded = set()
    for target in targets:
        quantity = getattr(target, "quantity", "")
        ax = axes.get(quantity)
        if ax is None or getattr(target, "lab", None) is not None:
            continue  # a colour target has no band to draw
        wl = np.asarray(target.wavelength_nm, dtype=np.float64)
        span = (quantity, float(wl.min()), float(wl.max()))
        if span not in shaded:  # targets at several angles share a band: shaded once, not darker
            shaded.add(span)
            ax.axvspan(span[1], span[2], color="0.5", alpha=0.1, lw=0, zorder=0)
        lower, upper = target.bounds()
        if target.value is not None:
            tolerance = np.asarray(target.tolerance, dtype=np.float64)
            lower, upper = lower - tolerance, upper + tolerance
        for bound in (lower, upper):
            percent = 100.0 * np.broadcast_to(bound, wl.shape)
            if not np.all(np.isfinite(percent)) or np.all(percent <= 0) or np.all(percent >= 100):
                continue  # unbounded, or bounded only by what R, T and A cannot leave anyway
            ax.plot(wl, np.clip(percent, 0.0, 100.0), color="tab:red", ls="--", lw=1.0,
                    marker="_" if wl.size == 1 else None, label=None if labelled else "target")
            labelled = True


def fixed(value: float, width: int, digits: int = 5) -> str:
    """`value` right-aligned with `digits` decimals, never as -0.000…."""
    text = f"{value:.{digits}f}"
    if float(text) == 0.0:
        text = f"{0.0:.{digits}f}"
    return text.rjust(width)


def targets_span(targets: Sequence[Any]) -> Tuple[float, float]:
    """The wavelengths (nm) the targets cover, from the shortest to the longest."""
    wl = np.concatenate([np.asarray(t.wavelength_nm, dtype=np.float64).ravel() for t in targets])
    return float(wl.min()), float(wl.max())


def table(design: Design, results: Sequence[Spectrum], band: Optional[Tuple[float, float]] = None) -> None:
    """Mean, min and max R, mean T and A per angle; over `band` (nm) when it holds any of the
    design's wavelengths (the targets' band after refine or synthesize), else the whole sweep."""
    count = len(design.stack.all_layers())
    wl = design.wavelength_nm
    shown = np.ones(wl.shape, dtype=bool)
    where = ""
    if band is not None and np.any((wl >= band[0]) & (wl <= band[1])):
        shown = (wl >= band[0]) & (wl <= band[1])
        where = ", the targets' band"
    size = int(np.count_nonzero(shown))
    points = "wavelength" if size == 1 else "wavelengths"
    print(f"{printable(design.stack.name)}: {count} {'layer' if count == 1 else 'layers'}, {size} {points} "
          f"{wl[shown].min():g}-{wl[shown].max():g} nm{where}")
    print(f"{'angle':>7}  {'mean R':>9}  {'min R':>9}  {'max R':>9}  {'mean T':>9}  {'mean A':>9}")
    print(f"{'-' * 7}  {'-' * 9}  {'-' * 9}  {'-' * 9}  {'-' * 9}  {'-' * 9}")
    for angle, s in zip(design.angles_deg, results):
        r, t, a = s.r[shown], s.t[shown], s.a[shown]
        print(f"{angle:>6g}°  {fixed(r.mean(), 9)}  {fixed(r.min(), 9)}  {fixed(r.max(), 9)}  {fixed(t.mean(), 9)}  "
              f"{fixed(a.mean(), 9)}")


def outputs(args: argparse.Namespace, design: Design, results: Sequence[Spectrum], stem: str,
            phases: Optional[Sequence[PhaseSpectrum]] = None, targets: Sequence[Any] = ()) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    csv_path = out / f"{stem}.csv"
    write_csv(csv_path, design, results, phases)
    print(f"spectra written to {csv_path}")
    png = out / f"{stem}.png"
    if not args.no_plot and write_plot(png, design, results, printable(design.stack.name), args.log, args.band,
                                       targets):
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
    plt = pyplot("the field plot")
    if plt is None:
        return written

    fig, ax = plt.subplots(figsize=(8, 3.8))
    plot_field(fields[0], ax)
    for k, (angle, f) in enumerate(zip(design.angles_deg[1:], fields[1:]), start=1):
        ax.plot(depths, f.e2[0], lw=1.2, color=f"C{k}", label=f"{angle:g}°")
    if len(fields) > 1:
        ax.lines[0].set_label(f"{design.angles_deg[0]:g}°")
        ax.legend(title="incidence", frameon=False, fontsize=8)
        ax.set_title(f"λ = {wavelength_nm:g} nm, {polarisation_label(design.polarisation)}", fontsize=9, pad=14)
    ax.grid(alpha=0.3)
    fig.suptitle(printable(design.stack.name), fontsize=11)
    fig.tight_layout()
    png = out / f"{stem}_field.png"
    fig.savefig(png, dpi=120)
    plt.close(fig)
    written.append(png)
    return written


def warn(messages: Sequence[str]) -> None:
    for message in messages:
        print(f"lamina-design: warning: {message}", file=sys.stderr)


def check_band(args: argparse.Namespace, design: Design) -> None:
    if args.band is None:
        return
    lo, hi = args.band
    wl = design.wavelength_nm
    if not np.any((wl >= lo) & (wl <= hi)):
        raise DesignFileError(f"{design.path}: --band {lo:g} {hi:g} nm holds none of the design's wavelengths "
                              f"({wl.min():g}-{wl.max():g} nm)")


def evaluate(design: Design, stack: Optional[Stack] = None) -> List[Spectrum]:
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



def print_report(result: Any) -> None:
    """The result's design against each of its targets (material range warnings were given already)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        print(result.report())


def pyplot(what: str = "the plot") -> Any:
    """matplotlib.pyplot drawing off screen, or None (with a note) when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        print(f"note: matplotlib is not installed, skipping {what} (pip install 'lamina[design]')")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt

