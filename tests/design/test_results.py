"""Every optimiser's result speaks SciPy's vocabulary, with values that agree with tmm."""

from __future__ import annotations

import math

import numpy as np
import pytest
import tmm

from lamina_design.ellipsometry import EllipsometryData, fit_ellipsometry
from lamina_design.materials import Constant
from lamina_design.refine import Target, fit_spectrum, refine
from lamina_design.results import STOPPED
from lamina_design.search import differential_evolution, multistart
from lamina_design.stack import Layer, Stack
from lamina_design.synthesis import gradual_evolution, needle

from design_stacks import GLASS, LOW

CLEAR_HIGH = Constant(2.3, "clear high")
WL = np.linspace(450.0, 650.0, 11)
TARGET = Target("R", WL, 0.0, 0.01)
START = Stack(layers=(Layer(CLEAR_HIGH, 20.0), Layer(LOW, 100.0)), exit=GLASS)


def tmm_cost(stack: Stack) -> float:
    """Half the sum of squared residuals of R against TARGET, R from tmm at normal incidence."""
    n = [stack.incidence.index(WL), *(layer.material.index(WL) for layer in stack.layers), stack.exit.index(WL)]
    d = [math.inf, *(layer.thickness_nm for layer in stack.layers), math.inf]
    r = np.array([tmm.coh_tmm("s", [complex(m[i]) for m in n], d, 0.0, wl)["R"] for i, wl in enumerate(WL)])
    _, value, tolerance = TARGET.arrays()
    return 0.5 * float(np.sum(((r - value) / tolerance) ** 2))


RUNS = {
    "refine": lambda: refine(START, [TARGET]),
    "fit_spectrum": lambda: fit_spectrum(START, WL, np.zeros(WL.size), sigma=0.01),
    "needle": lambda: needle(START, [TARGET], [CLEAR_HIGH, LOW], max_steps=2, executor="serial"),
    "gradual": lambda: gradual_evolution(START, [TARGET], [CLEAR_HIGH, LOW], rounds=1, needle_steps=1,
                                         executor="serial"),
    "multistart": lambda: multistart(START, [TARGET], 2, executor="serial"),
    "differential_evolution": lambda: differential_evolution(START, [TARGET], maxiter=2, popsize=4,
                                                             executor="serial"),
}


@pytest.mark.parametrize("name", RUNS)
def test_design_results_share_scipys_vocabulary(name):
    result = RUNS[name]()
    np.testing.assert_array_equal(result.x, result.stack.thicknesses())
    assert result.fun == pytest.approx(tmm_cost(result.stack), rel=1e-9, abs=1e-12)
    assert result.fun == result.cost
    for count in ("nfev", "nit", "sweeps", "status"):
        assert isinstance(getattr(result, count), int), count
    assert result.nfev >= 1 and result.sweeps >= 1 and result.nit >= 0
    assert isinstance(result.success, bool) and result.success == (result.status >= 1)
    assert isinstance(result.message, str) and result.message
    text = repr(result)
    for key in ("message", "success", "status", "fun", "x", "nit", "nfev", "sweeps"):
        assert f" {key}: " in text


def test_refine_keeps_its_older_names():
    result = refine(START, [TARGET], max_nfev=5)
    assert result.lamina_calls == result.sweeps
    assert result.nit == result.njev
    # nfev is SciPy's count, the one max_nfev bounds, not the engine calls.
    assert 1 <= result.nfev <= 5 < result.sweeps
    assert "lamina_calls" not in repr(result)


@pytest.mark.parametrize("max_steps, stopped", [(0, True), (40, False)])
def test_synthesis_status_says_whether_it_ran_out_of_steps(max_steps, stopped):
    result = needle(START, [TARGET], [CLEAR_HIGH, LOW], max_steps=max_steps, executor="serial")
    assert (result.status == STOPPED) is stopped
    assert result.success is not stopped
    assert result.nit == len(result.steps) - 1


def test_ellipsometry_fit_shares_the_vocabulary():
    film = Constant(1.46, "film")
    substrate = Constant(3.9 + 0.02j, "substrate")
    wl, angles = np.repeat([500.0, 600.0, 700.0], 2), np.tile([55.0, 70.0], 3)
    psi, delta = [], []
    for lam, angle in zip(wl, angles):
        e = tmm.ellips([1.0, 1.46, 3.9 + 0.02j], [math.inf, 95.0, math.inf], math.radians(angle), lam)
        psi.append(math.degrees(e["psi"]))
        delta.append(math.degrees(e["Delta"]))
    data = EllipsometryData(wl, angles, np.array(psi), np.array(delta), 0.05, 0.1)
    fit = fit_ellipsometry(Stack(layers=(Layer(film, 80.0),), exit=substrate), data)
    assert fit.success is True and fit.status >= 1 and fit.message
    assert fit.x[0] == pytest.approx(95.0, abs=1e-3)
    assert fit.fun == fit.cost == pytest.approx(0.0, abs=1e-6)
    assert fit.nit == fit.njev >= 1 and fit.nfev >= 1
    assert fit.sweeps == fit.engine_calls >= 1
