"""Fitting the thickness of an oxide film on silicon to a noisy, measured-like reflectance spectrum.

A reflectometer measures R of a thermal SiO₂ film on a silicon wafer at normal incidence. The
fringes fix the optical thickness, but a least-squares fit started on the wrong fringe stays
there; starting from a grid of thicknesses and refining the most promising ones finds the right
one. The fit's reduced χ² is near 1 when the model explains the data down to their noise, and
the Jacobian at the solution gives the thickness's one-sigma uncertainty.

    python examples/film_thickness_fit.py [--out DIR] [--no-plot]
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import numpy as np

from lamina_design import materials
from lamina_design.refine import RefineResult, fit_spectrum
from lamina_design.stack import Layer, Stack
from plotting import load_pyplot, parse_args, print_table, save

TRUE_NM = 512.0
GUESS_NM = 300.0
NOISE = 0.004  # absolute, one sigma
WAVELENGTHS = np.linspace(400.0, 900.0, 251, dtype=np.float64)
STARTS = np.arange(20.0, 1500.0, 20.0)


def film(thickness_nm: float) -> Stack:
    """SiO₂ film on a silicon wafer, in air."""
    return Stack(materials.Constant(1.0, "air"), (Layer(materials.get("SiO2"), thickness_nm),),
                 exit=materials.get("Si"))


def measurement(seed: int = 2024) -> np.ndarray[Any, np.dtype[np.float64]]:
    """The true film's R plus Gaussian noise, as a reflectometer would report it."""
    rng = np.random.default_rng(seed)
    r = film(TRUE_NM).spectrum(WAVELENGTHS).r
    noisy: np.ndarray[Any, np.dtype[np.float64]] = r + rng.normal(0.0, NOISE, r.size)
    return noisy


def fits(measured: np.ndarray[Any, np.dtype[np.float64]]) -> tuple[RefineResult, RefineResult]:
    """A fit from the guess alone, and one from a grid of starting thicknesses."""
    naive = fit_spectrum(film(GUESS_NM), WAVELENGTHS, measured, "R", sigma=NOISE, progress=False)
    searched = fit_spectrum(film(GUESS_NM), WAVELENGTHS, measured, "R", sigma=NOISE,
                            starts=[[float(d)] for d in STARTS], progress=False)
    return naive, searched


def plot(plt: Any, measured: Any, naive: RefineResult, searched: RefineResult) -> Any:
    fig, ax = plt.subplots(figsize=(8, 4.6))
    wl = WAVELENGTHS
    ax.plot(wl, measured, ".", color="0.35", ms=3.5, label=f"measured (σ = {NOISE:g})")
    ax.plot(wl, searched.stack.spectrum(wl).r, color="#1f4e79", lw=1.8,
            label=f"fit from a grid of starts: {searched.x[0]:.1f} nm")
    ax.plot(wl, naive.stack.spectrum(wl).r, color="#c0504d", lw=1.2, ls="--",
            label=f"fit from {GUESS_NM:.0f} nm only: {naive.x[0]:.1f} nm")
    ax.set_xlabel("wavelength (nm)")
    ax.set_ylabel("reflectance R")
    ax.set_xlim(wl[0], wl[-1])
    ax.set_title(f"Thermal SiO$_2$ on Si, normal incidence: true thickness {TRUE_NM:.0f} nm")
    ax.grid(alpha=0.3)
    ax.legend(frameon=False, loc="upper right", fontsize=9)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    measured = measurement()
    naive, searched = fits(measured)
    rows = []
    for label, result in (("from the guess", naive), ("grid of starts", searched)):
        sigma = float(result.uncertainty()[0])
        rows.append([label, f"{result.x0[0]:.0f}", f"{result.x[0]:.2f} ± {sigma:.2f}", f"{result.merit ** 2:.2f}",
                     str(result.nfev), str(result.lamina_calls)])
    print(f"SiO2 film on Si, {WAVELENGTHS.size} wavelengths {WAVELENGTHS[0]:.0f}-{WAVELENGTHS[-1]:.0f} nm, "
          f"noise {NOISE:g}, true thickness {TRUE_NM:.1f} nm")
    print_table(["fit", "guess nm", "thickness nm", "reduced chi2", "evaluations", "lamina calls"], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, measured, naive, searched), args, "film_thickness_fit.png")


if __name__ == "__main__":
    main()
