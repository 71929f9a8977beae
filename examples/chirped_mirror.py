"""A chirped mirror refined to a GDD band, from the design and targets files in examples/design/.

examples/design/chirped_mirror.toml is 30 Ta₂O₅/SiO₂ layers on fused silica, each a quarter
wave at a wavelength growing with depth (700 nm at the top, 900 nm by the glass): the longer
wavelengths go deeper before they are reflected, which gives negative GDD that grows across the
band. examples/design/chirped_mirror_targets.toml asks for GDD within −40 ± 5 fs² over 770–830 nm
with R ≥ 99.5 %, and every thickness is refined towards it. Both films are the catalogue's
smoothed ones: with their tables interpolated linearly, GDD jumps by some 2 fs² from one
tabulated wavelength to the next and the refinement would chase those steps.

    python examples/chirped_mirror.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional, Sequence

import numpy as np

from lamina_design.io.files import load_design, load_targets
from lamina_design.optics import phase_spectrum
from lamina_design.refine import RefineResult, refine
from lamina_design.stack import Stack
from plotting import load_pyplot, parse_args, print_table, save

DESIGNS = Path(__file__).resolve().parent / "design"
DESIGN = DESIGNS / "chirped_mirror.toml"
TARGETS = DESIGNS / "chirped_mirror_targets.toml"


def refined() -> tuple[Stack, RefineResult, Any]:
    """The design as written, its refinement towards the targets, and the targets file's band."""
    design = load_design(DESIGN)
    request = load_targets(TARGETS, len(design.stack.layers))
    result = refine(design.stack, request.targets, vary=request.vary, max_nfev=request.max_evaluations,
                    progress=False)
    return design.stack, result, request.targets[0]


def plot(plt: Any, start: Stack, result: RefineResult, band: Any) -> Any:
    wavelengths = np.linspace(740.0, 860.0, 241)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6.4), sharex=True)
    for stack, label, style in ((start, "chirped start", "--"), (result.stack, "refined", "-")):
        phase = phase_spectrum(stack, wavelengths)
        top.plot(wavelengths, 100.0 * np.abs(phase.r[0]) ** 2, style, label=label)
        bottom.plot(wavelengths, phase.gdd_r[0], style, label=label)
    lo, hi = band.wavelength_nm[0], band.wavelength_nm[-1]
    bottom.fill_between([lo, hi], [float(np.max(band.lower))] * 2, [float(np.min(band.upper))] * 2, color="0.85",
                        zorder=0, label="target")
    top.set_ylabel("R (%)")
    top.set_ylim(98.0, 100.0)
    bottom.set_ylabel("GDD of reflection (fs²)")
    bottom.set_xlabel("wavelength (nm)")
    bottom.set_ylim(-150, 50)
    top.set_title("Chirped Ta₂O₅/SiO₂ mirror, normal incidence")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
        ax.legend(frameon=False, fontsize=9)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    start, result, band = refined()
    grid = band.wavelength_nm
    lower, upper = float(np.max(band.lower)), float(np.min(band.upper))
    before, after = phase_spectrum(start, grid), phase_spectrum(result.stack, grid)
    rows = [[f"{wl:.0f}", f"{before.gdd_r[0, i]:.1f}", f"{after.gdd_r[0, i]:.1f}",
             f"{100 * abs(after.r[0, i]) ** 2:.2f}"] for i, wl in enumerate(grid)]
    inside = bool(np.all((after.gdd_r[0] >= lower - 0.5) & (after.gdd_r[0] <= upper + 0.5)))
    print(f"{start.name}: {len(start.layers)} layers refined for GDD in [{lower:g}, {upper:g}] fs^2 "
          f"over {grid[0]:.0f}-{grid[-1]:.0f} nm ({result.nfev} evaluations)")
    print_table(["nm", "GDD fs^2 start", "GDD fs^2 refined", "R % refined"], rows)
    print(f"GDD within the band everywhere: {'yes' if inside else 'no'}")
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, start, result, band), args, "chirped_mirror.png")


if __name__ == "__main__":
    main()
