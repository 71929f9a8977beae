"""R and T of many variants of one stack in one engine call: rows of thicknesses, and optionally
per-row factors on each layer material's index (an index error).

A coating on a half-infinite medium is one batched engine call (two where the outer media absorb,
for T as the power flux); a coated thick substrate goes through :meth:`Stack.spectrum` row by row.
"""
from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design import _engine
from lamina_design.core.checks import AIR, Layer, absorbing, polarisation_weights
from lamina_design.materials.base import ComplexArray, FloatArray, Material, first_uses
from lamina_design.optics.stack import Stack, media_indices

__all__ = ["Scaled", "batch_spectra", "coating_batch", "coating_indices", "unique_materials"]


@dataclass(frozen=True)
class Scaled:
    """A material whose index n + iκ is multiplied by ``factor`` (an index error)."""

    material: Material
    factor: float

    @property
    def name(self) -> str:
        return self.material.name

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        out: ComplexArray = self.material.index(wavelength_nm) * self.factor
        return out


def unique_materials(layers: Sequence[Layer]) -> Tuple[List[Material], npt.NDArray[np.intp]]:
    """The distinct layer materials in order of first use, and each layer's among them."""
    materials = [layer.material for layer in layers]
    first = first_uses(materials)
    news = [row for row, f in enumerate(first) if f == row]
    place = {row: k for k, row in enumerate(news)}
    return [materials[row] for row in news], np.array([place[f] for f in first], dtype=np.intp)


def coating_indices(stack: Stack, wl: FloatArray) -> ComplexArray:
    """The engine's (media × W) indices of a coating on a half-infinite medium: incidence, layers, exit."""
    assert stack.substrate is None
    exit_medium = stack.exit if stack.exit is not None else AIR
    return media_indices([stack.incidence, *(layer.material for layer in stack.layers), exit_medium], wl)


def _coherent_rt(d: FloatArray, n: ComplexArray, wl: FloatArray, theta: FloatArray,
                 polarisation: Any) -> Tuple[FloatArray, FloatArray]:
    """R and T, (B, A, W), of B coatings on half-infinite media: one engine call (two if the
    outer media absorb, where T must be the power flux for each polarisation)."""
    phi, w_s, w_p = polarisation_weights(polarisation)
    first, last = n[..., 0, :], n[..., -1, :]
    if not absorbing(first, last):
        return _engine.spectra(d, n, wl, theta, phi)
    r, _ = _engine.amplitudes(d, n, wl, theta)
    t = _engine.transmittance(d, n, wl, theta, convention="flux")
    power = np.hypot(r.real, r.imag) ** 2
    return w_s * power[0] + w_p * power[1], w_s * t[0] + w_p * t[1]


def batch_spectra(stack: Stack, thicknesses: npt.ArrayLike, wavelength_nm: npt.ArrayLike, angle: float = 0.0,
                  polarisation: Any = "unpolarised", index_factors: Optional[npt.ArrayLike] = None
                  ) -> Tuple[FloatArray, FloatArray]:
    """R and T, each (B, W), of ``stack`` with B rows of thicknesses (:meth:`Stack.all_layers`
    order) and optional per-row index factors of each layer material (first-use order).

    A coating on a half-infinite medium is one batched engine call; a coated substrate goes
    through :meth:`Stack.spectrum` row by row.
    """
    wl = np.array(wavelength_nm, dtype=np.float64, ndmin=1)
    d = np.array(thicknesses, dtype=np.float64, ndmin=2)
    layers = stack.all_layers()
    if d.shape[1] != len(layers):
        raise ValueError(f"expected {len(layers)} thicknesses per row, got {d.shape[1]}")
    materials, which = unique_materials(layers)
    factors = None if index_factors is None else np.array(index_factors, dtype=np.float64, ndmin=2)
    if factors is not None and factors.shape != (d.shape[0], len(materials)):
        raise ValueError(f"index factors: expected shape {(d.shape[0], len(materials))}, got {factors.shape}")
    if stack.substrate is not None:
        r: FloatArray = np.empty((d.shape[0], wl.size))
        t: FloatArray = np.empty_like(r)
        for b in range(d.shape[0]):
            row = stack.with_thicknesses(d[b])
            if factors is not None:
                row = _scaled(row, materials, which, factors[b])
            spectrum = row.spectrum(wl, angle, polarisation)
            r[b], t[b] = spectrum.r, spectrum.t
        return r, t
    return coating_batch(coating_indices(stack, wl), d, wl, angle, polarisation, factors, which)


def coating_batch(n: ComplexArray, thicknesses: FloatArray, wavelength_nm: FloatArray, angle: float = 0.0,
                  polarisation: Any = "unpolarised", index_factors: Optional[FloatArray] = None,
                  which: Optional[npt.NDArray[np.intp]] = None) -> Tuple[FloatArray, FloatArray]:
    """R and T, each (B, W), of B coatings on a half-infinite medium whose indices ``n`` come
    from :func:`coating_indices` on the same grid (kept by a caller that makes many batches).

    ``index_factors`` (B, materials) scale each layer's index by its material's factor, the
    material of layer j being ``which[j]`` (:func:`unique_materials`).
    """
    if index_factors is not None:
        assert which is not None
        scale = np.ones((thicknesses.shape[0], n.shape[0]))
        scale[:, 1:-1] = index_factors[:, which]
        n = np.ascontiguousarray(n[None, :, :] * scale[:, :, None])
    r, t = _coherent_rt(np.ascontiguousarray(thicknesses), n, wavelength_nm, np.array([float(angle)]), polarisation)
    return r[:, 0], t[:, 0]


def _scaled(stack: Stack, materials: Sequence[Material], which: npt.NDArray[np.intp],
            factors: FloatArray) -> Stack:
    """The stack with every layer's material scaled by its material's factor."""
    layers = stack.all_layers()
    new = [Layer(Scaled(layer.material, float(factors[which[j]])), layer.thickness_nm) if factors[which[j]] != 1.0
           else layer for j, layer in enumerate(layers)]
    front = tuple(new[:len(stack.layers)])
    if stack.substrate is None:
        return replace(stack, layers=front)
    return replace(stack, layers=front, substrate=replace(stack.substrate, back_layers=tuple(new[len(stack.layers):])))
