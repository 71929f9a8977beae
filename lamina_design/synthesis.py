"""Creating designs: needle optimisation and gradual evolution, on exact derivatives.

The merit is :func:`lamina_design.refine.refine`'s: half the sum of squared residuals
(computed − wanted) / tolerance over the targets (its ``cost``), with ``merit`` their root mean
square. Every spectrum and derivative is one batched call of the native engine
(``lamina_design._engine``), counted in ``sweeps``.

The needle function P(z) of a material m is d(cost)/dδ when the slab [z, z + δ] of the design is
replaced by m (Tikhonravov's needle variation): the total thickness does not change, and inside a
layer of m itself P = 0. At the front and back faces the needle is a new outer layer. It is
computed exactly in either of two ways:

* ``"insertion"``: a zero-thickness layer of m is put at every depth (one stack per depth, one
  batch), and dQ/dδ = dQ/dd(needle) − dQ/dd(host layer) from the engine's Jacobian;
* ``"fields"``: from the field at the depth, in closed form. With the characteristic matrices
  M = M_front·M_back split at z, replacing the slab adds δ·D between them, with
  D = −i k₀ [[0, α²(1/n_j² − 1/n_m²)], [n_m² − n_j², 0]] (fields as exp(−iωt), α = n₀ sin θ₀;
  the upper entry is 0 for s), and because det M_front = 1 the change of r involves only the
  fields at z:

      dr_s/dδ = +i k₀ (n_m² − n_j²) E_y² / (2 n₀ cos θ₀)
      dr_p/dδ = −i k₀ (n_m² − n_j²) (E_x² − (n_j²/n_m²) E_z²) / (2 n₀ cos θ₀)

  (tmm's sign of r_p; E for unit incident amplitude), and dR/dδ = 2 Re(r* dr/dδ). This needs
  only R in the targets (or media without loss at the targets' wavelengths, where dT = −dR) and
  a lossless incidence medium.

A design here is a stack on a half-infinite exit medium (no incoherent substrate).
"""
from __future__ import annotations

import math
import os
import sys
import time
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator, List, Literal, Optional, Sequence, TextIO, Tuple, Union

import numpy as np
import numpy.typing as npt

try:
    from scipy.optimize import least_squares
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.synthesis needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design import _engine
from lamina_design.common import AIR, Layer, polarisation_weights
from lamina_design.materials.base import ComplexArray, FloatArray, Material
from lamina_design.refine import Target, _Progress
from lamina_design.stack import Stack

__all__ = [
    "MapLike",
    "Merit",
    "NeedleFunction",
    "Step",
    "SynthesisResult",
    "gradual_evolution",
    "map_over",
    "needle",
    "needle_function",
]

IntArray = npt.NDArray[np.intp]

#: Anything that maps a function over an iterable like the built-in ``map``: a
#: ``concurrent.futures`` executor's ``map`` (``dask.distributed``'s ``Client.get_executor()``,
#: ``mpi4py.futures`` included) or ``map`` itself.
MapLike = Callable[..., Iterable[Any]]
ExecutorLike = Union[Executor, MapLike, Literal["serial"], None]


def _single_thread() -> None:
    # Workers of a pool share the machine: one engine thread each.
    os.environ["RAYON_NUM_THREADS"] = "1"


class map_over:
    """The map an ``executor=`` argument stands for, as a context manager.

    ``None`` is a process pool (workers run the engine on one thread each), ``"serial"`` the
    built-in map in this process, an ``Executor`` its ``map``, and a callable is used as given.
    A pool made here is shut down on exit; a given executor is left running.
    """

    def __init__(self, executor: ExecutorLike, tasks: int = 2) -> None:
        self.executor = executor
        self.tasks = tasks
        self.own: Optional[ProcessPoolExecutor] = None

    def __enter__(self) -> MapLike:
        if self.executor == "serial" or (self.executor is None and self.tasks < 2):
            return map
        if self.executor is None:
            self.own = ProcessPoolExecutor(max_workers=max(1, min(os.cpu_count() or 1, self.tasks)),
                                           initializer=_single_thread)
            return self.own.map
        if isinstance(self.executor, Executor):
            return self.executor.map
        if callable(self.executor):
            return self.executor
        raise TypeError(f"executor must be a concurrent.futures Executor, a map-like callable, 'serial' or None, "
                        f"got {type(self.executor).__name__}")

    def __exit__(self, *exc: object) -> None:
        if self.own is not None:
            self.own.shutdown(wait=True)
            self.own = None


# ---------------------------------------------------------------------------------------------
# The merit on a palette of materials
# ---------------------------------------------------------------------------------------------

