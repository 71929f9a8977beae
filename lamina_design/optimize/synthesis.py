"""Creating designs: needle optimisation and gradual evolution, on exact derivatives.

The merit is :func:`lamina_design.optimize.refine.refine`'s: half the sum of squared residuals
(computed − wanted) / tolerance, or a band's distance outside it in tolerances, over the targets
(its ``cost``), with ``merit`` their root mean
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
import sys
import time
from dataclasses import dataclass, field
from typing import List, Literal, Optional, Sequence, TextIO, Tuple

import numpy as np
import numpy.typing as npt

try:
    from scipy.optimize import least_squares
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.synthesis needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design.core import formatting
from lamina_design import _engine
from lamina_design.core.checks import AIR, Layer, flux_ratio
from lamina_design.core.executor import ExecutorLike, MapLike, map_over
from lamina_design.materials.base import ComplexArray, FloatArray, Material, same_material
from lamina_design.core.targets import Target, by_incidence, union_grid
from lamina_design.core.progress import INTERRUPTED, Callback, Stop, Tracker
from lamina_design.core.report import Report, report
from lamina_design.core.threads import small_linear_algebra
from lamina_design.core.results import BUDGET, CONVERGED, STOPPED, StackResult
from lamina_design.optics.stack import Stack

__all__ = [
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

# ---------------------------------------------------------------------------------------------
# The merit on a palette of materials
# ---------------------------------------------------------------------------------------------

@dataclass
class _Group:
    theta: float
    w_s: float
    w_p: float
    wl: FloatArray
    n: ComplexArray  # (palette, W)
    flux: FloatArray = field(default_factory=lambda: np.ones((2, 0)))
    parts: List[Tuple[str, IntArray, Target]] = field(default_factory=list)


class Merit:
    """The targets' cost of designs built from a palette of materials.

    A design is ``(codes, d)``: palette indices of the layers (front first) and their
    thicknesses. Palette entries 0 and 1 are the incidence and exit media. ``sweeps`` counts the
    engine calls made, ``evaluations`` the residuals computed (with or without their Jacobian).
    """

    def __init__(self, incidence: Material, exit: Material, materials: Sequence[Material],
                 targets: Sequence[Target]) -> None:
        if not targets:
            raise ValueError("no targets to design towards")
        self.palette: List[Material] = [incidence, exit]
        for m in materials:
            self.code(m)
        for target in targets:
            if not isinstance(target, Target) or target.quantity not in ("R", "T", "A"):
                raise ValueError(f"synthesis designs towards R, T and A targets, got {target!r:.80}")
        self.groups: List[_Group] = []
        for (theta, w_s, w_p), indices in by_incidence(targets).items():
            members = [targets[i] for i in indices]
            grid = union_grid(members)
            group = _Group(theta, w_s, w_p, grid, np.empty((0, grid.size), dtype=np.complex128))
            for t in members:
                group.parts.append((t.quantity, np.searchsorted(grid, t.arrays()[0]).astype(np.intp), t))
            self.groups.append(group)
        self._index_rows()
        self.size = sum(idx.size for g in self.groups for _, idx, _ in g.parts)
        self.sweeps = 0
        self.evaluations = 0

    def code(self, material: Material) -> int:
        """The palette index of a material, added if new."""
        for i, m in enumerate(self.palette):
            if same_material(m, material):
                return i
        self.palette.append(material)
        if getattr(self, "groups", None):
            self._index_rows()
        return len(self.palette) - 1

    def _index_rows(self) -> None:
        for g in self.groups:
            rows = [np.asarray(m.index(g.wl), dtype=np.complex128) for m in self.palette]
            g.n = np.array(rows)
            # |t|² to the power flux into the exit medium, s and p (as transmittance() has it).
            g.flux = flux_ratio(g.n[0], g.n[1], g.n[0] * math.sin(g.theta))

    def stack(self, codes: Sequence[int], d: npt.ArrayLike, name: str = "") -> Stack:
        layers = tuple(Layer(self.palette[c], float(t)) for c, t in zip(codes, np.asarray(d, dtype=np.float64)))
        return Stack(self.palette[0], layers, exit=self.palette[1], name=name)

    def _media(self, g: _Group, codes: Sequence[int]) -> ComplexArray:
        return g.n[[0, *codes, 1]]

    def residuals(self, codes: Sequence[int], d: FloatArray, jacobian: bool = False) -> Tuple[FloatArray, Optional[FloatArray]]:
        """Residuals (:meth:`Target.residual`) and, if asked, their exact Jacobian in d."""
        out = np.empty(self.size)
        jac = np.empty((self.size, len(codes))) if jacobian else None
        at = 0
        self.evaluations += 1
        d2 = np.ascontiguousarray(np.asarray(d, dtype=np.float64).reshape(1, -1))
        for g in self.groups:
            n = self._media(g, codes)
            theta = np.array([g.theta])
            self.sweeps += 1
            if jacobian:
                R2, T2, dR2, dT2 = _engine.power_jacobian(d2, n, g.wl, theta)
                dR = g.w_s * dR2[0, 0, 0] + g.w_p * dR2[1, 0, 0]
                dT = g.w_s * dT2[0, 0, 0] + g.w_p * dT2[1, 0, 0]
            else:
                # R and T alone: the amplitudes cost a fraction of the Jacobian.
                r, t = _engine.amplitudes(d2, n, g.wl, theta)
                R2 = r.real ** 2 + r.imag ** 2
                T2 = (t.real ** 2 + t.imag ** 2) * g.flux[:, None, None, :]
            R = g.w_s * R2[0, 0, 0] + g.w_p * R2[1, 0, 0]
            T = g.w_s * T2[0, 0, 0] + g.w_p * T2[1, 0, 0]
            for quantity, idx, target in g.parts:
                q = R[idx] if quantity == "R" else T[idx] if quantity == "T" else 1.0 - R[idx] - T[idx]
                out[at:at + idx.size] = target.residual(q)
                if jac is not None:
                    dq = dR[idx] if quantity == "R" else dT[idx] if quantity == "T" else -dR[idx] - dT[idx]
                    jac[at:at + idx.size] = dq * target.slope(q)[:, None]
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

@formatting.recorded
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
    for quantity, idx, target in g.parts:
        q = R[idx] if quantity == "R" else T[idx] if quantity == "T" else 1.0 - R[idx] - T[idx]
        w = target.residual(q) * target.slope(q)  # r · dr/dq: zero inside a band
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
                   layers: IntArray, depths: FloatArray, wR: FloatArray,
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
            total += _needle_fields(merit, g, codes, d, code, layers, depths, wR, wT)
    return NeedleFunction(merit.palette[code], depths, layers, offsets, total)


# ---------------------------------------------------------------------------------------------
# Refinement, clean-up and the synthesis loops
# ---------------------------------------------------------------------------------------------

#: Weight of the residual that holds the total thickness to its budget, per nm above it.
_BUDGET_WEIGHT = 100.0


def gauss_newton(merit: Merit, codes: Sequence[int], d: FloatArray, max_nfev: int, *,
            max_total: float = math.inf, max_layer: float = math.inf) -> Tuple[FloatArray, float]:
    """Gauss–Newton refinement of all thicknesses with the exact Jacobian: one sweep per step.

    Every layer stays within [0, ``max_layer``]. With a finite ``max_total`` (a budget for the sum
    of the thicknesses) a residual grows with the excess above it, and a result still above it
    is scaled down onto it.
    """
    d = np.asarray(d, dtype=np.float64)
    if not codes:
        return d, merit.cost(codes, d)
    budget = math.isfinite(max_total)
    cache: List[Tuple[FloatArray, FloatArray]] = []

    def both(x: FloatArray) -> Tuple[FloatArray, FloatArray]:
        res, jac = merit.residuals(codes, x, jacobian=True)
        assert jac is not None
        if budget:
            excess = float(x.sum()) - max_total
            res = np.append(res, _BUDGET_WEIGHT * max(excess, 0.0))
            jac = np.vstack([jac, np.full((1, x.size), _BUDGET_WEIGHT if excess > 0 else 0.0)])
        return res, jac

    def fun(x: FloatArray) -> FloatArray:
        res, jac = both(x)
        cache[:] = [(x.copy(), jac)]
        return res

    def jac(x: FloatArray) -> FloatArray:
        if cache and np.array_equal(cache[0][0], x):
            return cache[0][1]
        return both(x)[1]

    # No layer can be thicker than the whole budget.
    hi = np.full(d.size, min(max_layer, max_total))
    x0 = np.clip(d, 0.0, hi)
    # least_squares wants a start strictly inside finite bounds.
    x0 = np.where(x0 >= hi, np.nextafter(hi, 0.0), x0)
    with small_linear_algebra(merit.size, d.size):
        solution = least_squares(fun, x0, jac=jac, bounds=(np.zeros(d.size), hi), method="trf",
                                 max_nfev=max_nfev, x_scale="jac")
    x = np.asarray(solution.x, dtype=np.float64)
    if budget and x.sum() > max_total:
        x = x * (max_total / x.sum())
    return x, merit.cost(codes, x)


def _clean(codes: Sequence[int], d: FloatArray, min_thickness: float) -> Tuple[List[int], FloatArray, bool]:
    """Drop layers thinner than ``min_thickness`` and merge neighbours of one material."""
    out_codes: List[int] = []
    out_d: List[float] = []
    changed = False
    for c, t in zip(codes, d):
        if t < min_thickness:
            changed = True
            continue
        if out_codes and out_codes[-1] == c:
            out_d[-1] += float(t)
            changed = True
        else:
            out_codes.append(int(c))
            out_d.append(float(t))
    return out_codes, np.array(out_d, dtype=np.float64), changed


@dataclass(frozen=True)
class Step:
    """One accepted design on the way: what was done, its size and its merit."""

    kind: str
    layers: int
    total_nm: float
    cost: float
    merit: float
    sweeps: int


@dataclass(frozen=True, repr=False)
class SynthesisResult(StackResult):
    """The best design found and the merit after every step.

    ``sweeps`` counts the engine calls (one batched call of the native module per target group:
    a spectrum with its exact Jacobian, or a needle function over all depths), ``nfev`` the
    evaluations of the residuals. ``x`` are the design's thicknesses, ``fun`` its ``cost``,
    ``nit`` the steps taken after the start; ``status`` (see :mod:`lamina_design.core.results`) says
    whether it stopped converged, at a budget or at its limit of steps or rounds.
    """

    stack: Stack
    cost: float
    merit: float
    steps: Tuple[Step, ...]
    sweeps: int
    seconds: float
    message: str
    nfev: int = 0
    status: int = CONVERGED
    #: The targets designed towards, in the order given (what :meth:`report` judges).
    targets: Tuple[Target, ...] = field(default=(), repr=False)

    @property
    def nit(self) -> int:
        """Steps taken after the start (needles, swaps, new layers)."""
        return len(self.steps) - 1

    @property
    def total_nm(self) -> FloatArray:
        """Total thickness after every step."""
        return np.array([s.total_nm for s in self.steps])

    @property
    def merits(self) -> FloatArray:
        """Merit after every step."""
        return np.array([s.merit for s in self.steps])

    def report(self) -> Report:
        """The design against each target: achieved against wanted (see :mod:`lamina_design.core.report`)."""
        return report(self.targets, self.stack, title="synthesized design against the targets")

    def summary(self) -> str:
        first = self.steps[0]
        return (f"merit {first.merit:.4g} -> {self.merit:.4g} with {len(self.stack.layers)} layers, "
                f"{float(self.stack.thicknesses().sum()):.1f} nm, {self.sweeps} engine sweeps in "
                f"{self.seconds:.2f} s: {self.message}")


@dataclass(frozen=True)
class _Settings:
    step_nm: float
    min_thickness: float
    max_nfev: int
    max_layers: int
    max_total: float
    #: Needle places, and then thinnest layers to remove, tried before a step gives up.
    patience: int = 4


@dataclass(frozen=True)
class _Candidate:
    value: float
    code: int
    layer: int
    offset: float


def _candidates(merit: Merit, codes: Sequence[int], d: FloatArray, materials: Sequence[int],
                s: _Settings) -> List[_Candidate]:
    """The most negative needle value of each material in each layer and on each face, best first."""
    found: List[_Candidate] = []
    for code in materials:
        f = _needle(merit, codes, d, code, s.step_nm)
        for j in np.unique(f.layer):
            at = np.flatnonzero(f.layer == j)
            k = int(at[np.argmin(f.value[at])])
            grows = 1 if (j < 0 or j >= len(codes)) else 2
            if f.value[k] < 0 and len(codes) + grows <= s.max_layers:
                found.append(_Candidate(float(f.value[k]), code, int(j), float(f.offset[k])))
    found.sort(key=lambda c: c.value)
    return found


def _insert(codes: Sequence[int], d: FloatArray, c: _Candidate, width: float) -> Tuple[List[int], FloatArray]:
    """The design with a needle of ``width`` nm centred at the candidate, replacing host material."""
    L = len(codes)
    if c.layer < 0:
        return [c.code, *codes], np.concatenate([[width], d])
    if c.layer >= L:
        return [*codes, c.code], np.concatenate([d, [width]])
    j = c.layer
    host = float(d[j])
    half = min(0.5 * width, c.offset, host - c.offset)
    above, below = c.offset - half, host - c.offset - half
    new_codes = [*codes[:j], codes[j], c.code, codes[j], *codes[j + 1:]]
    return new_codes, np.concatenate([d[:j], [above, 2 * half, below], d[j + 1:]])


#: The relative fall of the cost a step must bring to count.
_GAIN = 1e-6


#: A new layer that does not, with the needle steps after it, lower the best merit by this
#: share counts as idle; after this many idle ones in a row needle synthesis stops growing.
_GROWTH_GAIN = 0.01
_GROWTH_PATIENCE = 3


#: Needle widths (nm) tried before refining; the best of them starts the refinement.
_WIDTHS = (1.0, 2.0, 4.0, 8.0, 16.0, 32.0)


def _trial(job: Tuple[Merit, List[int], FloatArray, _Candidate, _Settings]) -> Tuple[List[int], FloatArray, float, int, int]:
    """Insert one needle, refine, clean up: (codes, d, cost, sweeps used, evaluations)."""
    merit, codes, d, cand, s = job
    merit = counting_copy(merit)
    tried = [_insert(codes, d, cand, w) for w in _WIDTHS]
    costs = [merit.cost(c, t) for c, t in tried]
    new_codes, new_d = tried[int(np.argmin(costs))]
    new_codes, new_d, cost, _ = _settle(merit, new_codes, new_d, s)
    return new_codes, new_d, cost, merit.sweeps, merit.evaluations


def counting_copy(merit: Merit) -> Merit:
    """A shallow copy counting its own sweeps (the groups are shared, read-only)."""
    twin = Merit.__new__(Merit)
    twin.__dict__.update(merit.__dict__)
    twin.sweeps = 0
    twin.evaluations = 0
    return twin


def _check_budget(max_layers: Optional[int], max_total_nm: Optional[float]) -> Tuple[int, float]:
    layers = sys.maxsize if max_layers is None else int(max_layers)
    total = math.inf if max_total_nm is None else float(max_total_nm)
    if layers < 1:
        raise ValueError(f"max_layers must be ≥ 1, got {max_layers!r}")
    if not total > 0:
        raise ValueError(f"max_total_nm must be > 0, got {max_total_nm!r}")
    return layers, total


def _setup(stack: Stack, targets: Sequence[Target], materials: Sequence[Material]) -> Tuple[Merit, List[int], List[int]]:
    if stack.substrate is not None:
        raise ValueError("synthesis works on a coating on a half-infinite exit medium, not a substrate: "
                         "give the stack exit= instead")
    if not materials:
        raise ValueError("give at least one material to insert")
    merit = Merit(stack.incidence, stack.exit if stack.exit is not None else AIR,
                  [layer.material for layer in stack.layers], targets)
    codes = [merit.code(layer.material) for layer in stack.layers]
    chosen = sorted({merit.code(m) for m in materials})
    # A layer of a material that is never inserted can only thin away or stay, and the needles
    # of the others cannot replace it: the search stalls. Say so rather than return a design
    # made of materials the caller did not allow.
    foreign = sorted({c for c in codes if c not in chosen})
    if foreign:
        names = ", ".join(repr(merit.palette[c].name) for c in foreign)
        raise ValueError(f"materials: the starting stack has layers of {names}, which is not among the materials "
                         f"to insert; add it to materials, or start from layers of the allowed ones")
    return merit, codes, chosen


def _settle(merit: Merit, codes: Sequence[int], d: FloatArray, s: _Settings) -> Tuple[List[int], FloatArray, float, int]:
    """Refines, removes layers thinner than the minimum (merging neighbours of one material) and
    refines again until every layer is at least the minimum: (codes, d, cost, layers removed)."""
    codes = list(codes)
    d, cost = gauss_newton(merit, codes, d, s.max_nfev, max_total=s.max_total)
    removed = 0
    for _ in range(len(codes) + 1):
        before = len(codes)
        codes, d, changed = _clean(codes, d, s.min_thickness)
        if not changed:
            break
        removed += before - len(codes)
        d, cost = gauss_newton(merit, codes, d, s.max_nfev, max_total=s.max_total)
    # Refinement may thin a layer below the minimum again after the last removal: the bound
    # holds it there rather than let it go on thinning.
    if codes and float(d.min()) < s.min_thickness:
        d = np.maximum(d, s.min_thickness)
        cost = merit.cost(codes, d)
    return codes, d, cost, removed


def _minimum_note(s: _Settings, removed: int) -> str:
    if s.min_thickness <= 0:
        return ""
    thin = f"{removed} thinner layers removed" if removed else "none thinner"
    return f"; every layer ≥ {s.min_thickness:g} nm ({thin})"


class _Run:
    """A synthesis in progress: its best design, its tracker and how it stopped."""

    def __init__(self, merit: Merit, name: str, tracker: Tracker) -> None:
        self.merit = merit
        self.name = name
        self.tracker = tracker
        self.best: Optional[_Design] = None
        self.removed = 0

    def offer(self, codes: Sequence[int], d: FloatArray, cost: float) -> None:
        if self.best is None or cost < self.best[2]:
            self.best = (list(codes), d.copy(), cost)

    def design(self) -> Stack:
        assert self.best is not None
        return self.merit.stack(self.best[0], self.best[1], self.name)

    def report(self, done: int, stage: str = "") -> None:
        merit = self.merit.rms(self.best[2]) if self.best is not None else math.nan
        self.tracker.update(done, merit, self.design if self.best is not None else None, stage)


def _loop(merit: Merit, codes: List[int], d: FloatArray, chosen: Sequence[int], s: _Settings, max_steps: int,
          trials: int, run: MapLike, steps: List[Step], watch: _Run,
          first: int = 0) -> Tuple[List[int], FloatArray, float, str]:
    """Needle steps from a refined design until nothing helps or a budget is reached; progress is
    reported as steps ``first + 1``…"""
    cost = merit.cost(codes, d)

    def record(kind: str) -> None:
        step = Step(kind, len(codes), float(d.sum()), cost, merit.rms(cost), merit.sweeps)
        steps.append(step)
        watch.offer(codes, d, cost)

    message = f"stopped after {max_steps} needle steps"
    for done in range(max_steps):
        best = _step(merit, codes, d, cost, chosen, s, trials, run, watch.tracker)
        kind = "needle"
        if best is None:
            # A needle-optimal design (or one at the layer budget) can still change its
            # structure: take out one of the thinnest layers, then look for a needle again.
            best = _swap(merit, codes, d, cost, chosen, s, trials, run, watch.tracker)
            kind = "swap"
        if best is None:
            message = ("the layer budget is reached" if len(codes) + 1 > s.max_layers
                       else "no needle lowers the merit")
            break
        codes, d, cost = best
        record(kind)
        watch.report(first + done + 1, kind)
    return codes, d, cost, message


_Design = Tuple[List[int], FloatArray, float]


def _step(merit: Merit, codes: List[int], d: FloatArray, cost: float, chosen: Sequence[int], s: _Settings,
          trials: int, run: MapLike, tracker: Optional[Tracker] = None) -> Optional[_Design]:
    """One needle step: the first of the best places whose refined design lowers the cost."""
    found = _candidates(merit, codes, d, chosen, s)
    # The deepest minimum may only lead back to the same design: try the next places before
    # giving up, `trials` at a time.
    for at in range(0, min(len(found), max(trials, s.patience)), trials):
        if tracker is not None:
            tracker.check()
        jobs = [(merit, list(codes), d.copy(), c, s) for c in found[at:at + trials]]
        results = list(run(_trial, jobs))
        merit.sweeps += sum(r[3] for r in results)
        merit.evaluations += sum(r[4] for r in results)
        fits = [r for r in results if len(r[0]) <= s.max_layers and float(r[1].sum()) <= s.max_total]
        if fits:
            top = min(fits, key=lambda r: r[2])
            if top[2] < cost * (1 - _GAIN):
                return top[0], top[1], top[2]
    return None


def _swap(merit: Merit, codes: List[int], d: FloatArray, cost: float, chosen: Sequence[int], s: _Settings,
          trials: int, run: MapLike, tracker: Optional[Tracker] = None) -> Optional[_Design]:
    """Remove one of the thinnest layers, refine, and take a needle step from there."""
    if len(codes) < 3:
        return None
    for j in np.argsort(d)[:s.patience]:
        if tracker is not None:
            tracker.check()
        thinner = d.copy()
        thinner[j] = 0.0
        new_codes, new_d, _ = _clean(codes, thinner, s.min_thickness)
        new_codes, new_d, new_cost, _ = _settle(merit, new_codes, new_d, s)
        found = _step(merit, new_codes, new_d, math.inf, chosen, s, trials, run, tracker)
        if found is not None and found[2] < cost * (1 - _GAIN):
            return found
        if new_cost < cost * (1 - _GAIN):
            return new_codes, new_d, new_cost
    return None


def _status(message: str) -> int:
    """The result's status from why a synthesis stopped."""
    if "budget" in message and "time budget" not in message:
        return BUDGET
    return STOPPED if message.startswith(("stopped", "interrupted", "the time budget")) else CONVERGED


