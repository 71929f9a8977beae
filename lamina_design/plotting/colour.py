"""Colour swatches of reflected and transmitted light, with their CIE L*a*b*."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, List, Sequence, Union

import numpy as np

from lamina_design.core.checks import Polarisation
from lamina_design.merit import VISIBLE_NM, Colour, colour
from lamina_design.optics.stack import Stack
from lamina_design.plotting.optics import pyplot

__all__ = ["Swatch", "plot_swatches", "swatches"]

#: The grid colours are computed on: the visible range the colour sums need, every nm.
GRID_NM = np.arange(VISIBLE_NM[0], VISIBLE_NM[1] + 0.5, 1.0)


@dataclass(frozen=True)
class Swatch:
    """The colour of one stack's R or T at one angle (radians)."""

    label: str
    quantity: str
    angle_rad: float
    colour: Colour


def swatches(stacks: Union[Stack, Sequence[Stack]], angles: Union[float, Sequence[float]] = 0.0,
             quantities: Sequence[str] = ("R", "T"), illuminant: str = "D65",
             polarisation: Polarisation = "unpolarised") -> List[Swatch]:
    """The colours of every stack's R and/or T at every angle (radians), stack by stack, then
    angle by angle, then quantity; computed from 380 to 780 nm every nm."""
    group = [stacks] if isinstance(stacks, Stack) else list(stacks)
    if not group:
        raise ValueError("stacks: give at least one Stack")
    for s in group:
        if not isinstance(s, Stack):
            raise TypeError(f"stacks must be Stack objects, got {type(s).__name__}")
    wanted = [str(q).upper() for q in quantities]
    if not wanted or any(q not in ("R", "T") for q in wanted):
        raise ValueError(f"quantities must be 'R' and/or 'T', got {list(quantities)!r}")
    angle_list = [float(a) for a in np.atleast_1d(np.asarray(angles, dtype=np.float64))]
    names = [stack.name or f"stack {k + 1}" for k, stack in enumerate(group)]
    out = []
    for k, stack in enumerate(group):
        # A name that several stacks share gets their places, so each keeps its own row.
        label = names[k] if names.count(names[k]) == 1 else f"{names[k]} ({k + 1})"
        spectrum = stack.spectrum(GRID_NM, angle_list, polarisation)
        for i, theta in enumerate(angle_list):
            for q in wanted:
                values = spectrum.r[i] if q == "R" else spectrum.t[i]
                out.append(Swatch(label, q, theta, colour(GRID_NM, values, illuminant)))
    return out


def plot_swatches(items: Union[Stack, Sequence[Stack], Sequence[Swatch]], ax: Any = None, **options: Any) -> Any:
    """One patch per swatch (a row per stack and angle, a column per quantity) filled with its
    sRGB colour and annotated with L*, a*, b*. ``items`` are swatches, or stacks passed to
    :func:`swatches` with ``options``. Returns the axes."""
    plt = pyplot()
    from matplotlib.patches import Rectangle

    group: List[Any] = [items] if isinstance(items, Stack) else list(items)
    if group and all(isinstance(s, Swatch) for s in group):
        if options:
            raise TypeError(f"{', '.join(sorted(options))}: options of swatches(), for stacks, not computed swatches")
        shown: List[Swatch] = group
    else:
        shown = swatches(group, **options)
    rows: List[tuple[str, float]] = []
    columns: List[str] = []
    for s in shown:
        if (s.label, s.angle_rad) not in rows:
            rows.append((s.label, s.angle_rad))
        if s.quantity not in columns:
            columns.append(s.quantity)
    if ax is None:
        _, ax = plt.subplots(figsize=(1.0 + 2.2 * len(columns), 0.5 + 1.0 * len(rows)))
    for s in shown:
        x = columns.index(s.quantity)
        y = len(rows) - 1 - rows.index((s.label, s.angle_rad))
        ax.add_patch(Rectangle((x + 0.05, y + 0.05), 0.9, 0.9, facecolor=s.colour.sRGB, edgecolor="0.5", lw=0.5))
        lab = s.colour.Lab
        ink = "k" if lab[0] > 55.0 else "w"
        note = f"L* {lab[0]:.1f}\na* {lab[1]:.1f}\nb* {lab[2]:.1f}" + (" (clipped)" if s.colour.clipped else "")
        ax.text(x + 0.5, y + 0.5, note, ha="center", va="center", fontsize=7, color=ink)
    ax.set_xlim(0.0, len(columns))
    ax.set_ylim(0.0, len(rows))
    ax.set_xticks([i + 0.5 for i in range(len(columns))], columns)
    ax.set_yticks([len(rows) - 0.5 - j for j in range(len(rows))],
                  [f"{label}, {math.degrees(a):g}°" for label, a in rows], fontsize=7)
    ax.tick_params(length=0)
    for side in ax.spines.values():
        side.set_visible(False)
    illuminant = shown[0].colour.illuminant if shown else "D65"
    ax.set_title(f"colour under {illuminant} (sRGB)", fontsize=9)
    return ax