def _same(a: Material, b: Material) -> bool:
    if a is b:
        return True
    try:
        return bool(a == b)
    except (TypeError, ValueError):  # dataclasses holding arrays
        return False


@dataclass
class _Group:
    theta: float
    w_s: float
    w_p: float
    wl: FloatArray
    n: ComplexArray  # (palette, W)
    parts: List[Tuple[str, IntArray, FloatArray, FloatArray]] = field(default_factory=list)


class Merit:
    """The targets' cost of designs built from a palette of materials.

    A design is ``(codes, d)``: palette indices of the layers (front first) and their
    thicknesses. Palette entries 0 and 1 are the incidence and exit media. ``sweeps`` counts the
    engine calls made.
    """

    def __init__(self, incidence: Material, exit: Material, materials: Sequence[Material],
                 targets: Sequence[Target]) -> None:
        if not targets:
            raise ValueError("no targets to design towards")
        self.palette: List[Material] = [incidence, exit]
        for m in materials:
            self.code(m)
        keyed: dict[tuple[float, float, float], list[Target]] = {}
        for target in targets:
            _, w_s, w_p = polarisation_weights(target.polarisation)  # type: ignore[arg-type]
            keyed.setdefault((target.angle_rad, w_s, w_p), []).append(target)
        self.groups: List[_Group] = []
        for (theta, w_s, w_p), members in keyed.items():
            grid = np.unique(np.concatenate([m.arrays()[0] for m in members]))
            group = _Group(theta, w_s, w_p, grid, np.empty((0, grid.size), dtype=np.complex128))
            for m in members:
                wl, value, tolerance = m.arrays()
                group.parts.append((m.quantity, np.searchsorted(grid, wl).astype(np.intp), value, tolerance))
            self.groups.append(group)
        self._index_rows()
        self.size = sum(idx.size for g in self.groups for _, idx, _, _ in g.parts)
        self.sweeps = 0

    def code(self, material: Material) -> int:
        """The palette index of a material, added if new."""
        for i, m in enumerate(self.palette):
            if _same(m, material):
                return i
        self.palette.append(material)
        if getattr(self, "groups", None):
            self._index_rows()
        return len(self.palette) - 1

    def _index_rows(self) -> None:
        for g in self.groups:
            rows = [np.asarray(m.index(g.wl), dtype=np.complex128) for m in self.palette]
            g.n = np.array(rows)

    def stack(self, codes: Sequence[int], d: npt.ArrayLike, name: str = "") -> Stack:
        layers = tuple(Layer(self.palette[c], float(t)) for c, t in zip(codes, np.asarray(d, dtype=np.float64)))
        return Stack(self.palette[0], layers, exit=self.palette[1], name=name)

    def _media(self, g: _Group, codes: Sequence[int]) -> ComplexArray:
        return g.n[[0, *codes, 1]]

    def residuals(self, codes: Sequence[int], d: FloatArray, jacobian: bool = False) -> Tuple[FloatArray, Optional[FloatArray]]:
        """Residuals (computed − wanted)/tolerance and, if asked, their exact Jacobian in d."""
        out = np.empty(self.size)
        jac = np.empty((self.size, len(codes))) if jacobian else None
        at = 0
        d2 = np.ascontiguousarray(np.asarray(d, dtype=np.float64).reshape(1, -1))
        for g in self.groups:
            n = self._media(g, codes)
            theta = np.array([g.theta])
            self.sweeps += 1
            R2, T2, dR2, dT2 = _engine.power_jacobian(d2, n, g.wl, theta)
            if jacobian:
                dR = g.w_s * dR2[0, 0, 0] + g.w_p * dR2[1, 0, 0]
                dT = g.w_s * dT2[0, 0, 0] + g.w_p * dT2[1, 0, 0]
            R = g.w_s * R2[0, 0, 0] + g.w_p * R2[1, 0, 0]
            T = g.w_s * T2[0, 0, 0] + g.w_p * T2[1, 0, 0]
            for quantity, idx, value, tolerance in g.parts:
                q = R[idx] if quantity == "R" else T[idx] if quantity == "T" else 1.0 - R[idx] - T[idx]
                out[at:at + idx.size] = (q - value) / tolerance
                if jac is not None:
                    dq = dR[idx] if quantity == "R" else dT[idx] if quantity == "T" else -dR[idx] - dT[idx]
                    jac[at:at + idx.size] = dq / tolerance[:, None]
                at += idx.size
        return out, jac

    def cost(self, codes: Sequence[int], d: FloatArray) -> float:
        res, _ = self.residuals(codes, d)
        return 0.5 * float(res @ res)

    def rms(self, cost: float) -> float:
        return math.sqrt(2.0 * cost / max(self.size, 1))