def _finish(run: _Run, s: _Settings, steps: List[Step], start_time: float, message: str,
            stack_name: str, targets: Sequence[Target]) -> SynthesisResult:
    """The result of a synthesis: its best design, every layer at least the minimum."""
    merit = run.merit
    assert run.best is not None
    codes, d, cost = run.best
    if codes and float(d.min()) < s.min_thickness:
        codes, d, cost, removed = _settle(merit, codes, d, s)
        run.removed += removed
    message += _minimum_note(s, run.removed)
    return SynthesisResult(merit.stack(codes, d, stack_name), cost, merit.rms(cost), tuple(steps), merit.sweeps,
                           time.perf_counter() - start_time, message, merit.evaluations, _status(message),
                           tuple(targets))


def _check_common(max_steps: int, trials: int, max_nfev: int, min_thickness_nm: float) -> None:
    if max_steps < 0 or trials < 1 or max_nfev < 1:
        raise ValueError("max_steps must be ≥ 0, trials and max_nfev ≥ 1")
    if not (min_thickness_nm >= 0 and math.isfinite(min_thickness_nm)):
        raise ValueError(f"min_thickness_nm must be finite and ≥ 0, got {min_thickness_nm!r}")


def needle(stack: Stack, targets: Sequence[Target], materials: Sequence[Material], *,
           max_layers: Optional[int] = None, max_total_nm: Optional[float] = None, max_steps: int = 40,
           step_nm: float = 2.0, min_thickness_nm: float = 1.0, trials: int = 1, max_nfev: int = 100,
           patience: int = 4, executor: ExecutorLike = None, progress: Optional[bool] = None, stream: Optional[TextIO] = None,
           callback: Optional[Callback] = None, time_budget: Optional[float] = None,
           grow: Literal["auto", "both", "front", "back", "none"] = "auto") -> SynthesisResult:
    """Needle optimisation from ``stack``.

    Each step refines every thickness (exact Jacobian), computes the needle function of each of
    ``materials`` on a grid ``step_nm`` fine, and inserts a needle where it is most negative;
    ``trials`` > 1 tries that many of the best places (the deepest minimum of each layer and
    face) at once and keeps the best, the trials mapped over ``executor`` (see
    :mod:`lamina_design.core.executor`: ``None`` the kept process pool, ``"serial"``, a worker count or an
    executor). When the refined design is no better, up to ``patience`` places are tried, then
    the removal of each of the ``patience`` thinnest layers followed by a needle step.
    Layers that thin below ``min_thickness_nm`` are removed, neighbours of one material
    merged and the rest refined again, so every layer of the result is at least that thick.
    The starting stack's layers must be of ``materials``. It stops when no needle lowers the
    merit, at ``max_layers`` or ``max_total_nm`` (refinement holds the total to it, and a step
    that ends above it is not taken), or after ``max_steps``.

    Where no needle helps, the design is needle-optimal for its total thickness. With ``grow``
    "both", "front" or "back" a new layer then goes on that face (a quarter wave at the middle
    of the targets' wavelengths, of whichever material refines best, as
    :func:`gradual_evolution` adds them) and the needle steps go on, until three new layers in
    a row gain less than 1 % or a budget is reached; the best design seen is returned. "auto"
    (the default) grows on both faces when ``max_total_nm`` bounds the design, and not at all
    otherwise (a needle optimum is then the end: growth without a thickness budget has no
    bound but ``max_steps``, and thickens layers without end for gains of no worth).

    ``callback`` receives a :class:`~lamina_design.core.progress.Progress` record (unit
    "steps") after every step; returning True, raising StopIteration, ``time_budget``
    (seconds) running out or Ctrl-C end the run with the best design so far (``success``
    False, the reason in ``message``).

    A bare face has a needle function of 0 (at normal incidence on lossless media a thin film
    there only turns the phase of r): start from at least one layer, or use
    :func:`gradual_evolution`.
    """
    start_time = time.perf_counter()
    layers_cap, total_cap = _check_budget(max_layers, max_total_nm)
    _check_common(max_steps, trials, max_nfev, min_thickness_nm)
    if grow not in ("auto", "both", "front", "back", "none"):
        raise ValueError(f"grow must be 'auto', 'both', 'front', 'back' or 'none', got {grow!r}")
    if grow == "auto":
        grow = "both" if max_total_nm is not None else "none"
    merit, codes, chosen = _setup(stack, targets, materials)
    s = _Settings(float(step_nm), float(min_thickness_nm), int(max_nfev), layers_cap, total_cap, max(1, int(patience)))
    if len(codes) > layers_cap or float(stack.thicknesses().sum()) > total_cap:
        raise ValueError("the starting stack is already beyond the layer or thickness budget")
    d = stack.thicknesses()
    steps: List[Step] = []
    tracker = Tracker(max_steps, "steps", label="needle", progress=progress,
                      stream=sys.stderr if stream is None else stream, callback=callback, time_budget=time_budget)
    watch = _Run(merit, stack.name, tracker)
    watch.offer(codes, d, merit.cost(codes, d))
    try:
        if codes:
            # Refined to convergence first: a needle-optimal start (a quarter wave) shows its
            # needles only once it sits at its optimum.
            d, _ = gauss_newton(merit, codes, d, s.max_nfev, max_total=s.max_total)
            codes, d, _, watch.removed = _settle(merit, codes, d, s)
        cost = merit.cost(codes, d)
        watch.best = None
        watch.offer(codes, d, cost)
        steps.append(Step("start", len(codes), float(d.sum()), cost, merit.rms(cost), merit.sweeps))
        watch.report(0, "start")
        centre = float(np.median(np.concatenate([g.wl for g in merit.groups])))
        idle = 0
        with map_over(executor, trials, trials) as run:
            while True:
                before = watch.best[2] if watch.best is not None else math.inf
                codes, d, cost, message = _loop(merit, codes, d, chosen, s, max_steps - (len(steps) - 1), trials,
                                                run, steps, watch, first=len(steps) - 1)
                # A needle optimum of this total thickness: more room (a new layer on a face, then
                # needles again) reaches what no needle can, as edges and beamsplitters need.
                if message.startswith("stopped after"):
                    message = f"stopped after {max_steps} steps"
                if grow == "none" or not message.startswith("no needle"):
                    break
                idle = idle + 1 if (watch.best is None or watch.best[2] > (1 - _GROWTH_GAIN) * before) else 0
                if idle >= _GROWTH_PATIENCE:
                    message = "neither a needle nor a new layer lowers the merit"
                    break
                if len(steps) - 1 >= max_steps:
                    message = f"stopped after {max_steps} steps"
                    break
                grown = _grow(merit, codes, d, chosen, s, grow, centre, None, tracker)
                if grown is None:
                    message = "no needle lowers the merit and the layer or thickness budget leaves no room to grow"
                    break
                codes, d, cost = grown
                steps.append(Step("grow", len(codes), float(d.sum()), cost, merit.rms(cost), merit.sweeps))
                watch.offer(codes, d, cost)
                watch.report(len(steps) - 1, "new layer")
    except Stop as stop:
        message = f"{stop.reason}: the best design so far"
    except KeyboardInterrupt:
        message = f"{INTERRUPTED}: the best design so far"
    finally:
        tracker.close()
    return _finish(watch, s, steps, start_time, message, stack.name, targets)


