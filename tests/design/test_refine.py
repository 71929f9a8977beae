"""Refinement recovers known thicknesses, reaches an AR merit and keeps its bookkeeping honest."""

from __future__ import annotations

import io
import math
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design import merit
from lamina_design.materials import Cauchy, Constant
from lamina_design.optics import phase_spectrum
from lamina_design.refine import ColourTarget, Target, _Problem, fit_spectrum, refine
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
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], starts=[[np.nan, 100.0]]), r"starts\[0\].*finite"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], starts=[[90.0, 100.0], [1.0, 2.0, 3.0]]),
         r"starts\[1\].*one per varied layer"),
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


# --- the exact Jacobian ------------------------------------------------------------------------

tmm = pytest.importorskip("tmm")

SUB = Constant(1.52, "sub")
COAT = (Layer(Cauchy(2.1, 0.02, name="H"), 85.0), Layer(LOW, 130.0), Layer(Constant(2.0 + 0.2j, "abs"), 25.0))
BACK = (Layer(Constant(1.38, "MgF2"), 95.0),)
PLATE = Stack(AIR, COAT, substrate=Substrate(SUB, 2e6, BACK, Constant(1.33, "water")))
COATING = Stack(AIR, COAT, exit=Constant(1.7 + 0.05j, "lossy exit"))
GRID = np.linspace(420.0, 760.0, 9)


def tmm_power(stack, d, lam, theta, pol):
    """R and T from tmm: coh_tmm for a coating, inc_tmm for a plate."""
    n_of = lambda m: complex(m.index(np.array([lam]))[0])  # noqa: E731
    front = [n_of(AIR), *(n_of(layer.material) for layer in stack.layers)]
    k = len(stack.layers)
    if stack.substrate is None:
        out = tmm.coh_tmm(pol, front + [n_of(stack.exit)], [np.inf, *d, np.inf], theta, lam)
        return out["R"], out["T"]
    sub = stack.substrate
    n = front + [n_of(sub.material), *(n_of(layer.material) for layer in sub.back_layers), n_of(sub.back_medium)]
    thick = [np.inf, *d[:k], sub.thickness_nm, *d[k:], np.inf]
    coh = ["i"] + ["c"] * k + ["i"] + ["c"] * len(sub.back_layers) + ["i"]
    out = tmm.inc_tmm(pol, n, thick, coh, theta, lam)
    return out["R"], out["T"]


def tmm_jacobian(stack, quantity, theta, weights, h=1e-3):
    d0 = stack.thicknesses()
    jac = np.zeros((GRID.size, d0.size))
    for j in range(d0.size):
        for sign in (1.0, -1.0):
            d = d0.copy()
            d[j] += sign * h
            for i, lam in enumerate(GRID):
                value = 0.0
                for pol, w in zip("sp", weights):
                    if w:
                        r, t = tmm_power(stack, d, lam, theta, pol)
                        value += w * {"R": r, "T": t, "A": 1 - r - t}[quantity]
                jac[i, j] += sign * value / (2 * h)
    return jac


@pytest.mark.parametrize("stack", [COATING, PLATE], ids=["coating", "plate"])
@pytest.mark.parametrize("theta, polarisation, weights", [(0.0, "unpolarised", (0.5, 0.5)), (0.6, "p", (0, 1)),
                                                          (0.6, 0.4, (math.cos(0.4) ** 2, math.sin(0.4) ** 2))])
def test_exact_power_jacobian_matches_tmm_differences(stack, theta, polarisation, weights):
    targets = [Target(q, GRID, 0.0, 0.01, theta, polarisation) for q in ("R", "T", "A")]
    jac = _Problem(stack, targets).jacobian(stack.thicknesses()) * 0.01
    for k, q in enumerate(("R", "T", "A")):
        ref = tmm_jacobian(stack, q, theta, weights)
        np.testing.assert_allclose(jac[k * GRID.size:(k + 1) * GRID.size], ref, atol=1e-6 * np.abs(ref).max())


def test_exact_ellipsometric_and_colour_jacobians_match_independent_differences():
    stack, theta, h = COATING, 1.1, 1e-3
    vis = np.linspace(380.0, 780.0, 41)
    targets = [Target("psi", GRID, 0.0, 1.0, theta), Target("delta", GRID, 0.0, 1.0, theta),
               Target("phase_t", GRID, 0.0, 1.0, theta, "p"), ColourTarget("R", vis, (0.0, 0.0, 0.0), 1.0, illuminant="A")]
    jac = _Problem(stack, targets).jacobian(stack.thicknesses())
    d0 = stack.thicknesses()
    n_of = lambda m, lam: complex(m.index(np.array([lam]))[0])  # noqa: E731

    def reference(d):
        media = [AIR, *(layer.material for layer in stack.layers), stack.exit]
        psi, delta, phase = [], [], []
        for lam in GRID:
            n = [n_of(m, lam) for m in media]
            e = tmm.ellips(n, [np.inf, *d, np.inf], theta, lam)
            psi.append(math.degrees(e["psi"]))
            delta.append(math.degrees(e["Delta"]))
            phase.append(math.degrees(np.angle(tmm.coh_tmm("p", n, [np.inf, *d, np.inf], theta, lam)["t"])))
        r = [0.5 * sum(tmm.coh_tmm(p, [n_of(m, lam) for m in media], [np.inf, *d, np.inf], 0.0, lam)["R"] for p in "sp")
             for lam in vis]
        # Power groups (the colour) come first in the residuals, then the amplitude groups.
        return np.concatenate([merit.colour(vis, np.array(r), "A").Lab, psi, delta, phase])

    for j in range(d0.size):
        step = np.zeros(d0.size)
        step[j] = h
        up, down = reference(d0 + step), reference(d0 - step)
        diff = (up - down + 180.0) % 360.0 - 180.0  # an angle's jump across ±180° is no slope
        np.testing.assert_allclose(jac[:, j], diff / (2 * h), rtol=1e-5, atol=1e-6 * np.abs(diff / h).max())


