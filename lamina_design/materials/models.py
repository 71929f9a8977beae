"""Closed-form dispersion models.

Every model is a frozen dataclass: its coefficients are checked once, when it is built, and it
cannot change afterwards. Wavelengths are in nm at the interface; each model converts to the
unit its coefficients were published in (µm for Cauchy and Sellmeier, eV for the oscillators).
Fields vary as exp(−iωt), so Im ε > 0 and κ > 0 mean loss.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import model
from lamina_design.materials.base import (
    HC_EV_NM,
    ComplexArray,
    Material,
    MaterialError,
    Range,
    check_finite,
    check_range,
    check_range_value,
    finished,
    index_from_permittivity,
    wavelengths_nm,
)

__all__ = ["Cauchy", "Sellmeier", "DrudeLorentz", "TaucLorentz", "TaucLorentzSum", "Bruggeman"]


def _pairs(name: str, what: str, terms: Sequence[Sequence[float]], width: int) -> Tuple[Tuple[float, ...], ...]:
    rows: list[Tuple[float, ...]] = []
    for term in terms:
        row = tuple(float(v) for v in term)
        if len(row) != width:
            raise MaterialError(f"material {name!r}: each {what} needs {width} numbers, got {term!r}")
        check_finite(name, what, row)
        rows.append(row)
    return tuple(rows)


@dataclass(frozen=True)
class Cauchy:
    """n = A + B/λ² + C/λ⁴ with λ in µm; a transparent material away from its absorption edge."""

    a: float
    b: float = 0.0
    c: float = 0.0
    name: str = "cauchy"
    valid_nm: Optional[Range] = None

    def __post_init__(self) -> None:
        check_finite(self.name, "Cauchy coefficient", (self.a, self.b, self.c))
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        lam2 = (wl / 1000.0) ** 2
        n = self.a + self.b / lam2 + self.c / lam2**2
        return finished(self.name, n.astype(np.complex128))

    def index_derivatives(self, wavelength_nm: npt.ArrayLike) -> Tuple[ComplexArray, ComplexArray, ComplexArray]:
        """(n, dn/dλ, d²n/dλ²), per nm, in closed form."""
        from lamina_design.materials.dispersion import cauchy_derivatives

        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return cauchy_derivatives(self.a, self.b, self.c, self.name, wl)


@dataclass(frozen=True)
class Sellmeier:
    """n² = A + Σ Bᵢ λ² / (λ² − Cᵢ) with λ in µm and Cᵢ in µm² (A = 1 in the usual form).

    Transparent: n is real. Between the poles n² may fall below 0, where the material cannot be
    evaluated (MaterialError).
    """

    terms: Tuple[Tuple[float, float], ...]
    name: str = "sellmeier"
    valid_nm: Optional[Range] = None
    a: float = 1.0

    def __post_init__(self) -> None:
        object.__setattr__(self, "terms", _pairs(self.name, "Sellmeier term (B, C)", self.terms, 2))
        check_finite(self.name, "Sellmeier constant", (self.a,))
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        lam2 = (wl / 1000.0) ** 2
        n2 = np.full(wl.shape, self.a)
        for b, c in self.terms:
            with np.errstate(divide="ignore", invalid="ignore"):
                n2 = n2 + b * lam2 / (lam2 - c)
        with np.errstate(invalid="ignore"):
            n = np.sqrt(n2)
        return finished(self.name, n.astype(np.complex128))

    def index_derivatives(self, wavelength_nm: npt.ArrayLike) -> Tuple[ComplexArray, ComplexArray, ComplexArray]:
        """(n, dn/dλ, d²n/dλ²), per nm, in closed form."""
        from lamina_design.materials.dispersion import sellmeier_derivatives

        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return sellmeier_derivatives(self.a, self.terms, self.name, wl)


@dataclass(frozen=True)
class DrudeLorentz:
    """ε(E) = ε∞ − Ep² / (E² + iγE) + Σ Δε Ω² / (Ω² − E² − iΓE), photon energies E in eV.

    `oscillators` holds (Δε, Ω, Γ) per Lorentz term; with none it is the Drude model
    (see `drude`). `rakic` converts the (f, Γ, ω) tables of Rakić et al. 1998.
    """

    eps_inf: float
    plasma_ev: float
    damping_ev: float
    oscillators: Tuple[Tuple[float, float, float], ...] = ()
    name: str = "drude_lorentz"
    valid_nm: Optional[Range] = None

    def __post_init__(self) -> None:
        check_finite(self.name, "Drude parameter", (self.eps_inf, self.plasma_ev, self.damping_ev))
        rows = _pairs(self.name, "Lorentz oscillator (Δε, Ω, Γ)", self.oscillators, 3)
        for _, centre, width in rows:
            if centre <= 0.0 or width < 0.0:
                raise MaterialError(f"material {self.name!r}: an oscillator needs Ω > 0 and Γ ≥ 0")
        if self.damping_ev < 0.0:
            raise MaterialError(f"material {self.name!r}: Drude damping must be ≥ 0")
        object.__setattr__(self, "oscillators", rows)
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    @classmethod
    def drude(
        cls, eps_inf: float, plasma_ev: float, damping_ev: float, name: str = "drude", valid_nm: Optional[Range] = None
    ) -> DrudeLorentz:
        """Free electrons only."""
        return cls(eps_inf, plasma_ev, damping_ev, (), name, valid_nm)

    @classmethod
    def rakic(
        cls,
        plasma_ev: float,
        f0: float,
        gamma0_ev: float,
        oscillators: Sequence[Tuple[float, float, float]],
        name: str = "drude_lorentz",
        valid_nm: Optional[Range] = None,
    ) -> DrudeLorentz:
        """From the Lorentz–Drude form of Rakić et al., Appl. Opt. 37, 5271 (1998):

        ε = 1 − f₀ωp² / (ω(ω + iΓ₀)) + Σ fⱼωp² / (ωⱼ² − ω² − iωΓⱼ), oscillators as (fⱼ, Γⱼ, ωⱼ).
        """
        terms = tuple((f * plasma_ev**2 / omega**2, omega, gamma) for f, gamma, omega in oscillators)
        return cls(1.0, math.sqrt(f0) * plasma_ev, gamma0_ev, terms, name, valid_nm)

    def permittivity(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        energy = HC_EV_NM / wl
        eps = self.eps_inf - self.plasma_ev**2 / (energy**2 + 1j * self.damping_ev * energy)
        for strength, centre, width in self.oscillators:
            eps = eps + strength * centre**2 / (centre**2 - energy**2 - 1j * width * energy)
        return np.asarray(eps, dtype=np.complex128)

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return finished(self.name, index_from_permittivity(self.permittivity(wl)))

    def index_derivatives(self, wavelength_nm: npt.ArrayLike) -> Tuple[ComplexArray, ComplexArray, ComplexArray]:
        """(n, dn/dλ, d²n/dλ²), per nm, in closed form."""
        from lamina_design.materials.dispersion import drude_lorentz_derivatives

        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return drude_lorentz_derivatives(self.eps_inf, self.plasma_ev, self.damping_ev, self.oscillators,
                                         self.name, wl)


@dataclass(frozen=True)
class TaucLorentz:
    """Jellison–Modine Tauc–Lorentz model of an amorphous semiconductor or dielectric.

    ε₂(E) = A E₀ C (E − Eg)² / ((E² − E₀²)² + C²E²) / E above the gap Eg, 0 below; ε₁ is its
    Kramers–Kronig transform in closed form plus ε∞ (G. E. Jellison and F. A. Modine, Appl.
    Phys. Lett. 69, 371 (1996), with the erratum ibid. 69, 2137). Energies in eV; the closed
    form needs C < 2E₀.
    """

    amplitude_ev: float
    centre_ev: float
    broadening_ev: float
    gap_ev: float
    eps_inf: float = 1.0
    name: str = "tauc_lorentz"
    valid_nm: Optional[Range] = None

    def __post_init__(self) -> None:
        check_finite(
            self.name,
            "Tauc–Lorentz parameter",
            (self.amplitude_ev, self.centre_ev, self.broadening_ev, self.gap_ev, self.eps_inf),
        )
        if not (self.amplitude_ev >= 0.0 and self.centre_ev > 0.0 and self.gap_ev >= 0.0):
            raise MaterialError(f"material {self.name!r}: Tauc–Lorentz needs A ≥ 0, E0 > 0 and Eg ≥ 0")
        if not 0.0 < self.broadening_ev < 2.0 * self.centre_ev:
            raise MaterialError(f"material {self.name!r}: Tauc–Lorentz needs 0 < C < 2·E0")
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    def permittivity(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        e = HC_EV_NM / wl
        a, e0, c, eg = self.amplitude_ev, self.centre_ev, self.broadening_ev, self.gap_ev
        e2, e02, eg2, c2 = e * e, e0 * e0, eg * eg, c * c

        above = e > eg
        eps2 = np.where(above, a * e0 * c * (e - eg) ** 2 / ((e2 - e02) ** 2 + c2 * e2) / e, 0.0)

        alpha = math.sqrt(4.0 * e02 - c2)
        gamma2 = e02 - c2 / 2.0
        zeta4 = (e2 - gamma2) ** 2 + alpha * alpha * c2 / 4.0
        a_ln = (eg2 - e02) * e2 + eg2 * c2 - e02 * (e02 + 3.0 * eg2)
        a_atan = (e2 - e02) * (e02 + eg2) + eg2 * c2
        pz = math.pi * zeta4

        t1 = a * c * a_ln / (2.0 * pz * alpha * e0) * math.log(
            (e02 + eg2 + alpha * eg) / (e02 + eg2 - alpha * eg)
        )
        t2 = -a * a_atan / (pz * e0) * (
            math.pi - math.atan((2.0 * eg + alpha) / c) + math.atan((alpha - 2.0 * eg) / c)
        )
        t3 = 4.0 * a * e0 * eg * (e2 - gamma2) / (pz * alpha) * (
            math.atan((alpha + 2.0 * eg) / c) + math.atan((alpha - 2.0 * eg) / c)
        )
        # The two logarithms of |E − Eg| combine into −(E − Eg)²/E · ln|E − Eg|, which tends to 0
        # at the gap; folding them avoids inf − inf there.
        gap = np.abs(e - eg)
        with np.errstate(divide="ignore", invalid="ignore"):
            log_gap = np.where(gap > 0.0, (e - eg) ** 2 / e * np.log(np.where(gap > 0.0, gap, 1.0)), 0.0)
        t45 = a * e0 * c / pz * (
            -log_gap
            + ((e2 + eg2) / e + 2.0 * eg) * np.log(e + eg)
            - eg * math.log((e02 - eg2) ** 2 + eg2 * c2)
        )
        eps1 = self.eps_inf + t1 + t2 + t3 + t45
        return np.asarray(eps1 + 1j * eps2, dtype=np.complex128)

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return finished(self.name, index_from_permittivity(self.permittivity(wl)))


@dataclass(frozen=True)
class TaucLorentzSum:
    """Several Tauc–Lorentz oscillators over one ε∞: ε = ε∞ + Σ (ε of each, its own ε∞ left out).

    `oscillators` holds (A, E0, C, Eg) in eV per oscillator, each as `TaucLorentz` takes them.
    An amorphous film whose absorption has more than one edge (TiO₂: the gap and a stronger
    band above it) needs two. n and κ are smooth except at each gap, where ε₂ starts as (E − Eg)².
    """

    oscillators: Tuple[Tuple[float, float, float, float], ...]
    eps_inf: float = 1.0
    name: str = "tauc_lorentz_sum"
    valid_nm: Optional[Range] = None

    def __post_init__(self) -> None:
        rows = _pairs(self.name, "Tauc–Lorentz oscillator (A, E0, C, Eg)", self.oscillators, 4)
        if not rows:
            raise MaterialError(f"material {self.name!r}: a Tauc–Lorentz sum needs at least one oscillator")
        check_finite(self.name, "ε∞", (self.eps_inf,))
        # Each oscillator is checked as a model of its own, so a bad one is refused here, by name.
        terms = tuple(TaucLorentz(a, e0, c, eg, 0.0, self.name) for a, e0, c, eg in rows)
        object.__setattr__(self, "_terms", terms)
        object.__setattr__(self, "oscillators", rows)
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    def permittivity(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        eps = np.full(wl.shape, complex(self.eps_inf), dtype=np.complex128)
        for term in getattr(self, "_terms"):
            eps = eps + term.permittivity(wl)
        return eps

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        return finished(self.name, index_from_permittivity(self.permittivity(wl)))


@dataclass(frozen=True)
class Bruggeman:
    """Bruggeman effective medium of two components, `fraction` the volume fraction of `second`.

    Solves f₁(ε₁ − ε)/(ε₁ + 2ε) + f₂(ε₂ − ε)/(ε₂ + 2ε) = 0, a quadratic in ε. Of its two roots
    the physical one has the larger Im ε (the other lies on the lossy side of a gain medium);
    for two lossless components both are real and the physical one is the positive one.
    """

    first: Material
    second: Material
    fraction: float
    name: str = "bruggeman"

    def __post_init__(self) -> None:
        if not (math.isfinite(self.fraction) and 0.0 <= self.fraction <= 1.0):
            raise MaterialError(f"material {self.name!r}: volume fraction {self.fraction!r} is not in [0, 1]")

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        eps1 = self.first.index(wl) ** 2
        eps2 = self.second.index(wl) ** 2
        f2 = self.fraction
        f1 = 1.0 - f2
        b = (3.0 * f1 - 1.0) * eps1 + (3.0 * f2 - 1.0) * eps2
        root = np.sqrt(b * b + 8.0 * eps1 * eps2)
        plus = (b + root) / 4.0
        minus = (b - root) / 4.0
        scale = np.maximum(np.abs(plus), np.abs(minus))
        # Ties in Im ε (up to rounding) leave the root with the larger real part.
        tie = np.abs(plus.imag - minus.imag) <= 1e-12 * scale
        take_plus = np.where(tie, plus.real >= minus.real, plus.imag > minus.imag)
        eps = np.where(take_plus, plus, minus)
        return finished(self.name, index_from_permittivity(np.asarray(eps, dtype=np.complex128)))

