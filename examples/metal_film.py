"""Thin silver and gold films on N-BK7 glass: reflectance, transmittance and absorptance.

The metals are described by Drude(-Lorentz) fits (examples/materials.py): their index has a
large positive imaginary part κ, so a wave decays within a skin depth of λ/(4πκ) ≈ 12 nm for
silver at 633 nm. A film a few nanometres thick is still a partial mirror; by 100 nm it is
opaque. Absorptance is what the stack neither reflects nor transmits: A = 1 − R − T (the glass
exit medium is lossless, so T is the power carried into it).

    python examples/metal_film.py [--out DIR]
"""

from __future__ import annotations

from typing import Any, Callable, Optional, Sequence

import numpy as np

import lamina
from materials import ComplexArray, FloatArray, bk7, gold, silver, stack_indices
from plotting import load_pyplot, parse_args, print_table, save

METALS: dict[str, Callable[[FloatArray], ComplexArray]] = {"silver": silver, "gold": gold}
FILM_NM = 40.0
PROBE_NM = 633.0
WAVELENGTHS = np.linspace(500.0, 1100.0, 1201, dtype=np.float64)  # where both metal fits hold
THICKNESSES = np.linspace(0.0, 150.0, 151, dtype=np.float64)


RTA = tuple[FloatArray, FloatArray, FloatArray]


def film(metal: str, thickness_nm: float, wl: FloatArray, theta: float = 0.0, phi: float = 0.0) -> RTA:
    """R, T and A of a metal film on glass, lit from air."""
    n = stack_indices(wl, [1.0, METALS[metal], bk7])
    result = lamina.DataPy(np.array([thickness_nm]), n, wl, theta, phi).simulate()
    r, t = result.r, result.t
    return r, t, 1.0 - r - t


def versus_thickness(metal: str, thicknesses: FloatArray = THICKNESSES, wl_nm: float = PROBE_NM) -> RTA:
    """R, T and A at one wavelength for each film thickness: one DataPy per thickness."""
    wl = np.array([wl_nm])
    rows = np.array([[v[0] for v in film(metal, d, wl)] for d in thicknesses])
    return rows[:, 0], rows[:, 1], rows[:, 2]


def plot(plt: Any, spectra: dict[str, RTA], by_thickness: dict[str, RTA]) -> Any:
    fig, (ax_wl, ax_d) = plt.subplots(1, 2, figsize=(11, 4.2))
    styles = {"R": "-", "T": "--", "A": ":"}
    colours = {"silver": "#5a6b7b", "gold": "#c8961e"}
    for metal, (r, t, a) in spectra.items():
        for key, values in zip("RTA", (r, t, a)):
            ax_wl.plot(WAVELENGTHS, values, color=colours[metal], ls=styles[key], lw=1.8, label=f"{metal} {key}")
    for metal, (r, t, a) in by_thickness.items():
        for key, values in zip("RTA", (r, t, a)):
            ax_d.plot(THICKNESSES, values, color=colours[metal], ls=styles[key], lw=1.8, label=f"{metal} {key}")
    ax_wl.set(xlabel="wavelength (nm)", ylabel="fraction of incident power", xlim=(WAVELENGTHS[0], WAVELENGTHS[-1]),
              title=f"{FILM_NM:.0f} nm films on glass, normal incidence")
    ax_d.set(xlabel="film thickness (nm)", xlim=(THICKNESSES[0], THICKNESSES[-1]),
             title=f"Versus thickness at {PROBE_NM:.0f} nm")
    ax_d.legend(frameon=False, ncol=2, fontsize=9, loc="center right")
    for ax in (ax_wl, ax_d):
        ax.set_ylim(-0.02, 1.02)
        ax.grid(alpha=0.3)
    return fig


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse_args(__doc__.splitlines()[0] if __doc__ else "", argv)
    spectra = {metal: film(metal, FILM_NM, WAVELENGTHS) for metal in METALS}
    by_thickness = {metal: versus_thickness(metal) for metal in METALS}
    print(f"Metal films on N-BK7 at {PROBE_NM:.0f} nm, normal incidence")
    rows = []
    for d in (5.0, 10.0, 20.0, 40.0, 80.0, 150.0):
        i = int(np.argmin(abs(THICKNESSES - d)))
        cells = [f"{THICKNESSES[i]:.0f}"]
        for metal in METALS:
            cells += [f"{by_thickness[metal][k][i]:.3f}" for k in range(3)]
        rows.append(cells)
    print_table(["d (nm)", "Ag R", "Ag T", "Ag A", "Au R", "Au T", "Au A"], rows)
    plt = load_pyplot(args)
    if plt is not None:
        save(plt, plot(plt, spectra, by_thickness), args, "metal_film.png")


if __name__ == "__main__":
    main()
