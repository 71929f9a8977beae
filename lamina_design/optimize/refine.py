"""Least-squares refinement of layer thicknesses towards targets, and fitting of measured spectra.

A target is a quantity at wavelengths, one angle and one polarisation, with a tolerance: R, T or A
(fractions); Ψ, Δ, the phase of r or t (degrees); the group delay GD (fs) or the group delay
dispersion GDD (fs²) of r or t; or, with :class:`ColourTarget`, the CIE L*a*b* colour of R or T.
The residual of a point is (computed − wanted) / tolerance (angles wrapped to ±180°), or for a
banded target ("R ≤ 0.3 %") the distance outside the band in tolerances (:meth:`Target.residual`),
and SciPy's ``least_squares`` minimises half their sum of squares (its ``cost``) with thicknesses
kept ≥ 0.

The Jacobian is exact: the engine gives every thickness derivative of r and t, of R and T, in one
sweep over the grid; the chain rule carries them through the polarisation mix, the flux of T,
the incoherent sum of a thick substrate's back side, Ψ, Δ, the phases and the colour. GD and GDD
need the mixed derivative d²φ/dk0·dd, which the engine does not give: their columns are central
differences, all of them in one batched engine call. ``jacobian="difference"`` uses forward
differences instead, one more spectrum per varied layer (the method before the exact one).
``lamina_calls`` counts the native calls, each one sweep over a target group's grid.

Needs SciPy (``pip install 'lamina[design]'``).
"""
from __future__ import annotations

import inspect
import math
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Literal, Optional, Sequence, TextIO, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

try:
    from scipy.optimize import least_squares
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.refine needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design import _engine
from lamina_design.core.checks import forward_cos
from lamina_design.materials.base import ComplexArray, FloatArray
from lamina_design.optics.phase import (
    C_NM_PER_FS,
    DEGREES,
    engine_arrays,
    front_layers,
    psi_delta_from,
    psi_delta_rates,
)
from lamina_design.core.progress import INTERRUPTED, Callback, Stop, Tracker
from lamina_design.core.report import Report, report
from lamina_design.core.threads import small_linear_algebra
from lamina_design.core.results import OptimizeResult
from lamina_design.core.targets import (
    AMPLITUDE,
    POWER,
    WRAPPED,
    AnyTarget,
    ColourTarget,
    Quantity,
    Target,
    Values,
    amplitude_polarisation,
    by_incidence,
    union_grid,
)
from lamina_design.optics.stack import PreparedStack, Stack, polarisation_weights
from lamina_design.optics.substrate import Substrate, angle_inside

__all__ = ["ColourTarget", "RefineResult", "Target", "fit_spectrum", "refine"]



@dataclass(frozen=True, repr=False)
class RefineResult(OptimizeResult):
    """What a refinement did, in the manner of SciPy's ``OptimizeResult``.

    ``x`` are the refined thicknesses of the varied layers (indices ``vary`` into
    :meth:`Stack.all_layers`), ``cost`` (also ``fun``) is half the sum of squared residuals,
    ``merit`` their root mean square (1 means every point sits at its tolerance on average).
    ``nfev`` counts SciPy's evaluations of the residuals, ``sweeps`` the engine calls (see
    :mod:`lamina_design.core.results`).
    """

    _aliases = ("lamina_calls",)

    stack: Stack
    x: FloatArray
    x0: FloatArray
    vary: tuple[int, ...]
    cost_before: float
    cost: float
    merit_before: float
    merit: float
    residuals: FloatArray
    jac: FloatArray
    nfev: int
    njev: int
    #: Native engine calls, each one sweep over a target group's grid.
    lamina_calls: int
    seconds: float
    success: bool
    status: int
    message: str
    #: How the Jacobian was computed: "exact" or "difference".
    method: str = "exact"
    #: The targets refined towards, in the order given (what :meth:`report` judges).
    targets: Tuple[AnyTarget, ...] = field(default=(), repr=False)

    @property
    def nit(self) -> int:
        """Iterations: SciPy's trust-region method evaluates one Jacobian per iteration."""
        return self.njev

    @property
    def sweeps(self) -> int:
        """Native engine calls, each one sweep over a target group's grid (``lamina_calls``)."""
        return self.lamina_calls

    def uncertainty(self) -> FloatArray:
        """One-sigma uncertainties of ``x`` (nm) when the tolerances are the data's noise.

        From the Jacobian at the solution, sqrt(diag((JᵀJ)⁻¹)); inf for a layer the data cannot
        determine.
        """
        normal = self.jac.T @ self.jac
        try:
            covariance = np.linalg.inv(normal)
        except np.linalg.LinAlgError:
            return np.full(self.x.shape, math.inf)
        out: FloatArray = np.sqrt(np.abs(np.diag(covariance)))
        return out

    def report(self) -> Report:
        """The refined design against each target: achieved against wanted (see :mod:`lamina_design.core.report`)."""
        return report(self.targets, self.stack, title="refined design against the targets")

    def summary(self) -> str:
        return (f"merit {self.merit_before:.4g} -> {self.merit:.4g} (cost {self.cost_before:.4g} -> {self.cost:.4g}), "
                f"{self.nfev} evaluations, {self.njev} {self.method} Jacobians, {self.lamina_calls} lamina calls (engine sweeps) in "
                f"{self.seconds:.2f} s: {self.message}")