def test_exact_delay_jacobian_matches_40_digit_reference():
    mp_reference = pytest.importorskip("mp_reference")
    mp = mp_reference.mp
    mp.dps = 40
    high = Cauchy(2.1, 0.02, name="H")
    stack = Stack(AIR, (Layer(high, 90.0), Layer(LOW, 140.0)), exit=SUB)
    wl = np.array([600.0, 800.0])
    targets = [Target("GD_r", wl, 0.0, 1.0, 0.3, "s"), Target("GDD_t", wl, 0.0, 1.0, 0.3, "s")]
    jac = _Problem(stack, targets).jacobian(stack.thicknesses())

    def index_of(lam):
        return [mp.mpf(1), high.a + high.b / (lam / 1000) ** 2, mp.mpf(1.46), mp.mpf(1.52)]

    for i, lam in enumerate(wl):
        omega = 2 * mp.pi * mp_reference.C / lam
        for j in range(2):
            def delay(x, which, order, j=j):
                d = [mp.mpf(90), mp.mpf(140)]
                d[j] = x
                return mp_reference.delays(d, index_of, omega, mp.sin(mp.mpf(0.3)), "s", which)[order]
            x0 = mp.mpf(stack.thicknesses()[j])
            h = mp.mpf("1e-8")
            gd = (delay(x0 + h, 0, 0) - delay(x0 - h, 0, 0)) / (2 * h)
            gdd = (delay(x0 + h, 1, 1) - delay(x0 - h, 1, 1)) / (2 * h)
            assert jac[i, j] == pytest.approx(float(gd), rel=1e-6, abs=1e-9)
            assert jac[2 + i, j] == pytest.approx(float(gdd), rel=1e-5, abs=1e-7)


def test_exact_and_difference_jacobians_reach_one_optimum_with_fewer_calls():
    rng = np.random.default_rng(11)
    true = Stack(AIR, tuple(Layer(HIGH if k % 2 == 0 else LOW, float(v)) for k, v in enumerate(rng.uniform(60, 160, 8))),
                 exit=GLASS)
    wl = np.linspace(420.0, 800.0, 60)
    measured = true.spectrum(wl, 0.4, "s").r
    start = true.with_thicknesses(true.thicknesses() * rng.uniform(0.97, 1.03, 8))
    runs = {how: fit_spectrum(start, wl, measured, sigma=1e-3, angle_rad=0.4, polarisation="s", jacobian=how)
            for how in ("exact", "difference")}
    np.testing.assert_allclose(runs["exact"].x, runs["difference"].x, atol=1e-5)
    np.testing.assert_allclose(runs["exact"].x, true.thicknesses(), atol=1e-5)
    assert runs["exact"].method == "exact" and runs["difference"].method == "difference"
    assert runs["exact"].lamina_calls * 3 < runs["difference"].lamina_calls


def test_refines_towards_delay_ellipsometric_and_colour_targets():
    mirror = Stack(AIR, tuple(Layer(Constant(2.3) if k % 2 == 0 else LOW, 800.0 / 4 / (2.3 if k % 2 == 0 else 1.46))
                              for k in range(12)), exit=GLASS)
    # Pull the mirror's GDD at 800 nm to -40 fs² by its top two layers.
    result = refine(mirror, [Target("GDD_r", [790.0, 800.0, 810.0], -40.0, 1.0), Target("R", [800.0], 1.0, 0.01)],
                    vary=[0, 1])
    gdd = phase_spectrum(result.stack, [800.0]).gdd_r[0, 0]
    assert gdd == pytest.approx(-40.0, abs=3.0)
    # A film's hidden thickness from Ψ and Δ at two angles, and a coating's colour.
    film = Stack(AIR, (Layer(HIGH, 140.0),), exit=GLASS)
    data = []
    for angle in (0.9, 1.2):
        values = [tmm.ellips([1.0, 2.3, 1.52], [np.inf, 140.0, np.inf], angle, lam) for lam in WL[::8]]
        data += [Target("psi", WL[::8], [math.degrees(v["psi"]) for v in values], 0.01, angle),
                 Target("delta", WL[::8], [math.degrees(v["Delta"]) for v in values], 0.01, angle)]
    fitted = refine(film.with_thicknesses([128.0]), data)
    assert fitted.x[0] == pytest.approx(140.0, abs=1e-6)
    vis = np.linspace(380.0, 780.0, 81)
    lab = merit.colour(vis, film.spectrum(vis).r).Lab
    coloured = refine(film.with_thicknesses([135.0]), [ColourTarget("R", vis, lab, 0.01)])
    assert coloured.x[0] == pytest.approx(140.0, abs=1e-3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Target("GD_r", WL, 0.0, angle_rad=0.3), "polarisation"),
        (lambda: Target("phase_t", WL, 0.0, polarisation=0.2), "polarisation"),
        (lambda: ColourTarget("A", WL, (50.0, 0.0, 0.0)), "quantity"),  # type: ignore[arg-type]
        (lambda: ColourTarget("R", WL, (50.0, 0.0, 0.0)), "380"),
        (lambda: refine(TRUE, [Target("R", WL, 0.0)], jacobian="secant"), "jacobian"),  # type: ignore[arg-type]
    ],
)
def test_bad_new_targets_raise(call, message):
    with pytest.raises(ValueError, match=message):
        call()