def gradual_evolution(stack: Stack, targets: Sequence[Target], materials: Sequence[Material], *,
                      max_layers: Optional[int] = None, max_total_nm: Optional[float] = None,
                      layer_nm: Optional[float] = None, rounds: int = 20, needle_steps: int = 10,
                      step_nm: float = 2.0, min_thickness_nm: float = 1.0, trials: int = 1, max_nfev: int = 100,
                      patience: int = 4, grow: Literal["front", "back", "both"] = "both",
                      executor: ExecutorLike = None, progress: Optional[bool] = None,
                      stream: Optional[TextIO] = None,
                      callback: Optional[Callback] = None, time_budget: Optional[float] = None) -> SynthesisResult:
    """Gradual evolution: grow the design a layer at a time on one of its faces, needle-optimise
    after each, and keep the best design seen.

    The new layer goes on the face ``grow`` says ("both": whichever refines best), of whichever
    material (unlike the layer it touches) refines best,
    ``layer_nm`` thick (default: a quarter wave at the middle of the targets' wavelengths). It
    stops after ``rounds`` layers, at a budget, or when five rounds in a row gain less than 1 % of
    the merit. Layers thinner than ``min_thickness_nm`` are removed as :func:`needle` does;
    ``callback`` and ``time_budget`` as there (progress counted in steps: each round is a new
    layer and up to ``needle_steps`` needle steps).
    """
    start_time = time.perf_counter()
    layers_cap, total_cap = _check_budget(max_layers, max_total_nm)
    if rounds < 1 or needle_steps < 0 or trials < 1 or max_nfev < 1:
        raise ValueError("rounds, trials and max_nfev must be ≥ 1 and needle_steps ≥ 0")
    _check_common(needle_steps, trials, max_nfev, min_thickness_nm)
    if grow not in ("front", "back", "both"):
        raise ValueError(f"grow must be 'front', 'back' or 'both', got {grow!r}")
    merit, codes, chosen = _setup(stack, targets, materials)
    s = _Settings(float(step_nm), float(min_thickness_nm), int(max_nfev), layers_cap, total_cap, max(1, int(patience)))
    d = stack.thicknesses()
    centre = float(np.median(np.concatenate([g.wl for g in merit.groups])))
    steps: List[Step] = []
    per_round = needle_steps + 1
    tracker = Tracker(rounds * per_round, "steps", label="gradual evolution", progress=progress,
                      stream=sys.stderr if stream is None else stream, callback=callback, time_budget=time_budget)
    watch = _Run(merit, stack.name, tracker)
    watch.offer(codes, d, merit.cost(codes, d))
    message = f"stopped after {rounds} rounds"
    try:
        if codes:
            codes, d, _, watch.removed = _settle(merit, codes, d, s)
        cost = merit.cost(codes, d)
        watch.best = None
        watch.offer(codes, d, cost)
        steps.append(Step("start", len(codes), float(d.sum()), cost, merit.rms(cost), merit.sweeps))
        watch.report(0, "start")
        stalls = 0
        with map_over(executor, trials, trials) as run:
            for k in range(rounds):
                grown = _grow(merit, codes, d, chosen, s, grow, centre, layer_nm, tracker)
                if grown is None:
                    message = "the layer or thickness budget is reached"
                    break
                before = watch.best[2] if watch.best is not None else math.inf
                codes, d, cost = grown
                steps.append(Step("layer", len(codes), float(d.sum()), cost, merit.rms(cost), merit.sweeps))
                watch.offer(codes, d, cost)
                watch.report(k * per_round + 1, f"round {k + 1}: new layer")
                codes, d, cost, _ = _loop(merit, codes, d, chosen, s, needle_steps, trials, run, steps, watch,
                                          first=k * per_round + 1)
                watch.offer(codes, d, cost)
                watch.report((k + 1) * per_round, f"round {k + 1} done")
                stalls = stalls + 1 if cost > 0.99 * before else 0
                if stalls >= 5:
                    message = "five rounds in a row gained less than 1 %"
                    break
    except Stop as stop:
        message = f"{stop.reason}: the best design so far"
    except KeyboardInterrupt:
        message = f"{INTERRUPTED}: the best design so far"
    finally:
        tracker.close()
    return _finish(watch, s, steps, start_time, message, stack.name, targets)


def _grow(merit: Merit, codes: List[int], d: FloatArray, chosen: Sequence[int], s: _Settings,
          grow: str, centre: float, layer_nm: Optional[float], tracker: Tracker) -> Optional[_Design]:
    """The best refined design with a new layer on a face, of a material unlike the layer it touches."""
    grown: List[_Design] = []
    for front in ((True, False) if grow == "both" else (grow == "front",)):
        touching = (codes[0] if front else codes[-1]) if codes else -1
        for code in (c for c in chosen if c != touching):
            tracker.check()
            n_mid = float(np.real(merit.palette[code].index(np.array([centre]))[0]))
            width = centre / (4 * n_mid) if layer_nm is None else float(layer_nm)
            width = min(width, s.max_total - float(d.sum()))
            if len(codes) + 1 > s.max_layers or width < max(s.min_thickness, 1e-9):
                continue
            new_codes = [code, *codes] if front else [*codes, code]
            new_d = np.concatenate([[width], d] if front else [d, [width]])
            new_codes, new_d, new_cost, _ = _settle(merit, new_codes, new_d, s)
            grown.append((new_codes, new_d, new_cost))
    if not grown:
        return None
    return min(grown, key=lambda g: g[2])
