"""Immutable descriptions of coated surfaces and their spectra.

A :class:`Stack` is an incidence medium, layers, and either a half-infinite exit medium or a
thick :class:`~lamina_design.optics.substrate.Substrate` whose back side is added incoherently. Any
layer may be incoherent (``Layer(material, thickness, coherent=False)``); such stacks, and their
fields and absorption, go through the native engine (:mod:`lamina_design.optics.incoherent`,
:mod:`lamina_design.optics.fields`). A coherent spectrum is one ``lamina.DataPy(...).simulate()``
call, or one per polarisation where the incidence or exit medium absorbs: T is then the power
flux into the exit medium (tmm's convention), which lamina's T is not for p polarisation.

Angles are in radians, in the incidence medium, from 0 to :data:`MAX_ANGLE_RAD` (π/2 − 1.5e-5;
closer to grazing lamina's R and T lose their accuracy, then turn NaN). Polarisation is ``"s"``,
``"p"``, ``"unpolarised"`` or a polarisation angle φ in radians (cos²φ of the power is s, sin²φ
p, lamina's convention). Indices must lie in |n| = 1e-6…1e100 (an index of 0 is refused), and
a spectrum that would not be finite raises ValueError rather than returning NaN.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import Any, Callable, Literal, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

import lamina
from lamina_design.core import formatting
from lamina_design.core.checks import (
    AIR,
    MAX_ANGLE_RAD,
    Layer,
    Polarisation,
    absorbing,
    check_angles,
    check_indices,
    check_wavelengths,
    flux_transmittance,
    polarisation_weights,
)
from lamina_design.optics.fields import Absorption, Field, field_profile
from lamina_design.optics.incoherent import solve
from lamina_design.materials.base import ComplexArray, FloatArray, Material, first_uses
from lamina_design.optics.substrate import Substrate, incoherent_spectrum

# Gauss–Legendre nodes and weights on [-1, 1]; older NumPy stubs leave leggauss untyped.
_gauss_legendre: Callable[[int], Tuple[FloatArray, FloatArray]] = np.polynomial.legendre.leggauss

__all__ = [
    "AIR",
    "Absorption",
    "Field",
    "MAX_ANGLE_RAD",
    "Layer",
    "Polarisation",
    "PreparedStack",
    "Spectrum",
    "Stack",
    "check_angles",
    "check_wavelengths",
    "media_indices",
    "polarisation_weights",
]


@formatting.recorded
@dataclass(frozen=True)
class Spectrum:
    """R, T and A = 1 − R − T of one stack.

    ``r`` and ``t`` have shape (W,) for one angle, or (angles, W) for an angle map
    (``angle_rad`` is then an array).
    """

    wavelength_nm: FloatArray
    angle_rad: Union[float, FloatArray]
    polarisation: float
    r: FloatArray
    t: FloatArray

    @property
    def a(self) -> FloatArray:
        """Absorbed fraction 1 − R − T."""
        out: FloatArray = 1.0 - self.r - self.t
        return out


def media_indices(materials: Sequence[Material], wl: FloatArray) -> ComplexArray:
    """The (media × wavelengths) complex128 array lamina takes, each distinct material evaluated once."""
    n = np.empty((len(materials), wl.size), dtype=np.complex128)
    for row, (material, first) in enumerate(zip(materials, first_uses(materials))):
        if first != row:
            n[row] = n[first]
            continue
        values = np.asarray(material.index(wl))
        if values.shape != wl.shape:
            raise ValueError(f"{material.name}: index() returned shape {values.shape} for {wl.size} wavelengths")
        n[row] = check_indices(material.name, values.astype(np.complex128), wl)
    return n


class PreparedStack:
    """A stack's indices evaluated on one wavelength grid, ready for many lamina calls.

    Materials are evaluated once; only thicknesses change between calls, which is what
    refinement needs. ``calls`` counts the lamina calls made so far.
    """

    def __init__(self, stack: Stack, wavelength_nm: npt.ArrayLike) -> None:
        self.stack = stack
        self.wavelength_nm = check_wavelengths(wavelength_nm)
        self.calls = 0
        wl = self.wavelength_nm
        front = [stack.incidence, *(layer.material for layer in stack.layers)]
        if stack.substrate is None:
            exit_medium = stack.exit if stack.exit is not None else AIR
            self.n = media_indices([*front, exit_medium], wl)
            self.front_n = self.n
            self.back_n: ComplexArray = np.empty((0, wl.size), dtype=np.complex128)
        else:
            sub = stack.substrate
            self.front_n = media_indices([*front, sub.material], wl)
            self.back_n = media_indices([sub.material, *(layer.material for layer in sub.back_layers), sub.back_medium], wl)
            self.n = self.front_n
        # Every medium in depth order (a substrate is an incoherent layer), for the engine.
        inner = stack.inner_layers()
        self.coherent = [layer.coherent for layer in inner]
        if stack.substrate is None:
            self.media_n = self.n
        else:
            self.media_n = np.ascontiguousarray(np.vstack([self.front_n, self.back_n[1:]]))
        self._engine: Any = None

    def engine(self) -> Any:
        """The native engine module, imported on first use."""
        if self._engine is None:
            from lamina_design import _engine
            self._engine = _engine
        return self._engine

    def _count(self) -> None:
        self.calls += 1

    def inner_thicknesses(self, thicknesses: FloatArray | None = None) -> FloatArray:
        """Thicknesses in depth order (the substrate's included) from :meth:`Stack.thicknesses` order."""
        d = self.stack.thicknesses() if thicknesses is None else np.asarray(thicknesses, dtype=np.float64)
        if self.stack.substrate is None:
            return np.ascontiguousarray(d)
        n_front = len(self.stack.layers)
        return np.concatenate([d[:n_front], [self.stack.substrate.thickness_nm], d[n_front:]])

    def _through_engine(self, theta: float) -> bool:
        """Whether the stack needs the engine's incoherent path at this angle.

        Incoherent layers always do; a substrate alone keeps lamina's calls except where it
        absorbs at oblique incidence, which lamina's real angle cannot represent exactly.
        """
        if not all(self.coherent[i] for i in range(len(self.coherent)) if not self._is_substrate(i)):
            return True
        if self.stack.substrate is None or theta == 0.0:
            return False
        return absorbing(self.front_n[-1])

    def _is_substrate(self, i: int) -> bool:
        return self.stack.substrate is not None and i == len(self.stack.layers)

    def absorption(self, theta: float, polarisation: Polarisation = "unpolarised",
                   thicknesses: FloatArray | None = None) -> tuple[FloatArray, FloatArray, FloatArray]:
        """R, T and each layer's absorbed fraction (layers in depth order × W) at one checked angle."""
        _, w_s, w_p = polarisation_weights(polarisation)
        solution = solve(self.engine(), self.media_n, self.inner_thicknesses(thicknesses), self.coherent,
                         self.wavelength_nm, theta, self._count, absorption=True)
        assert solution.absorbed is not None
        r = w_s * solution.r[0] + w_p * solution.r[1]
        t = w_s * solution.t[0] + w_p * solution.t[1]
        layers = w_s * solution.absorbed[0] + w_p * solution.absorbed[1]
        self._check_finite(r, t, theta)
        return r, t, layers

    def field(self, depth_nm: FloatArray, theta: float, polarisation: Polarisation = "unpolarised",
              thicknesses: FloatArray | None = None) -> tuple[FloatArray, FloatArray]:
        """|E|² and the absorbed power per nm, each (W, depths), at one checked angle."""
        _, w_s, w_p = polarisation_weights(polarisation)
        e2, absorbed = field_profile(self.engine(), self.media_n, self.inner_thicknesses(thicknesses),
                                     self.coherent, self.wavelength_nm, theta, depth_nm, self._count)
        return w_s * e2[0] + w_p * e2[1], w_s * absorbed[0] + w_p * absorbed[1]

    def simulate(self, d: FloatArray, n: ComplexArray, theta: float, phi: float,
                 wl: FloatArray | None = None) -> tuple[FloatArray, FloatArray]:
        """One lamina call: R and T."""
        self.calls += 1
        result = lamina.DataPy(d, n, self.wavelength_nm if wl is None else wl, theta, phi).simulate()
        return result.r, result.t

    def spectrum(self, theta: float, polarisation: Polarisation = "unpolarised",
                 thicknesses: FloatArray | None = None) -> tuple[FloatArray, FloatArray]:
        """R and T at one angle (radians, already checked) with optional replacement thicknesses.

        ``thicknesses`` follows :meth:`Stack.thicknesses`: front layers, then back layers.
        """
        d = self.stack.thicknesses() if thicknesses is None else thicknesses
        phi, w_s, w_p = polarisation_weights(polarisation)
        n_front = len(self.stack.layers)
        if self._through_engine(theta):
            solution = solve(self.engine(), self.media_n, self.inner_thicknesses(d), self.coherent,
                             self.wavelength_nm, theta, self._count)
            r = w_s * solution.r[0] + w_p * solution.r[1]
            t = w_s * solution.t[0] + w_p * solution.t[1]
        elif self.stack.substrate is None:
            r, t = self._coherent(np.ascontiguousarray(d[:n_front]), theta, phi, w_s, w_p)
        else:
            r, t = incoherent_spectrum(self.simulate, self.stack.substrate, self.wavelength_nm, self.front_n,
                                       self.back_n, d[:n_front], d[n_front:], theta, w_s, w_p)
        self._check_finite(r, t, theta)
        return r, t

    def _coherent(self, d: FloatArray, theta: float, phi: float, w_s: float,
                  w_p: float) -> tuple[FloatArray, FloatArray]:
        """R and T into a half-infinite exit medium: one lamina call unless an outer medium absorbs."""
        first, last = self.n[0], self.n[-1]
        if not absorbing(first, last):
            return self.simulate(d, self.n, theta, phi)
        # lamina mixes s and p before its T could be made a flux: one call per polarisation.
        kx = first * math.sin(theta)
        r = np.zeros(self.wavelength_nm.size)
        t = np.zeros(self.wavelength_nm.size)
        for weight, phi_pol, p in ((w_s, 0.0, False), (w_p, math.pi / 2, True)):
            if weight == 0.0:
                continue
            r_pol, t_pol = self.simulate(d, self.n, theta, phi_pol)
            r += weight * r_pol
            t += weight * flux_transmittance(t_pol, first, last, kx, p)
        return r, t

    def _check_finite(self, r: FloatArray, t: FloatArray, theta: float) -> None:
        bad = ~(np.isfinite(r) & np.isfinite(t))
        if np.any(bad):
            at = float(self.wavelength_nm[np.argmax(bad)])
            name = f"stack {self.stack.name!r}" if self.stack.name else "the stack"
            raise ValueError(
                f"{name} has no finite R, T at {int(bad.sum())} wavelength(s), the first {at:g} nm "
                f"(θ = {theta!r} rad): its indices, thicknesses or attenuation leave the float64 range "
                "the transfer matrix needs"
            )


@dataclass(frozen=True)
class Stack:
    """Incidence medium, layers (top first), then an exit medium or a thick substrate.

    Give ``exit`` for a coating on a half-infinite medium, ``substrate`` for a coated plate whose
    back side reflects; with neither, light leaves into vacuum (n = 1 exactly, also the default
    incidence medium). Layers marked ``coherent=False`` (in front or on the back of the
    substrate) are added incoherently, as the substrate is.
    """

    incidence: Material = AIR
    layers: tuple[Layer, ...] = ()
    exit: Material | None = None
    substrate: Substrate | None = None
    name: str = field(default="", compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "layers", tuple(self.layers))
        for layer in self.layers:
            if not isinstance(layer, Layer):
                raise TypeError(f"layers must be Layer objects, got {type(layer).__name__}")
        if self.exit is not None and self.substrate is not None:
            raise ValueError("give either an exit medium or a substrate, not both")

    # -- text ----------------------------------------------------------------------------------
    def _short(self) -> str:
        """One line: name, layer count and coating thickness."""
        coating = self.all_layers()
        name = f"{self.name!r}, " if self.name else ""
        plate = f", on {self.substrate.material.name}" if self.substrate is not None else ""
        return (f"Stack({name}{len(coating)} layer{'' if len(coating) == 1 else 's'}, "
                f"{formatting.thickness(sum(layer.thickness_nm for layer in coating))}{plate})")

    def __repr__(self) -> str:
        # A layer table: media and layers in the order light meets them.
        rows: list[tuple[str, str, str, str]] = [("incidence", self.incidence.name, "", "")]

        def add(label: str, layer: Layer) -> None:
            rows.append((label, layer.material.name, formatting.thickness(layer.thickness_nm),
                         "" if layer.coherent else "incoherent"))

        for i, layer in enumerate(self.layers, start=1):
            add(str(i), layer)
        if self.substrate is None:
            rows.append(("exit", (self.exit if self.exit is not None else AIR).name, "", ""))
        else:
            sub = self.substrate
            add("substrate", Layer(sub.material, sub.thickness_nm, coherent=False))
            for i, layer in enumerate(sub.back_layers, start=len(self.layers) + 1):
                add(str(i), layer)
            rows.append(("exit", sub.back_medium.name, "", ""))
        widths = [max(len(row[k]) for row in rows) for k in range(3)]
        lines = [self._short()]
        for label, material, thickness, note in rows:
            line = f"  {label:<{widths[0]}}  {material:<{widths[1]}}  {thickness:>{widths[2]}}  {note}"
            lines.append(line.rstrip())
        return "\n".join(lines)

    # -- thicknesses -------------------------------------------------------------------------
    def all_layers(self) -> tuple[Layer, ...]:
        """Front layers (top first), then the substrate's back layers (substrate side first)."""
        back = self.substrate.back_layers if self.substrate is not None else ()
        return self.layers + tuple(back)

    def inner_layers(self) -> tuple[Layer, ...]:
        """Every layer in depth order, the substrate included as an incoherent layer."""
        if self.substrate is None:
            return self.layers
        sub = self.substrate
        return self.layers + (Layer(sub.material, sub.thickness_nm, coherent=False),) + sub.back_layers

    def boundaries(self) -> FloatArray:
        """Depths (nm) of the interfaces, from 0 at the front of the first layer."""
        return np.concatenate([[0.0], np.cumsum([layer.thickness_nm for layer in self.inner_layers()])])

    def labels(self) -> tuple[str, ...]:
        """A name per layer of :meth:`inner_layers`: the material's, "(substrate)" added for the substrate."""
        names = [layer.material.name for layer in self.inner_layers()]
        if self.substrate is not None:
            names[len(self.layers)] += " (substrate)"
        return tuple(names)

    @property
    def incoherent(self) -> bool:
        """Whether any layer, or a substrate, is added incoherently."""
        return self.substrate is not None or not all(layer.coherent for layer in self.all_layers())

    def thicknesses(self) -> FloatArray:
        """Every layer's thickness (nm) in :meth:`all_layers` order."""
        return np.array([layer.thickness_nm for layer in self.all_layers()], dtype=np.float64)

    def with_thicknesses(self, thicknesses: npt.ArrayLike) -> Stack:
        """A copy with new thicknesses, in :meth:`all_layers` order."""
        values = np.asarray(thicknesses, dtype=np.float64)
        layers = self.all_layers()
        if values.shape != (len(layers),):
            raise ValueError(f"expected {len(layers)} thicknesses, got shape {values.shape}")
        new = [replace(layer, thickness_nm=float(v)) for layer, v in zip(layers, values)]
        front = tuple(new[: len(self.layers)])
        if self.substrate is None:
            return replace(self, layers=front)
        return replace(self, layers=front, substrate=replace(self.substrate, back_layers=tuple(new[len(self.layers):])))

    # -- spectra -----------------------------------------------------------------------------
    def prepare(self, wavelength_nm: npt.ArrayLike) -> PreparedStack:
        """Evaluate the materials once on a grid, for repeated spectra."""
        return PreparedStack(self, wavelength_nm)

    def spectrum(self, wavelength_nm: npt.ArrayLike, angle: npt.ArrayLike = 0.0,
                 polarisation: Polarisation = "unpolarised") -> Spectrum:
        """R, T, A over wavelengths (nm) at one angle, or a 2-D map over a sequence of angles."""
        angles = check_angles(angle)
        phi = polarisation_weights(polarisation)[0]
        prepared = self.prepare(wavelength_nm)
        if np.ndim(angle) == 0:
            r, t = prepared.spectrum(float(angles[0]), polarisation)
            return Spectrum(prepared.wavelength_nm, float(angles[0]), phi, r, t)
        r_map = np.empty((angles.size, prepared.wavelength_nm.size))
        t_map = np.empty_like(r_map)
        for i, theta in enumerate(angles):
            r_map[i], t_map[i] = prepared.spectrum(float(theta), polarisation)
        return Spectrum(prepared.wavelength_nm, angles, phi, r_map, t_map)

    def coherent(self) -> Stack:
        """The same stack with every layer coherent, its substrate as one more layer (exit: the back medium)."""
        if not self.incoherent:
            return self
        layers = tuple(replace(layer, coherent=True) for layer in self.inner_layers())
        if self.substrate is None:
            return replace(self, layers=layers)
        return replace(self, layers=layers, exit=self.substrate.back_medium, substrate=None)

    def partially_coherent(self, wavelength_nm: npt.ArrayLike, bandwidth_nm: float, angle: float = 0.0,
                           polarisation: Polarisation = "unpolarised", samples: int = 64) -> Spectrum:
        """R, T, A of the plate treated coherently, averaged over a band of ``bandwidth_nm`` at each wavelength.

        A spectrometer of that resolution (a top-hat slit function, midpoint rule with ``samples``
        points) sees the substrate's fringes partly washed out; once the band spans many fringes
        (λ²/(2nd) apart) the result tends to :meth:`spectrum`'s incoherent one. Resolve the
        fringes: ``samples`` well above bandwidth·2nd/λ².
        """
        if not self.incoherent:
            raise ValueError("partial coherence needs a stack with a substrate or an incoherent layer")
        width = float(bandwidth_nm)
        if not (math.isfinite(width) and width >= 0):
            raise ValueError(f"bandwidth must be finite and ≥ 0 nm, got {bandwidth_nm!r}")
        if samples < 1:
            raise ValueError(f"samples must be ≥ 1, got {samples}")
        theta = float(check_angles(angle)[0])
        phi = polarisation_weights(polarisation)[0]
        wl = check_wavelengths(wavelength_nm)
        offsets = (np.arange(samples) + 0.5) / samples - 0.5
        coherent = self.coherent()
        r_sum = np.zeros(wl.size)
        t_sum = np.zeros(wl.size)
        for offset in offsets * width:
            spectrum = coherent.spectrum(wl + offset, theta, polarisation)
            r_sum += spectrum.r
            t_sum += spectrum.t
        return Spectrum(wl, theta, phi, r_sum / samples, t_sum / samples)

    def cone(self, wavelength_nm: npt.ArrayLike, half_angle: float, polarisation: Polarisation = "unpolarised",
             samples: int = 16, weighting: Literal["solid_angle", "pupil"] = "solid_angle") -> Spectrum:
        """R, T, A averaged over a cone of rays about the normal (half-angle in radians).

        ``"solid_angle"`` weights every direction of the cone equally (sin θ dθ); ``"pupil"``
        weights a uniformly filled lens pupil (sin θ cos θ dθ). φ is taken in each ray's plane of
        incidence; for a linearly polarised beam averaged over azimuth use "unpolarised".
        Gauss–Legendre quadrature with ``samples`` angles.
        """
        check_angles(half_angle)
        if samples < 1:
            raise ValueError(f"samples must be ≥ 1, got {samples}")
        if weighting not in ("solid_angle", "pupil"):
            raise ValueError(f"weighting must be 'solid_angle' or 'pupil', got {weighting!r}")
        phi = polarisation_weights(polarisation)[0]
        prepared = self.prepare(wavelength_nm)
        if half_angle == 0.0:
            r, t = prepared.spectrum(0.0, polarisation)
            return Spectrum(prepared.wavelength_nm, 0.0, phi, r, t)
        nodes, gauss = _gauss_legendre(samples)
        thetas = 0.5 * half_angle * (nodes + 1.0)
        weights = gauss * np.sin(thetas)
        if weighting == "pupil":
            weights = weights * np.cos(thetas)
        weights = weights / weights.sum()
        r_sum = np.zeros(prepared.wavelength_nm.size)
        t_sum = np.zeros_like(r_sum)
        for theta, weight in zip(thetas, weights):
            r, t = prepared.spectrum(float(theta), polarisation)
            r_sum += weight * r
            t_sum += weight * t
        return Spectrum(prepared.wavelength_nm, float(half_angle), phi, r_sum, t_sum)

    # -- fields and absorption ---------------------------------------------------------------
    def absorption(self, wavelength_nm: npt.ArrayLike, angle: float = 0.0,
                   polarisation: Polarisation = "unpolarised") -> Absorption:
        """R, T and the fraction of the incident power absorbed in each layer (:meth:`inner_layers` order).

        Incoherent layers absorb what enters them minus what leaves; coherent layers what the
        engine finds for the light reaching them from either side. With a lossless incidence
        medium R + T + the layers' sum is 1 to rounding.
        """
        theta = float(check_angles(angle)[0])
        phi = polarisation_weights(polarisation)[0]
        prepared = self.prepare(wavelength_nm)
        r, t, layers = prepared.absorption(theta, polarisation)
        return Absorption(prepared.wavelength_nm, theta, phi, r, t, layers, self.labels())

    def field(self, depth_nm: npt.ArrayLike, wavelength_nm: npt.ArrayLike, angle: float = 0.0,
              polarisation: Polarisation = "unpolarised") -> Field:
        """|E|² and the absorbed power per nm at depths (nm, 0 at the front of the first layer).

        See :mod:`lamina_design.optics.fields` for the conventions; ``absorption_profile`` is the same
        field's ``absorption``.
        """
        z = np.array(depth_nm, dtype=np.float64, ndmin=1)
        if z.ndim != 1 or z.size == 0 or not np.all(np.isfinite(z)):
            raise ValueError("depths must be a non-empty 1-D sequence of finite values (nm)")
        theta = float(check_angles(angle)[0])
        phi = polarisation_weights(polarisation)[0]
        prepared = self.prepare(wavelength_nm)
        e2, absorbed = prepared.field(z, theta, polarisation)
        return Field(z, prepared.wavelength_nm, theta, phi, e2, absorbed, self.boundaries(), self.labels(),
                     tuple(layer.coherent for layer in self.inner_layers()))

    def absorption_profile(self, depth_nm: npt.ArrayLike, wavelength_nm: npt.ArrayLike, angle: float = 0.0,
                           polarisation: Polarisation = "unpolarised") -> FloatArray:
        """The absorbed power per nm over the incident power, (W, depths)."""
        return self.field(depth_nm, wavelength_nm, angle, polarisation).absorption
