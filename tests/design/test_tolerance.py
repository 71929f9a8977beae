"""Monte Carlo tolerancing against closed forms and tmm: the single-layer Airy formula per sample,
the Gaussian probability of landing in a thickness window, the batched spectra and the exact
sensitivities against tmm, and the yield's confidence intervals against 40-digit solutions."""

from __future__ import annotations

import cmath
import math

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design.materials import Constant
from lamina_design.refine import Target
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate
from lamina_design.tolerance import Errors, batch_spectra, sample_errors, tolerance, yield_interval

from design_stacks import AIR, GLASS

MGF2 = Constant(1.38, "MgF2")
LAMBDA = 550.0
QUARTER = LAMBDA / (4 * 1.38)
SINGLE = Stack(AIR, (Layer(MGF2, QUARTER),), exit=GLASS)


def airy_r(d: float, n1: complex, theta: float, lam: float, pol: str = "s") -> float:
    """R of one film on glass in air, from the two Fresnel coefficients."""
    n0, ns = 1.0, 1.52
    s0 = n0 * math.sin(theta)
    c0 = math.cos(theta)
    c1 = cmath.sqrt(1 - (s0 / n1) ** 2)
    cs = cmath.sqrt(1 - (s0 / ns) ** 2)
    if pol == "s":
        r01 = (n0 * c0 - n1 * c1) / (n0 * c0 + n1 * c1)
        r12 = (n1 * c1 - ns * cs) / (n1 * c1 + ns * cs)
    else:
        r01 = (n1 * c0 - n0 * c1) / (n1 * c0 + n0 * c1)
        r12 = (ns * c1 - n1 * cs) / (ns * c1 + n1 * cs)
    phase = cmath.exp(2j * (2 * math.pi / lam) * n1 * c1 * d)
    r = (r01 + r12 * phase) / (1 + r01 * r12 * phase)
    return abs(r) ** 2


def window(r_max: float) -> list[tuple[float, float]]:
    """Thickness intervals where the film's normal-incidence R at LAMBDA is at most r_max."""
    r1, r2 = (1 - 1.38) / 2.38, (1.38 - 1.52) / 2.90
    c = (r1 * r1 + r2 * r2 - r_max * (1 + r1 * r1 * r2 * r2)) / (2 * r1 * r2 * (r_max - 1))
    a = math.acos(c)  # R ≤ r_max where cos 2δ ≤ c, 2δ = 4π n d / λ
    scale = LAMBDA / (4 * math.pi * 1.38)
    return [(scale * (a + 2 * math.pi * k), scale * (2 * math.pi - a + 2 * math.pi * k)) for k in range(-1, 3)]


@pytest.mark.parametrize("errors, sigma_nm", [
    (Errors(thickness_nm=6.0), 6.0),
    (Errors(thickness_rel=6.0 / QUARTER), 6.0),
    (Errors(thickness_nm={"MgF2": 3.6}, thickness_rel=[4.8 / QUARTER]), 6.0),
])
def test_yield_of_one_film_is_the_gaussian_probability_of_its_thickness_window(errors, sigma_nm):
    r_max = 0.0128
    samples = 4000
    result = tolerance(SINGLE, [Target("R", [LAMBDA], 0.0, r_max)], errors, samples, seed=11, executor="serial",
                       chunk_size=1500)
    # Per sample: the engine's verdict is the closed form's for the thickness drawn.
    d, _, _ = sample_errors(SINGLE, errors, samples, seed=11)
    inside = np.zeros(samples, dtype=bool)
    for low, high in window(r_max):
        inside |= (d[:, 0] >= low) & (d[:, 0] <= high)
    np.testing.assert_array_equal(result.passed, inside)
    # Over all samples: the drawn errors are Gaussian with the σ asked for.
    phi = lambda x: 0.5 * (1 + math.erf((x - QUARTER) / (sigma_nm * math.sqrt(2))))  # noqa: E731
    expected = sum(phi(high) - phi(low) for low, high in window(r_max))
    assert 0.3 < expected < 0.8
    low, high = result.interval(0.999, "clopper-pearson")
    assert low < expected < high
    assert result.interval(0.999)[0] < expected < result.interval(0.999)[1]


