"""What the optimisers return: one vocabulary, SciPy's, and one way of printing it.

Every optimiser's result (:class:`~lamina_design.optimize.refine.RefineResult`, the synthesis and search
results, :class:`~lamina_design.metrology.ellipsometry.EllipsometryFit`) answers to the names of
``scipy.optimize.OptimizeResult``:

``x``
    the solution: the refined thicknesses (nm) in :meth:`Stack.all_layers` order (for
    ``refine``, of the varied layers; for an ellipsometric fit, its named parameters);
``fun``
    the objective at ``x``: half the sum of squared residuals (computed − wanted)/tolerance,
    the same number as ``cost``; ``merit`` is their root mean square;
``nfev``
    evaluations of the residuals, SciPy's count: what the ``max_nfev`` arguments bound;
``nit``
    iterations: Jacobians for the least-squares fits, accepted steps for synthesis,
    generations for differential evolution, starts for a multistart;
``success``, ``status``, ``message``
    whether it finished, how, and why it stopped, in words. ``status`` follows SciPy's
    ``least_squares``: 0 stopped by a limit (``max_nfev``, steps, rounds, generations), ≥ 1
    finished (1–4 the least-squares convergence tests, :data:`CONVERGED` when no step improves
    the merit any more, :data:`BUDGET` at a synthesis' layer or thickness budget); ``success``
    is ``status >= 1``.

Besides SciPy's names every result counts its native engine calls in ``sweeps``, each one
batched call over a target group's grid; the older names ``lamina_calls`` (refine) and
``engine_calls`` (ellipsometry) read the same counter.

A result prints as SciPy's does, one key a line, arrays summarised by shape and range.
"""
from __future__ import annotations

import dataclasses
from typing import Any, ClassVar, List, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core import formatting

__all__ = ["Result", "OptimizeResult", "StackResult", "STOPPED", "CONVERGED", "BUDGET"]

#: ``status`` of a run stopped by its limit of steps, rounds or evaluations.
STOPPED = 0
#: ``status`` of a run that stopped because nothing improved the merit any more.
CONVERGED = 1
#: ``status`` of a run that stopped at its layer or thickness budget.
BUDGET = 2

#: The keys every optimiser's result has, printed first in this order.
_VOCABULARY = ("message", "success", "status", "fun", "x", "nit", "nfev", "sweeps")


class Result:
    """Base of the result dataclasses: SciPy's repr, and ``keys()`` for what it prints.

    Subclasses are ``@dataclass(frozen=True, repr=False)`` and list in ``_aliases`` the old
    field names that the vocabulary replaces (kept, not printed twice).
    """

    _aliases: ClassVar[Tuple[str, ...]] = ()

    def keys(self) -> List[str]:
        """The vocabulary's names this result has, then its own fields."""
        names = [k for k in _VOCABULARY if hasattr(self, k)]
        for f in dataclasses.fields(self):  # type: ignore[arg-type]
            if f.repr and f.name not in names and f.name not in self._aliases:
                names.append(f.name)
        return names

    def __repr__(self) -> str:
        keys = self.keys()
        width = max(len(k) for k in keys) + 1
        lines = []
        for key in keys:
            item: Any = getattr(self, key)
            text = item if isinstance(item, str) else formatting.value(item)
            lines.append(f"{key:>{width}}: {text}")
        return "\n".join(lines)


class OptimizeResult(Result):
    """An optimiser's result: ``fun`` is its ``cost``."""

    cost: float

    @property
    def fun(self) -> float:
        """The objective at ``x``: half the sum of squared scaled residuals (``cost``)."""
        return self.cost


class StackResult(OptimizeResult):
    """A result whose solution is a whole design: ``x`` its thicknesses, ``success`` from ``status``."""

    stack: Any
    status: int

    @property
    def x(self) -> npt.NDArray[np.float64]:
        """The design's thicknesses (nm), in :meth:`Stack.all_layers` order."""
        thicknesses: npt.NDArray[np.float64] = self.stack.thicknesses()
        return thicknesses

    @property
    def success(self) -> bool:
        """Converged or stopped at a budget, rather than at a limit of steps, rounds or generations."""
        return self.status >= CONVERGED
