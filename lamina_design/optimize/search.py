"""Global searches over the thicknesses of a fixed sequence of materials.

:func:`multistart` refines many random starts with :func:`lamina_design.optimize.refine.refine` and keeps
the best; :func:`differential_evolution` runs SciPy's differential evolution on the targets'
cost and polishes its best member with the exact Jacobian. Both map their work over an
``executor=`` (see :mod:`lamina_design.core.executor`): starts are shipped as pickled stacks in
chunks, and with a given seed the result is the same on any executor and
any number of workers.
"""
from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterable, List, Optional, Sequence, TextIO, Tuple

import numpy as np

try:
    from scipy.optimize import differential_evolution as _scipy_de
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("lamina_design.search needs SciPy: pip install 'lamina[design]'") from exc

from lamina_design.core.checks import AIR
from lamina_design.materials.base import FloatArray
from lamina_design.core.targets import Target
from lamina_design.optimize.refine import refine
from lamina_design.optics.stack import Stack
from lamina_design.core.executor import ExecutorLike
from lamina_design.core.results import CONVERGED, STOPPED, StackResult
from lamina_design.core.executor import MapLike, map_over
from lamina_design.core.progress import INTERRUPTED, Callback, Stop, Tracker
from lamina_design.optimize.synthesis import Merit, counting_copy, gauss_newton

__all__ = ["SearchResult", "differential_evolution", "multistart", "random_thicknesses"]


@dataclass(frozen=True, repr=False)
class SearchResult(StackResult):
    """The best design of a search; ``merits`` of every start (or DE's best per generation).

    ``sweeps`` counts engine calls: lamina calls for :func:`multistart` (refine's forward
    differences), batched native calls for :func:`differential_evolution`. ``x`` are the best
    design's thicknesses, ``fun`` its ``cost``; ``nfev`` the evaluations of the residuals,
    ``nit`` the starts (multistart) or generations (DE); ``status`` the best start's refine
    status, or whether DE converged (see :mod:`lamina_design.core.results`).
    """

    stack: Stack
    cost: float
    merit: float
    merits: FloatArray
    sweeps: int
    seconds: float
    message: str
    nfev: int = 0
    nit: int = 0
    status: int = CONVERGED

    def summary(self) -> str:
        return (f"best merit {self.merit:.4g} of {self.merits.size}, {self.sweeps} engine sweeps in "
                f"{self.seconds:.2f} s: {self.message}")


def random_thicknesses(count: int, layers: int, max_total_nm: float, seed: int = 0) -> FloatArray:
    """``count`` random thickness rows whose totals are uniform in (0, max_total_nm].

    Each row is a uniformly random point of the simplex scaled to its total, so no layer is
    favoured.
    """
    rng = np.random.default_rng(seed)
    shares = rng.dirichlet(np.ones(layers), size=count)
    totals = max_total_nm * (1.0 - rng.random(count))
    out: FloatArray = shares * totals[:, None]
    return out


def _refine_one(job: Tuple[Stack, Sequence[Target], Tuple[float, float], int]
                ) -> Tuple[FloatArray, float, int, int, int]:
    stack, targets, bounds, max_nfev = job
    result = refine(stack, targets, bounds=bounds, max_nfev=max_nfev, progress=False)
    if result.message.startswith(INTERRUPTED):
        raise KeyboardInterrupt  # refine stops with its best, but the search must stop too
    return result.x, result.cost, result.lamina_calls, result.nfev, result.status