@pytest.mark.parametrize("errors, theta, pol", [
    (Errors(thickness_nm=8.0, index_rel=0.03), 0.0, "s"),
    (Errors(thickness_rel=0.05, angle_rad=0.2), 0.4, "s"),
    (Errors(index_rel={"MgF2": 0.05}, angle_rad=0.3), 0.1, "p"),
])
def test_every_sample_merit_is_the_airy_formula_at_its_drawn_errors(errors, theta, pol):
    grid = [480.0, 550.0, 640.0]
    target = Target("R", grid, [0.01, 0.0, 0.02], [0.01, 0.005, 0.02], theta, pol)
    result = tolerance(SINGLE, [target], errors, 60, seed=3, executor="serial", chunk_size=25)
    d, factors, offsets = sample_errors(SINGLE, errors, 60, seed=3)
    for b in range(60):
        angle = abs(theta + offsets[b])
        r = np.array([airy_r(d[b, 0], 1.38 * factors[b, 0], angle, lam, pol) for lam in grid])
        residual = (r - target.value) / target.tolerance
        assert result.merit[b] == pytest.approx(math.sqrt(np.mean(residual**2)), rel=1e-11, abs=1e-13)
        assert result.worst[b] == pytest.approx(np.max(np.abs(residual)), rel=1e-11, abs=1e-13)


def random_coating(rng, layers, absorbing_exit):
    n = [complex(rng.uniform(1.3, 2.5), rng.uniform(0.0, 0.05)) for _ in range(layers)]
    exit_n = complex(3.5, 0.3) if absorbing_exit else 1.52
    stack = Stack(AIR, tuple(Layer(Constant(v, f"m{k}"), rng.uniform(10, 200)) for k, v in enumerate(n)),
                  exit=Constant(exit_n, "exit"))
    return stack, n, exit_n


@pytest.mark.parametrize("seed, absorbing_exit, pol", [(1, False, "unpolarised"), (2, True, "p"), (3, True, 0.3)])
def test_batched_spectra_with_index_factors_agree_with_tmm(seed, absorbing_exit, pol):
    tmm = pytest.importorskip("tmm")
    rng = np.random.default_rng(seed)
    stack, n, exit_n = random_coating(rng, 5, absorbing_exit)
    wl = np.linspace(420.0, 900.0, 7)
    theta = 0.5
    rows = 4
    d = stack.thicknesses() * rng.uniform(0.8, 1.2, (rows, 5))
    factors = rng.uniform(0.9, 1.1, (rows, 5))
    r, t = batch_spectra(stack, d, wl, theta, pol, factors)
    w_p = math.sin(pol) ** 2 if isinstance(pol, float) else {"unpolarised": 0.5, "p": 1.0}[pol]
    for b in range(rows):
        indices = [1.0, *(v * f for v, f in zip(n, factors[b])), exit_n]
        for k, lam in enumerate(wl):
            s_, p_ = (tmm.coh_tmm(x, indices, [np.inf, *d[b], np.inf], theta, lam) for x in "sp")
            assert r[b, k] == pytest.approx((1 - w_p) * s_["R"] + w_p * p_["R"], abs=1e-12)
            assert t[b, k] == pytest.approx((1 - w_p) * s_["T"] + w_p * p_["T"], abs=1e-12)


def test_materials_shared_by_layers_take_one_index_error_per_sample():
    tmm = pytest.importorskip("tmm")
    high, low = Constant(2.3, "H"), Constant(1.46, "L")
    stack = Stack(AIR, (Layer(high, 60.0), Layer(low, 90.0), Layer(high, 60.0)), exit=GLASS)
    r, _ = batch_spectra(stack, stack.thicknesses(), [500.0], 0.0, "s", [[1.02, 0.97]])
    peer = tmm.coh_tmm("s", [1.0, 2.3 * 1.02, 1.46 * 0.97, 2.3 * 1.02, 1.52], [np.inf, 60, 90, 60, np.inf], 0.0, 500.0)
    assert r[0, 0] == pytest.approx(peer["R"], abs=1e-13)


