"""The admittance locus of a coating, and the depth profile of its refractive index.

The admittance Y = H/E (in units of the free-space admittance) at a plane inside the coating is
that of everything behind the plane: it starts at the exit medium's admittance and, layer by
layer from the substrate outwards, traces arcs in the complex plane to the coating's input
admittance, from which r = (η₀ − Y)/(η₀ + Y). Admittances are tilted (Macleod's): η = n cos θ
for s and n / cos θ for p, θ the angle in each medium (Snell's law, complex where a medium
absorbs).

The admittance at a plane is the input admittance of what lies behind it, whatever lies in
front; so each sample is the engine's r of that part of the coating seen from the incidence
medium, turned into Y. No transfer matrix is formed here.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core import formatting
from lamina_design.core.checks import (
    AIR,
    Polarisation,
    check_angles,
    check_wavelengths,
    polarisation_weights,
)
from lamina_design.materials.base import ComplexArray, FloatArray
from lamina_design.optics.stack import Stack

__all__ = ["AdmittanceLocus", "IndexProfile", "admittance_locus", "index_profile", "iso_reflectance_circle",
           "tilted_admittance"]

#: Samples per layer of a locus unless asked otherwise.
SAMPLES = 201

# Thicknesses per engine call when the interfaces' admittances are found.
_BLOCK = 1 << 21


def tilted_admittance(n: npt.ArrayLike, kx: complex, p: bool) -> ComplexArray:
    """η = n cos θ (s) or n / cos θ (p) of media of index n for the in-plane index kx = n₀ sin θ₀.

    n cos θ is the principal root of n² − kx², the engine's branch: where the incidence medium
    absorbs, kx is complex and the root can leave the half-plane of a decaying wave.
    """
    index = np.asarray(n, dtype=np.complex128)
    square = index**2 - complex(kx) ** 2
    # A zero imaginary part counts as +0, so a purely evanescent wave decays.
    q: ComplexArray = np.sqrt(square.real + 1j * (square.imag + 0.0))
    out: ComplexArray = index**2 / q if p else q
    return out


def iso_reflectance_circle(eta0: complex, reflectance: float) -> Tuple[complex, float]:
    """(centre, radius) of the admittances Y with |(η₀ − Y)/(η₀ + Y)|² = `reflectance`.

    The Apollonius circle of η₀ and −η₀ for the ratio ρ = √R: centre η₀(1 + ρ²)/(1 − ρ²),
    radius 2ρ|η₀|/(1 − ρ²); on the real axis when the incidence medium is lossless.
    """
    value = float(reflectance)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"reflectance must lie in [0, 1) for an iso-reflectance circle, got {reflectance!r}")
    rho2 = value
    centre = complex(eta0) * (1.0 + rho2) / (1.0 - rho2)
    return centre, 2.0 * math.sqrt(rho2) * abs(complex(eta0)) / (1.0 - rho2)


@formatting.recorded
@dataclass(frozen=True)
class AdmittanceLocus:
    """The admittance traced through a coating at one wavelength, angle and polarisation.

    ``paths[i]`` belongs to ``labels[i]``, the i-th layer from the incidence side; it is sampled
    from the layer's back face (towards the substrate) to its front face, so the locus is drawn
    from ``paths[-1]`` to ``paths[0]``. ``boundaries`` is Y at each interface in depth order:
    ``boundaries[i]`` at the front face of layer i, ``boundaries[-1]`` the exit medium's
    admittance, where the locus starts; ``boundaries[0]`` is the coating's input admittance.
    ``incidence`` is η₀, the incidence medium's tilted admittance.
    """

    wavelength_nm: float
    angle_rad: float
    polarisation: str
    incidence: complex
    paths: Tuple[ComplexArray, ...]
    boundaries: ComplexArray
    labels: Tuple[str, ...]

    @property
    def admittance(self) -> complex:
        """The coating's input admittance Y, where the locus ends."""
        return complex(self.boundaries[0])

    @property
    def r(self) -> complex:
        """The amplitude reflectance (η₀ − Y)/(η₀ + Y), Macleod's sign for both polarisations."""
        return (self.incidence - self.admittance) / (self.incidence + self.admittance)

    @property
    def reflectance(self) -> float:
        """R = |r|²."""
        return abs(self.r) ** 2


