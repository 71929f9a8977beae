"""Tolerance and yield: how a design fares when every layer is deposited with an error.

Each Monte Carlo sample perturbs the stack by Gaussian errors (:class:`Errors`): every layer's
thickness (absolute and relative σ, the same for all layers, one per layer, or one per material),
every layer material's index (relative σ, one draw per material and sample, shared by its layers,
as a wrong index of a coating run would be) and the angle of incidence. The sample's merit against
the targets is that of :func:`lamina_design.optimize.refine.refine`: the root mean square of
the residuals (:meth:`Target.residual`). A sample meets the requirement when every target point
meets its target (:meth:`Target.within`): inside [lower, upper] for a banded target, within the
tolerance of the value for an equality one; or, given ``max_merit``, when its merit does not
exceed it.

Sample i draws its errors from ``SeedSequence(seed, spawn_key=(i,))`` alone, so a run gives the
same bits on any executor, with any number of workers and any chunk size. A chunk of samples of a
coating on a half-infinite medium is one batched engine call per target group (angle and
polarisation); with an angle error every sample has its own angle and its own call. A coated thick
substrate goes through :meth:`Stack.spectrum` sample by sample.

The layers that matter most come from the exact thickness derivatives at the nominal design
(``power_jacobian``): a layer's sensitivity is the root-mean-square shift of the target points, in
tolerances, that a one-σ error of that layer alone causes.
"""
from __future__ import annotations

import math
import sys
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import Any, List, Mapping, Optional, Sequence, TextIO, Tuple, Union

import numpy as np
import numpy.typing as npt

from lamina_design import _engine
from lamina_design.core import formatting
from lamina_design.core.checks import MAX_ANGLE_RAD, Layer, polarisation_weights
from lamina_design.core.report import Report, report
from lamina_design.core.results import Result
from lamina_design.core.executor import ExecutorLike, Progress, SerialExecutor, chunk_bounds, map_chunks
from lamina_design.core.progress import INTERRUPTED, Callback, Stop, Tracker
from lamina_design.core.limits import MAX_SAMPLES, check_count
from lamina_design.core.targets import Target, by_incidence, union_grid
from lamina_design.materials.base import ComplexArray, FloatArray, Material
from lamina_design.optics.batch import Scaled, batch_spectra, coating_batch, coating_indices, unique_materials
from lamina_design.optics.stack import Stack

__all__ = [
    "Errors",
    "Scaled",
    "ToleranceResult",
    "batch_spectra",
    "sample_errors",
    "tolerance",
    "yield_interval",
]

#: σ for thicknesses or indices: one for all, one per layer, or {material name: σ}.
Sigma = Union[float, Sequence[float], Mapping[str, float]]

#: The largest relative index σ: a draw then comes within 10 σ of a zero index.
MAX_INDEX_SIGMA = 0.1

#: A seed's entropy as SeedSequence takes it back: the run's ``seed`` repeats the run.
Entropy = Union[int, Tuple[int, ...]]


def _per_layer(sigma: Sigma, layers: Sequence[Layer], what: str) -> FloatArray:
    if isinstance(sigma, Mapping):
        known = {layer.material.name for layer in layers}
        unknown = sorted(set(sigma) - known)
        if unknown:
            raise ValueError(f"{what}: no layer is made of {', '.join(map(repr, unknown))}; "
                             f"the stack's materials are {', '.join(map(repr, sorted(known)))}")
        values = np.array([float(sigma.get(layer.material.name, 0.0)) for layer in layers])
    else:
        values = np.array(sigma, dtype=np.float64, ndmin=1)
        if values.size == 1:
            values = np.full(len(layers), float(values[0]))
        if values.shape != (len(layers),):
            raise ValueError(f"{what}: expected one σ or {len(layers)} (one per layer), got {values.size}")
    if not np.all(np.isfinite(values) & (values >= 0)):
        raise ValueError(f"{what}: σ must be finite and ≥ 0")
    return values


