"""Fields and absorbed power inside a stack, and a plot of |E|² with the layers marked.

Depths are in nm from the front of the first layer: negative in the incidence medium, past the
last layer in the exit medium (a substrate counts as a layer). A depth on a boundary belongs to
the deeper medium.

In a coherent stack the field is the engine's: the complex field of a unit incident plane wave,
interference in the outer media included. In a stack with incoherent layers, each coherent group
carries the fields of its two illuminations (the forward flux arriving at its front, the
backward flux at its back), which add in power; in the incidence medium the incident wave
interferes with what the first group reflects, and the light returning from deeper adds in
power. Inside an incoherent layer (and in the exit medium behind one) the forward and backward
beams decay as exp(−α z) with α = 4π·Im(n cos θ)/λ and add in power (no fringes: the layer is
thicker than the light's coherence length), so |E|² steps at its faces where the neighbouring
coherent group's fringes stop.

``e2`` is |E|² over the incident |E|² (E_y for s; E_x and E_z for p); ``absorption`` is the power
absorbed per nm over the incident power. Its integral over a coherent layer is that layer's
absorption. Over an absorbing incoherent layer it falls short of the per-layer value by the
interference of each beam with its own reflection at the layer's faces, which tmm's
power-entering convention (followed by :meth:`Stack.absorption`) counts in the layer: a
fraction of order κ/n of the layer's absorption.
s and p add in power with weights cos²φ and sin²φ: their fields are orthogonal.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple

import numpy as np

from lamina_design.core import formatting
from lamina_design.optics.incoherent import Counter, flux_per_e2, solve
from lamina_design.materials.base import ComplexArray, FloatArray

__all__ = ["Absorption", "Field", "field_profile", "plot_field"]


@formatting.recorded
@dataclass(frozen=True)
class Field:
    """|E|² and the absorbed power density on a depth grid, (wavelengths, depths)."""

    depth_nm: FloatArray
    wavelength_nm: FloatArray
    angle_rad: float
    polarisation: float
    e2: FloatArray
    absorption: FloatArray
    boundaries_nm: FloatArray
    labels: Tuple[str, ...]
    coherent: Tuple[bool, ...]

    def plot(self, ax: Any = None, wavelength_nm: Optional[float] = None, origin_nm: float = 0.0) -> Any:
        """:func:`plot_field` of this field."""
        return plot_field(self, ax, wavelength_nm, origin_nm)


@formatting.recorded
@dataclass(frozen=True)
class Absorption:
    """R, T and the fraction of the incident power absorbed in each layer, (layers, W).

    Layers are in depth order: the front layers, the substrate if there is one, its back
    layers. With a lossless incidence medium ``r + t + layers.sum(0)`` is 1.
    """

    wavelength_nm: FloatArray
    angle_rad: float
    polarisation: float
    r: FloatArray
    t: FloatArray
    layers: FloatArray
    labels: Tuple[str, ...]

    @property
    def total(self) -> FloatArray:
        """The power absorbed in all the layers together."""
        out: FloatArray = self.layers.sum(axis=0)
        return out


def _e2(e_tangential: ComplexArray, e_normal: ComplexArray) -> FloatArray:
    out: FloatArray = e_tangential.real ** 2 + e_tangential.imag ** 2 + e_normal.real ** 2 + e_normal.imag ** 2
    return out


def field_profile(engine: object, n: ComplexArray, d: FloatArray, coherent: Sequence[bool], wl: FloatArray,
                  theta: float, z: FloatArray, count: Counter) -> Tuple[FloatArray, FloatArray]:
    """(|E|², absorbed power per nm), each (2, W, Z) for s and p, of the media ``n`` (K × W)."""
    d_row = np.ascontiguousarray(d, dtype=np.float64)[None, :]
    theta_a = np.array([theta])
    if all(coherent):
        count()
        e_t, e_n, _, absorbed = engine.fields(d_row, n, wl, theta_a, z)  # type: ignore[attr-defined]
        return _e2(e_t[:, 0, 0], e_n[:, 0, 0]), absorbed[:, 0, 0]
    solution = solve(engine, n, d, coherent, wl, theta, count)
    e2 = np.zeros((2, wl.size, z.size))
    absorbed = np.zeros_like(e2)
    starts = np.concatenate([[0.0], np.cumsum(d)])
    for g, group in enumerate(solution.groups):
        if not group.layers and g > 0:
            continue
        begin = starts[group.front]
        end = starts[group.back - 1]
        # The first group also covers the incidence medium: its reflection interferes with the
        # incident wave there.
        inside = (z < end) if g == 0 else (z >= begin) & (z < end)
        if not np.any(inside):
            continue
        local = z[inside] - begin
        films = [f + 1 for f in group.layers]
        rows_f = [0, group.front, *films, group.back]
        rows_b = [0, group.back, *films[::-1], group.front]
        n_call = np.ascontiguousarray(np.stack([n[rows_f], n[rows_b]]))
        d_call = np.zeros((2, len(films) + 1))
        d_call[0, 1:] = d[list(group.layers)]
        d_call[1, 1:] = d_call[0, :0:-1]
        # Seen from the back a depth on a boundary would fall in the other layer: one ulp inwards.
        mirrored = np.nextafter(end - begin - local, -np.inf)
        count()
        e_t, e_n, _, a = engine.fields(d_call, n_call, wl, theta_a,  # type: ignore[attr-defined]
                                       np.concatenate([local, mirrored]))
        m = local.size
        front, back = solution.sides[g]
        w_f = (solution.forward[g] * front.scale)[:, :, None]
        w_b = (solution.backward[g] * back.scale)[:, :, None]
        e2[:, :, inside] = (w_f * _e2(e_t[:, 0, 0, :, :m], e_n[:, 0, 0, :, :m])
                            + w_b * _e2(e_t[:, 1, 0, :, m:], e_n[:, 1, 0, :, m:]))
        absorbed[:, :, inside] = w_f * a[:, 0, 0, :, :m] + w_b * a[:, 1, 0, :, m:]
    flux0 = flux_per_e2(n[0], solution.cos[0])
    last_j = len(solution.incoherent) - 1
    for j, medium in enumerate(solution.incoherent):
        if j == 0:
            continue
        if j == last_j:
            inside = z >= starts[-1]
            local, thickness = z[inside] - starts[-1], math.inf
        else:
            begin = starts[medium - 1]
            thickness = float(d[medium - 1])
            inside = (z >= begin) & (z < begin + thickness)
            local = z[inside] - begin
        if not np.any(inside):
            continue
        alpha = (4.0 * math.pi * (n[medium] * solution.cos[medium]).imag / wl)[:, None]
        forward = solution.start[j][:, :, None] * np.exp(-alpha * local)
        if j == last_j:
            power = forward
        else:
            power = forward + (solution.forward[j] * solution.reflect[j])[:, :, None] * np.exp(
                -alpha * (thickness - local))
        with np.errstate(divide="ignore", invalid="ignore"):
            per_flux = np.where(flux_per_e2(n[medium], solution.cos[medium]) > 0.0,
                                flux0 / flux_per_e2(n[medium], solution.cos[medium]), 0.0)
        e2[:, :, inside] = power * per_flux[:, :, None]
        absorbed[:, :, inside] = alpha * power
    return e2, absorbed


def plot_field(field: Field, ax: Any = None, wavelength_nm: Optional[float] = None, origin_nm: float = 0.0) -> Any:
    """:func:`lamina_design.plotting.plot_field`: |E|² against depth, layers marked. Needs matplotlib."""
    from lamina_design.plotting.optics import plot_field as plot

    return plot(field, ax, wavelength_nm, origin_nm)
