"""The colour of a coated window versus the viewing angle.

A five-layer TiO₂/SiO₂ quarter-wave stack centred at 560 nm on a 2 mm N-BK7 plate reflects
yellow-green at normal incidence. Tilted, its band moves to shorter wavelengths: the reflected
colour turns cyan and the transmitted one goes from violet to a warm pink, the colour travel that coated
architectural glass and camera filters are judged by. Colours are for unpolarised D65 daylight,
CIE 1931 2° observer, both faces of the plate counted.

    python examples/coating_colour.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

import math
from typing import Any, Optional, Sequence

import numpy as np

from lamina_design import materials, merit
from lamina_design.stack import Layer, Spectrum, Stack
from lamina_design.substrate import Substrate
from plotting import load_pyplot, parse_args, print_table, save

CENTRE_NM = 560.0
ANGLES_DEG = np.arange(0.0, 71.0, 10.0)
WAVELENGTHS = np.linspace(380.0, 780.0, 401, dtype=np.float64)


def window() -> Stack:
    """(HL)²H quarter waves at CENTRE_NM on a 2 mm N-BK7 plate in air."""
    high, low = materials.get("TiO2"), materials.get("SiO2")
    at = np.array([CENTRE_NM])
    h = Layer(high, CENTRE_NM / 4 / float(high.index(at)[0].real))
    l_ = Layer(low, CENTRE_NM / 4 / float(low.index(at)[0].real))
    return Stack(materials.Constant(1.0, "air"), (h, l_, h, l_, h),
                 substrate=Substrate(materials.get("N-BK7"), 2e6))


def angle_map() -> Spectrum:
    """R and T over wavelength for every angle: a (angles × wavelengths) map."""
    return window().spectrum(WAVELENGTHS, np.radians(ANGLES_DEG), "unpolarised")


def colours(spectra: Spectrum) -> list[tuple[merit.Colour, merit.Colour]]:
    """(reflected, transmitted) colour at every angle."""
    return [(merit.colour(WAVELENGTHS, r), merit.colour(WAVELENGTHS, t)) for r, t in zip(spectra.r, spectra.t)]


def hex_colour(colour: merit.Colour) -> str:
    return "#" + "".join(f"{round(255 * c):02x}" for c in colour.sRGB)


def plot(plt: Any, spectra: Spectrum, swatches: Sequence[tuple[merit.Colour, merit.Colour]]) -> Any:
    fig, (ax, ax_c) = plt.subplots(2, 1, figsize=(8, 6.4), gridspec_kw={"height_ratios": [3, 1.1], "hspace": 0.35})
    cmap = plt.get_cmap("viridis")
    for i, angle in enumerate(ANGLES_DEG):
        ax.plot(WAVELENGTHS, spectra.r[i], color=cmap(i / max(len(ANGLES_DEG) - 1, 1)), lw=1.4, label=f"{angle:.0f}°")
    ax.set_xlim(WAVELENGTHS[0], WAVELENGTHS[-1])
    ax.set_ylim(0, 1)
    ax.set_xlabel("wavelength (nm)")
    ax.set_ylabel("reflectance R (unpolarised)")
    ax.set_title("(HL)$^2$H TiO$_2$/SiO$_2$ at 560 nm on 2 mm N-BK7: colour travel with angle")
    ax.grid(alpha=0.3)
    ax.legend(title="incidence", ncol=2, frameon=False, fontsize=8)
    for i, (reflected, transmitted) in enumerate(swatches):
        ax_c.add_patch(plt.Rectangle((i, 1), 0.9, 0.9, color=reflected.sRGB))
        ax_c.add_patch(plt.Rectangle((i, 0), 0.9, 0.9, color=transmitted.sRGB))
    ax_c.set_xlim(-0.1, len(swatches))
    ax_c.set_ylim(-0.05, 1.95)
    ax_c.set_xticks(np.arange(len(swatches)) + 0.45)
    ax_c.set_xticklabels([f"{a:.0f}°" for a in ANGLES_DEG])
    ax_c.set_yticks([0.45, 1.45])
    ax_c.set_yticklabels(["transmitted", "reflected"])
    ax_c.set_frame_on(False)
    ax_c.tick_params(length=0)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    spectra = angle_map()
    swatches = colours(spectra)
    rows = []
    for angle, (reflected, transmitted) in zip(ANGLES_DEG, swatches):
        x, y, big_y = reflected.xyY
        lightness, a, b = reflected.Lab
        rows.append([f"{angle:.0f}", f"{big_y:.1f}", f"{x:.4f}", f"{y:.4f}", f"{lightness:.1f}", f"{a:+.1f}", f"{b:+.1f}",
                     hex_colour(reflected), f"{transmitted.xyY[2]:.1f}", hex_colour(transmitted)])
    stack = window()
    print(f"(HL)^2 H at {CENTRE_NM:.0f} nm on 2 mm N-BK7, D65, unpolarised: "
          f"{', '.join(f'{layer.material.name} {layer.thickness_nm:.1f} nm' for layer in stack.layers[:2])}")
    print_table(["angle", "R: Y %", "x", "y", "L*", "a*", "b*", "sRGB", "T: Y %", "sRGB"], rows)
    shift = math.hypot(swatches[-1][0].Lab[1] - swatches[0][0].Lab[1], swatches[-1][0].Lab[2] - swatches[0][0].Lab[2])
    print(f"reflected colour travel 0-{ANGLES_DEG[-1]:.0f}°: Δa*b* = {shift:.1f}")
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, spectra, swatches), args, "coating_colour.png")


if __name__ == "__main__":
    main()
