"""What the global searches report about their own work, counted independently at the engine."""

from __future__ import annotations

import concurrent.futures as cf
import math

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design.materials import Constant
from lamina_design.optimize import synthesis
from lamina_design.refine import Target
from lamina_design.search import differential_evolution
from lamina_design.stack import Layer, Stack

from design_stacks import AIR, GLASS, LOW

HIGH = Constant(2.3, "high")


class CountingEngine:
    """The native engine, with a record of every call that computes a spectrum."""

    def __init__(self, engine):
        self.engine = engine
        self.calls = []

    def __getattr__(self, name):
        function = getattr(self.engine, name)

        def counted(*args, **kwargs):
            self.calls.append(name)  # list.append: safe from several threads
            return function(*args, **kwargs)

        return counted


@pytest.mark.parametrize("executor", ["serial", "threads"])
@pytest.mark.parametrize("polish", [False, True])
def test_differential_evolution_counts_each_engine_sweep_and_evaluation_once(monkeypatch, executor, polish):
    engine = CountingEngine(synthesis._engine)
    monkeypatch.setattr(synthesis, "_engine", engine)
    evaluations = []
    residuals = synthesis.Merit.residuals

    def counted_residuals(self, *args, **kwargs):
        evaluations.append(1)
        return residuals(self, *args, **kwargs)

    monkeypatch.setattr(synthesis.Merit, "residuals", counted_residuals)
    # Two angles: two engine sweeps for each evaluation of the cost.
    targets = [Target("R", np.linspace(450.0, 650.0, 9), 0.0, 0.01),
               Target("R", [500.0, 600.0], 0.0, 0.02, math.radians(40.0), "s")]
    stack = Stack(AIR, (Layer(HIGH, 60.0), Layer(LOW, 90.0)), exit=GLASS)
    with cf.ThreadPoolExecutor(2) as pool:
        found = differential_evolution(stack, targets, max_thickness_nm=200.0, maxiter=3, popsize=4, polish=polish,
                                       executor="serial" if executor == "serial" else pool)
    assert found.sweeps == len(engine.calls)
    assert found.nfev == len(evaluations)