def _mixed(w_s: float, w_p: float, pair: FloatArray) -> FloatArray:
    """w_s·s + w_p·p of an array whose axis 0 is (s, p); a zero weight adds nothing (not even NaN)."""
    out: FloatArray = np.zeros(pair.shape[1:])
    if w_s != 0.0:
        out = out + w_s * pair[0]
    if w_p != 0.0:
        out = out + w_p * pair[1]
    return out


def _power_jacobian(d: FloatArray, n: ComplexArray, wl: FloatArray, theta: FloatArray) -> Tuple[FloatArray, ...]:
    """R, T (2, W) and dR, dT (2, W, N) of one coherent stack; θ one angle, or one per wavelength."""
    if np.all(theta == theta[0]):
        rr, tt, dr, dt = _engine.power_jacobian(d.reshape(1, -1), n, wl, theta[:1], convention="flux")
        return rr[:, 0, 0], tt[:, 0, 0], dr[:, 0, 0], dt[:, 0, 0]
    # An angle that changes with wavelength (inside a dispersive substrate): one call per angle.
    rr = np.empty((2, wl.size))
    tt = np.empty((2, wl.size))
    dr = np.empty((2, wl.size, d.size))
    dt = np.empty((2, wl.size, d.size))
    for angle in np.unique(theta):
        idx = np.flatnonzero(theta == angle)
        part = _engine.power_jacobian(d.reshape(1, -1), np.ascontiguousarray(n[:, idx]),
                                      np.ascontiguousarray(wl[idx]), np.array([angle]), convention="flux")
        rr[:, idx], tt[:, idx] = part[0][:, 0, 0], part[1][:, 0, 0]
        dr[:, idx], dt[:, idx] = part[2][:, 0, 0], part[3][:, 0, 0]
    return rr, tt, dr, dt


