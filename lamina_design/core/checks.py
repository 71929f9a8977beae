"""Values and checks that stacks, substrates and figures of merit share.

One rule, one place: the checks of wavelengths, angles, thicknesses and indices that every
spectrum passes through, the layer record, and the one conversion of lamina's transmittance to
the power flux where the outer media absorb.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Literal, Union

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import thickness
from lamina_design.materials.base import (
    KAPPA_CONVENTION,
    ComplexArray,
    Constant,
    FloatArray,
    Material,
    usable_wavelengths,
)

__all__ = [
    "AIR",
    "GRAZING_ACCURACY",
    "INDEX_RANGE",
    "MAX_ANGLE_RAD",
    "Layer",
    "Polarisation",
    "absorbing",
    "admittances",
    "check_angles",
    "check_indices",
    "check_thickness",
    "check_wavelengths",
    "flux_per_e2",
    "flux_ratio",
    "flux_transmittance",
    "forward_cos",
    "polarisation_weights",
]

#: The incidence and exit medium where none is given: n = 1 exactly, the catalogue's "vacuum"
#: (its "air" is standard air, n ≈ 1.00028, which a stack gets only by asking for it).
AIR = Constant(1.0, "vacuum")

#: "s", "p", "unpolarised" (or "unpolarized") or a polarisation angle φ in radians.
Polarisation = Union[Literal["s", "p", "unpolarised", "unpolarized"], float]


def polarisation_weights(polarisation: Polarisation) -> tuple[float, float, float]:
    """(φ, s weight, p weight); the named states get exact weights."""
    if isinstance(polarisation, str):
        key = polarisation.lower()
        if key == "s":
            return 0.0, 1.0, 0.0
        if key == "p":
            return math.pi / 2, 0.0, 1.0
        if key in ("unpolarised", "unpolarized", "u"):
            return math.pi / 4, 0.5, 0.5
        raise ValueError(f"polarisation must be 's', 'p', 'unpolarised' or an angle in radians, got {polarisation!r}")
    phi = float(polarisation)
    if not math.isfinite(phi):
        raise ValueError(f"polarisation angle must be finite, got {phi}")
    return phi, math.cos(phi) ** 2, math.sin(phi) ** 2


def check_wavelengths(wavelength_nm: npt.ArrayLike) -> FloatArray:
    """A 1-D float64 copy of the grid; empty, non-finite or non-positive grids raise ValueError."""
    wl = np.array(wavelength_nm, dtype=np.float64, ndmin=1)
    if wl.ndim != 1:
        raise ValueError(f"wavelengths must be a 1-D grid, got shape {wl.shape}")
    if wl.size == 0:
        raise ValueError("the wavelength grid is empty")
    if not usable_wavelengths(wl):
        raise ValueError("wavelengths must be finite and positive (nm)")
    return wl


#: How much of cos²θ the rounding of 1 − sin²θ may spoil at the largest angle accepted.
GRAZING_ACCURACY = 1e-6

#: The largest angle of incidence accepted (radians): π/2 − 1.49e-5, 89.99915°. lamina forms cos θ
#: from 1 − sin²θ, whose rounding (up to 2⁻⁵² near θ = π/2) is a relative error of 2⁻⁵²/cos²θ in
#: R and T: about 1e-6 here; from air to air T is 0.9996 at π/2 − 1e-7 and 1.414 at the last
#: angle before sin θ rounds to 1, π/2 − 1.05e-8, beyond which R and T are NaN for every stack.
MAX_ANGLE_RAD = math.pi / 2 - math.sqrt(2.0**-52 / GRAZING_ACCURACY)


def check_angles(angle: npt.ArrayLike) -> FloatArray:
    """Angles of incidence as a 1-D float64 array; outside [0, MAX_ANGLE_RAD] raises ValueError."""
    angles = np.array(angle, dtype=np.float64, ndmin=1)
    if angles.ndim != 1 or angles.size == 0:
        raise ValueError("angles must be a number or a non-empty 1-D sequence (radians)")
    bad = ~((angles >= 0.0) & (angles < math.pi / 2))
    if np.any(bad):
        raise ValueError(f"angle of incidence must lie in [0, π/2) radians, got {float(angles[bad][0])!r}")
    grazing = angles > MAX_ANGLE_RAD
    if np.any(grazing):
        raise ValueError(
            f"angle of incidence {float(angles[grazing][0])!r} rad is too close to π/2: within "
            f"{math.pi / 2 - MAX_ANGLE_RAD:.3g} rad of it the rounding of sin²θ costs R and T more than "
            f"{GRAZING_ACCURACY:g} of their accuracy (and within 1.05e-8 they are NaN, sin θ rounding to 1); "
            f"the largest angle accepted is {MAX_ANGLE_RAD!r} rad ({math.degrees(MAX_ANGLE_RAD):.5f}°)"
        )
    return angles


def check_thickness(value: float, what: str) -> float:
    """The thickness as a float; NaN, infinite or negative raise ValueError naming `what`."""
    thickness = float(value)
    if not math.isfinite(thickness) or thickness < 0:
        raise ValueError(f"{what}: thickness must be finite and ≥ 0 nm, got {value!r}")
    return thickness


#: Accepted |n + iκ|. At normal incidence lamina's interface matrices lose about 1e-16/|n| of
#: R and T to cancellation (1e-10 at 1e-6, all of it by 1e-14: a film of index 1e-100 on glass
#: "absorbs" −500 %); far above, the squares lamina forms overflow.
INDEX_RANGE = (1e-6, 1e100)


def check_indices(name: str, index: ComplexArray, wl: FloatArray) -> ComplexArray:
    """A material's indices on the grid, refused (ValueError) where lamina cannot use them or κ < 0."""
    finite = np.isfinite(index)
    if not np.all(finite):
        at = float(wl[np.argmin(finite)])
        raise ValueError(f"{name}: refractive index is not finite at {at:g} nm")
    gain = index.imag < 0
    if np.any(gain):
        i = int(np.argmax(gain))
        raise ValueError(f"{name}: refractive index {complex(index[i])} at {float(wl[i]):g} nm has κ < 0; "
                         + KAPPA_CONVENTION)
    size = np.abs(index)
    zero = size == 0.0
    if np.any(zero):
        at = float(wl[np.argmax(zero)])
        raise ValueError(
            f"{name}: refractive index 0 at {at:g} nm; an index of exactly 0 has no propagating or decaying "
            "wave (the transfer matrix divides by n cos θ = 0), give the material's actual n + iκ"
        )
    lo, hi = INDEX_RANGE
    outside = ~((size >= lo) & (size <= hi))
    if np.any(outside):
        i = int(np.argmax(outside))
        why = ("lamina cannot compute R and T accurately so close to an index of 0" if size[i] < lo
               else "its square leaves the float64 range")
        raise ValueError(
            f"{name}: refractive index {complex(index[i])} at {float(wl[i]):g} nm lies outside "
            f"|n| = {lo:g}…{hi:g}: {why}"
        )
    return index


