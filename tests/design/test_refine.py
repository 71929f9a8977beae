"""Refinement recovers known thicknesses, reaches an AR merit and keeps its bookkeeping honest."""

from __future__ import annotations

import io
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design.materials import Constant
from lamina_design.refine import Target, fit_spectrum, refine
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate

from design_stacks import AIR, GLASS, LOW

WL = np.linspace(400.0, 800.0, 81)
HIGH = Constant(2.3, "high")
TRUE = Stack(AIR, (Layer(HIGH, 95.0), Layer(LOW, 140.0)), exit=GLASS)


def test_recovers_thicknesses_from_synthetic_data():
    measured = TRUE.spectrum(WL).r
    result = fit_spectrum(TRUE.with_thicknesses([80.0, 160.0]), WL, measured, sigma=1e-3)
    np.testing.assert_allclose(result.x, [95.0, 140.0], atol=1e-6)
    assert result.success and result.cost < 1e-12 < result.cost_before
    np.testing.assert_allclose(result.stack.thicknesses(), [95.0, 140.0], atol=1e-6)
    np.testing.assert_array_equal(result.x0, [80.0, 160.0])


def test_noisy_transmission_fit_from_a_wrong_fringe_needs_starts():
    rng = np.random.default_rng(7)
    film = Stack(AIR, (Layer(HIGH, 310.0),), exit=GLASS)
    measured = film.spectrum(WL, 0.3, "s").t + rng.normal(0.0, 2e-3, WL.size)
    rough = film.with_thicknesses([150.0])
    fits = [fit_spectrum(rough, WL, measured, "T", sigma=2e-3, angle_rad=0.3, polarisation="s", starts=starts)
            for starts in (None, [[x] for x in np.arange(50.0, 600.0, 25.0)])]
    assert abs(fits[0].x[0] - 310.0) > 20  # stuck on another fringe
    assert fits[1].x[0] == pytest.approx(310.0, abs=1.0)
    assert 0.7 < fits[1].merit < 1.3  # reduced chi of a good fit to noise of that size
    sigma = fits[1].uncertainty()[0]
    assert 0.0 < sigma < 1.0 and abs(fits[1].x[0] - 310.0) < 5 * sigma
    # A layer the data do not see has no finite uncertainty.
    blind = refine(Stack(AIR, (Layer(GLASS, 50.0),), exit=GLASS), [Target("R", WL, 0.04, 0.01)])
    assert not np.isfinite(blind.uncertainty()[0]) or blind.uncertainty()[0] > 1e6


def test_reaches_antireflection_merit_on_a_plate_coated_both_sides():
    low, high = Constant(1.38, "MgF2"), Constant(2.1, "ZrO2")
    rough = [Layer(high, 20.0), Layer(low, 40.0), Layer(high, 60.0), Layer(low, 100.0)]  # substrate outwards
    start = Stack(AIR, tuple(rough[::-1]), substrate=Substrate(Constant(1.52), 1e6, tuple(rough), AIR))
    band = np.linspace(430.0, 670.0, 25)
    target = Target("R", band, 0.0, 0.005)
    result = refine(start, [target], max_nfev=150)
    r = result.stack.spectrum(band).r
    assert r.mean() < 0.01 < start.spectrum(band).r.mean()  # bare sides would give 8 %
    assert result.merit < result.merit_before
    assert np.all(result.x >= 0)


def test_lamina_calls_are_one_per_spectrum_and_varied_layer():
    measured = TRUE.spectrum(WL).r
    targets = [Target("R", WL, measured, 1e-3), Target("A", WL[::4], 0.0, 0.01)]  # one group
    result = refine(TRUE.with_thicknesses([90.0, 150.0]), targets, vary=[1])
    # The initial merit, every evaluation, and one extra call per varied layer per Jacobian.
    assert result.lamina_calls == 1 + result.nfev + result.njev * 1
    assert result.stack.thicknesses()[0] == 90.0  # not varied
    assert result.nit == result.njev


def test_thickness_stays_within_bounds():
    # Wanting R of bare glass pulls the high-index layer to nothing.
    bare = Stack(AIR, (), exit=GLASS).spectrum(WL).r
    result = refine(Stack(AIR, (Layer(HIGH, 30.0),), exit=GLASS), [Target("R", WL, bare, 1e-3)])
    assert result.x[0] == pytest.approx(0.0, abs=0.05) and result.x[0] >= 0.0
    capped = refine(TRUE, [Target("R", WL, 0.3, 0.01)], bounds=(10.0, 50.0))
    assert np.all((capped.x >= 10.0) & (capped.x <= 50.0))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: refine(TRUE, []), "no targets"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], vary=[2]), "out of range"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], vary=[0, 0]), "twice"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], vary=[]), "no layers"),
        (lambda: refine(Stack(AIR, (), exit=GLASS), [Target("R", WL, 0.0)]), "no layers"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], bounds=(-1.0, 10.0)), "bounds"),
        (lambda: Target("X", WL, 0.0), "quantity"),  # type: ignore[arg-type]
        (lambda: Target("R", WL, 0.0, 0.0), "tolerance"),
        (lambda: Target("R", WL, [0.0, 1.0]), None),
        (lambda: Target("R", [], 0.0), "empty"),
        (lambda: Target("R", WL, 0.0, angle_rad=2.0), "angle"),
        (lambda: Target("R", WL, np.nan), "finite"),
    ],
)
def test_bad_requests_raise(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_progress_bar_only_when_asked_or_on_a_terminal():
    target = [Target("R", WL, TRUE.spectrum(WL).r, 1e-3)]
    stream = io.StringIO()
    refine(TRUE.with_thicknesses([80.0, 160.0]), target, progress=True, stream=stream)
    assert "refining [" in stream.getvalue() and stream.getvalue().endswith("\n")
    quiet = io.StringIO()
    refine(TRUE.with_thicknesses([80.0, 160.0]), target, stream=quiet)
    assert quiet.getvalue() == ""
    seen = []
    refine(TRUE.with_thicknesses([80.0, 160.0]), target, callback=lambda x, cost: seen.append(cost))
    assert seen and seen[-1] < seen[0]


def test_missing_scipy_names_the_extra():
    code = "import sys; sys.modules['scipy'] = None; import lamina_design.refine"
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=root, timeout=60)
    assert done.returncode != 0 and "pip install 'lamina[design]'" in done.stderr