def tmm_quantity(tmm, stack_layers, exit_n, d, theta, pol, lam, quantity, substrate_nm=None):
    indices = [1.0, *stack_layers, exit_n]
    w = {"s": (1.0, 0.0), "p": (0.0, 1.0), "unpolarised": (0.5, 0.5)}[pol]
    total = 0.0
    for weight, x in zip(w, "sp"):
        if weight == 0.0:
            continue
        if substrate_nm is None:
            out = tmm.coh_tmm(x, indices, [np.inf, *d, np.inf], theta, lam)
        else:
            out = tmm.inc_tmm(x, [1.0, *stack_layers, 1.52, 1.0], [np.inf, *d, substrate_nm, np.inf],
                              ["i"] + ["c"] * len(d) + ["i", "i"], theta, lam)
        value = {"R": out["R"], "T": out["T"]}.get(quantity, 1 - out["R"] - out["T"])
        total += weight * value
    return total


@pytest.mark.parametrize("substrate", [False, True])
def test_sensitivities_are_tmm_finite_differences_scaled_by_sigma(substrate):
    tmm = pytest.importorskip("tmm")
    indices = [2.3, 1.46, 2.1 + 0.02j]
    d0 = np.array([70.0, 110.0, 45.0])
    layers = tuple(Layer(Constant(v, f"m{k}"), x) for k, (v, x) in enumerate(zip(indices, d0)))
    stack = (Stack(AIR, layers, substrate=Substrate(GLASS, 1e6)) if substrate else Stack(AIR, layers, exit=GLASS))
    targets = [Target("R", [450.0, 600.0], 0.1, 0.02, 0.3, "p"), Target("A", [520.0], 0.0, 0.05),
               Target("T", [700.0], 0.9, 0.01, 0.3, "unpolarised")]
    sigma = np.array([1.0, 2.0, 0.5])
    result = tolerance(stack, targets, Errors(thickness_nm=list(sigma)), 4, executor="serial")
    h = 1e-4
    rows = []
    for target in result.targets:
        for lam, tol in zip(target.wavelength_nm, target.tolerance):
            grad = []
            for j in range(3):
                up, down = d0.copy(), d0.copy()
                up[j] += h
                down[j] -= h
                f = [tmm_quantity(tmm, indices, 1.52, x, target.angle_rad, target.polarisation, lam, target.quantity,
                                  1e6 if substrate else None) for x in (up, down)]
                grad.append((f[0] - f[1]) / (2 * h) / tol)
            rows.append(grad)
    jac = np.array(rows)
    np.testing.assert_allclose(result.jacobian, jac, rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(result.sensitivity, sigma * np.sqrt(np.mean(jac**2, axis=0)), rtol=1e-5)
    assert result.ranked_layers() == list(np.argsort(-result.sensitivity, kind="stable"))


# Two targets at normal incidence around ones at 45°: the engine groups them by angle and
# polarisation, the results keep them as given.
MIXED = [Target("R", [450.0, 550.0, 650.0], 0.05, 0.02),
         Target("T", [500.0, 600.0], 0.9, 0.05, math.radians(45), "p"),
         Target("A", [520.0, 580.0, 700.0, 800.0], 0.0, 0.01),
         Target("R", [610.0], 0.1, 0.03, math.radians(45), "s")]


@pytest.mark.parametrize("substrate, errors", [
    (False, Errors(thickness_rel=0.03, index_rel=0.01)),
    (False, Errors(thickness_nm=2.0, angle_rad=0.05)),
    (True, Errors(thickness_rel=0.03)),
])
def test_each_target_s_points_and_envelope_are_those_of_the_target_sampled_alone(substrate, errors):
    layers = (Layer(Constant(2.3 + 0.01j, "H"), 70.0), Layer(Constant(1.46, "L"), 110.0))
    stack = Stack(AIR, layers, substrate=Substrate(GLASS, 1e6)) if substrate else Stack(AIR, layers, exit=GLASS)
    result = tolerance(stack, MIXED, errors, 12, seed=4, executor="serial")
    assert result.targets == tuple(MIXED)
    for k, target in enumerate(MIXED):
        alone = tolerance(stack, [target], errors, 12, seed=4, executor="serial")
        sel = result.target_of_point == k
        np.testing.assert_array_equal(result.wavelength_nm[sel], target.wavelength_nm)
        for name in ("values", "low", "high", "nominal", "jacobian"):
            mine, theirs = getattr(result, name), getattr(alone, name)
            mine = mine[sel] if name == "jacobian" else mine[..., sel]
            np.testing.assert_allclose(mine, theirs, rtol=1e-12, atol=1e-15, err_msg=f"{name} of target {k}")
        ax = result.plot_envelope(target=k, percent=False)
        nominal = next(line for line in ax.get_lines() if line.get_label() == "nominal")
        np.testing.assert_allclose(nominal.get_ydata(), alone.nominal, rtol=1e-12, atol=1e-15)
        assert ax.get_ylabel() == target.quantity


@pytest.mark.parametrize("passed, total", [(0, 50), (50, 50), (1, 10), (37, 120), (9990, 10000)])
@pytest.mark.parametrize("confidence", [0.9, 0.99])
def test_yield_intervals_solve_their_defining_equations_to_40_digits(passed, total, confidence):
    mpmath = pytest.importorskip("mpmath")
    with mpmath.workdps(40):
        alpha = 1 - mpmath.mpf(confidence)
        z = mpmath.sqrt(2) * mpmath.erfinv(1 - alpha)
        p_hat = mpmath.mpf(passed) / total
        # Wilson: the p with |p̂ − p| = z √(p(1 − p)/n), the two roots of a quadratic.
        a = 1 + z**2 / total
        b = -(2 * p_hat + z**2 / total)
        c = p_hat**2
        disc = mpmath.sqrt(b * b - 4 * a * c)
        wilson = ((-b - disc) / (2 * a), (-b + disc) / (2 * a))
        # Clopper–Pearson: the binomial tails at the bounds are α/2 each; the regularised incomplete
        # beta function rises with x, so bisection finds where it takes a value.
        def solve(s, f, value):
            a, b = mpmath.mpf(0), mpmath.mpf(1)
            for _ in range(100):
                m = (a + b) / 2
                a, b = (m, b) if mpmath.betainc(s, f, 0, m, regularized=True) < value else (a, m)
            return (a + b) / 2

        lo = 0 if passed == 0 else solve(passed, total - passed + 1, alpha / 2)
        hi = 1 if passed == total else solve(passed + 1, total - passed, 1 - alpha / 2)
    np.testing.assert_allclose(yield_interval(passed, total, confidence), [float(x) for x in wilson],
                               rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(yield_interval(passed, total, confidence, "clopper-pearson"),
                               [float(lo), float(hi)], rtol=1e-9, atol=1e-15)


def test_a_run_repeats_from_the_seed_it_records_and_judges_by_merit_when_asked():
    target = Target("R", np.linspace(500.0, 600.0, 5), 0.0, 0.01)
    first = tolerance(SINGLE, [target], Errors(thickness_rel=0.05), 50, seed=None, executor="serial", keep=7)
    again = tolerance(SINGLE, [target], Errors(thickness_rel=0.05), 50, seed=first.seed, executor="serial",
                      chunk_size=9, max_merit=1.2)
    np.testing.assert_array_equal(first.merit, again.merit)
    np.testing.assert_array_equal(again.passed, again.merit <= 1.2)
    assert first.values.shape == (7, 5)
    np.testing.assert_array_equal(first.values, again.values[:7])


@pytest.mark.parametrize("kwargs, match", [
    (dict(errors=Errors(thickness_nm=[1.0, 2.0])), "one per layer"),
    (dict(errors=Errors(thickness_nm={"TiO2": 1.0})), "no layer is made of 'TiO2'"),
    (dict(errors=Errors(thickness_nm=-1.0)), "≥ 0"),
    (dict(errors=Errors(index_rel=0.3)), r"\[0, 0.1\]"),
    (dict(samples=0), "samples"),
    (dict(samples=10**12), "samples: at most 10000000"),
    (dict(samples=10**7, chunk_size=1), "at most 100000 allowed: make the chunks at least 100 samples"),
    (dict(seed=-1), "seed must be"),
    (dict(max_merit=float("nan")), "max_merit"),
])
def test_refuses_what_it_cannot_sample(kwargs, match):
    args = dict(errors=Errors(thickness_nm=1.0), samples=10)
    args.update(kwargs)
    with pytest.raises(ValueError, match=match):
        tolerance(SINGLE, [Target("R", [550.0], 0.0, 0.01)], executor="serial", **args)


DESIGN_FILE = """
name = "two layers"
exit = 1.52
[[layer]]
material = 2.3
thickness_nm = 60.0
[[layer]]
material = "MgF2"
thickness_nm = 99.6
"""
TARGETS_FILE = """
[[target]]
quantity = "R"
wavelength_nm = { start = 500, stop = 600, count = 11 }
value = 0.0
tolerance = 0.02
"""


def test_command_line_writes_the_api_s_samples_and_refuses_unknown_materials(tmp_path, capsys):
    from lamina_design.cli import main
    from lamina_design.files import load_design, load_targets

    (tmp_path / "d.toml").write_text(DESIGN_FILE)
    (tmp_path / "t.toml").write_text(TARGETS_FILE)
    args = ["tolerance", str(tmp_path / "d.toml"), str(tmp_path / "t.toml"), "--thickness-rel", "0.01",
            "MgF2=0.03", "--index-rel", "0.01", "--samples", "120", "--seed", "5", "--workers", "1",
            "--out", str(tmp_path / "out"), "--no-plot"]
    assert main(args) == 0
    design = load_design(tmp_path / "d.toml")
    api = tolerance(design.stack, load_targets(tmp_path / "t.toml", 2).targets,
                    Errors(thickness_rel=[0.01, 0.03], index_rel=0.01), 120, seed=5, executor="serial")
    rows = np.loadtxt(tmp_path / "out" / "d_tolerance.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(rows[:, 1], api.merit)
    np.testing.assert_array_equal(rows[:, 3].astype(bool), api.passed)
    assert f"yield {100 * api.yield_fraction:.2f} %" in capsys.readouterr().out
    assert main(args[:3] + ["--thickness-rel", "TiO2=0.01"]) == 2
    assert "no layer is made of 'TiO2'" in capsys.readouterr().err
    assert main(args[:3]) == 2  # no error to sample


def test_index_errors_reach_the_layers_of_a_coated_plate():
    tmm = pytest.importorskip("tmm")
    high, low = Constant(2.3, "H"), Constant(1.46, "L")
    plate = Stack(AIR, (Layer(high, 60.0), Layer(low, 90.0)), substrate=Substrate(GLASS, 1e6, (Layer(high, 40.0),)))
    r, t = batch_spectra(plate, [[61.0, 88.0, 41.0]], [480.0, 640.0], 0.0, "s", [[1.03, 0.98]])
    for k, lam in enumerate((480.0, 640.0)):
        peer = tmm.inc_tmm("s", [1.0, 2.3 * 1.03, 1.46 * 0.98, 1.52, 2.3 * 1.03, 1.0],
                           [np.inf, 61.0, 88.0, 1e6, 41.0, np.inf], ["i", "c", "c", "i", "c", "i"], 0.0, lam)
        assert (r[0, k], t[0, k]) == pytest.approx((peer["R"], peer["T"]), abs=1e-12)


def test_command_line_figure_titles_each_envelope_with_its_target_in_file_order(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from lamina_design.cli import main
    from lamina_design.files import load_design, load_targets

    (tmp_path / "d.toml").write_text(DESIGN_FILE)
    (tmp_path / "t.toml").write_text("""
[[target]]
quantity = "R"
wavelength_nm = [450, 550, 650]
value = 0.0
tolerance = 0.02
[[target]]
quantity = "T"
wavelength_nm = [500, 600]
value = 0.9
tolerance = 0.05
angle_deg = 45
polarisation = "p"
[[target]]
quantity = "A"
wavelength_nm = [520, 580, 700, 800]
value = 0.0
tolerance = 0.01
""")
    saved = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, *args, **kwargs: saved.append(fig))
    assert main(["tolerance", str(tmp_path / "d.toml"), str(tmp_path / "t.toml"), "--thickness-rel", "0.02",
                 "--samples", "10", "--workers", "1", "--out", str(tmp_path / "out")]) == 0
    stack = load_design(tmp_path / "d.toml").stack
    targets = load_targets(tmp_path / "t.toml", 2).targets
    envelopes = [ax for ax in saved[0].axes if ax.get_title().startswith("target ")]
    assert len(envelopes) == 3
    for ax in envelopes:
        k = int(ax.get_title().split()[1].rstrip(":")) - 1
        alone = tolerance(stack, [targets[k]], Errors(thickness_rel=0.02), 10, executor="serial")
        nominal = next(line for line in ax.get_lines() if line.get_label() == "nominal")
        np.testing.assert_allclose(nominal.get_xdata(), targets[k].wavelength_nm)
        np.testing.assert_allclose(nominal.get_ydata(), 100 * alone.nominal, rtol=1e-12, atol=1e-13)  # in %


@pytest.mark.parametrize("k, title, unit", [
    (0, "target 1: R = 0 ± 2 %, 450-650 nm at 0°, unpolarised", "R (%)"),
    (1, "target 2: T = 90 ± 5 %, 500-600 nm at 45°, p", "T (%)"),
    (2, "target 3: A = 0 ± 1 %, 520-800 nm at 0°, unpolarised", "A (%)"),
    (3, "target 4: R ≤ 30 %, 610 nm at 45°, s", "R (%)"),
])
def test_command_line_figure_panels_in_percent_titled_by_band_and_angle_never_below_zero(tmp_path, monkeypatch,
                                                                                       k, title, unit):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from lamina_design.cli import main

    (tmp_path / "d.toml").write_text(DESIGN_FILE)
    (tmp_path / "t.toml").write_text("""
[[target]]
quantity = "R"
wavelength_nm = [450, 550, 650]
value = 0.0
tolerance = 0.02
[[target]]
quantity = "T"
wavelength_nm = [500, 600]
value = 0.9
tolerance = 0.05
angle_deg = 45
polarisation = "p"
[[target]]
quantity = "A"
wavelength_nm = [520, 580, 700, 800]
value = 0.0
tolerance = 0.01
[[target]]
quantity = "R"
wavelength_nm = [610]
max = 0.3
tolerance = 0.03
angle_deg = 45
polarisation = "s"
""")
    saved = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, *args, **kwargs: saved.append((fig, kwargs.get("dpi"))))
    assert main(["tolerance", str(tmp_path / "d.toml"), str(tmp_path / "t.toml"), "--thickness-rel", "0.1",
                 "--samples", "40", "--workers", "1", "--out", str(tmp_path / "out")]) == 0
    (figure, dpi), = saved
    width, height = figure.get_size_inches() * dpi
    assert width <= 1600 and height <= 1600  # readable on a screen, not a 2400 px strip
    envelopes = [ax for ax in figure.axes if ax.get_visible() and ax.get_title().startswith("target ")]
    assert [ax.get_title() for ax in envelopes][k] == title  # in the file's order
    ax = envelopes[k]
    assert ax.get_ylabel() == unit
    assert ax.get_ylim()[0] >= 0.0
    for line in ax.get_lines():
        assert np.all(np.asarray(line.get_ydata()) >= 0.0), line.get_label()
    for band in ax.collections:
        for path in band.get_paths():
            assert np.all(path.vertices[:, 1] >= 0.0)
