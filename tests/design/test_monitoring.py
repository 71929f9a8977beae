"""Monitoring curves against direct spectra of partial stacks (lamina, tmm for a witness plate)
and the quarter-wave closed forms; layer cuts against tmm's own turning points and levels."""

from __future__ import annotations

import math

import numpy as np
import pytest

import lamina
from lamina_design.materials import Constant
from lamina_design.monitoring import monitoring_curve, terminate
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate

from design_stacks import AIR, GLASS

H, L = Constant(2.35, "H"), Constant(1.46, "L")
LAMBDA = 600.0


def quarter(material, waves=1):
    return Layer(material, waves * LAMBDA / (4 * material.value.real))


@pytest.mark.parametrize("quantity, angle, pol", [("T", 0.0, "unpolarised"), ("R", 0.5, "p"), ("T", 0.3, 0.7)])
def test_curve_is_lamina_on_every_partial_stack(quantity, angle, pol):
    rng = np.random.default_rng(5)
    indices = [complex(rng.uniform(1.35, 2.4), rng.uniform(0, 0.02)) for _ in range(4)]
    layers = tuple(Layer(Constant(v, f"m{k}"), rng.uniform(30, 250)) for k, v in enumerate(indices))
    stack = Stack(AIR, layers, exit=GLASS)
    waves = rng.uniform(450, 800, 4)
    curve = monitoring_curve(stack, waves, angle, pol, quantity, steps=15)
    phi = {"unpolarised": math.pi / 4, "p": math.pi / 2}.get(pol, pol)
    start = 0.0
    for i in range(3, -1, -1):
        rows = np.nonzero(curve.layer == i)[0]
        np.testing.assert_allclose(curve.deposited_nm[rows] - start, np.linspace(0, layers[i].thickness_nm, 16),
                                   rtol=0, atol=1e-12)
        for k, grown in zip(rows, np.linspace(0, layers[i].thickness_nm, 16)):
            d = np.array([grown, *(layer.thickness_nm for layer in layers[i + 1:])])
            n = np.array([[1.0], *([v] for v in indices[i:]), [1.52]], dtype=np.complex128)
            out = lamina.DataPy(d, n, np.array([waves[i]]), angle, phi).simulate()
            assert curve.signal[k] == (out.r if quantity == "R" else out.t)[0]
        start += layers[i].thickness_nm
    assert curve.ends_nm[-1] == pytest.approx(sum(layer.thickness_nm for layer in layers))


def test_witness_plate_curve_is_tmm_incoherent_transmission():
    tmm = pytest.importorskip("tmm")
    layers = (quarter(H), Layer(L, 130.0))
    stack = Stack(AIR, layers, substrate=Substrate(GLASS, 1e6))
    curve = monitoring_curve(stack, 550.0, 0.2, "s", "T", steps=6)
    for k in range(curve.signal.size):
        i = int(curve.layer[k])
        grown = curve.deposited_nm[k] - (0.0 if i == 1 else 130.0)
        n = [1.0, *(layer.material.value for layer in layers[i:]), 1.52, 1.0]
        d = [np.inf, grown, *(layer.thickness_nm for layer in layers[i + 1:]), 1e6, np.inf]
        peer = tmm.inc_tmm("s", n, d, ["i"] + ["c"] * (len(n) - 3) + ["i", "i"], 0.2, 550.0)
        assert curve.signal[k] == pytest.approx(peer["T"], abs=1e-12)


def admittances(layers):
    """Admittance of the partial quarter-wave stacks after each layer, from the glass outwards."""
    y = 1.52 + 0j
    out = []
    for layer in reversed(layers):
        waves = round(4 * layer.thickness_nm * layer.material.value.real / LAMBDA)
        if waves % 2:
            y = layer.material.value ** 2 / y
        out.append(y)
    return out


