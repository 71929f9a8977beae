"""dn/dλ and d²n/dλ² of a material, for group delay and its dispersion.

A material that knows its derivatives in closed form has a method
``index_derivatives(wavelength_nm) -> (n, dn/dλ, d²n/dλ²)`` (λ in nm, derivatives per nm and
per nm²): Constant, Cauchy, Sellmeier and Drude–Lorentz do. Any other material is
differentiated by the difference scheme below.

Difference scheme: central differences with the relative step h = 1e-4·λ,

    n' ≈ (n(λ+h) − n(λ−h)) / 2h,     n'' ≈ (n(λ+h) − 2n(λ) + n(λ−h)) / h².

h ≈ ε^¼·λ balances truncation (h²·n⁗/12) and rounding (ε·n/h²) for the second derivative: where
n changes on the scale of λ both are about 1e-8 of the derivative, more near a resonance (up to
1e-6 of dn/dλ and 1e-4 of d²n/dλ² beside an absorption band of width 0.1·λ, measured). A table interpolated linearly has no second
derivative: inside a segment n'' comes out 0, and within h of a tabulated point it is the jump
of the slope over h. Fit a model to a table before trusting the GDD computed from it: asked
for the derivatives of such a table, `index_derivatives` warns (DispersionWarning), once per
material.
"""
from __future__ import annotations

import dataclasses
import warnings
import weakref
from typing import Any, Set, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.materials.base import (
    HC_EV_NM,
    ComplexArray,
    Constant,
    Material,
    RangeWarning,
    DispersionWarning,
    finished,
    index_from_permittivity,
    wavelengths_nm,
)

__all__ = ["RELATIVE_STEP", "index_derivatives", "difference_derivatives", "piecewise_linear"]

#: The difference scheme's step, relative to the wavelength.
RELATIVE_STEP = 1e-4

Derivatives = Tuple[ComplexArray, ComplexArray, ComplexArray]


def difference_derivatives(material: Material, wavelength_nm: npt.ArrayLike) -> Derivatives:
    """(n, dn/dλ, d²n/dλ²) of any material by central differences (see the module's note)."""
    wl = wavelengths_nm(material.name, wavelength_nm)
    n = np.asarray(material.index(wl), dtype=np.complex128)
    h = RELATIVE_STEP * wl
    with warnings.catch_warnings():
        # λ ± h may step just past a valid range the grid itself respects; the grid warned already.
        warnings.simplefilter("ignore", RangeWarning)
        up = np.asarray(material.index(wl + h), dtype=np.complex128)
        down = np.asarray(material.index(wl - h), dtype=np.complex128)
    first: ComplexArray = (up - down) / (2.0 * h)
    second: ComplexArray = (up - 2.0 * n + down) / (h * h)
    return n, first, second


def piecewise_linear(material: Any) -> bool:
    """Whether a material interpolates a table linearly, itself or through a part (n of one
    material and k of another, a mixture): its second derivative is then not continuous."""
    from lamina_design.materials.tabulated import Tabulated

    if isinstance(material, Tabulated):
        # A straight line (a constant, two rows) has no kinks to show.
        wl = material.wavelength_nm
        return any(bool(np.any(np.diff(np.diff(column) / np.diff(wl)) != 0.0)) for column in (material.n, material.k))
    if dataclasses.is_dataclass(material) and not isinstance(material, type):
        return any(piecewise_linear(getattr(material, field.name)) for field in dataclasses.fields(material)
                   if isinstance(getattr(material, field.name, None), Material))
    return False


_warned: "weakref.WeakSet[Any]" = weakref.WeakSet()
_warned_names: Set[str] = set()


def _warn_linear(material: Material) -> None:
    """Warn once per material that GD/GDD of a linearly interpolated table are not to be trusted."""
    try:
        if material in _warned:
            return
        _warned.add(material)
    except TypeError:  # not weakly referable: once per name then
        if material.name in _warned_names:
            return
        _warned_names.add(material.name)
    warnings.warn(
        DispersionWarning(
            f"material {material.name!r} interpolates a table linearly, so its d²n/dλ² is 0 between rows "
            f"and a spike at each: GD and GDD from it jump at the tabulated wavelengths. Use a smooth "
            f"model (lamina_design.materials.fit_model(table, 'spline') or a catalogue film)"
        ),
        stacklevel=3,
    )