def multistart(stack: Stack, targets: Sequence[Target], starts: int = 100, *, max_total_nm: Optional[float] = None,
               seed: int = 0, max_nfev: int = 200, pieces: int = 8, executor: ExecutorLike = None,
               progress: Optional[bool] = None, stream: Optional[TextIO] = None, callback: Optional[Callback] = None,
               time_budget: Optional[float] = None) -> SearchResult:
    """Refine ``starts`` random thickness sets of the stack's layers and keep the best.

    Starts come from :func:`random_thicknesses` (totals up to ``max_total_nm``, default the
    stack's own total); every layer is bounded by ``max_total_nm``, and a refined design whose
    total ends above it does not count.

    Progress is counted in starts refined: a bar on ``stream`` (``progress`` None: on a
    terminal), and ``callback`` called with a :class:`~lamina_design.core.progress.Progress`
    record as they finish. Returning True, raising StopIteration, ``time_budget`` (seconds)
    running out or Ctrl-C end the search with the best of the starts refined so far
    (``success`` False, the reason in ``message``).
    """
    start_time = time.perf_counter()
    if starts < 1:
        raise ValueError(f"starts must be ≥ 1, got {starts}")
    layers = len(stack.all_layers())
    if layers == 0:
        raise ValueError("the stack has no layers to search over")
    cap = float(stack.thicknesses().sum()) if max_total_nm is None else float(max_total_nm)
    if not cap > 0:
        raise ValueError(f"max_total_nm must be > 0, got {max_total_nm!r}")
    rows = random_thicknesses(starts, layers, cap, seed)
    jobs = [(stack.with_thicknesses(row), list(targets), (0.0, cap), max_nfev) for row in rows]
    count = sum(t.arrays()[0].size for t in targets)
    tracker = Tracker(starts, "starts", label="multistart", progress=progress,
                      stream=sys.stderr if stream is None else stream, callback=callback, time_budget=time_budget)
    results: List[Tuple[FloatArray, float, int, int, int]] = []
    # One start at a time in this process; a pool gets a batch of them to share out.
    batch = 1 if executor == "serial" else max(1, int(pieces))
    stopped = ""

    def cost_of(r: Tuple[FloatArray, float, int, int, int]) -> float:
        return r[1] if float(r[0].sum()) <= cap else math.inf

    try:
        with map_over(executor, starts, pieces) as run:
            for at in range(0, starts, batch):
                results += list(run(_refine_one, jobs[at:at + batch]))
                best_so_far = min(results, key=cost_of)
                tracker.update(len(results), math.sqrt(2 * cost_of(best_so_far) / count),
                               lambda: stack.with_thicknesses(best_so_far[0]))
    except Stop as stop:
        stopped = stop.reason
    except KeyboardInterrupt:
        stopped = INTERRUPTED
    finally:
        tracker.close()
    if not results:
        # Stopped before a start finished: the stack as given, evaluated.
        first = refine(stack, targets, max_nfev=1, progress=False)
        results = [(stack.thicknesses(), first.cost_before, first.lamina_calls, 1, 0)]
    costs = np.array([cost_of(r) for r in results])
    best = int(np.argmin(costs))
    merits = np.sqrt(2 * costs / count)
    if not math.isfinite(costs[best]) and not stopped:
        raise ValueError("no refined start stays within the thickness budget")
    message = f"{int(np.isfinite(costs).sum())} of {starts} starts within {cap:g} nm"
    if stopped:
        message = f"{stopped}: the best of the {len(results)} starts refined; {message}"
    return SearchResult(stack.with_thicknesses(results[best][0]), float(costs[best]), float(merits[best]), merits,
                        sum(r[2] for r in results), time.perf_counter() - start_time, message,
                        nfev=sum(r[3] for r in results), nit=len(results),
                        status=STOPPED if stopped else results[best][4])


class _Cost:
    """The cost of thickness vectors, picklable for workers."""

    def __init__(self, merit: Merit, codes: Sequence[int]) -> None:
        self.merit = merit
        self.codes = list(codes)

    def __call__(self, x: FloatArray) -> float:
        return self.merit.cost(self.codes, np.asarray(x, dtype=np.float64))


class _Workers:
    """SciPy's ``workers``: the population mapped in chunks over the executor."""

    def __init__(self, run: MapLike) -> None:
        self.run = run

    def __call__(self, func: Callable[[Any], float], iterable: Iterable[Any]) -> List[float]:
        return list(self.run(func, list(iterable)))