class _PowerGroup:
    """R, T, A and colour targets at one angle and polarisation, on one grid."""

    def __init__(self, stack: Stack, theta: float, polarisation: Union[str, float],
                 members: Sequence[AnyTarget]) -> None:
        grid = union_grid(members)
        self.prepared = stack.prepare(grid)
        self.theta = theta
        self.polarisation = polarisation
        _, self.w_s, self.w_p = polarisation_weights(polarisation)  # type: ignore[arg-type]
        self.parts: List[Tuple[str, npt.NDArray[np.intp], Target]] = []
        self.colours: List[_Colour] = []
        for m in members:
            if isinstance(m, ColourTarget):
                self.colours.append(_Colour(m, grid))
            else:
                self.parts.append((m.quantity, np.searchsorted(grid, m.arrays()[0]), m))
        self.size = sum(idx.size for _, idx, _ in self.parts) + 3 * len(self.colours)
        self.engine_calls = 0

    def residuals(self, d: FloatArray) -> FloatArray:
        r, t = self.prepared.spectrum(self.theta, self.polarisation, d)  # type: ignore[arg-type]
        scaled = [target.residual(self._part(quantity, r, t)[idx]) for quantity, idx, target in self.parts]
        scaled += [c.residuals(r if c.quantity == "R" else t) for c in self.colours]
        return np.concatenate(scaled) if scaled else np.empty(0)

    @staticmethod
    def _part(quantity: str, r: FloatArray, t: FloatArray) -> FloatArray:
        return r if quantity == "R" else t if quantity == "T" else 1.0 - r - t

    def jacobian(self, d: FloatArray) -> FloatArray:
        prepared = self.prepared
        stack = prepared.stack
        n_front = len(stack.layers)
        wl = prepared.wavelength_nm
        theta = np.full(wl.size, self.theta)
        if stack.substrate is None:
            rr, tt, dr, dt = _power_jacobian(np.ascontiguousarray(d[:n_front]), prepared.n, wl, theta)
            self.engine_calls += 1
            r, t = _mixed(self.w_s, self.w_p, rr), _mixed(self.w_s, self.w_p, tt)
            jr, jt = _mixed(self.w_s, self.w_p, dr), _mixed(self.w_s, self.w_p, dt)
        else:
            r, t, jr, jt = self._incoherent(d)
        rows = [self._part(q, jr, jt)[idx] if q != "A" else -(jr + jt)[idx] for q, idx, _ in self.parts]
        scaled = [j * target.slope(self._part(q, r, t)[idx])[:, None] for j, (q, idx, target) in zip(rows, self.parts)]
        scaled += [c.jacobian(r if c.quantity == "R" else t, jr if c.quantity == "R" else jt)
                   for c in self.colours]
        return np.vstack(scaled)

    def _incoherent(self, d: FloatArray) -> Tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
        """R, T and their Jacobians for a coated plate: the incoherent sum differentiated by hand.

        Per polarisation, with D = 1 − R_r·R_b·P² (notation of lamina_design.optics.substrate),
        R = R_f + T_f·T_r·R_b·P²/D and T = T_f·T_b·P/D.
        """
        prepared = self.prepared
        sub = prepared.stack.substrate
        assert sub is not None
        wl = prepared.wavelength_nm
        front, back = prepared.front_n, prepared.back_n
        n_front = len(prepared.stack.layers)
        d_f = np.ascontiguousarray(d[:n_front])
        d_b = np.ascontiguousarray(d[n_front:])
        n0, ns = front[0], front[-1]
        kx = n0 * math.sin(self.theta)
        single = np.exp(-4.0 * math.pi * (ns * forward_cos(ns, kx)).imag * sub.thickness_nm / wl)
        inside, theta_s = angle_inside(ns, kx, self.theta)
        reverse_n = np.ascontiguousarray(np.vstack([inside, front[-2:0:-1], n0]))
        back_n = np.ascontiguousarray(np.vstack([inside, back[1:]]))
        fr, ft, dfr, dft = _power_jacobian(d_f, front, wl, np.full(wl.size, self.theta))
        rr, tr, drr, dtr = _power_jacobian(np.ascontiguousarray(d_f[::-1]), reverse_n, wl, theta_s)
        br, bt, dbr, dbt = _power_jacobian(d_b, back_n, wl, theta_s)
        self.engine_calls += 1 + 2 * (1 if np.all(theta_s == theta_s[0]) else np.unique(theta_s).size)
        drr, dtr = drr[..., ::-1], dtr[..., ::-1]  # the reversed coating's layers back in front order
        p2 = single * single
        den = 1.0 - rr * br * p2
        r = fr + ft * tr * br * p2 / den
        t = ft * bt * single / den
        e = (slice(None), slice(None), None)  # broadcast (2, W) against (2, W, N)
        jr_front = dfr + (p2 * br / den)[e] * (dft * tr[e] + ft[e] * dtr) + (ft * tr * br * br * p2 * p2 / den**2)[e] * drr
        jt_front = (bt * single / den)[e] * dft + (ft * bt * single * br * p2 / den**2)[e] * drr
        jr_back = (ft * tr * p2 / den**2)[e] * dbr
        jt_back = (ft * single / den)[e] * dbt + (ft * bt * single * rr * p2 / den**2)[e] * dbr
        jr = np.concatenate([jr_front, jr_back], axis=-1)
        jt = np.concatenate([jt_front, jt_back], axis=-1)
        w_s, w_p = self.w_s, self.w_p
        return _mixed(w_s, w_p, r), _mixed(w_s, w_p, t), _mixed(w_s, w_p, jr), _mixed(w_s, w_p, jt)