def index_derivatives(material: Material, wavelength_nm: npt.ArrayLike) -> Derivatives:
    """(n, dn/dλ, d²n/dλ²) on the grid: in closed form where the material has it.

    A linearly interpolated table warns (DispersionWarning, once per material).
    """
    exact = getattr(material, "index_derivatives", None)
    if callable(exact):
        n, first, second = exact(wavelength_nm)
        return (np.asarray(n, dtype=np.complex128), np.asarray(first, dtype=np.complex128),
                np.asarray(second, dtype=np.complex128))
    if isinstance(material, Constant):
        n = material.index(wavelength_nm)
        return n, np.zeros_like(n), np.zeros_like(n)
    if piecewise_linear(material):
        _warn_linear(material)
    return difference_derivatives(material, wavelength_nm)


def cauchy_derivatives(a: float, b: float, c: float, name: str, wl: npt.NDArray[np.float64]) -> Derivatives:
    """n = A + B/L² + C/L⁴ with L = λ/1000 (µm); derivatives per nm."""
    lam = wl / 1000.0
    n = a + b / lam**2 + c / lam**4
    first = (-2.0 * b / lam**3 - 4.0 * c / lam**5) / 1000.0
    second = (6.0 * b / lam**4 + 20.0 * c / lam**6) / 1e6
    return (finished(name, n.astype(np.complex128)), first.astype(np.complex128), second.astype(np.complex128))


def sellmeier_derivatives(a: float, terms: Tuple[Tuple[float, float], ...], name: str,
                          wl: npt.NDArray[np.float64]) -> Derivatives:
    """n² = A + Σ B u/(u − C), u = λ² in µm²; through u, then to λ in nm."""
    u = (wl / 1000.0) ** 2
    n2 = np.full(wl.shape, a)
    d1 = np.zeros(wl.shape)
    d2 = np.zeros(wl.shape)
    with np.errstate(divide="ignore", invalid="ignore"):
        for b, c in terms:
            n2 = n2 + b * u / (u - c)
            d1 = d1 - b * c / (u - c) ** 2
            d2 = d2 + 2.0 * b * c / (u - c) ** 3
        n = np.sqrt(n2)
    n = finished(name, n.astype(np.complex128)).real
    dn_du = d1 / (2.0 * n)
    d2n_du2 = (d2 - 2.0 * dn_du**2) / (2.0 * n)
    du = 2.0 * wl * 1e-6
    first = dn_du * du
    second = d2n_du2 * du**2 + dn_du * 2e-6
    return n.astype(np.complex128), first.astype(np.complex128), second.astype(np.complex128)


def drude_lorentz_derivatives(eps_inf: float, plasma_ev: float, damping_ev: float,
                              oscillators: Tuple[Tuple[float, float, float], ...], name: str,
                              wl: npt.NDArray[np.float64]) -> Derivatives:
    """ε(E) and its E-derivatives in closed form, then n = √ε and E = hc/λ."""
    e = HC_EV_NM / wl
    d0 = e * e + 1j * damping_ev * e
    d0p = 2.0 * e + 1j * damping_ev
    ep2 = plasma_ev**2
    eps = eps_inf - ep2 / d0
    eps1 = ep2 * d0p / d0**2
    eps2 = ep2 * (2.0 / d0**2 - 2.0 * d0p**2 / d0**3)
    for strength, centre, width in oscillators:
        s = strength * centre**2
        den = centre**2 - e * e - 1j * width * e
        denp = -2.0 * e - 1j * width
        eps = eps + s / den
        eps1 = eps1 - s * denp / den**2
        eps2 = eps2 + s * (2.0 / den**2 + 2.0 * denp**2 / den**3)
    n = finished(name, index_from_permittivity(np.asarray(eps, dtype=np.complex128)))
    dn_de = eps1 / (2.0 * n)
    d2n_de2 = (eps2 - 2.0 * dn_de**2) / (2.0 * n)
    de = -e / wl
    d2e = 2.0 * e / wl**2
    first = dn_de * de
    second = d2n_de2 * de**2 + dn_de * d2e
    return n, np.asarray(first, dtype=np.complex128), np.asarray(second, dtype=np.complex128)
