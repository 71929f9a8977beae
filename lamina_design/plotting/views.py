"""The views ``lamina-design spectrum --view`` writes: one PNG per view of a design."""
from __future__ import annotations

import argparse
import math
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, List, Literal, Optional, Sequence, Tuple

import numpy as np

from lamina_design.materials.base import MaterialError, RangeWarning

if TYPE_CHECKING:
    from lamina_design.io.files import Design

__all__ = ["VIEWS", "VIEW_HELP", "view_option", "write_views"]

VIEWS = ("admittance", "profile", "field", "swatch")

VIEW_HELP = ("also write DESIGN_VIEW.png: admittance (the admittance locus), profile (index against physical "
             "and optical depth with |E|²), field (|E|² against depth) or swatch (R and T colours under D65 "
             "with L*a*b*); at @NM nm (default the middle of the design's grid; swatches span 380-780 nm); "
             "repeat for several; written even with --no-plot")


def view_option(text: str) -> Tuple[str, Optional[float]]:
    """``VIEW`` or ``VIEW@NM`` as (view, wavelength or None); an argparse type."""
    name, _, at = text.partition("@")
    if name not in VIEWS:
        raise argparse.ArgumentTypeError(f"the view must be one of {', '.join(VIEWS)}, got {name!r}")
    if not at:
        return name, None
    try:
        wavelength = float(at)
    except ValueError:
        raise argparse.ArgumentTypeError(f"the wavelength after @ must be a number of nm, got {at!r}") from None
    if not (math.isfinite(wavelength) and wavelength > 0.0):
        raise argparse.ArgumentTypeError(f"the wavelength after @ must be finite and > 0 nm, got {at!r}")
    return name, wavelength


def _incidences(angles_deg: Sequence[float], polarisation: object) -> List[Tuple[float, Literal["s", "p"]]]:
    """(angle in radians, "s" or "p") of each admittance panel: both at oblique unless one is asked."""
    out: List[Tuple[float, Literal["s", "p"]]] = []
    for a in angles_deg:
        if a == 0.0:
            out.append((0.0, "p" if polarisation == "p" else "s"))
        elif polarisation == "s" or polarisation == "p":
            out.append((math.radians(a), "s" if polarisation == "s" else "p"))
        else:
            out += [(math.radians(a), "s"), (math.radians(a), "p")]
    return out


def _draw(view: str, design: Design, wavelength: float) -> object:
    from lamina_design.plotting.colour import plot_swatches
    from lamina_design.plotting.optics import depth_window, plot_admittance, plot_field, plot_profile, pyplot

    plt = pyplot()
    stack, angles = design.stack, [math.radians(a) for a in design.angles_deg]
    polarisation = design.polarisation
    if view == "admittance":
        panels = _incidences(design.angles_deg, polarisation)
        fig, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), 5.0), squeeze=False)
        for ax, (theta, pol) in zip(axes[0], panels):
            plot_admittance(stack, wavelength, theta, pol, ax)
    elif view == "profile":
        fig = plot_profile(stack, wavelength, angles, polarisation)  # type: ignore[arg-type]
    elif view == "field":
        lo, hi = depth_window(stack)
        z = np.linspace(lo, hi, 2001)
        fig, ax = plt.subplots(figsize=(8.0, 3.8))
        for k, theta in enumerate(angles):
            field = stack.field(z, [wavelength], theta, polarisation)  # type: ignore[arg-type]
            if k == 0:
                plot_field(field, ax)
            else:
                ax.plot(z, field.e2[0], lw=1.2, color=f"C{k}")
        if len(angles) > 1:
            ax.legend(ax.lines[:1] + ax.lines[-(len(angles) - 1):], [f"{a:g}°" for a in design.angles_deg],
                      title="incidence", frameon=False, fontsize=8)
            ax.set_title(f"λ = {wavelength:g} nm", fontsize=9, pad=14)
    else:
        fig, ax = plt.subplots(figsize=(5.4, 0.6 + 1.0 * len(angles)))
        plot_swatches(stack, ax, angles=angles, polarisation=polarisation)
    if stack.name:
        fig.suptitle(stack.name, fontsize=10)
    fig.tight_layout()
    return fig


def write_views(out: Path, stem: str, design: Design, views: Sequence[Tuple[str, Optional[float]]]) -> List[Path]:
    """Each view of the design as ``out/STEM_VIEW.png`` (``STEM_VIEW@NM.png`` when one view is
    asked at several wavelengths); returns the files written. A design the view cannot be computed
    for raises DesignFileError."""
    from lamina_design.io.files import DesignFileError
    from lamina_design.plotting.optics import pyplot

    if not views:
        return []
    plt = pyplot()
    plt.switch_backend("Agg")
    out.mkdir(parents=True, exist_ok=True)
    wl = design.wavelength_nm
    middle = float(wl[wl.size // 2])
    several = {name for name in VIEWS if len({at for v, at in views if v == name}) > 1}
    written = []
    for name, at in views:
        wavelength = middle if at is None else at
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RangeWarning)
            try:
                fig = _draw(name, design, wavelength)
            except (ValueError, MaterialError) as exc:
                raise DesignFileError(f"{design.path}: cannot draw the {name} view at {wavelength:g} nm: "
                                      f"{' '.join(str(exc).split())}") from None
        path = out / (f"{stem}_{name}@{wavelength:g}.png" if name in several else f"{stem}_{name}.png")
        fig.savefig(path, dpi=120)  # type: ignore[attr-defined]
        plt.close(fig)
        written.append(path)
    return written
