"""Complex amplitudes of a stack: phases, Ψ and Δ, group delay and group delay dispersion.

Conventions are tmm's (the engine's): fields vary as exp(−iωt), r = E_r/E_i and t = E_t/E_i with
r_p = −r_s at normal incidence, phases are arg r and arg t in (−π, π], and tan Ψ·e^{iΔ} = −r_p/r_s
(Ψ in [0°, 90°], Δ in (−180°, 180°]). The group delay GD = dφ/dω (fs, positive for a delay) and
GDD = d²φ/dω² (fs²) come from the engine's exact k0-derivatives, material dispersion included:
in closed form where a material model has it, by the difference scheme of
:mod:`lamina_design.materials.dispersion` otherwise.

A stack on a thick :class:`~lamina_design.optics.substrate.Substrate` has no coherent phase through the
plate: its amplitudes are those of the front coating with the substrate as a half-infinite exit
medium, which is what reflection from the coated side measures. An incoherent layer
(``Layer(..., coherent=False)``) is treated the same way: the amplitudes are those of the layers
in front of the first incoherent one, with its material as the exit medium; nothing behind it
counts.

GD and GDD of t come from t′/t, which stays finite however small |t| is: they are exact even
where t itself underflows to 0 (an opaque metal, a stop band thousands of layers deep). There
arg t cannot be represented: ``phase_t`` is NaN and :func:`phase_spectrum` warns.
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core import formatting
from lamina_design import _engine
from lamina_design.core.checks import AIR, check_angles, check_indices, check_wavelengths
from lamina_design.materials.base import ComplexArray, FloatArray, Material, first_uses
from lamina_design.materials.dispersion import index_derivatives

__all__ = ["C_NM_PER_FS", "DEGREES", "PhaseSpectrum", "coherent_media", "engine_arrays", "front_layers",
           "phase_spectrum", "psi_delta", "psi_delta_from", "psi_delta_rates"]

#: The speed of light in nm per fs.
C_NM_PER_FS = 299.792458

#: Degrees per radian.
DEGREES = 180.0 / math.pi


def psi_delta_from(r_s: ComplexArray, r_p: ComplexArray) -> Tuple[FloatArray, FloatArray]:
    """Ψ and Δ in degrees from the reflection amplitudes, tmm's convention tan Ψ·e^{iΔ} = −r_p/r_s
    (Ψ in [0, 90], Δ in (−180, 180])."""
    psi: FloatArray = np.arctan2(np.abs(r_p), np.abs(r_s)) * DEGREES
    delta: FloatArray = np.angle(-r_p * np.conj(r_s)) * DEGREES
    return psi, delta


def psi_delta_rates(r_s: ComplexArray, r_p: ComplexArray, dr_s: ComplexArray,
                    dr_p: ComplexArray) -> Tuple[FloatArray, FloatArray]:
    """dΨ and dΔ (degrees) for the changes dr_s, dr_p of the amplitudes (r broadcast against dr).

    With ρ = r_p/r_s, d ln ρ = dr_p/r_p − dr_s/r_s: Δ moves by its imaginary part and Ψ =
    atan|ρ| by |ρ|/(1 + |ρ|²) times its real part.
    """
    log_rho = dr_p / r_p - dr_s / r_s
    ratio = np.abs(r_p) / np.abs(r_s)
    d_psi: FloatArray = ratio / (1.0 + ratio**2) * log_rho.real * DEGREES
    d_delta: FloatArray = log_rho.imag * DEGREES
    return d_psi, d_delta


def front_layers(stack: Any) -> Tuple[Any, ...]:
    """The layers whose amplitudes add coherently from the front: those before the first incoherent one."""
    layers = tuple(stack.layers)
    for i, layer in enumerate(layers):
        if not getattr(layer, "coherent", True):
            return layers[:i]
    return layers


def coherent_media(stack: Any) -> Tuple[Material, ...]:
    """Incidence medium, the front's coherent layers, then the exit medium as the front sees it:
    the first incoherent layer's material, the substrate's, or the stack's exit medium."""
    front = front_layers(stack)
    media = [stack.incidence, *(layer.material for layer in front)]
    if len(front) < len(stack.layers):
        return (*media, stack.layers[len(front)].material)
    if stack.substrate is not None:
        return (*media, stack.substrate.material)
    return (*media, stack.exit if stack.exit is not None else AIR)


#: Rows already evaluated on one grid, by the material object's id: (material, n, dn/dλ, d²n/dλ²).
KnownRows = Dict[int, Tuple[Material, ComplexArray, ComplexArray, ComplexArray]]


