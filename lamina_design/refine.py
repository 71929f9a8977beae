"""Least-squares refinement of layer thicknesses towards targets, and fitting of measured spectra.

Every target is R, T or A at wavelengths, one angle and one polarisation, with a tolerance; the
residual of a point is (computed − wanted) / tolerance and SciPy's ``least_squares`` minimises
half their sum of squares (its ``cost``) with thicknesses kept ≥ 0. The Jacobian is a forward
difference: one more spectrum per varied layer, which is one lamina call per target group for a
coating on a half-infinite medium.

Needs SciPy (``pip install 'lamina[design]'``).
"""
from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Literal, Optional, Sequence, TextIO, Union

import numpy as np
import numpy.typing as npt

try:
    from scipy.optimize import least_squares
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.refine needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design.materials.base import FloatArray
from lamina_design.stack import PreparedStack, Stack, check_angles, check_wavelengths, polarisation_weights

__all__ = ["RefineResult", "Target", "fit_spectrum", "refine"]

Quantity = Literal["R", "T", "A"]
Values = Union[float, Sequence[float], FloatArray]


@dataclass(frozen=True)
class Target:
    """Wanted R, T or A at wavelengths (nm), one angle (radians) and one polarisation.

    ``value`` and ``tolerance`` are a number or one per wavelength.
    """

    quantity: Quantity
    wavelength_nm: Values
    value: Values
    tolerance: Values = 0.01
    angle_rad: float = 0.0
    polarisation: Union[str, float] = "unpolarised"

    def __post_init__(self) -> None:
        if self.quantity not in ("R", "T", "A"):
            raise ValueError(f"target quantity must be 'R', 'T' or 'A', got {self.quantity!r}")
        wl = check_wavelengths(self.wavelength_nm)
        value = np.broadcast_to(np.asarray(self.value, dtype=np.float64), wl.shape).copy()
        tolerance = np.broadcast_to(np.asarray(self.tolerance, dtype=np.float64), wl.shape).copy()
        if not np.all(np.isfinite(value)):
            raise ValueError("target values must be finite")
        if not np.all((tolerance > 0) & np.isfinite(tolerance)):
            raise ValueError("target tolerances must be finite and > 0")
        check_angles(self.angle_rad)
        polarisation_weights(self.polarisation)  # type: ignore[arg-type]
        object.__setattr__(self, "wavelength_nm", wl)
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "tolerance", tolerance)
        object.__setattr__(self, "angle_rad", float(self.angle_rad))

    def arrays(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """(wavelengths, values, tolerances) as float64 arrays."""
        return (np.asarray(self.wavelength_nm, dtype=np.float64), np.asarray(self.value, dtype=np.float64),
                np.asarray(self.tolerance, dtype=np.float64))


@dataclass(frozen=True)
class RefineResult:
    """What a refinement did, in the manner of SciPy's ``OptimizeResult``.

    ``x`` are the refined thicknesses of the varied layers (indices ``vary`` into
    :meth:`Stack.all_layers`), ``cost`` is half the sum of squared residuals, ``merit`` their
    root mean square (1 means every point sits at its tolerance on average).
    """

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
    lamina_calls: int
    seconds: float
    success: bool
    status: int
    message: str

    @property
    def nit(self) -> int:
        """Iterations: SciPy's trust-region method evaluates one Jacobian per iteration."""
        return self.njev

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

    def summary(self) -> str:
        return (f"merit {self.merit_before:.4g} -> {self.merit:.4g} (cost {self.cost_before:.4g} -> {self.cost:.4g}), "
                f"{self.nfev} evaluations, {self.njev} Jacobians, {self.lamina_calls} lamina calls in "
                f"{self.seconds:.2f} s: {self.message}")


class _Progress:
    """A one-line bar on a terminal, shown once a refinement has run for half a second."""

    def __init__(self, total: int, enabled: Optional[bool], stream: TextIO) -> None:
        self.total = max(total, 1)
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled
        self.start = time.perf_counter()
        self.shown = False
        self.delay = 0.5 if enabled is None else 0.0
        self.drawn = -math.inf

    def update(self, count: int, cost: float) -> None:
        now = time.perf_counter()
        if not self.enabled or now - self.start < self.delay or now - self.drawn < 0.1:
            return
        self.drawn = now
        width = 30
        filled = min(width, int(width * count / self.total))
        self.stream.write(f"\rrefining [{'#' * filled}{'.' * (width - filled)}] {count}/{self.total} "
                          f"evaluations, cost {cost:.4g}")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


@dataclass
class _Group:
    prepared: PreparedStack
    theta: float
    polarisation: Union[str, float]
    parts: list[tuple[Quantity, npt.NDArray[np.intp], FloatArray, FloatArray]] = field(default_factory=list)


class _Problem:
    """Residuals of a stack against targets, with one prepared grid per (angle, polarisation)."""

    def __init__(self, stack: Stack, targets: Sequence[Target]) -> None:
        if not targets:
            raise ValueError("no targets to refine towards")
        keyed: dict[tuple[float, float, float], list[Target]] = {}
        for target in targets:
            _, w_s, w_p = polarisation_weights(target.polarisation)  # type: ignore[arg-type]
            keyed.setdefault((target.angle_rad, w_s, w_p), []).append(target)
        self.groups: list[_Group] = []
        for (theta, _, _), members in keyed.items():
            grid = np.unique(np.concatenate([m.arrays()[0] for m in members]))
            group = _Group(stack.prepare(grid), theta, members[0].polarisation)
            for m in members:
                wl, value, tolerance = m.arrays()
                group.parts.append((m.quantity, np.searchsorted(grid, wl), value, tolerance))
            self.groups.append(group)
        self.size = sum(len(idx) for g in self.groups for _, idx, _, _ in g.parts)

    @property
    def calls(self) -> int:
        return sum(g.prepared.calls for g in self.groups)

    def residuals(self, d: FloatArray) -> FloatArray:
        out = np.empty(self.size)
        at = 0
        for group in self.groups:
            r, t = group.prepared.spectrum(group.theta, group.polarisation, d)  # type: ignore[arg-type]
            for quantity, idx, value, tolerance in group.parts:
                computed = r[idx] if quantity == "R" else t[idx] if quantity == "T" else 1.0 - r[idx] - t[idx]
                out[at:at + idx.size] = (computed - value) / tolerance
                at += idx.size
        return out


def _cost(residuals: FloatArray) -> float:
    return 0.5 * float(residuals @ residuals)


def refine(stack: Stack, targets: Sequence[Target], vary: Optional[Sequence[int]] = None, *,
           bounds: tuple[Values, Values] = (0.0, math.inf), starts: Optional[Sequence[Values]] = None,
           keep: int = 3, max_nfev: int = 200, progress: Optional[bool] = None, stream: Optional[TextIO] = None,
           callback: Optional[Callable[[FloatArray, float], None]] = None) -> RefineResult:
    """Refine the thicknesses of layers ``vary`` (indices into ``stack.all_layers()``; all by default).

    ``bounds`` are (lower, upper) thicknesses in nm, a number or one per varied layer; the lower
    bound may not be below 0. ``starts`` are alternative starting thicknesses for the varied
    layers: the ``keep`` best of them (and the stack's own) are refined and the best result is
    returned, which helps past the many local minima of thin-film fits. ``progress`` shows a bar
    on ``stream`` (stderr): None shows it for long refinements on a terminal. ``callback(x, cost)``
    is called after every evaluation.
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

    problem = _Problem(stack, targets)
    base = stack.thicknesses()
    index = np.array(chosen, dtype=np.intp)
    bar = _Progress(max_nfev, progress, sys.stderr if stream is None else stream)
    start_time = time.perf_counter()
    evaluations = 0
    last: list[tuple[FloatArray, FloatArray]] = []

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
        bar.update(evaluations, cost)
        if callback is not None:
            callback(x.copy(), cost)
        return residuals

    def jac(x: FloatArray) -> FloatArray:
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
    cost_before = _cost(problem.residuals(full(base[index])))
    candidates = [x_initial]
    if starts is not None:
        extra = [np.clip(np.broadcast_to(np.asarray(s, dtype=np.float64), x_initial.shape), lower, upper)
                 for s in starts]
        ranked = sorted(extra, key=lambda x: _cost(problem.residuals(full(x))))
        candidates += ranked[:max(keep, 0)]
    best = None
    nfev = njev = 0
    try:
        for x0 in candidates:
            budget = max_nfev - nfev
            if budget < 1:
                break
            solution = least_squares(fun, x0, jac=jac, bounds=(lower, upper), method="trf", max_nfev=budget,
                                     x_scale="jac")
            nfev += int(solution.nfev)
            njev += int(solution.njev or 0)
            if best is None or float(solution.cost) < float(best.cost):
                best = solution
    finally:
        bar.close()
    assert best is not None
    x = np.asarray(best.x, dtype=np.float64)
    residuals = np.asarray(best.fun, dtype=np.float64)
    count = max(residuals.size, 1)
    return RefineResult(
        stack=stack.with_thicknesses(full(x)), x=x, x0=base[index].copy(), vary=chosen,
        cost_before=cost_before, cost=float(best.cost), merit_before=math.sqrt(2 * cost_before / count),
        merit=math.sqrt(2 * float(best.cost) / count), residuals=residuals,
        jac=np.asarray(best.jac, dtype=np.float64), nfev=nfev, njev=njev,
        lamina_calls=problem.calls, seconds=time.perf_counter() - start_time, success=bool(best.success),
        status=int(best.status), message=str(best.message))


def fit_spectrum(stack: Stack, wavelength_nm: Values, measured: Values, quantity: Quantity = "R", *,
                 sigma: Values = 0.01, vary: Optional[Sequence[int]] = None, angle_rad: float = 0.0,
                 polarisation: Union[str, float] = "unpolarised", starts: Optional[Sequence[Values]] = None,
                 keep: int = 3, max_nfev: int = 200, progress: Optional[bool] = None) -> RefineResult:
    """Recover thicknesses from a measured R or T spectrum with noise ``sigma``.

    The fit's ``merit`` is then the reduced chi (about 1 for a good fit). Give ``starts`` (e.g. a
    grid of thicknesses) when the first guess may sit on the wrong interference fringe.
    """
    target = Target(quantity, wavelength_nm, measured, sigma, angle_rad, polarisation)
    return refine(stack, [target], vary, starts=starts, keep=keep, max_nfev=max_nfev, progress=progress)
