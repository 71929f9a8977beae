"""Thick substrates: the back side of a coated plate, added incoherently.

A plate many coherence lengths thick does not interfere with itself: the powers of the multiply
reflected beams add. Per polarisation, with the front coating seen from the incidence side
(R_f, T_f) and from the substrate (R_f', T_f'), the back surface seen from the substrate
(R_b, T_b) and the single-pass transmission P = exp(−4π·Im(n cos θ)·d/λ)::

    R = R_f + T_f·T_f'·R_b·P² / (1 − R_f'·R_b·P²)
    T = T_f·T_b·P / (1 − R_f'·R_b·P²)

then s and p are mixed with weights cos²φ and sin²φ. Each of R_f, R_f', R_b is one lamina call
per polarisation; the front coating is reversed to see it from the substrate.

Transmittances are power fluxes normalised by the incident flux: Re(n cos θ) for s and
Re(n cos θ*) for p. lamina's η factor uses Re(n cos θ) for both; where the media absorb it is
corrected as for a coating on a half-infinite exit, by
:func:`lamina_design.core.checks.flux_transmittance`. For real incidence, exit and substrate indices
this is the usual T, and the result agrees with ``tmm.inc_tmm`` to rounding.

lamina takes one real angle per call. Inside the substrate the angle follows Snell's law at
every wavelength, so at oblique incidence the calls from the substrate side are made once per
distinct angle (once in all for non-dispersive media, once per wavelength otherwise), and an
absorbing substrate would be seen by its interfaces as Re(n) (measured against tmm.inc_tmm on a
two-layer coating: |ΔR|, |ΔT| up to 3e-6 for κ = 2e-5 and 4e-5 for κ = 1e-3 at 0.4–1.2 rad).
:class:`~lamina_design.optics.stack.Stack` therefore sends that case (an absorbing substrate at oblique
incidence) to the engine's exact path, :mod:`lamina_design.optics.incoherent`; this function serves the
lossless plates and normal incidence, where every call is exact and there is one per pass.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Optional, Tuple

import numpy as np

from lamina_design.core.formatting import thickness
from lamina_design.core.checks import AIR, Layer, check_thickness, flux_transmittance, forward_cos
from lamina_design.materials.base import ComplexArray, FloatArray, Material

__all__ = ["Simulate", "Substrate", "forward_cos", "incoherent_spectrum"]

#: One lamina call: (d, n, θ, φ, wavelengths or None for the prepared grid) → (R, T).
Simulate = Callable[[FloatArray, ComplexArray, float, float, Optional[FloatArray]], Tuple[FloatArray, FloatArray]]


@dataclass(frozen=True)
class Substrate:
    """A plate thick enough to be incoherent: material, thickness in nm, optional back coating.

    ``back_layers`` are listed from the substrate outwards; ``back_medium`` is behind the plate.
    """

    material: Material
    thickness_nm: float
    back_layers: tuple[Layer, ...] = ()
    back_medium: Material = AIR

    def __post_init__(self) -> None:
        object.__setattr__(self, "thickness_nm",
                           check_thickness(self.thickness_nm, f"substrate {self.material.name}"))
        object.__setattr__(self, "back_layers", tuple(self.back_layers))
        for layer in self.back_layers:
            if not isinstance(layer, Layer):
                raise TypeError(f"back_layers must be Layer objects, got {type(layer).__name__}")

    def __repr__(self) -> str:
        back = f", back layers {list(self.back_layers)}" if self.back_layers else ""
        return f"Substrate({self.material.name}, {thickness(self.thickness_nm)}{back}, back medium {self.back_medium.name})"


def _grouped(simulate: Simulate, wl: FloatArray, d: FloatArray, n: ComplexArray, theta: FloatArray,
             phi: float) -> tuple[FloatArray, FloatArray]:
    """lamina R and T where the angle differs between wavelengths: one call per distinct angle."""
    if np.all(theta == theta[0]):
        return simulate(d, n, float(theta[0]), phi, None)
    r = np.empty(theta.size)
    t = np.empty(theta.size)
    values, which = np.unique(theta, return_inverse=True)
    order = np.argsort(which, kind="stable")
    bounds = np.searchsorted(which[order], np.arange(values.size + 1))
    for k, angle in enumerate(values):
        idx = order[bounds[k]:bounds[k + 1]]
        r[idx], t[idx] = simulate(d, np.ascontiguousarray(n[:, idx]), float(angle), phi,
                                  np.ascontiguousarray(wl[idx]))
    return r, t


def angle_inside(ns: ComplexArray, kx: ComplexArray, theta: float) -> tuple[ComplexArray, FloatArray]:
    """The index and real angle (radians) lamina takes for light starting inside the substrate.

    From inside the substrate lamina needs a real angle; see the module's note. At normal
    incidence the substrate keeps its complex index; otherwise its real part, with the angle
    that carries the tangential wavenumber ``kx`` (0 where that exceeds the index).
    """
    if theta == 0.0:
        return ns, np.zeros(ns.shape[-1])
    sin_s = kx.real / ns.real
    return ns.real.astype(np.complex128), np.where(sin_s < 1.0, np.arcsin(np.clip(sin_s, 0.0, 1.0)), 0.0)


def incoherent_spectrum(simulate: Simulate, substrate: Substrate, wl: FloatArray, front: ComplexArray,
                        back: ComplexArray, d_front: FloatArray, d_back: FloatArray, theta: float,
                        w_s: float, w_p: float) -> tuple[FloatArray, FloatArray]:
    """R and T of a coated thick plate at one angle of incidence, mixed w_s·s + w_p·p.

    ``front`` holds the indices from the incidence medium to the substrate, ``back`` those from
    the substrate to the back medium (media × wavelengths, on the grid ``wl``).
    """
    n0 = front[0]
    ns = front[-1]
    kx = n0 * math.sin(theta)
    cos_s = forward_cos(ns, kx)
    single = np.exp(-4.0 * math.pi * (ns * cos_s).imag * substrate.thickness_nm / wl)
    inside, theta_s = angle_inside(ns, kx, theta)
    kx_s = inside * np.sin(theta_s)
    reverse_n = np.vstack([inside, front[-2:0:-1], n0])
    back_n = np.vstack([inside, back[1:]])
    d_f = np.ascontiguousarray(d_front, dtype=np.float64)
    d_r = np.ascontiguousarray(d_front[::-1], dtype=np.float64)
    d_b = np.ascontiguousarray(d_back, dtype=np.float64)
    r_total = np.zeros(wl.size)
    t_total = np.zeros(wl.size)
    for weight, phi, p in ((w_s, 0.0, False), (w_p, math.pi / 2, True)):
        if weight == 0.0:
            continue
        r_f, t_f = simulate(d_f, front, theta, phi, None)
        t_f = flux_transmittance(t_f, n0, ns, kx, p)
        r_r, t_r = _grouped(simulate, wl, d_r, reverse_n, theta_s, phi)
        t_r = flux_transmittance(t_r, inside, n0, kx_s, p)
        r_b, t_b = _grouped(simulate, wl, d_b, back_n, theta_s, phi)
        t_b = flux_transmittance(t_b, inside, back[-1], kx_s, p)
        round_trip = single * single
        denominator = 1.0 - r_r * r_b * round_trip
        r = r_f + t_f * t_r * r_b * round_trip / denominator
        t = t_f * t_b * single / denominator
        r_total += weight * r
        t_total += weight * t
    return r_total, t_total