def differential_evolution(stack: Stack, targets: Sequence[Target], *, max_thickness_nm: float = 300.0,
                           seed: int = 0, maxiter: int = 200, popsize: int = 15, tol: float = 1e-3,
                           polish: bool = True, pieces: int = 8, executor: ExecutorLike = None,
                           progress: Optional[bool] = None, stream: Optional[TextIO] = None,
                           callback: Optional[Callback] = None, time_budget: Optional[float] = None) -> SearchResult:
    """SciPy's differential evolution over the thicknesses of the stack's layers (0 to
    ``max_thickness_nm`` each), then a Gauss–Newton polish with the exact Jacobian.

    The population is evaluated ``pieces`` chunks at a time over ``executor`` (SciPy's
    ``workers``); SciPy evaluates the population as a whole (``updating="deferred"``), so the
    result does not depend on the executor.

    Progress is counted in generations (of ``maxiter``): a bar on ``stream`` (``progress``
    None: on a terminal) and ``callback`` records as in :func:`multistart`; a stop (the
    callback, ``time_budget``, Ctrl-C) ends the search with the best member so far, unpolished.
    """
    start_time = time.perf_counter()
    if stack.substrate is not None:
        raise ValueError("differential evolution works on a coating on a half-infinite exit medium")
    if not stack.layers:
        raise ValueError("the stack has no layers to search over")
    if not max_thickness_nm > 0:
        raise ValueError(f"max_thickness_nm must be > 0, got {max_thickness_nm!r}")
    merit = Merit(stack.incidence, stack.exit if stack.exit is not None else AIR,
                  [layer.material for layer in stack.layers], targets)
    codes = [merit.code(layer.material) for layer in stack.layers]
    cost = _Cost(merit, codes)
    # The population may be costed in other processes, on copies of the merit whose counts never
    # come back: each of SciPy's evaluations is one sweep per target group. The best member's
    # merit per generation and the polish are computed here, on copies counting their own.
    tracking = counting_copy(merit)
    history: List[float] = []
    tracker = Tracker(maxiter, "generations", label="differential evolution", progress=progress,
                      stream=sys.stderr if stream is None else stream, callback=callback, time_budget=time_budget)
    best_x = [np.clip(stack.thicknesses(), 0.0, float(max_thickness_nm))]
    stopped = [""]

    def track(xk: FloatArray, convergence: float = 0.0) -> bool:
        best_x[0] = np.asarray(xk, dtype=np.float64).copy()
        history.append(tracking.rms(tracking.cost(codes, best_x[0])))
        try:
            tracker.update(len(history), history[-1], lambda: merit.stack(codes, best_x[0], stack.name))
        except Stop as stop:
            stopped[0] = stop.reason
            return True
        return False

    bounds = [(0.0, float(max_thickness_nm))] * len(codes)
    found: Any = None
    try:
        with map_over(executor, popsize * len(codes), pieces) as run:
            workers: Any = _Workers(run)
            found = _scipy_de(cost, bounds, seed=seed, maxiter=maxiter, popsize=popsize, tol=tol, polish=False,
                              updating="deferred", workers=workers, callback=track)
    except KeyboardInterrupt:
        stopped[0] = INTERRUPTED
        tracker.close()
    polishing = counting_copy(merit)
    if found is None:
        x = best_x[0]
        best_cost = polishing.cost(codes, x)
        evaluations, generations, message = len(history) * popsize * len(codes), len(history), ""
    else:
        x = np.asarray(found.x, dtype=np.float64)
        best_cost = float(found.fun)
        evaluations, generations, message = int(found.nfev), int(found.nit), str(found.message)
    if polish and not stopped[0]:
        polished, polished_cost = gauss_newton(polishing, codes, x, 200, max_layer=float(max_thickness_nm))
        if polished_cost < best_cost:
            x, best_cost = polished, polished_cost
            try:
                tracker.update(len(history), merit.rms(best_cost), lambda: merit.stack(codes, x, stack.name),
                               "polished")
            except Stop:
                pass  # the polish is done: its result stands
    tracker.close()
    if stopped[0]:
        message = f"{stopped[0]}: the best member after {len(history)} generations"
    here = (tracking, polishing)
    return SearchResult(merit.stack(codes, x, stack.name), best_cost, merit.rms(best_cost), np.array(history),
                        evaluations * len(merit.groups) + sum(m.sweeps for m in here),
                        time.perf_counter() - start_time, message,
                        nfev=evaluations + sum(m.evaluations for m in here), nit=generations,
                        status=CONVERGED if (found is not None and found.success and not stopped[0]) else STOPPED)