# ---------------------------------------------------------------------------------------------
# Needle function
# ---------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class NeedleFunction:
    """d(cost)/dδ (per nm) of a needle of ``material`` at each depth (nm from the front face).

    ``layer[k]`` is the layer the depth lies in (−1: a new layer on the front face, the number
    of layers: a new layer on the back face); ``offset[k]`` the depth inside that layer.
    """

    material: Material
    depth_nm: FloatArray
    layer: IntArray
    offset: FloatArray
    value: FloatArray

    def best(self) -> int:
        """The index of the most negative value."""
        return int(np.argmin(self.value))


def _depth_grid(codes: Sequence[int], d: FloatArray, code: int, step: float) -> Tuple[IntArray, FloatArray, FloatArray]:
    """Candidate places: both outer faces and points inside every layer not made of ``code``."""
    layers = [-1]
    offsets = [0.0]
    depths = [0.0]
    top = 0.0
    for j, (c, t) in enumerate(zip(codes, d)):
        if c != code and t > 0:
            count = max(1, int(math.ceil(t / step)))
            for k in range(count):
                off = (k + 0.5) * t / count
                layers.append(j)
                offsets.append(off)
                depths.append(top + off)
        top += float(t)
    layers.append(len(codes))
    offsets.append(0.0)
    depths.append(top)
    return np.array(layers, dtype=np.intp), np.array(offsets), np.array(depths)


def _weights(merit: Merit, g: _Group, R: FloatArray, T: FloatArray) -> Tuple[FloatArray, FloatArray]:
    """∂cost/∂R and ∂cost/∂T per wavelength of a group, from the current R and T."""
    wR = np.zeros(g.wl.size)
    wT = np.zeros(g.wl.size)
    for quantity, idx, value, tolerance in g.parts:
        q = R[idx] if quantity == "R" else T[idx] if quantity == "T" else 1.0 - R[idx] - T[idx]
        w = (q - value) / tolerance ** 2
        if quantity == "R":
            np.add.at(wR, idx, w)
        elif quantity == "T":
            np.add.at(wT, idx, w)
        else:
            np.add.at(wR, idx, -w)
            np.add.at(wT, idx, -w)
    return wR, wT


def _needle_insertion(merit: Merit, g: _Group, codes: Sequence[int], d: FloatArray, code: int,
                      layers: IntArray, offsets: FloatArray, wR: FloatArray, wT: FloatArray) -> FloatArray:
    L = len(codes)
    B = layers.size
    # Every candidate becomes the stack with host part, needle (0 nm), host part: L + 2 layers.
    rows = np.empty((B, L + 4), dtype=np.intp)
    thick = np.zeros((B, L + 2))
    host_col = np.full(B, -1, dtype=np.intp)
    for b, (j, off) in enumerate(zip(layers, offsets)):
        if j < 0:
            media = [0, code, *codes, 1]
            dd = [0.0, *d]
        elif j >= L:
            media = [0, *codes, code, 1]
            dd = [*d, 0.0]
        else:
            media = [0, *codes[:j], codes[j], code, codes[j], *codes[j + 1:], 1]
            dd = [*d[:j], off, 0.0, d[j] - off, *d[j + 1:]]
            host_col[b] = j
        # Outer needles need one layer less: pad with a zero-thickness layer of the exit medium.
        if len(media) < L + 4:
            media = media[:-1] + [1, 1]
            dd = dd + [0.0]
        rows[b] = media
        thick[b] = dd
    n = g.n[rows]  # (B, L + 4, W)
    theta = np.array([g.theta])
    merit.sweeps += 1
    _, _, dR2, dT2 = _engine.power_jacobian(thick, n, g.wl, theta)
    dR = g.w_s * dR2[0, :, 0] + g.w_p * dR2[1, :, 0]  # (B, W, L + 2)
    dT = g.w_s * dT2[0, :, 0] + g.w_p * dT2[1, :, 0]
    needle_col = np.where(layers < 0, 0, np.where(layers >= L, L, layers + 1))
    pick = np.arange(B)
    dR_n = dR[pick, :, needle_col]
    dT_n = dT[pick, :, needle_col]
    inside = host_col >= 0
    # Replacing host material: subtract the derivative of thickening the host.
    dR_n[inside] -= dR[pick[inside], :, host_col[inside]]
    dT_n[inside] -= dT[pick[inside], :, host_col[inside]]
    out: FloatArray = dR_n @ wR + dT_n @ wT
    return out


