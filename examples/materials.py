"""Dispersive optical constants for the examples, from closed-form models.

Every function takes wavelengths in nanometres (a float or a NumPy array) and returns the
complex refractive index n + iκ as complex128, with κ ≥ 0 meaning absorption -- the sign
convention lamina uses. The models are textbook fits, good to a few parts in 10⁴ for the
glasses and crystals and to a few per cent for the metals inside their stated ranges; swap in
tabulated data for real design work.

`stack_indices` turns a list of media into the (media × wavelengths) array that
`lamina.DataPy` expects.
"""

from __future__ import annotations

from typing import Callable, Sequence, Union

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]
Wavelengths = Union[float, npt.ArrayLike]

#: A medium is a constant index or a function of the wavelength in nanometres.
Medium = Union[complex, float, Callable[[FloatArray], ComplexArray]]

#: Photon energy in eV times wavelength in nm (hc).
HC_EV_NM = 1239.841984


def _micrometres(wl_nm: Wavelengths) -> FloatArray:
    return np.asarray(wl_nm, dtype=np.float64) / 1000.0


def sellmeier(wl_nm: Wavelengths, terms: Sequence[tuple[float, float]]) -> ComplexArray:
    """n² = 1 + Σ B λ² / (λ² − C), λ in µm, C in µm²: a transparent material."""
    lam2 = _micrometres(wl_nm) ** 2
    n2 = 1.0 + sum(b * lam2 / (lam2 - c) for b, c in terms)
    return np.sqrt(n2).astype(np.complex128)


def cauchy(wl_nm: Wavelengths, a: float, b: float, c: float = 0.0) -> ComplexArray:
    """n = A + B/λ² + C/λ⁴, λ in µm: a transparent material away from its absorption edge."""
    lam2 = _micrometres(wl_nm) ** 2
    return (a + b / lam2 + c / lam2**2).astype(np.complex128)


def fused_silica(wl_nm: Wavelengths) -> ComplexArray:
    """SiO₂ (fused silica), Malitson's three-term Sellmeier fit, 0.21–3.7 µm; n(550) ≈ 1.460."""
    return sellmeier(wl_nm, [(0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2), (0.8974794, 9.896161**2)])


def bk7(wl_nm: Wavelengths) -> ComplexArray:
    """N-BK7 crown glass, the catalogue Sellmeier fit, 0.3–2.5 µm; n(550) ≈ 1.519."""
    return sellmeier(wl_nm, [(1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653)])


def magnesium_fluoride(wl_nm: Wavelengths) -> ComplexArray:
    """MgF₂, ordinary ray, Dodge's Sellmeier fit, 0.2–7 µm; n(550) ≈ 1.379."""
    return sellmeier(wl_nm, [(0.48755108, 0.04338408**2), (0.39875031, 0.09461442**2), (2.3120353, 23.793604**2)])


def titanium_dioxide(wl_nm: Wavelengths) -> ComplexArray:
    """TiO₂ thin film (amorphous, ion-assisted deposition), a Cauchy fit; n(550) ≈ 2.34.

    Deposited films are less dense than rutile (n ≈ 2.65), so a film fit is the realistic choice
    for coatings. Valid above ≈ 380 nm, where the film is transparent.
    """
    return cauchy(wl_nm, 2.20, 0.035, 0.0025)


def drude_lorentz(
    wl_nm: Wavelengths,
    eps_inf: float,
    plasma_ev: float,
    damping_ev: float,
    oscillators: Sequence[tuple[float, float, float]] = (),
) -> ComplexArray:
    """Index of a metal from a Drude term plus Lorentz oscillators (energies in eV).

    ε(ω) = ε∞ − ωp² / (ω² + iγω) + Σ Δε Ω² / (Ω² − ω² − iΓω), each oscillator given as
    (Δε, Ω, Γ). Written for fields varying as exp(−iωt), so Im ε > 0 is loss, and the
    principal square root gives κ > 0.
    """
    omega = HC_EV_NM / np.asarray(wl_nm, dtype=np.float64)
    eps = eps_inf - plasma_ev**2 / (omega**2 + 1j * damping_ev * omega)
    for strength, centre, width in oscillators:
        eps = eps + strength * centre**2 / (centre**2 - omega**2 - 1j * width * omega)
    return np.asarray(np.sqrt(eps), dtype=np.complex128)


def silver(wl_nm: Wavelengths) -> ComplexArray:
    """Silver, a free-electron (Drude) fit to the visible and near infrared, above ≈ 350 nm."""
    return drude_lorentz(wl_nm, eps_inf=3.7, plasma_ev=9.0, damping_ev=0.021)


def gold(wl_nm: Wavelengths) -> ComplexArray:
    """Gold, Drude plus one Lorentz oscillator for the interband absorption (Vial et al. 2005),
    fitted over 500–1000 nm; below 500 nm it misses most of gold's interband loss."""
    return drude_lorentz(
        wl_nm, eps_inf=5.9673, plasma_ev=8.7411, damping_ev=0.065837, oscillators=[(1.09, 2.6885, 0.43366)]
    )


def stack_indices(wl_nm: FloatArray, media: Sequence[Medium]) -> ComplexArray:
    """The (len(media), len(wl_nm)) complex128 index array for `lamina.DataPy`.

    `media` runs from the incidence medium through the layers to the exit medium.
    """
    wl = np.asarray(wl_nm, dtype=np.float64)
    rows = [medium(wl) if callable(medium) else np.full(wl.shape, medium) for medium in media]
    return np.ascontiguousarray(np.vstack(rows), dtype=np.complex128)


def quarter_wave(material: Callable[[FloatArray], ComplexArray], design_nm: float) -> float:
    """Physical thickness (nm) of a quarter-wave layer at normal incidence at `design_nm`."""
    return design_nm / (4.0 * float(material(np.array([design_nm]))[0].real))