def _one_wavelength(wavelength_nm: float) -> float:
    wl = check_wavelengths(wavelength_nm)
    if wl.size != 1:
        raise ValueError(f"wavelength_nm must be one wavelength, got {wl.size}")
    return float(wl[0])


def _front_indices(stack: Stack, wl: float) -> ComplexArray:
    """Incidence medium, front layers and the medium behind them (a substrate's material), at one λ."""
    incoherent = [i + 1 for i, layer in enumerate(stack.layers) if not layer.coherent]
    if incoherent:
        raise ValueError(f"stack: layer {incoherent[0]} is incoherent; an admittance locus needs coherent layers")
    n: ComplexArray = stack.prepare([wl]).front_n[:, 0]
    return n


def admittance_locus(stack: Stack, wavelength_nm: float, angle: float = 0.0, polarisation: Polarisation = "s",
                     samples: int = SAMPLES) -> AdmittanceLocus:
    """The admittance locus of the stack's front coating at one wavelength (nm) and angle (radians).

    ``polarisation`` is "s" or "p" (at normal incidence any, the two being alike). With a
    substrate the locus is that of the front coating on the substrate taken as half-infinite
    (what the front face sees); incoherent front layers are refused. ``samples`` points per
    layer, both faces included.
    """
    if not isinstance(stack, Stack):
        raise TypeError(f"stack must be a Stack, got {type(stack).__name__}")
    wl = _one_wavelength(wavelength_nm)
    theta = float(check_angles(angle)[0])
    pol = polarisation.lower() if isinstance(polarisation, str) else polarisation
    if pol not in ("s", "p"):
        polarisation_weights(polarisation)  # a bad value gets its own message
        if theta != 0.0:
            raise ValueError(f"polarisation must be 's' or 'p' for an admittance locus at oblique incidence, "
                             f"got {polarisation!r}")
        pol = "s"
    if int(samples) != samples or samples < 2:
        raise ValueError(f"samples must be a whole number ≥ 2, got {samples!r}")
    m = int(samples)
    p = pol == "p"
    n = _front_indices(stack, wl)
    kx = complex(n[0]) * math.sin(theta)
    eta = tilted_admittance(n, kx, p)
    d = np.array([layer.thickness_nm for layer in stack.layers], dtype=np.float64)
    count = d.size
    labels = tuple(layer.material.name for layer in stack.layers)
    if count == 0:
        return AdmittanceLocus(wl, theta, pol, complex(eta[0]), (), eta[-1:].copy(), labels)
    from lamina_design import _engine

    def admittances(rows: FloatArray, media: ComplexArray) -> ComplexArray:
        """Y at the front of each row's stack, seen from the incidence medium."""
        r, _ = _engine.amplitudes(rows, media, np.array([wl]), np.array([theta]))
        r_pol = r[1 if p else 0, :, 0, 0]
        # The engine's r_p has the opposite sign to Macleod's (η₀ − Y)/(η₀ + Y).
        sign = -1.0 if p else 1.0
        with np.errstate(divide="ignore", invalid="ignore"):
            y: ComplexArray = eta[0] * (1.0 - sign * r_pol) / (1.0 + sign * r_pol)
        return y

    fraction = np.linspace(0.0, 1.0, m)
    # Y at each interface: the layers in front of it made of no thickness, a block of
    # interfaces per call so that thousands of layers stay within memory.
    faces = []
    block = max(1, _BLOCK // count)
    for start in range(0, count, block):
        behind = np.triu(np.broadcast_to(d[start:], (min(block, count - start), count - start)))
        faces.append(admittances(behind, np.ascontiguousarray(np.concatenate([n[:1], n[start + 1:]])[:, None])))
    boundaries = np.append(np.concatenate(faces), eta[-1])
    exits = _media_of(boundaries[1:], kx, p)
    if exits is not None:
        # Each layer on a half-infinite medium of the admittance behind it: one call, linear cost.
        media = np.empty((count, m, 3, 1), dtype=np.complex128)
        media[:, :, 0, 0] = n[0]
        media[:, :, 1, 0] = n[1:-1, None]
        media[:, :, 2, 0] = exits[:, None]
        y = admittances((d[:, None] * fraction).reshape(count * m, 1), media.reshape(count * m, 3, 1))
        paths = tuple(y.reshape(count, m)[i].copy() for i in range(count))
    else:
        # Some admittance behind a layer is no medium's on the engine's branch: each layer's
        # samples see the real layers behind them instead (quadratic in the layer count).
        found = []
        for i in range(count):
            rows = np.empty((m, count - i))
            rows[:, 0] = d[i] * fraction
            rows[:, 1:] = d[i + 1:]
            found.append(admittances(rows, np.ascontiguousarray(np.concatenate([n[:1], n[i + 1:]])[:, None])))
        paths = tuple(found)
    return AdmittanceLocus(wl, theta, pol, complex(eta[0]), paths, boundaries, labels)


def _media_of(y: ComplexArray, kx: complex, p: bool) -> ComplexArray | None:
    """Indices whose tilted admittances are `y` (to 1e-12, up to rounding of Re Y near 0), or None where one has none on the engine's branch."""
    # Behind a deep stop band Y is all but imaginary, and the rounding of r can leave Re Y just
    # below 0, where the principal root gives −Y: that rounding is mirrored above 0 (a passive
    # load has Re Y ≥ 0), and an exact 0 made positive, so the root keeps Y's side.
    size = np.abs(y)
    real = np.where((y.real < 0.0) & (y.real >= -1e-9 * size), -y.real, y.real)
    y = np.where(real == 0.0, 1e-15 * size, real) + 1j * y.imag
    if p:
        # n²/q = Y with q² = n² − kx²: q² − Y q + kx² = 0, a root on the principal branch.
        root = np.sqrt(y * y - 4.0 * kx * kx)
        candidates = [0.5 * (y + root), 0.5 * (y - root)]
    else:
        candidates = [y]
    chosen = np.full(y.shape, np.nan + 0j)
    for q in candidates:
        with np.errstate(divide="ignore", invalid="ignore"):
            index = np.sqrt(y * q if p else q * q + kx * kx)
            ok = np.isnan(chosen) & np.isclose(tilted_admittance(index, kx, p), y, rtol=1e-12, atol=0.0)
        chosen = np.where(ok, index, chosen)
    return None if np.any(np.isnan(chosen)) else chosen


@formatting.recorded
@dataclass(frozen=True)
class IndexProfile:
    """n + iκ of every medium in depth order at one wavelength, with the interfaces' depths.

    ``index`` runs from the incidence medium through :meth:`Stack.inner_layers` to the exit
    medium; ``boundaries_nm`` are the physical depths of the interfaces (0 at the front of the
    first layer) and ``optical_boundaries_nm`` the optical ones, the running sum of Re(n)·d.
    """

    wavelength_nm: float
    index: ComplexArray
    boundaries_nm: FloatArray
    optical_boundaries_nm: FloatArray
    labels: Tuple[str, ...]

    def optical_depth(self, depth_nm: npt.ArrayLike) -> FloatArray:
        """The optical depth ∫Re(n) dz from the front of the first layer at physical depths (nm);
        negative in the incidence medium, as the physical depth is."""
        z = np.asarray(depth_nm, dtype=np.float64)
        bounds, optical = self.boundaries_nm, self.optical_boundaries_nm
        n_real = self.index.real
        inside = np.interp(z, bounds, optical)
        out: FloatArray = np.where(z < bounds[0], n_real[0] * (z - bounds[0]) + optical[0],
                                   np.where(z > bounds[-1], n_real[-1] * (z - bounds[-1]) + optical[-1], inside))
        return out


def index_profile(stack: Stack, wavelength_nm: float) -> IndexProfile:
    """The refractive-index profile of the stack at one wavelength (nm)."""
    if not isinstance(stack, Stack):
        raise TypeError(f"stack must be a Stack, got {type(stack).__name__}")
    wl = _one_wavelength(wavelength_nm)
    n: ComplexArray = stack.prepare([wl]).media_n[:, 0].copy()
    bounds = stack.boundaries()
    d = np.diff(bounds)
    optical = np.concatenate([[0.0], np.cumsum(n[1:-1].real * d)])
    labels = (stack.incidence.name, *stack.labels(), _exit_name(stack))
    return IndexProfile(wl, n, bounds, optical, labels)


def _exit_name(stack: Stack) -> str:
    """The name of the medium the light leaves into."""
    if stack.substrate is not None:
        return stack.substrate.back_medium.name
    return (stack.exit if stack.exit is not None else AIR).name