class _Colour:
    """L*a*b* of a spectrum and its derivative: XYZ is linear in the spectrum, Lab a function of XYZ."""

    def __init__(self, target: ColourTarget, grid: FloatArray) -> None:
        from lamina_design import merit

        self.colour = merit.colour
        self.quantity = target.quantity
        self.illuminant = target.illuminant
        self.wl = np.asarray(target.wavelength_nm, dtype=np.float64)
        self.idx = np.searchsorted(grid, self.wl)
        self.lab = np.asarray(target.lab, dtype=np.float64)
        self.tolerance = np.asarray(target.tolerance, dtype=np.float64)
        # XYZ of each unit spectrum: the columns of the linear map.
        self.matrix = np.column_stack([merit.colour(self.wl, e, self.illuminant).XYZ for e in np.eye(self.wl.size)])
        self.white = np.asarray(merit.colour(self.wl, np.ones(self.wl.size), self.illuminant).XYZ)

    def residuals(self, spectrum: FloatArray) -> FloatArray:
        lab = np.asarray(self.colour(self.wl, spectrum[self.idx], self.illuminant).Lab)
        out: FloatArray = (lab - self.lab) / self.tolerance
        return out

    def jacobian(self, spectrum: FloatArray, derivative: FloatArray) -> FloatArray:
        ratio = self.matrix @ spectrum[self.idx] / self.white
        delta = 6.0 / 29.0
        slope = np.where(ratio > delta**3, np.cbrt(np.maximum(ratio, delta**3)) ** -2 / 3.0, 1.0 / (3.0 * delta**2))
        fx, fy, fz = slope / self.white
        lab_xyz = np.array([[0.0, 116.0 * fy, 0.0], [500.0 * fx, -500.0 * fy, 0.0], [0.0, 200.0 * fy, -200.0 * fz]])
        out: FloatArray = (lab_xyz @ self.matrix @ derivative[self.idx]) / self.tolerance[:, None]
        return out