def _media_indices(media: Sequence[Material], wl: FloatArray, dispersion: bool,
                   known: Optional[KnownRows] = None) -> Tuple[ComplexArray, ...]:
    n = np.empty((len(media), wl.size), dtype=np.complex128)
    dn = np.zeros_like(n)
    d2n = np.zeros_like(n)
    kept: KnownRows = {}
    for row, (material, earlier) in enumerate(zip(media, first_uses(media))):
        if earlier != row:  # a material already evaluated
            n[row], dn[row], d2n[row] = n[earlier], dn[earlier], d2n[earlier]
            continue
        seen = None if known is None else known.get(id(material))
        if seen is not None and seen[0] is material:  # the same object as at the last call
            n[row], dn[row], d2n[row] = seen[1:]
            kept[id(material)] = seen
            continue
        if dispersion:
            values, first, second = index_derivatives(material, wl)
            dn[row], d2n[row] = first, second
        else:
            values = np.asarray(material.index(wl), dtype=np.complex128)
        if values.shape != wl.shape:
            raise ValueError(f"{material.name}: index() returned shape {values.shape} for {wl.size} wavelengths")
        n[row] = check_indices(material.name, values, wl)
        kept[id(material)] = (material, n[row].copy(), dn[row].copy(), d2n[row].copy())
    if dispersion and not (np.all(np.isfinite(dn)) and np.all(np.isfinite(d2n))):
        raise ValueError("a material's dispersion dn/dλ is not finite on this grid")
    if known is not None:
        # Only this call's materials stay (each held, so that its id is not reused meanwhile).
        known.clear()
        known.update(kept)
    return n, dn, d2n


def engine_arrays(stack: Any, wavelength_nm: npt.ArrayLike, dispersion: bool = False,
                  known: Optional[KnownRows] = None) -> Tuple[FloatArray, ComplexArray, ComplexArray, ComplexArray]:
    """(d, n, dn/dλ, d²n/dλ²) of the stack's coherent front on the grid, as the engine takes them: d (1, K-2).

    Without ``dispersion`` the two derivative arrays are zeros. ``known``, kept by a caller that
    asks again and again on the same grid (with the same ``dispersion``) for stacks that share
    material objects, spares evaluating those again.
    """
    wl = check_wavelengths(wavelength_nm)
    d = np.array([[layer.thickness_nm for layer in front_layers(stack)]], dtype=np.float64).reshape(1, -1)
    n, dn, d2n = _media_indices(coherent_media(stack), wl, dispersion, known)
    return d, n, dn, d2n


@formatting.recorded
@dataclass(frozen=True)
class PhaseSpectrum:
    """Complex amplitudes of one stack at one angle, and what follows from them.

    Arrays on axis 0 are s then p, each (2, W). ``gd_*`` in fs, ``gdd_*`` in fs².
    """

    wavelength_nm: FloatArray
    angle_rad: float
    r: ComplexArray
    t: ComplexArray
    psi_rad: FloatArray
    delta_rad: FloatArray
    gd_r: FloatArray
    gdd_r: FloatArray
    gd_t: FloatArray
    gdd_t: FloatArray

    @property
    def phase_r(self) -> FloatArray:
        """arg r (radians), s then p."""
        out: FloatArray = np.angle(self.r).astype(np.float64)
        return out

    @property
    def phase_t(self) -> FloatArray:
        """arg t (radians), s then p; NaN where t underflowed to 0 (its phase is lost, GD_t is not)."""
        out: FloatArray = np.where(self.t == 0, np.nan, np.angle(self.t)).astype(np.float64)
        return out

    @property
    def psi_deg(self) -> FloatArray:
        out: FloatArray = np.degrees(self.psi_rad)
        return out

    @property
    def delta_deg(self) -> FloatArray:
        out: FloatArray = np.degrees(self.delta_rad)
        return out


def phase_spectrum(stack: Any, wavelength_nm: npt.ArrayLike, angle: float = 0.0) -> PhaseSpectrum:
    """r, t, phases, Ψ/Δ, GD and GDD of the stack over wavelengths (nm) at one angle (radians)."""
    theta = check_angles(angle)
    if theta.size != 1:
        raise ValueError("phase_spectrum takes one angle of incidence")
    wl = check_wavelengths(wavelength_nm)
    d, n, dn, d2n = engine_arrays(stack, wl, dispersion=True)
    dk = _engine.wavenumber_derivatives(d, n, wl, theta, dn_dwl=dn, d2n_dwl2=d2n)
    r, _, _, t, _, _ = (np.asarray(a)[:, 0, 0] for a in dk)
    phases = _engine.wavenumber_derivatives(d, n, wl, theta, dn_dwl=dn, d2n_dwl2=d2n, phases=True)
    dphi_r, d2phi_r, dphi_t, d2phi_t = (np.asarray(a)[:, 0, 0] for a in phases)
    lost = t == 0
    if np.any(lost):
        warnings.warn(
            f"|t| is below the smallest float64 (5e-324) at {int(np.count_nonzero(np.any(lost, axis=0)))} of "
            f"{wl.size} wavelengths (first {float(wl[np.argmax(np.any(lost, axis=0))]):g} nm): t is 0 there and "
            "phase_t NaN; GD_t and GDD_t, from t'/t, are exact", RuntimeWarning, stacklevel=2)
    psi, delta = _engine.ellipsometry(d, n, wl, theta)
    c = C_NM_PER_FS
    return PhaseSpectrum(wl, float(theta[0]), r, t, psi[0, 0], delta[0, 0],
                         dphi_r / c, d2phi_r / c**2, dphi_t / c, d2phi_t / c**2)


def psi_delta(stack: Any, wavelength_nm: npt.ArrayLike, angle: npt.ArrayLike) -> Tuple[FloatArray, FloatArray]:
    """Ψ and Δ in degrees, (angles, W), for angles in radians."""
    theta = check_angles(angle)
    wl = check_wavelengths(wavelength_nm)
    d, n, _, _ = engine_arrays(stack, wl)
    psi, delta = _engine.ellipsometry(d, n, wl, theta)
    return np.degrees(psi[0]), np.degrees(delta[0])
