"""Figures of the optics of a stack: the admittance locus, the index profile with the field, |E|²."""
from __future__ import annotations

import math
from typing import Any, Optional, Sequence, Set, Union

import numpy as np
import numpy.typing as npt

from lamina_design.core.checks import Polarisation
from lamina_design.materials.base import FloatArray
from lamina_design.optics.admittance import AdmittanceLocus, admittance_locus, index_profile, iso_reflectance_circle
from lamina_design.optics.fields import Field
from lamina_design.optics.stack import Stack

__all__ = ["CIRCLES", "depth_window", "plot_admittance", "plot_field", "plot_profile"]

#: Reflectances of the iso-reflectance circles drawn by default.
CIRCLES = (0.04, 0.25, 0.5, 0.75, 0.9)

#: Depth points of a profile's field.
PROFILE_POINTS = 2001


def pyplot() -> Any:
    """matplotlib.pyplot, or an ImportError that says what to install."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("plotting needs matplotlib: pip install matplotlib") from exc
    return plt


def plot_admittance(locus: Union[AdmittanceLocus, Stack], wavelength_nm: Optional[float] = None,
                    angle: float = 0.0, polarisation: Polarisation = "s", ax: Any = None,
                    circles: Union[bool, Sequence[float]] = True) -> Any:
    """The admittance locus in the complex plane, one colour per layer, from the exit medium
    (square) to the coating's admittance (circle), each interface a dot; iso-reflectance circles
    dashed (True: at :data:`CIRCLES`, or the reflectances given). ``locus`` is a computed
    :class:`AdmittanceLocus`, or a Stack whose locus is computed at ``wavelength_nm``, ``angle``
    (radians) and ``polarisation``. Returns the axes."""
    if isinstance(locus, Stack):
        if wavelength_nm is None:
            raise ValueError("wavelength_nm: give the wavelength of the locus of a Stack")
        locus = admittance_locus(locus, wavelength_nm, angle, polarisation)
    elif not isinstance(locus, AdmittanceLocus):
        raise TypeError(f"locus must be an AdmittanceLocus or a Stack, got {type(locus).__name__}")
    plt = pyplot()
    own = ax is None
    if ax is None:
        _, ax = plt.subplots(figsize=(7.6, 5.0))
    levels = CIRCLES if circles is True else (() if circles is False else tuple(circles))
    points = [locus.boundaries, *locus.paths]
    shown = np.concatenate([np.atleast_1d(p) for p in points])
    # A few layers get a colour and a legend entry each; many are coloured by material, with one
    # entry per material, so that the legend stays readable beside a mirror's thirty layers.
    by_material = len(locus.paths) > MAX_LAYER_LEGEND
    materials = list(dict.fromkeys(locus.labels))
    labelled: Set[str] = set()
    # Drawn from the exit medium outwards, the layer next to it first.
    for i in range(len(locus.paths) - 1, -1, -1):
        path = locus.paths[i]
        if by_material:
            name = locus.labels[i]
            colour = f"C{materials.index(name) % 10}"
            label = f"{name} (layers {_layer_numbers(locus.labels, name)})" if name not in labelled else "_nolegend_"
            labelled.add(name)
        else:
            colour, label = f"C{i % 10}", f"{i + 1}: {locus.labels[i]}"
        ax.plot(path.real, path.imag, lw=1.6, color=colour, label=label)
    ax.plot(locus.boundaries.real, locus.boundaries.imag, "o", ms=3.5, color="0.2", zorder=3)
    ax.plot(locus.boundaries[-1].real, locus.boundaries[-1].imag, "s", ms=6, mfc="none", color="0.2",
            label="exit medium")
    y = locus.admittance
    # Rounding's last bits off the axis are shown as the 0 they stand for.
    im = 0.0 if abs(y.imag) <= 1e-12 * abs(y) else y.imag
    ax.plot(y.real, y.imag, "o", ms=8, mfc="none", color="k",
            label=f"Y = {y.real:.4g} {'−' if im < 0 else '+'} {abs(im):.3g}i, R = {100 * locus.reflectance:.3g} %")
    for level in levels:
        centre, radius = iso_reflectance_circle(locus.incidence, level)
        phase = np.linspace(0.0, 2.0 * math.pi, 361)
        ax.plot(centre.real + radius * np.cos(phase), centre.imag + radius * np.sin(phase), ls="--", lw=0.6,
                color="0.6")
        ax.annotate(f"{100 * level:g} %", (centre.real + radius, centre.imag), fontsize=6, color="0.45",
                    xytext=(2, 2), textcoords="offset points")
    ax.axhline(0.0, color="0.3", lw=0.5)
    finite = shown[np.isfinite(shown)]
    if finite.size:
        lo_x, hi_x = min(0.0, float(finite.real.min())), float(finite.real.max())
        lo_y, hi_y = float(finite.imag.min()), float(finite.imag.max())
        span = max(hi_x - lo_x, hi_y - lo_y, 1e-3)
        ax.set_xlim(lo_x - 0.08 * span, hi_x + 0.08 * span)
        ax.set_ylim(min(lo_y, -0.5 * span) - 0.08 * span, max(hi_y, 0.5 * span) + 0.08 * span)
    ax.set_aspect("equal", adjustable="box")
    ax.set_xlabel("Re Y")
    ax.set_ylabel("Im Y")
    ax.set_title(f"λ = {locus.wavelength_nm:g} nm, θ = {math.degrees(locus.angle_rad):.3g}°, {locus.polarisation}",
                 fontsize=9)
    ax.legend(fontsize=7, frameon=False, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0)
    if own:
        ax.figure.subplots_adjust(right=0.62)  # room for the legend beside the diagram
    return ax


#: Up to this many layers the admittance diagram's legend names each layer.
MAX_LAYER_LEGEND = 10


def _layer_numbers(labels: Sequence[str], name: str) -> str:
    """The numbers of the layers of one material, first and last if there are many."""
    numbers = [i + 1 for i, label in enumerate(labels) if label == name]
    return ", ".join(map(str, numbers)) if len(numbers) <= 3 else f"{numbers[0]}, {numbers[1]}, … {numbers[-1]}"


def depth_window(stack: Stack, margin_nm: float = 100.0) -> FloatArray:
    """(start, stop) of the first run of coherent layers the light meets, with a margin of a fifth
    of it (at least `margin_nm`) either side: a millimetre of substrate would hide the fringes."""
    bounds = stack.boundaries()
    layers = stack.inner_layers()
    first = next((i for i, layer in enumerate(layers) if layer.coherent), None)
    if first is None:
        lo = hi = float(bounds[0])
    else:
        last = next((i for i in range(first, len(layers)) if not layers[i].coherent), len(layers))
        lo, hi = float(bounds[first]), float(bounds[last])
    margin = max(0.2 * (hi - lo), margin_nm)
    return np.array([lo - margin, hi + margin])


def _steps(bounds: FloatArray, values: FloatArray, lo: float, hi: float) -> tuple[FloatArray, FloatArray]:
    """x, y of a step curve over [lo, hi]: values[k] between bounds[k-1] and bounds[k], values[0]
    before the first bound and values[-1] after the last; media outside the window left out."""
    starts = np.clip(np.concatenate([[lo], bounds]), lo, hi)
    ends = np.clip(np.concatenate([bounds, [hi]]), lo, hi)
    shown = ends > starts
    x = np.stack([starts[shown], ends[shown]], axis=1).ravel()
    y = np.repeat(values[shown], 2)
    return x, y


def plot_profile(stack: Stack, wavelength_nm: float, angle: Union[float, Sequence[float]] = 0.0,
                 polarisation: Polarisation = "unpolarised", depth_nm: Optional[npt.ArrayLike] = None,
                 fig: Any = None) -> Any:
    """The index profile n(z) at one wavelength against physical depth (top) and optical depth
    Re(n)·z (bottom), |E|² at each angle (radians) overlaid on a second axis. ``depth_nm``: the
    depths shown (default the first coating with a margin, see :func:`depth_window`). Returns
    the figure."""
    plt = pyplot()
    if fig is None:
        fig = plt.figure(figsize=(8.0, 6.0))
    profile = index_profile(stack, wavelength_nm)
    if depth_nm is None:
        lo, hi = depth_window(stack)
        z = np.linspace(lo, hi, PROFILE_POINTS)
    else:
        z = np.sort(np.asarray(depth_nm, dtype=np.float64).ravel())
    angles = [float(a) for a in np.atleast_1d(np.asarray(angle, dtype=np.float64))]
    fields = [stack.field(z, [profile.wavelength_nm], a, polarisation) for a in angles]
    axes = fig.subplots(2, 1)
    # κ is drawn where it would show beside n.
    absorbing = bool(np.any(profile.index.imag > 1e-4))
    for ax, optical in zip(axes, (False, True)):
        x = profile.optical_depth(z) if optical else z
        bounds = profile.optical_boundaries_nm if optical else profile.boundaries_nm
        sx, sy = _steps(bounds, profile.index.real, float(x[0]), float(x[-1]))
        ax.plot(sx, sy, color="k", lw=1.4, label="n")
        if absorbing:
            kx, ky = _steps(bounds, profile.index.imag, float(x[0]), float(x[-1]))
            ax.plot(kx, ky, color="0.5", lw=1.0, ls=":", label="κ")
        for b in bounds:
            if x[0] <= b <= x[-1]:
                ax.axvline(b, color="0.7", lw=0.5, ls="--")
        ax.set_xlim(float(x[0]), float(x[-1]))
        ax.set_ylabel("n")
        twin = ax.twinx()
        for k, (a, f) in enumerate(zip(angles, fields)):
            label = "|E|²" if len(angles) == 1 else f"|E|², {math.degrees(a):g}°"
            twin.plot(x, f.e2[0], color=f"C{k}", lw=1.1, label=label)
        twin.set_ylabel("|E|² / |E₀|²")
        twin.set_ylim(bottom=0.0)
        ax.set_xlabel("optical depth Re(n)·z (nm)" if optical else "physical depth (nm)")
        if not optical:
            handles = ax.get_legend_handles_labels()
            more = twin.get_legend_handles_labels()
            ax.legend(handles[0] + more[0], handles[1] + more[1], fontsize=7, frameon=False, loc="upper right")
    axes[0].set_title(f"λ = {profile.wavelength_nm:g} nm", fontsize=9)
    fig.tight_layout()
    return fig


def plot_field(field: Union[Field, Stack], ax: Any = None, wavelength_nm: Optional[float] = None,
               origin_nm: float = 0.0, angle: float = 0.0, polarisation: Polarisation = "unpolarised") -> Any:
    """|E|² against depth at one wavelength (the first, or the nearest to ``wavelength_nm``), the
    layer boundaries drawn as vertical lines and incoherent layers shaded; depths are shown from
    ``origin_nm`` (behind a 1 mm plate, say). ``field`` is a computed :class:`Field`, or a Stack
    whose field is computed at ``wavelength_nm``, ``angle`` (radians) and ``polarisation`` over
    :func:`depth_window`. Needs matplotlib; returns the axes."""
    if isinstance(field, Stack):
        if wavelength_nm is None:
            raise ValueError("wavelength_nm: give the wavelength of the field of a Stack")
        lo, hi = depth_window(field)
        field = field.field(np.linspace(lo, hi, PROFILE_POINTS), [wavelength_nm], angle, polarisation)
    elif not isinstance(field, Field):
        raise TypeError(f"field must be a Field or a Stack, got {type(field).__name__}")
    plt = pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(7.0, 3.6))
    w = 0 if wavelength_nm is None else int(np.argmin(np.abs(field.wavelength_nm - wavelength_nm)))
    ax.plot(field.depth_nm - origin_nm, field.e2[w], color="C0", lw=1.4)
    bounds = field.boundaries_nm - origin_nm
    shown = field.depth_nm - origin_nm
    for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        if not field.coherent[i]:
            ax.axvspan(a, b, color="0.85", lw=0)
        mid = 0.5 * (a + b)
        if shown[0] <= mid <= shown[-1]:
            ax.text(mid, 1.0, field.labels[i], transform=ax.get_xaxis_transform(), ha="center", va="bottom",
                    fontsize=7, rotation=0)
    for x in bounds:
        ax.axvline(x, color="0.4", lw=0.6, ls="--")
    ax.set_xlim(shown[0], shown[-1])
    ax.set_xlabel("depth (nm)" if origin_nm == 0.0 else f"depth − {origin_nm:g} nm")
    ax.set_ylabel("|E|² / |E₀|²")
    ax.set_title(f"λ = {field.wavelength_nm[w]:g} nm, θ = {math.degrees(field.angle_rad):.3g}°", fontsize=9,
                 pad=14)
    return ax