@formatting.recorded
@dataclass(frozen=True)
class Errors:
    """Gaussian errors, as standard deviations.

    ``thickness_nm`` (absolute, nm) and ``thickness_rel`` (a fraction of each layer's thickness)
    add in quadrature per layer; each is one number for every layer, one per layer in
    :meth:`Stack.all_layers` order, or a mapping from material name to σ. ``index_rel`` is the
    relative σ of each layer material's n + iκ (one number or per material name, at most 0.1). ``angle_rad``
    is the σ of the angle of incidence (radians); a drawn angle below 0 is taken as its mirror
    image. A thickness drawn below 0 is 0.
    """

    thickness_nm: Sigma = 0.0
    thickness_rel: Sigma = 0.0
    index_rel: Union[float, Mapping[str, float]] = 0.0
    angle_rad: float = 0.0

    def __post_init__(self) -> None:
        if not (math.isfinite(self.angle_rad) and self.angle_rad >= 0):
            raise ValueError(f"angle σ must be finite and ≥ 0, got {self.angle_rad!r}")

    def thickness_sigma(self, stack: Stack) -> FloatArray:
        """Each layer's combined thickness σ in nm, in :meth:`Stack.all_layers` order."""
        layers = stack.all_layers()
        absolute = _per_layer(self.thickness_nm, layers, "thickness_nm")
        relative = _per_layer(self.thickness_rel, layers, "thickness_rel")
        out: FloatArray = np.hypot(absolute, relative * stack.thicknesses())
        return out

    def index_sigma(self, materials: Sequence[Material]) -> FloatArray:
        """The relative index σ of each of ``materials``."""
        if isinstance(self.index_rel, Mapping):
            names = {m.name for m in materials}
            unknown = sorted(set(self.index_rel) - names)
            if unknown:
                raise ValueError(f"index_rel: no layer is made of {', '.join(map(repr, unknown))}")
            values = np.array([float(self.index_rel.get(m.name, 0.0)) for m in materials])
        else:
            values = np.full(len(materials), float(self.index_rel))
        if not np.all(np.isfinite(values) & (values >= 0) & (values <= MAX_INDEX_SIGMA)):
            # Ten σ would take 1 + σz to 0: an index the transfer matrix cannot use.
            raise ValueError(f"index_rel: σ must lie in [0, {MAX_INDEX_SIGMA:g}]")
        return values


@dataclass(frozen=True)
class _Plan:
    """What every sample of a run shares: the nominal stack, its σ and the seed."""

    stack: Stack
    targets: Tuple[Target, ...]
    errors: Errors
    entropy: Entropy
    spawn_key: Tuple[int, ...]
    max_merit: Optional[float]
    keep: int
    d0: FloatArray = field(init=False)
    sigma_d: FloatArray = field(init=False)
    materials: Tuple[Material, ...] = field(init=False)
    which: npt.NDArray[np.intp] = field(init=False)
    sigma_n: FloatArray = field(init=False)
    groups: Tuple[_Group, ...] = field(init=False)
    points: int = field(init=False)

    def __post_init__(self) -> None:
        # Grouped, and the materials evaluated, once per run: every chunk and sample shares them.
        groups, points = _groups(self.targets, self.stack)
        object.__setattr__(self, "groups", tuple(groups))
        object.__setattr__(self, "points", points)
        materials, which = unique_materials(self.stack.all_layers())
        object.__setattr__(self, "d0", self.stack.thicknesses())
        object.__setattr__(self, "sigma_d", self.errors.thickness_sigma(self.stack))
        object.__setattr__(self, "materials", tuple(materials))
        object.__setattr__(self, "which", which)
        object.__setattr__(self, "sigma_n", self.errors.index_sigma(materials))

    def draw(self, i: int) -> Tuple[FloatArray, FloatArray, float]:
        """Sample i's thicknesses, index factors (per material) and angle offset (σ units × σ)."""
        seq = np.random.SeedSequence(self.entropy, spawn_key=self.spawn_key + (i,))
        z = np.random.Generator(np.random.PCG64(seq)).standard_normal(self.d0.size + len(self.materials) + 1)
        d = np.maximum(self.d0 + self.sigma_d * z[:self.d0.size], 0.0)
        factors = 1.0 + self.sigma_n * z[self.d0.size:-1]
        return d, factors, float(self.errors.angle_rad * z[-1])