class _AmplitudeGroup:
    """Ψ, Δ, phase, GD and GDD targets at one angle: the coherent front stack's amplitudes."""

    def __init__(self, stack: Stack, theta: float, members: Sequence[Target]) -> None:
        self.grid = union_grid(members)
        self.theta = np.array([theta])
        self.n_front = len(front_layers(stack))  # the layers in front of any incoherent one
        self.n_all = len(stack.all_layers())
        self.parts: List[Tuple[str, int, npt.NDArray[np.intp], Target]] = []
        for m in members:
            pol = amplitude_polarisation(m.quantity, m.polarisation, theta)
            self.parts.append((m.quantity, pol, np.searchsorted(self.grid, m.arrays()[0]), m))
        self.delays = any(q.startswith("GD") for q, _, _, _ in self.parts)
        self.angles = any(not q.startswith("GD") for q, _, _, _ in self.parts)
        _, self.n, self.dn, self.d2n = engine_arrays(stack, self.grid, dispersion=self.delays)
        self.size = sum(idx.size for _, _, idx, _ in self.parts)
        self.engine_calls = 0
        self._cache: Dict[bytes, Tuple[ComplexArray, ComplexArray]] = {}

    def _amplitudes(self, d: FloatArray) -> Tuple[ComplexArray, ComplexArray]:
        key = d.tobytes()
        if key not in self._cache:
            r, t = _engine.amplitudes(d.reshape(1, -1), self.n, self.grid, self.theta)
            self.engine_calls += 1
            self._cache = {key: (r[:, 0, 0], t[:, 0, 0])}
        return self._cache[key]

    def _delays(self, d: FloatArray) -> Dict[str, FloatArray]:
        """GD (fs) and GDD (fs²) of r and t for each row of d, each (2, rows, W)."""
        out = _engine.wavenumber_derivatives(d, self.n, self.grid, self.theta, dn_dwl=self.dn,
                                             d2n_dwl2=self.d2n, phases=True)
        self.engine_calls += 1
        c = C_NM_PER_FS
        return {"GD_r": out[0][:, :, 0] / c, "GDD_r": out[1][:, :, 0] / c**2,
                "GD_t": out[2][:, :, 0] / c, "GDD_t": out[3][:, :, 0] / c**2}

    def residuals(self, d_all: FloatArray) -> FloatArray:
        d = np.ascontiguousarray(d_all[:self.n_front])
        r, t = self._amplitudes(d) if self.angles else (np.empty(0, np.complex128), np.empty(0, np.complex128))
        delays = self._delays(d.reshape(1, -1)) if self.delays else {}
        out = [target.residual(self._computed(quantity, pol, idx, r, t, delays))
               for quantity, pol, idx, target in self.parts]
        return np.concatenate(out)

    @staticmethod
    def _computed(quantity: str, pol: int, idx: npt.NDArray[np.intp], r: ComplexArray, t: ComplexArray,
                  delays: Dict[str, FloatArray]) -> FloatArray:
        """One target's computed values; ``delays`` are (2, rows, W) with the design in row 0."""
        computed: FloatArray
        if quantity in delays:
            computed = delays[quantity][pol, 0, idx]
        elif quantity in ("psi", "delta"):
            computed = psi_delta_from(r[0, idx], r[1, idx])[quantity == "delta"]
        else:
            computed = np.angle((r if quantity == "phase_r" else t)[pol, idx]) * DEGREES
        return computed

    def jacobian(self, d_all: FloatArray) -> FloatArray:
        d = np.ascontiguousarray(d_all[:self.n_front])
        n = d.size
        jac = np.zeros((self.size, self.n_all))
        if n == 0:
            return jac
        r, t = np.empty(0, np.complex128), np.empty(0, np.complex128)
        values: Dict[str, FloatArray] = {}
        if self.angles:
            r, t = self._amplitudes(d)
            dr, dt = _engine.amplitude_derivatives(d.reshape(1, -1), self.n, self.grid, self.theta, indices=False)
            self.engine_calls += 1
            dr, dt = dr[:, 0, 0], dt[:, 0, 0]  # (2, W, N)
        if self.delays:
            # Central differences in one batch; a layer thinner than its step gets a forward one.
            step = 1e-5 * np.maximum(d, 100.0)
            forward = d < step
            rows = np.vstack([d, d + np.diag(step), d - np.diag(np.where(forward, 0.0, step))])
            values = self._delays(np.ascontiguousarray(rows))
            span = np.where(forward, step, 2.0 * step)
            slopes = {q: (v[:, 1:n + 1] - v[:, n + 1:]) / span[None, :, None] for q, v in values.items()}
        at = 0
        for quantity, pol, idx, target in self.parts:
            if quantity in ("GD_r", "GD_t", "GDD_r", "GDD_t"):
                rows_j = slopes[quantity][pol][:, idx].T
            elif quantity in ("psi", "delta"):
                rows_j = psi_delta_rates(r[0, idx, None], r[1, idx, None], dr[0, idx], dr[1, idx])[quantity == "delta"]
            else:
                amp, der = (r, dr) if quantity == "phase_r" else (t, dt)
                rows_j = (der[pol, idx] / amp[pol, idx, None]).imag * DEGREES
            slope = target.slope(self._computed(quantity, pol, idx, r, t, values))
            jac[at:at + idx.size, :n] = rows_j * slope[:, None]
            at += idx.size
        return jac