@pytest.mark.parametrize("quantity", ["R", "T"])
def test_quarter_waves_turn_at_every_quarter_wave_with_the_admittance_closed_form(quantity):
    layers = (quarter(H), quarter(L), quarter(H, 3), quarter(L), quarter(H))
    curve = monitoring_curve(Stack(AIR, layers, exit=GLASS), LAMBDA, quantity=quantity, steps=40)
    # Expected turning points: every quarter-wave of optical thickness, counted in deposition order.
    expected_nm, expected_signal = [], []
    start = 0.0
    ys = admittances(layers)
    for layer, y_end in zip(reversed(layers), ys):
        step = LAMBDA / (4 * layer.material.value.real)
        waves = round(layer.thickness_nm / step)
        expected_nm += [start + step * (k + 1) for k in range(waves)]
        expected_signal += [None] * (waves - 1) + [y_end]
        start += layer.thickness_nm
    np.testing.assert_allclose(curve.turning_nm, expected_nm, rtol=0, atol=1e-6)
    for y, value in zip(expected_signal, curve.turning_signal):
        if y is not None:
            closed = abs((1 - y) / (1 + y)) ** 2 if quantity == "R" else 4 * y.real / abs(1 + y) ** 2
            assert value == pytest.approx(closed, abs=1e-13)
    np.testing.assert_allclose(curve.ends_nm, np.cumsum([x.thickness_nm for x in reversed(layers)]))


def test_thickness_cuts_keep_each_error_in_its_layer():
    layers = (Layer(H, 80.0), Layer(L, 120.0), Layer(H, 3.0))
    stack = Stack(AIR, layers, exit=GLASS)
    run = terminate(stack, [1.5, -2.0, -5.0], 550.0, strategy="thickness")
    np.testing.assert_array_equal(run.realised.thicknesses(), [81.5, 118.0, 0.0])
    np.testing.assert_array_equal(run.cut_nm, [80.0, 120.0, 3.0])


@pytest.mark.parametrize("near_turning_points", [False, True])
def test_level_cuts_without_errors_give_back_the_design(near_turning_points):
    rng = np.random.default_rng(2)
    if near_turning_points:
        # Quarter-waves written to 0.01 nm end just short of their turning points: the level is
        # reached and left again within a fraction of a step of the search grid.
        layers = tuple(Layer(m, math.floor(100 * 633.0 / (4 * m.value.real)) / 100) for m in (H, L, H, L))
    else:
        layers = tuple(Layer(m, rng.uniform(40, 300)) for m in (H, L, H, L))
    stack = Stack(AIR, layers, exit=GLASS)
    run = terminate(stack, 0.0, 633.0, quantity="T", strategy="level", steps=60)
    np.testing.assert_allclose(run.realised.thicknesses(), stack.thicknesses(), rtol=0, atol=1e-6)


def tmm_signal(tmm, layers, grown, material, quantity):
    n = [1.0, material.value, *(layer.material.value for layer in layers), 1.52]
    d = [np.inf, grown, *(layer.thickness_nm for layer in layers), np.inf]
    out = tmm.coh_tmm("s", n, d, 0.0, LAMBDA)
    return out[quantity]


@pytest.mark.parametrize("error", [9.0, -0.5])
def test_turning_point_cut_follows_the_error_beneath(error):
    tmm = pytest.importorskip("tmm")
    optimize = pytest.importorskip("scipy.optimize")
    layers = (quarter(H), quarter(L), quarter(H))
    stack = Stack(AIR, layers, exit=GLASS)
    run = terminate(stack, [0.0, 0.0, error], LAMBDA, quantity="T", strategy="level", steps=50)
    # The L layer grows on the H layer that came out off by `error`; tmm's T has its extremum
    # near the L layer's quarter-wave (cut short, the H layer leaves a shallow one near 0 too).
    beneath = run.realised.layers[2:]
    best = optimize.minimize_scalar(lambda x: -tmm_signal(tmm, beneath, x, L, "T"), bounds=(60.0, 140.0),
                                    method="bounded", options={"xatol": 1e-9})
    assert run.cut_nm[1] == pytest.approx(best.x, abs=1e-4)
    assert abs(run.cut_nm[1] - layers[1].thickness_nm) > 0.1  # the cut moved with the error
    assert run.realised.layers[2].thickness_nm == pytest.approx(layers[2].thickness_nm + error)