def sample_errors(stack: Stack, errors: Errors, samples: Union[int, Sequence[int]], seed: Any = 0
                  ) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """The perturbations a run with ``seed`` applies: (thicknesses (N, layers), index factors
    (N, materials), angle offsets (N,)) for the sample indices given (or 0…samples−1)."""
    indices = range(samples) if isinstance(samples, int) else samples
    seq = np.random.SeedSequence(seed)
    plan = _Plan(stack, (), errors, _entropy(seq), tuple(seq.spawn_key or ()), None, 0)
    draws = [plan.draw(int(i)) for i in indices]
    return (np.array([d for d, _, _ in draws]).reshape(len(draws), plan.d0.size),
            np.array([f for _, f, _ in draws]).reshape(len(draws), len(plan.materials)),
            np.array([a for _, _, a in draws]))


def _entropy(seq: np.random.SeedSequence) -> Entropy:
    entropy = seq.entropy
    if entropy is None:  # pragma: no cover - SeedSequence always draws some
        raise ValueError("the seed sequence has no entropy")
    return entropy if isinstance(entropy, int) else tuple(int(word) for word in entropy)


# -- targets ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class _Group:
    """Targets at one angle and polarisation: one engine call on the union of their wavelengths.
    Each part is (quantity, its wavelengths' places in ``grid``, the target, first column):
    the first column is where the target's points start in the user's order of targets."""

    angle: float
    polarisation: Any
    grid: FloatArray
    parts: Tuple[Tuple[str, npt.NDArray[np.intp], Target, int], ...]
    #: The engine's indices on ``grid`` of a coating on a half-infinite medium (None on a substrate).
    n: Optional[ComplexArray] = None


def _groups(targets: Sequence[Target], stack: Stack) -> Tuple[List[_Group], int]:
    """Targets gathered by (angle, polarisation), each group with the union of its wavelengths
    (and the stack's indices there), and the number of target points. The grouping only saves
    engine calls: every target's points keep their place in the order the targets were given."""
    starts = np.cumsum([0] + [target.arrays()[0].size for target in targets])
    groups = []
    for (angle, _, _), indices in by_incidence(targets).items():
        grid = union_grid([targets[i] for i in indices])
        parts = []
        for i in indices:
            parts.append((str(targets[i].quantity), np.searchsorted(grid, targets[i].arrays()[0]), targets[i],
                          int(starts[i])))
        n = coating_indices(stack, grid) if stack.substrate is None else None
        groups.append(_Group(angle, targets[indices[0]].polarisation, grid, tuple(parts), n))
    return groups, int(starts[-1])


def _computed(quantity: str, r: FloatArray, t: FloatArray) -> FloatArray:
    if quantity == "R":
        return r
    if quantity == "T":
        return t
    out: FloatArray = 1.0 - r - t
    return out


def _spectra(plan: _Plan, group: _Group, d: FloatArray, factors: Optional[FloatArray],
             angle: float) -> Tuple[FloatArray, FloatArray]:
    """R and T, (B, W), of the rows of d on the group's grid at one angle."""
    if group.n is None:
        return batch_spectra(plan.stack, d, group.grid, angle, group.polarisation, factors)
    return coating_batch(group.n, d, group.grid, angle, group.polarisation, factors, plan.which)


def _residuals_and_values(plan: _Plan, d: FloatArray, factors: Optional[FloatArray],
                          offsets: Optional[FloatArray]) -> Tuple[FloatArray, FloatArray]:
    """(residuals, computed values), each (B, points), of B samples against every target, the
    targets in the order given."""
    residuals = np.empty((d.shape[0], plan.points))
    values = np.empty((d.shape[0], plan.points))
    for group in plan.groups:
        if offsets is None or not np.any(offsets):
            r, t = _spectra(plan, group, d, factors, group.angle)
        else:
            r = np.empty((d.shape[0], group.grid.size))
            t = np.empty_like(r)
            for b in range(d.shape[0]):
                theta = min(abs(group.angle + float(offsets[b])), MAX_ANGLE_RAD)
                r[b], t[b] = (x[0] for x in _spectra(plan, group, d[b:b + 1], None if factors is None
                                                     else factors[b:b + 1], theta))
        for quantity, idx, target, first in group.parts:
            computed = _computed(quantity, r[:, idx], t[:, idx])
            values[:, first:first + idx.size] = computed
            residuals[:, first:first + idx.size] = target.residual(computed)
    return residuals, values


def _met(groups: Sequence[_Group], values: FloatArray) -> npt.NDArray[np.bool_]:
    """Per sample: whether every target point meets its target (values (B, points))."""
    ok = np.ones(values.shape[0], dtype=bool)
    for group in groups:
        for _, idx, target, first in group.parts:
            ok &= np.all(target.within(values[:, first:first + idx.size]), axis=1)
    return ok