class _Problem:
    """Residuals of a stack against targets and their exact Jacobian, one group per angle and polarisation."""

    def __init__(self, stack: Stack, targets: Sequence[AnyTarget]) -> None:
        if not targets:
            raise ValueError("no targets to refine towards")
        power: List[AnyTarget] = []
        # Phases, GD and GDD follow one amplitude each: their groups are by angle alone.
        amplitude: Dict[float, List[Target]] = {}
        for target in targets:
            if isinstance(target, Target) and target.quantity in AMPLITUDE:
                amplitude.setdefault(target.angle_rad, []).append(target)
            else:
                power.append(target)
        self.groups: List[Union[_PowerGroup, _AmplitudeGroup]] = []
        for (theta, _, _), indices in by_incidence(power).items():
            members = [power[i] for i in indices]
            self.groups.append(_PowerGroup(stack, theta, members[0].polarisation, members))
        for theta, group in amplitude.items():
            self.groups.append(_AmplitudeGroup(stack, theta, group))
        self.size = sum(g.size for g in self.groups)

    @property
    def calls(self) -> int:
        return sum(g.engine_calls + (g.prepared.calls if isinstance(g, _PowerGroup) else 0) for g in self.groups)

    def residuals(self, d: FloatArray) -> FloatArray:
        return np.concatenate([g.residuals(d) for g in self.groups])

    def jacobian(self, d: FloatArray) -> FloatArray:
        """d residuals / d every thickness, (residuals, layers)."""
        return np.vstack([g.jacobian(d) for g in self.groups])


def _differentiable(stack: Stack) -> bool:
    """Whether the exact Jacobian knows the stack's structure: coherent layers, at most a Substrate."""
    if stack.substrate is not None and type(stack.substrate) is not Substrate:
        return False
    return not any(getattr(layer, "incoherent", False) or getattr(layer, "coherent", True) is False
                   for layer in stack.all_layers())


def _start(values: Values, i: int, size: int) -> FloatArray:
    """starts[i] as one thickness per varied layer, refused unless finite."""
    try:
        x = np.asarray(values, dtype=np.float64)
        out: FloatArray = np.broadcast_to(x, (size,)).copy()
    except (TypeError, ValueError):
        raise ValueError(f"starts[{i}]: expected a number or {size} thicknesses (nm), one per varied layer, "
                         f"got {values!r}") from None
    if not np.all(np.isfinite(out)):
        raise ValueError(f"starts[{i}]: thicknesses must be finite (nm), got {values!r}")
    return out


def _cost(residuals: FloatArray) -> float:
    return 0.5 * float(residuals @ residuals)