@dataclass(frozen=True)
class Layer:
    """One film: a material and its physical thickness in nm.

    ``coherent=False`` marks a layer many coherence lengths thick (a plate, a thick glue or
    encapsulant, a wafer): its multiple reflections add in power, not in amplitude.
    """

    material: Material
    thickness_nm: float
    coherent: bool = True

    def __post_init__(self) -> None:
        object.__setattr__(self, "thickness_nm", check_thickness(self.thickness_nm, f"layer of {self.material.name}"))
        if not isinstance(self.coherent, (bool, np.bool_)):
            raise TypeError(f"layer of {self.material.name}: coherent must be True or False, got {self.coherent!r}")
        object.__setattr__(self, "coherent", bool(self.coherent))

    def __repr__(self) -> str:
        return f"Layer({self.material.name}, {thickness(self.thickness_nm)}{'' if self.coherent else ', incoherent'})"


_TINY = 100 * np.finfo(np.float64).eps


def forward_cos(n: ComplexArray, kx: ComplexArray) -> ComplexArray:
    """cos θ in a medium of index n for the in-plane index kx = n₀ sin θ₀, on the forward branch.

    Forward is the wave that decays into the medium or, without decay, carries power into it.
    """
    c: ComplexArray = np.sqrt(1.0 - (kx / n) ** 2 + 0j)
    nc = n * c
    backward = np.where(np.abs(nc.imag) > _TINY, nc.imag < 0, nc.real < 0)
    out: ComplexArray = np.where(backward, -c, c)
    return out


def absorbing(*media: ComplexArray) -> bool:
    """Whether any of the indices has an imaginary part."""
    return any(bool(np.any(n.imag != 0)) for n in media)


def admittances(n: ComplexArray, cos: ComplexArray) -> ComplexArray:
    """(n cos θ, n cos θ*) of a medium, (2, …): the s and p factors of its power flux and of the
    interference term of two waves in it."""
    out: ComplexArray = np.stack([n * cos, n * np.conj(cos)])
    return out


def flux_per_e2(n: ComplexArray, cos: ComplexArray) -> FloatArray:
    """Power flux along z per |E|² of one plane wave, (2, …): Re(n cos θ) for s, Re(n cos θ*) for p."""
    out: FloatArray = admittances(n, cos).real
    return out


def flux_ratio(first: ComplexArray, last: ComplexArray, kx: ComplexArray) -> FloatArray:
    """|t|² to the transmitted power flux, (2, W) for s and p: the exit medium's flux per |E|²
    over the incidence medium's (tmm's and PyMoosh's T)."""
    out: FloatArray = flux_per_e2(last, forward_cos(last, kx)) / flux_per_e2(first, forward_cos(first, kx))
    return out


def flux_transmittance(t: FloatArray, first: ComplexArray, last: ComplexArray, kx: ComplexArray,
                       p: bool) -> FloatArray:
    """lamina's T for one polarisation, rescaled to the ratio of power fluxes through the two media.

    lamina's T is η·|t|² with η = Re(n_L cos θ_L / (n₀ cos θ₀)) for both polarisations. The
    flux normal to the layers is Re(n cos θ)·|E|² for s but Re(n cos θ*)·|E|² for p, so where
    the first or last medium absorbs, p needs Re(n_L cos θ_L*) / Re(n₀ cos θ₀*) instead of η
    (:func:`flux_ratio`). With real media the two agree and T comes back unchanged.
    """
    if not absorbing(first, last, kx) or not (p or absorbing(first, kx)):
        # Real media, or s from a real incidence medium: η is the flux ratio already.
        return t
    y0 = first * forward_cos(first, kx)
    yl = last * forward_cos(last, kx)
    lossy = (y0.imag != 0) | (yl.imag != 0)
    if not np.any(lossy):
        return t
    eta = (yl / y0).real
    flux = flux_ratio(first, last, kx)[1 if p else 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        scaled = np.where(eta != 0, t * flux / eta, 0.0)
    out: FloatArray = np.where(lossy, scaled, t)
    return out