@dataclass(frozen=True)
class _Chunk:
    merit: FloatArray
    worst: FloatArray
    met: npt.NDArray[np.bool_]
    kept: FloatArray
    low: FloatArray
    high: FloatArray


def _run_chunk(plan: _Plan, start: int, stop: int) -> _Chunk:
    draws = [plan.draw(i) for i in range(start, stop)]
    d = np.array([x[0] for x in draws]).reshape(stop - start, plan.d0.size)
    factors = np.array([x[1] for x in draws]).reshape(stop - start, len(plan.materials))
    offsets = np.array([x[2] for x in draws])
    residuals, values = _residuals_and_values(plan, d, factors if np.any(plan.sigma_n) else None,
                                              offsets if plan.errors.angle_rad > 0 else None)
    keep = max(0, min(stop, plan.keep) - start)
    return _Chunk(merit=np.sqrt(np.mean(residuals * residuals, axis=1)), worst=np.max(np.abs(residuals), axis=1),
                  met=_met(plan.groups, values), kept=values[:keep].copy(), low=values.min(axis=0), high=values.max(axis=0))


# -- the run ---------------------------------------------------------------------------------

def yield_interval(passed: int, total: int, confidence: float = 0.95,
                   method: str = "wilson") -> Tuple[float, float]:
    """Two-sided confidence interval of a proportion: Wilson's score or Clopper–Pearson's exact one."""
    if total < 1 or not 0 <= passed <= total:
        raise ValueError(f"need 0 ≤ passed ≤ total and total ≥ 1, got {passed} of {total}")
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie in (0, 1), got {confidence}")
    alpha = 1.0 - confidence
    if method == "wilson":
        z = NormalDist().inv_cdf(1.0 - alpha / 2)
        p = passed / total
        z2n = z * z / total
        centre = (p + z2n / 2) / (1 + z2n)
        half = z / (1 + z2n) * math.sqrt(p * (1 - p) / total + z2n / (4 * total))
        return max(0.0, centre - half), min(1.0, centre + half)
    if method == "clopper-pearson":
        from scipy.special import betaincinv

        low = 0.0 if passed == 0 else float(betaincinv(passed, total - passed + 1, alpha / 2))
        high = 1.0 if passed == total else float(betaincinv(passed + 1, total - passed, 1 - alpha / 2))
        return low, high
    raise ValueError(f"method must be 'wilson' or 'clopper-pearson', got {method!r}")