def refine(stack: Stack, targets: Sequence[AnyTarget], vary: Optional[Sequence[int]] = None, *,
           bounds: tuple[Values, Values] = (0.0, math.inf), starts: Optional[Sequence[Values]] = None,
           keep: int = 3, max_nfev: int = 200, progress: Optional[bool] = None, stream: Optional[TextIO] = None,
           callback: Union[None, Callable[[FloatArray, float], Any], Callback] = None,
           jacobian: Literal["exact", "difference"] = "exact", time_budget: Optional[float] = None,
           min_thickness_nm: Optional[float] = 1.0) -> RefineResult:
    """Refine the thicknesses of layers ``vary`` (indices into ``stack.all_layers()``; all by default).

    ``bounds`` are (lower, upper) thicknesses in nm, a number or one per varied layer; the lower
    bound may not be below 0. ``starts`` are alternative starting thicknesses for the varied
    layers: the ``keep`` best of them (and the stack's own) are refined and the best result is
    returned, which helps past the many local minima of thin-film fits. ``progress`` shows a bar
    on ``stream`` (stderr): None shows it for long refinements on a terminal, with the best merit
    and the time left. ``callback`` is called after every evaluation: a callback of one argument
    with a :class:`~lamina_design.core.progress.Progress` record (unit "evaluations", of
    ``max_nfev``), one of two with ``(x, cost)``. Returning True, raising StopIteration,
    ``time_budget`` (seconds) running out or Ctrl-C stop the refinement with the best
    thicknesses evaluated so far (``success`` False, the reason in ``message``). ``jacobian``:
    "exact" (the engine's derivatives) or "difference" (forward differences, one spectrum per
    varied layer). A varied layer that ends thinner than ``min_thickness_nm`` (None: no check)
    is named in ``message``; the stack keeps its layers, so that ``x`` stays one thickness per
    varied layer: remove them and refine again, or synthesise, which removes them itself.
    """
    layers = stack.all_layers()
    if not layers:
        raise ValueError("the stack has no layers to refine")
    chosen = tuple(range(len(layers))) if vary is None else tuple(int(i) for i in vary)
    if not chosen:
        raise ValueError("no layers chosen to vary")
    for i in chosen:
        if not 0 <= i < len(layers):
            raise ValueError(f"layer index {i} out of range: the stack has {len(layers)} layers")
    if len(set(chosen)) != len(chosen):
        raise ValueError("a layer is listed twice in vary")
    lower = np.broadcast_to(np.asarray(bounds[0], dtype=np.float64), (len(chosen),)).copy()
    upper = np.broadcast_to(np.asarray(bounds[1], dtype=np.float64), (len(chosen),)).copy()
    if np.any(lower < 0) or np.any(~(upper > lower)) or np.any(np.isnan(lower)):
        raise ValueError("bounds must satisfy 0 ≤ lower < upper")
    if max_nfev < 1:
        raise ValueError("max_nfev must be ≥ 1")
    if jacobian not in ("exact", "difference"):
        raise ValueError(f"jacobian must be 'exact' or 'difference', got {jacobian!r}")
    if jacobian == "exact" and not _differentiable(stack):
        jacobian = "difference"

    if min_thickness_nm is not None and not (math.isfinite(min_thickness_nm) and min_thickness_nm >= 0):
        raise ValueError(f"min_thickness_nm must be finite and ≥ 0, got {min_thickness_nm!r}")

    problem = _Problem(stack, targets)
    base = stack.thicknesses()
    index = np.array(chosen, dtype=np.intp)
    legacy = callback is not None and _takes_two(callback)
    tracker = Tracker(max_nfev, "evaluations", label="refining", progress=progress,
                      stream=sys.stderr if stream is None else stream,
                      callback=None if legacy else cast(Optional[Callback], callback), time_budget=time_budget)
    start_time = time.perf_counter()
    evaluations = 0
    last: list[tuple[FloatArray, FloatArray]] = []
    # The best point evaluated: what a stopped refinement returns.
    seen: list[tuple[float, FloatArray, FloatArray]] = []

    def full(x: FloatArray) -> FloatArray:
        d = base.copy()
        d[index] = x
        return d

    def fun(x: FloatArray) -> FloatArray:
        nonlocal evaluations
        residuals = problem.residuals(full(x))
        evaluations += 1
        last[:] = [(x.copy(), residuals)]
        cost = _cost(residuals)
        if not seen or cost < seen[0][0]:
            seen[:] = [(cost, x.copy(), residuals)]
        if legacy:
            cast(Callable[[FloatArray, float], Any], callback)(x.copy(), cost)
        count = max(residuals.size, 1)
        tracker.update(evaluations, math.sqrt(2 * seen[0][0] / count),
                       lambda: stack.with_thicknesses(full(seen[0][1])))
        return residuals

    def exact(x: FloatArray) -> FloatArray:
        out: FloatArray = problem.jacobian(full(x))[:, index]
        return out

    def difference(x: FloatArray) -> FloatArray:
        f0 = last[0][1] if last and np.array_equal(last[0][0], x) else problem.residuals(full(x))
        jacobian = np.empty((f0.size, x.size))
        for j in range(x.size):
            # A forward step keeps the layer inside its lower bound of 0.
            step = math.sqrt(np.finfo(np.float64).eps) * max(abs(float(x[j])), 10.0)
            if x[j] + step > upper[j]:
                step = -step
            probe = x.copy()
            probe[j] += step
            jacobian[:, j] = (problem.residuals(full(probe)) - f0) / step
        return jacobian

    x_initial = np.clip(base[index], lower, upper)
    residuals_before = problem.residuals(full(base[index]))
    cost_before = _cost(residuals_before)
    problem_rows = residuals_before.size
    candidates = [x_initial]
    if starts is not None:
        extra = [np.clip(_start(s, i, len(chosen)), lower, upper) for i, s in enumerate(starts)]
        ranked = sorted(extra, key=lambda x: _cost(problem.residuals(full(x))))
        candidates += ranked[:max(keep, 0)]
    best = None
    nfev = njev = 0
    stopped = ""
    try:
        for x0 in candidates:
            budget = max_nfev - nfev
            if budget < 1:
                break
            with small_linear_algebra(problem_rows, index.size):
                solution = least_squares(fun, x0, jac=exact if jacobian == "exact" else difference,
                                         bounds=(lower, upper), method="trf", max_nfev=budget, x_scale="jac")
            nfev += int(solution.nfev)
            njev += int(solution.njev or 0)
            if best is None or float(solution.cost) < float(best.cost):
                best = solution
    except Stop as stop:
        stopped = stop.reason
    except KeyboardInterrupt:
        stopped = INTERRUPTED
    finally:
        tracker.close()
    if stopped:
        nfev = evaluations
        if best is None or (seen and seen[0][0] < float(best.cost)):
            if not seen:  # stopped before the first evaluation
                seen[:] = [(cost_before, x_initial, problem.residuals(full(x_initial)))]
            cost, x, residuals = seen[0]
            jac = problem.jacobian(full(x))[:, index] if jacobian == "exact" else difference(x)
        else:
            x, residuals, jac = (np.asarray(best.x, dtype=np.float64), np.asarray(best.fun, dtype=np.float64),
                                 np.asarray(best.jac, dtype=np.float64))
            cost = float(best.cost)
        status, message, success = 0, f"{stopped}: the best thicknesses so far", False
    else:
        assert best is not None
        x = np.asarray(best.x, dtype=np.float64)
        residuals = np.asarray(best.fun, dtype=np.float64)
        jac = np.asarray(best.jac, dtype=np.float64)
        cost, status, message, success = float(best.cost), int(best.status), str(best.message), bool(best.success)
    if min_thickness_nm is not None:
        thin = [chosen[j] for j in range(x.size) if x[j] < min_thickness_nm]
        if thin:
            listed = ", ".join(f"{i + 1} ({x[chosen.index(i)]:.2f} nm)" for i in thin)
            message += (f"; layers {listed} end thinner than {min_thickness_nm:g} nm: remove them and refine "
                        f"again")
    count = max(residuals.size, 1)
    return RefineResult(
        stack=stack.with_thicknesses(full(x)), x=x, x0=base[index].copy(), vary=chosen,
        cost_before=cost_before, cost=cost, merit_before=math.sqrt(2 * cost_before / count),
        merit=math.sqrt(2 * cost / count), residuals=residuals,
        jac=jac, nfev=nfev, njev=njev,
        lamina_calls=problem.calls, seconds=time.perf_counter() - start_time, success=success,
        status=status, message=message, method=jacobian, targets=tuple(targets))