def _needle_fields(merit: Merit, g: _Group, codes: Sequence[int], d: FloatArray, code: int,
                   layers: IntArray, offsets: FloatArray, depths: FloatArray, wR: FloatArray,
                   wT: FloatArray) -> FloatArray:
    L = len(codes)
    media = merit._media(g, codes)  # (L + 2, W)
    n0 = media[0]
    if np.any(n0.imag != 0):
        raise ValueError("the fields needle function needs a lossless incidence medium")
    lossless = not np.any(media.imag != 0) and not np.any(g.n[code].imag != 0)
    if np.any(wT != 0) and not lossless:
        raise ValueError("the fields needle function covers T and A targets only where no medium absorbs; "
                         "use method='insertion'")
    theta = np.array([g.theta])
    d2 = np.ascontiguousarray(d.reshape(1, -1)) if L else np.zeros((1, 0))
    # The outer faces: just inside the first layer and just inside the exit medium; a needle there
    # adds a layer of m, which is the replacement of a layer of the outer medium.
    z = depths.copy()
    merit.sweeps += 2
    r, _ = _engine.amplitudes(d2, media, g.wl, theta)
    e_t, e_n, _, _ = _engine.fields(d2, media, g.wl, theta, z)
    host = np.where(layers < 0, 0, np.where(layers >= L, L + 1, layers + 1))
    # fields() gives a boundary depth to the deeper medium: the front face belongs to the first
    # layer, not to the incidence medium the new layer replaces. E_y, E_x and n²E_z are
    # continuous there, so only E_z needs carrying across.
    nj = media[host]  # (Z, W)
    first = layers < 0
    eps_j = nj ** 2
    eps_m = g.n[code][None, :] ** 2
    k0 = 2 * math.pi / g.wl
    cos0 = math.cos(g.theta)
    scale = 1j * k0 * (eps_m - eps_j) / (2 * n0 * cos0)  # (Z, W)
    Ey = e_t[0, 0, 0].T  # (Z, W)
    Ex = e_t[1, 0, 0].T
    Ez = e_n[1, 0, 0].T
    if np.any(first):
        # Just above the face the normal field is D_z / ε₀, continuous as ε E_z.
        Ez = Ez.copy()
        Ez[first] = Ez[first] * media[1][None, :] ** 2 / eps_j[first]
    dr_s = scale * Ey ** 2
    dr_p = -scale * (Ex ** 2 - (eps_j / eps_m) * Ez ** 2)
    dR = g.w_s * 2 * (np.conj(r[0, 0, 0])[None, :] * dr_s).real + g.w_p * 2 * (np.conj(r[1, 0, 0])[None, :] * dr_p).real
    out: FloatArray = dR @ wR - dR @ wT
    return out


def needle_function(stack: Stack, targets: Sequence[Target], material: Material, *, step_nm: float = 2.0,
                    method: Literal["insertion", "fields"] = "insertion") -> NeedleFunction:
    """The needle function of ``material`` for a stack against targets (see the module notes).

    Depths are both outer faces and points at most ``step_nm`` apart inside every layer not made
    of the material.
    """
    if stack.substrate is not None:
        raise ValueError("needle synthesis works on a coating on a half-infinite exit medium, not a substrate")
    merit = Merit(stack.incidence, stack.exit if stack.exit is not None else AIR,
                  [layer.material for layer in stack.layers] + [material], targets)
    codes = [merit.code(layer.material) for layer in stack.layers]
    return _needle(merit, codes, stack.thicknesses(), merit.code(material), step_nm, method)


def _needle(merit: Merit, codes: Sequence[int], d: FloatArray, code: int, step_nm: float,
            method: str = "insertion") -> NeedleFunction:
    if not (step_nm > 0 and math.isfinite(step_nm)):
        raise ValueError(f"step_nm must be finite and > 0, got {step_nm!r}")
    if method not in ("insertion", "fields"):
        raise ValueError(f"method must be 'insertion' or 'fields', got {method!r}")
    d = np.asarray(d, dtype=np.float64)
    layers, offsets, depths = _depth_grid(codes, d, code, step_nm)
    total = np.zeros(layers.size)
    d2 = np.ascontiguousarray(d.reshape(1, -1))
    for g in merit.groups:
        merit.sweeps += 1
        R2, T2, _, _ = _engine.power_jacobian(d2, merit._media(g, codes), g.wl, np.array([g.theta]))
        R = g.w_s * R2[0, 0, 0] + g.w_p * R2[1, 0, 0]
        T = g.w_s * T2[0, 0, 0] + g.w_p * T2[1, 0, 0]
        wR, wT = _weights(merit, g, R, T)
        if method == "insertion":
            total += _needle_insertion(merit, g, codes, d, code, layers, offsets, wR, wT)
        else:
            total += _needle_fields(merit, g, codes, d, code, layers, offsets, depths, wR, wT)
    return NeedleFunction(merit.palette[code], depths, layers, offsets, total)