@dataclass(frozen=True, repr=False)
class ToleranceResult(Result):
    """A Monte Carlo run: per-sample merits, the yield and the layers that matter most.

    ``targets`` are in the order given, and so are the points: ``values`` are the computed target
    points (target by target, each's wavelengths in its order; ``target_of_point`` says whose) of
    the first ``values.shape[0]`` samples; ``low`` and ``high`` their extremes over all samples,
    ``nominal`` at the design. ``sensitivity`` is per layer (:meth:`Stack.all_layers` order).
    """

    stack: Stack
    targets: Tuple[Target, ...]
    errors: Errors
    seed: Entropy
    merit: FloatArray
    worst: FloatArray
    passed: npt.NDArray[np.bool_]
    max_merit: Optional[float]
    nominal_merit: float
    nominal: FloatArray
    values: FloatArray
    low: FloatArray
    high: FloatArray
    wavelength_nm: FloatArray
    target_of_point: npt.NDArray[np.intp]
    jacobian: FloatArray
    sensitivity: FloatArray
    thickness_sigma: FloatArray
    #: How the run ended: every sample done, or stopped early (by a callback, the time budget, Ctrl-C).
    message: str = ""

    @property
    def success(self) -> bool:
        """Whether every sample asked for was done."""
        return not self.message.startswith(("stopped", "interrupted", "the time budget"))

    @property
    def samples(self) -> int:
        return int(self.merit.size)

    @property
    def yield_fraction(self) -> float:
        """The fraction of samples meeting the requirement."""
        return float(np.count_nonzero(self.passed)) / max(self.samples, 1)

    def interval(self, confidence: float = 0.95, method: str = "wilson") -> Tuple[float, float]:
        """Confidence interval of the yield (see :func:`yield_interval`)."""
        return yield_interval(int(np.count_nonzero(self.passed)), self.samples, confidence, method)

    def ranked_layers(self) -> List[int]:
        """Layer indices, the most sensitive first."""
        return [int(j) for j in np.argsort(-self.sensitivity, kind="stable")]

    def report(self) -> Report:
        """The nominal design against each target: achieved against wanted (see
        :mod:`lamina_design.core.report`)."""
        values = [self.nominal[self.target_of_point == k] for k in range(len(self.targets))]
        return report(self.targets, values=values, title="nominal design against the targets")

    def summary(self) -> str:
        low, high = self.interval()
        top = ", ".join(f"{j + 1} ({self.sensitivity[j]:.3g})" for j in self.ranked_layers()[:3])
        return (f"{self.samples} samples: yield {100 * self.yield_fraction:.2f} % "
                f"(95 % interval {100 * low:.2f}–{100 * high:.2f} %), nominal merit {self.nominal_merit:.4g}, "
                f"median merit {float(np.median(self.merit)):.4g}; most sensitive layers {top}")

    def plot_histogram(self, ax: Any = None) -> Any:
        """Histogram of the merit with the nominal design and the requirement marked."""
        ax = _axes(ax)
        bins = np.histogram_bin_edges(self.merit, bins=min(60, max(10, self.samples // 20)))
        ax.hist([self.merit[self.passed], self.merit[~self.passed]], bins=bins, stacked=True,
                color=["tab:blue", "tab:orange"], label=["meets the requirement", "fails"])
        ax.axvline(self.nominal_merit, color="black", linestyle="--", label="nominal")
        if self.max_merit is not None:
            ax.axvline(self.max_merit, color="tab:red", label="requirement")
        ax.set_xlabel("merit (rms of residual / tolerance)")
        ax.set_ylabel("samples")
        ax.set_title(f"yield {100 * self.yield_fraction:.1f} % of {self.samples}")
        ax.legend()
        return ax

    def plot_envelope(self, ax: Any = None, target: int = 0, percent: bool = True) -> Any:
        """Envelope of one target's computed values (``target`` indexes :attr:`targets`, in the
        order given): extremes, the 5–95 % band of the kept samples, the nominal design and the
        target's tolerance band, titled by the target's quantity, wanted band, wavelengths and
        angle. With `percent` R, T and A are drawn in %, every band kept within 0–100 %."""
        from lamina_design.core.report import describe

        ax = _axes(ax)
        sel = self.target_of_point == target
        wl = self.wavelength_nm[sel]
        goal = self.targets[target]
        lower, upper = goal.bounds()
        if not goal.banded:
            _, value, tol = goal.arrays()
            lower, upper = value - tol, value + tol
        power = goal.quantity in ("R", "T", "A")
        scale = 100.0 if percent and power else 1.0

        def shown(values: FloatArray) -> FloatArray:
            # R, T and A cannot leave [0, 1]: neither does a band drawn for them.
            out: FloatArray = np.clip(values, 0.0, 1.0) * scale if power else values * scale
            return out

        ax.fill_between(wl, shown(self.low[sel]), shown(self.high[sel]), color="tab:blue", alpha=0.15,
                        label="all samples")
        if self.values.shape[0] >= 2:
            lo, hi = np.percentile(self.values[:, sel], [5, 95], axis=0)
            ax.fill_between(wl, shown(lo), shown(hi), color="tab:blue", alpha=0.35, label="5–95 %")
        ax.plot(wl, shown(self.nominal[sel]), color="black", label="nominal")
        label: Optional[str] = "bounds" if goal.banded else "tolerance"
        for bound in (lower, upper):
            if not np.all(np.isfinite(bound)) or (power and (np.all(bound <= 0) or np.all(bound >= 1))):
                continue  # unbounded, or a bound R, T and A meet by themselves
            ax.plot(wl, shown(bound), color="tab:red", linestyle=":", label=label)
            label = None
        ax.set_xlabel("wavelength (nm)")
        ax.set_ylabel(f"{goal.quantity} (%)" if scale == 100.0 else goal.quantity)
        if power and ax.get_ylim()[0] < 0.0:
            ax.set_ylim(bottom=0.0)  # nothing drawn is below 0: no empty margin that reads as negative R
        ax.set_title(describe(goal), fontsize=10)
        ax.legend(fontsize=8)
        return ax


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.figure().add_subplot()


def _nominal_jacobian(stack: Stack, groups: Sequence[_Group], size: int) -> FloatArray:
    """d(point)/d(thickness) in tolerances at the design (a band counted as if outside it): exact
    for a coating on a half-infinite medium, central differences through :meth:`Stack.spectrum` for a coated substrate."""
    layers = stack.all_layers()
    jac = np.empty((size, len(layers)))
    for group in groups:
        _, w_s, w_p = polarisation_weights(group.polarisation)
        if group.n is not None:  # a coating on a half-infinite medium
            _, _, dr, dt = _engine.power_jacobian(stack.thicknesses()[None, :], group.n, group.grid,
                                                  np.array([group.angle]), convention="flux")
            d_r = w_s * dr[0, 0, 0] + w_p * dr[1, 0, 0]
            d_t = w_s * dt[0, 0, 0] + w_p * dt[1, 0, 0]
        else:
            d0 = stack.thicknesses()
            d_r = np.empty((group.grid.size, len(layers)))
            d_t = np.empty_like(d_r)
            for j in range(len(layers)):
                h = 1e-3 * max(1.0, d0[j])
                probe = np.vstack([d0, d0])
                probe[0, j] += h
                probe[1, j] = max(d0[j] - h, 0.0)
                r, t = batch_spectra(stack, probe, group.grid, group.angle, group.polarisation)
                step = probe[0, j] - probe[1, j]
                d_r[:, j] = (r[0] - r[1]) / step
                d_t[:, j] = (t[0] - t[1]) / step
        for quantity, idx, target, first in group.parts:
            derivative = d_r[idx] if quantity == "R" else d_t[idx] if quantity == "T" else -d_r[idx] - d_t[idx]
            # In tolerances, whether or not the design sits inside a band: a band's plateau would
            # hide how close a layer's error brings the point to its bound.
            jac[first:first + idx.size] = derivative / np.asarray(target.tolerance, dtype=np.float64)[:, None]
            if target.weight != 1.0:
                jac[first:first + idx.size] *= math.sqrt(target.weight)
    return jac


def tolerance(stack: Stack, targets: Sequence[Target], errors: Errors, samples: int = 1000, *,
              seed: Any = 0, max_merit: Optional[float] = None, keep: int = 200,
              executor: ExecutorLike = None, chunk_size: int = 500,
              progress: Union[None, bool, Progress] = None, stream: Optional[TextIO] = None,
              callback: Optional[Callback] = None, time_budget: Optional[float] = None) -> ToleranceResult:
    """Monte Carlo of ``samples`` perturbed copies of ``stack`` against ``targets``.

    ``seed`` is anything ``numpy.random.SeedSequence`` takes (None: fresh entropy, recorded in
    the result). ``keep`` samples' computed target values are kept for the envelope plot.
    ``executor``: see :mod:`lamina_design.core.executor`; ``progress(done, total)`` is called as
    chunks finish (or ``progress`` True/None: a bar on ``stream``, None only on a terminal).
    ``callback`` receives a :class:`~lamina_design.core.progress.Progress` record (unit
    "samples", the merit the median sample's so far) as samples finish; returning True, raising
    StopIteration, ``time_budget`` (seconds) running out or Ctrl-C end the run with the samples
    done so far (the reason in ``message``). The samples done are the first ones, each drawn
    as in a full run. At most :data:`~lamina_design.core.limits.MAX_SAMPLES` samples, cut into at most
    :data:`~lamina_design.core.limits.MAX_CHUNKS` chunks.
    """
    if not targets:
        raise ValueError("no targets to judge the samples by")
    samples = check_count(samples, MAX_SAMPLES, "samples")
    if max_merit is not None and not (math.isfinite(max_merit) and max_merit > 0):
        raise ValueError(f"max_merit must be finite and > 0, got {max_merit!r}")
    if not stack.all_layers():
        raise ValueError("the stack has no layers to perturb")
    try:
        seq = np.random.SeedSequence(seed)
    except ValueError as exc:
        raise ValueError(f"seed must be None, a whole number ≥ 0 or a sequence of them, got {seed!r}: {exc}") from None
    plan = _Plan(stack, tuple(targets), errors, _entropy(seq), tuple(seq.spawn_key or ()), max_merit, max(int(keep), 0))
    chunks, message = _sample(plan, samples, chunk_size, executor, progress, stream, callback, time_budget)
    if not chunks:
        chunks = [_run_chunk(plan, 0, 1)]  # stopped before any sample: the first one, so there is a result
    merit = np.concatenate([c.merit for c in chunks])
    worst = np.concatenate([c.worst for c in chunks])
    passed = np.concatenate([c.met for c in chunks]) if max_merit is None else merit <= max_merit
    residuals, nominal = _residuals_and_values(plan, plan.d0[None, :], None, None)
    sizes = [t.arrays()[0].size for t in plan.targets]
    jac = _nominal_jacobian(stack, plan.groups, plan.points)
    return ToleranceResult(
        stack=stack, targets=plan.targets, errors=errors, seed=plan.entropy, merit=merit, worst=worst,
        passed=passed, max_merit=max_merit, nominal_merit=float(np.sqrt(np.mean(residuals * residuals))),
        nominal=nominal[0], values=np.concatenate([c.kept for c in chunks]),
        low=np.min(np.stack([c.low for c in chunks]), axis=0), high=np.max(np.stack([c.high for c in chunks]), axis=0),
        wavelength_nm=np.concatenate([t.arrays()[0] for t in plan.targets]),
        target_of_point=np.repeat(np.arange(len(plan.targets), dtype=np.intp), sizes), jacobian=jac,
        sensitivity=plan.sigma_d * np.sqrt(np.mean(jac * jac, axis=0)), thickness_sigma=plan.sigma_d,
        message=message)


def _run_from(payload: Tuple[_Plan, int], start: int, stop: int) -> _Chunk:
    plan, offset = payload
    return _run_chunk(plan, offset + start, offset + stop)


def _sample(plan: _Plan, samples: int, chunk_size: int, executor: ExecutorLike,
            progress: Union[None, bool, Progress], stream: Optional[TextIO], callback: Optional[Callback],
            time_budget: Optional[float]) -> Tuple[List[_Chunk], str]:
    """The chunks of the run, a round of them at a time so that progress, the callback and the
    time budget are heard while it runs; and how it ended."""
    chunk_bounds(samples, chunk_size)  # refuses a chunking the executor would refuse
    here = executor == "serial" or isinstance(executor, SerialExecutor)
    if here:
        # Chunks computed here show their progress only as they end: about a hundred of them,
        # a round each, so that Ctrl-C keeps every chunk done.
        chunk_size = min(chunk_size, max(1, -(-samples // 100)), max(1, -(-samples // 10)))
        per_round = chunk_size
    else:
        # Halves: long enough that a pool pays for itself in each (the first chunk of a call
        # runs here, timed, and decides); a stop within a round keeps its leading chunks done.
        per_round = max(chunk_size * -(-samples // (2 * chunk_size)), chunk_size)
    old_style: Optional[Progress] = progress if callable(progress) else None
    tracker = Tracker(samples, "samples", label="sampling", stream=sys.stderr if stream is None else stream,
                      progress=None if progress is None else bool(progress) and old_style is None,
                      callback=callback, time_budget=time_budget)
    chunks: List[_Chunk] = []
    done = 0
    message = f"all {samples} samples"
    asked: List[Stop] = []
    try:
        while done < samples:
            count = min(per_round, samples - done)
            merit = float(np.median(np.concatenate([c.merit for c in chunks]))) if chunks else math.nan

            def report(finished: int, _: int, first: int = done, merit: float = merit, last: int = count) -> None:
                if old_style is not None:
                    old_style(first + finished, samples)
                if finished < last and not asked:
                    try:
                        tracker.update(first + finished, merit)
                    except Stop as stop:
                        asked.append(stop)

            part = map_chunks(_run_from, (plan, done), count, chunk_size=chunk_size, executor=executor,
                              progress=report, stop=lambda: bool(asked))
            chunks += part
            done += sum(c.merit.size for c in part)
            if asked:
                raise asked[0]
            tracker.update(done, float(np.median(np.concatenate([c.merit for c in chunks]))))
    except Stop as stop:
        message = f"{stop.reason} after {done} of {samples} samples"
    except KeyboardInterrupt:
        message = f"{INTERRUPTED} after {done} of {samples} samples"
    finally:
        tracker.close()
    return chunks, message