def _takes_two(callback: Callable[..., Any]) -> bool:
    """Whether a callback wants ``(x, cost)`` (the older form) rather than one progress record."""
    try:
        parameters = list(inspect.signature(callback).parameters.values())
    except (TypeError, ValueError):  # a builtin without a signature: the older form
        return True
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    if any(p.kind == p.VAR_POSITIONAL for p in parameters):
        return True
    return len([p for p in positional if p.default is p.empty]) >= 2


def fit_spectrum(stack: Stack, wavelength_nm: Values, measured: Values, quantity: Quantity = "R", *,
                 sigma: Values = 0.01, vary: Optional[Sequence[int]] = None, angle_rad: float = 0.0,
                 polarisation: Union[str, float] = "unpolarised", starts: Optional[Sequence[Values]] = None,
                 keep: int = 3, max_nfev: int = 200, progress: Optional[bool] = None,
                 jacobian: Literal["exact", "difference"] = "exact") -> RefineResult:
    """Recover thicknesses from a measured spectrum (R, T, A or any :class:`Target` quantity) with noise ``sigma``.

    The fit's ``merit`` is then the reduced chi (about 1 for a good fit). Give ``starts`` (e.g. a
    grid of thicknesses) when the first guess may sit on the wrong interference fringe.
    """
    target = Target(quantity, wavelength_nm, measured, sigma, angle_rad, polarisation)
    return refine(stack, [target], vary, starts=starts, keep=keep, max_nfev=max_nfev, progress=progress,
                  jacobian=jacobian)