def test_level_cut_follows_the_error_beneath():
    tmm = pytest.importorskip("tmm")
    optimize = pytest.importorskip("scipy.optimize")
    layers = (Layer(L, 70.0), Layer(H, 40.0))
    stack = Stack(AIR, layers, exit=GLASS)
    run = terminate(stack, [0.0, -6.0], LAMBDA, quantity="R", strategy="level")
    level = tmm_signal(tmm, layers[1:], 70.0, L, "R")
    root = optimize.brentq(lambda x: tmm_signal(tmm, run.realised.layers[1:], x, L, "R") - level, 1.0, 95.0,
                           xtol=1e-12)
    assert run.cut_nm[0] == pytest.approx(root, abs=1e-6)
    assert run.thickness_errors_nm[1] == pytest.approx(-6.0)


@pytest.mark.parametrize("kwargs, match", [
    (dict(wavelength_nm=[500.0, 600.0]), "one per layer"),
    (dict(quantity="A"), "'R' or 'T'"),
    (dict(steps=1), "steps"),
    (dict(angle=2.0), "angle"),
    (dict(steps=10**12), "steps: at most"),
])
def test_refuses_what_it_cannot_monitor(kwargs, match):
    args = dict(wavelength_nm=550.0)
    args.update(kwargs)
    with pytest.raises(ValueError, match=match):
        monitoring_curve(Stack(AIR, (Layer(H, 50.0),), exit=GLASS), **args)


@pytest.mark.parametrize("thin", [1e-6, 1e-4])
def test_a_layer_far_thinner_than_a_wave_is_cut_without_an_endless_grid(thin):
    # On a layer of no quarter-wave the thin one does not start on a turning point: its level is reached.
    stack = Stack(AIR, (Layer(H, thin), Layer(L, 37.0)), exit=GLASS)
    run = terminate(stack, 0.0, LAMBDA, strategy="level", steps=50)
    np.testing.assert_allclose(run.cut_nm, [thin, 37.0], atol=1e-6)


def test_command_line_writes_the_curve_and_the_realised_design(tmp_path, capsys):
    from lamina_design.cli import main
    from lamina_design.files import load_design

    text = "exit = 1.52\n" + "".join(f"[[layer]]\nmaterial = {n}\nthickness_nm = {LAMBDA / (4 * n)!r}\n"
                                     for n in (2.35, 1.46, 2.35))
    (tmp_path / "qw.toml").write_text(text)
    out = tmp_path / "out"
    assert main(["monitor", str(tmp_path / "qw.toml"), "--wavelength", str(LAMBDA), "--errors-nm", "1", "-1", "2",
                 "--steps", "30", "--out", str(out), "--no-plot"]) == 0
    stack = load_design(tmp_path / "qw.toml").stack
    curve = monitoring_curve(stack, LAMBDA, steps=30)
    run = terminate(stack, [1.0, -1.0, 2.0], LAMBDA, steps=30)
    rows = np.loadtxt(out / "qw_monitor.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(rows[:, 2], curve.signal)
    np.testing.assert_array_equal(rows[:, 4], run.curve.signal)
    np.testing.assert_array_equal(load_design(out / "qw_realised.toml").stack.thicknesses(), run.realised.thicknesses())
    assert main(["monitor", str(tmp_path / "qw.toml"), "--wavelength", "500", "600"]) == 2
    assert "one per layer (3)" in capsys.readouterr().err


def test_the_plot_labels_each_layer_over_its_own_thickness():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    stack = Stack(AIR, (Layer(H, 60.0), Layer(L, 100.0), Layer(H, 40.0)), exit=GLASS)
    fig, ax = plt.subplots()
    monitoring_curve(stack, LAMBDA, steps=20).plot(ax)
    labels = {text.get_text(): text.get_position()[0] for text in ax.texts}
    plt.close(fig)
    # Deposited from the exit side: layer 3 (0-40 nm), then 2 (40-140 nm), then 1 (140-200 nm).
    assert labels == {"3\nH": pytest.approx(20.0), "2\nL": pytest.approx(90.0), "1\nH": pytest.approx(170.0)}
