"""Fields and absorbed power inside stacks against tmm's position-resolved results and closed forms."""

from __future__ import annotations

import math

import numpy as np
import pytest

from lamina_design.materials import Constant
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate

from design_stacks import AIR, GLASS

tmm = pytest.importorskip("tmm")


def media(stack):
    last = stack.exit if stack.substrate is None else stack.substrate.back_medium
    n = [complex(m.value) for m in (stack.incidence, *(x.material for x in stack.inner_layers()), last or AIR)]
    d = [np.inf, *(x.thickness_nm for x in stack.inner_layers()), np.inf]
    return n, d


def random_coherent(rng):
    layers = tuple(Layer(Constant(complex(rng.uniform(1.3, 4.0), rng.choice([0.0, 0.02, 0.8]))),
                         rng.uniform(5.0, 200.0)) for _ in range(int(rng.integers(1, 6))))
    return Stack(Constant(rng.uniform(1.0, 1.6)), layers, exit=Constant(complex(rng.uniform(1.0, 3.0), 0.1)))


@pytest.mark.parametrize("seed", range(4))
def test_coherent_fields_and_absorption_agree_with_tmm(seed):
    rng = np.random.default_rng(seed)
    stack = random_coherent(rng)
    n, d = media(stack)
    total = sum(d[1:-1])
    z = np.concatenate([[-40.0, -3.0], np.linspace(0.0, total, 60, endpoint=False), [total + 1.0, total + 30.0]])
    theta, lam = rng.uniform(0.0, 1.3), rng.uniform(400.0, 900.0)
    for pol in ("s", "p"):
        data = tmm.coh_tmm(pol, n, d, theta, lam)
        e2, absorbed = [], []
        for depth in z:
            layer, within = tmm.find_in_structure_with_inf(d, depth)
            point = tmm.position_resolved(layer, within, data)
            e2.append(abs(point["Ex"]) ** 2 + abs(point["Ey"]) ** 2 + abs(point["Ez"]) ** 2)
            absorbed.append(point["absor"])
        field = stack.field(z, [lam], theta, pol)
        np.testing.assert_allclose(field.e2[0], e2, rtol=1e-11, atol=1e-13)
        np.testing.assert_allclose(field.absorption[0], absorbed, rtol=1e-11, atol=1e-15)
        per_layer = stack.absorption([lam], theta, pol)
        np.testing.assert_allclose(per_layer.layers[:, 0], tmm.absorp_in_each_layer(data)[1:-1], atol=1e-13)
        assert per_layer.r[0] == pytest.approx(data["R"], abs=1e-13)


def inc_profile(layer, data, z):
    """tmm.inc_find_absorp_analytic_fn(layer, data).run(z), whose add() refuses complex-angle pairs."""
    group, within = data["stack_from_all"][layer]
    forward, backward = tmm.absorp_analytic_fn(), tmm.absorp_analytic_fn()
    forward.fill_in(data["coh_tmm_data_list"][group], within)
    backward.fill_in(data["coh_tmm_bdata_list"][group], -1 - within)
    backward.flip()
    weights = data["stackFB_list"][group]
    return (weights[0] * forward.run(z) + weights[1] * backward.run(z)).real


@pytest.mark.parametrize("theta", [0.0, 0.8])
def test_coherent_groups_of_incoherent_stacks_agree_with_tmm(theta):
    # Films on both faces of an absorbing plate behind a thick absorbing encapsulant.
    stack = Stack(AIR, (Layer(Constant(1.5 + 1e-4j), 2e4, coherent=False), Layer(Constant(2.1 + 0.2j), 60.0),
                        Layer(Constant(1.45), 110.0)),
                  substrate=Substrate(Constant(1.52 + 2e-5j), 5e4, (Layer(Constant(3.0 + 0.5j), 25.0),), GLASS))
    n, d = media(stack)
    c = ["i", *("c" if x.coherent else "i" for x in stack.inner_layers()), "i"]
    starts = np.concatenate([[0.0], np.cumsum(d[1:-1])])
    lam = 633.0
    for pol in ("s", "p"):
        data = tmm.inc_tmm(pol, n, d, c, theta, lam)
        for layer in (2, 3, 5):
            local = np.linspace(0.0, d[layer], 23)
            local[-1] *= 1 - 1e-12  # inside the layer after the offset is added
            reference = inc_profile(layer, data, local)
            field = stack.field(starts[layer - 1] + local, [lam], theta, pol)
            np.testing.assert_allclose(field.absorption[0], reference, rtol=1e-10, atol=1e-16)


def test_field_in_an_absorbing_half_space_closed_form():
    # Air onto n + iκ: |E|² = |2/(1+n)|² e^(−4πκz/λ), absorbed 4πκn/λ |E|² per unit incident flux.
    m = 2.5 + 0.3j
    wl = np.array([500.0, 800.0])
    z = np.linspace(0.0, 300.0, 7)
    field = Stack(AIR, (), exit=Constant(m)).field(z, wl, 0.0, "s")
    e2 = abs(2 / (1 + m)) ** 2 * np.exp(-4 * math.pi * m.imag * z[None, :] / wl[:, None])
    np.testing.assert_allclose(field.e2, e2, rtol=1e-12)
    np.testing.assert_allclose(field.absorption, 4 * math.pi * m.imag * m.real / wl[:, None] * e2, rtol=1e-12)


def test_incoherent_media_carry_summed_beam_powers():
    # A lossless plate in air at normal incidence: Stokes' sums give each beam's power; in front,
    # the first face's reflection interferes with the incident wave, the rest adds in power.
    stack = Stack(AIR, (Layer(GLASS, 1e5, coherent=False),))
    amplitude = (1 - 1.52) / (1 + 1.52)
    rho = amplitude**2
    r = 2 * rho / (1 + rho)
    forward = (1 - rho) / (1 - rho**2)  # in the plate, as a power flux
    front = np.array([-10.0, -137.5, -300.0])
    field = stack.field([*front, 5e4, 2e5], [550.0], 0.0, "s")
    standing = 1 + r + 2 * amplitude * np.cos(4 * math.pi * front / 550.0)
    np.testing.assert_allclose(field.e2[0], [*standing, forward * (1 + rho) / 1.52, 1 - r], rtol=1e-13)
    np.testing.assert_allclose(field.absorption, 0.0, atol=0)


def test_plot_marks_every_boundary(plate):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    field = plate.field(np.linspace(-50.0, 400.0, 91), [500.0, 600.0], 0.3)
    ax = field.plot(wavelength_nm=590.0)
    try:
        curve, *lines = ax.lines
        np.testing.assert_array_equal(curve.get_ydata(), field.e2[1])
        assert sorted(line.get_xdata()[0] for line in lines) == list(plate.boundaries())
        assert "600" in ax.get_title()
    finally:
        plt.close(ax.figure)
