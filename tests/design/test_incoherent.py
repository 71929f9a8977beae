"""Incoherent layers anywhere: R, T and per-layer absorption against tmm.inc_tmm, closed forms."""

from __future__ import annotations

import math

import numpy as np
import pytest

from lamina_design.materials import Constant
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate

from design_stacks import AIR, GLASS

tmm = pytest.importorskip("tmm")

WL = np.array([410.0, 587.0, 905.0])


def random_stack(rng, absorbing):
    """Air, then 3–7 layers of which at least two incoherent, into a random exit medium."""
    count = int(rng.integers(3, 8))
    flags = rng.random(count) < 0.45
    flags[rng.choice(count, 2, replace=False)] = False
    layers = []
    for coherent in flags:
        k = rng.choice([0.0, 1e-4, 0.03, 0.4]) if absorbing else 0.0
        index = complex(rng.uniform(1.2, 3.6), float(k) if coherent else float(k) / 50)
        thickness = rng.uniform(5.0, 400.0) if coherent else rng.uniform(2e3, 5e5)
        layers.append(Layer(Constant(index), thickness, coherent=bool(coherent)))
    exit_index = complex(rng.uniform(1.0, 2.5), 0.05 if absorbing else 0.0)
    return Stack(AIR, tuple(layers), exit=Constant(exit_index))


def inc_tmm(stack, pol, theta, lam):
    media = [stack.incidence, *(layer.material for layer in stack.inner_layers()),
             stack.exit if stack.substrate is None else stack.substrate.back_medium]
    n = [complex(m.value) for m in media]
    d = [np.inf, *(layer.thickness_nm for layer in stack.inner_layers()), np.inf]
    c = ["i", *("c" if layer.coherent else "i" for layer in stack.inner_layers()), "i"]
    data = tmm.inc_tmm(pol, n, d, c, theta, lam)
    return data["R"], data["T"], np.array(tmm.inc_absorp_in_each_layer(data)[1:-1])


@pytest.mark.parametrize("absorbing", [False, True], ids=["lossless", "absorbing"])
@pytest.mark.parametrize("theta", [0.0, 0.45, 1.25])
def test_random_stacks_agree_with_inc_tmm(absorbing, theta):
    rng = np.random.default_rng(int(theta * 100) + absorbing)
    for _ in range(6):
        stack = random_stack(rng, absorbing)
        for pol in ("s", "p"):
            spectrum = stack.spectrum(WL, theta, pol)
            absorption = stack.absorption(WL, theta, pol)
            for i, lam in enumerate(WL):
                r, t, layers = inc_tmm(stack, pol, theta, lam)
                assert abs(spectrum.r[i] - r) < 1e-12 and abs(spectrum.t[i] - t) < 1e-12
                assert abs(absorption.r[i] - r) < 1e-12 and abs(absorption.t[i] - t) < 1e-12
                np.testing.assert_allclose(absorption.layers[:, i], layers, rtol=0, atol=1e-12)
            total = absorption.r + absorption.t + absorption.total
            np.testing.assert_allclose(total, 1.0, rtol=0, atol=1e-12)
            if not absorbing:
                np.testing.assert_allclose(absorption.layers, 0.0, atol=1e-12)


@pytest.mark.parametrize("kappa", [2e-5, 1e-3, 1e-2])
@pytest.mark.parametrize("theta", [0.4, 1.2])
def test_absorbing_substrate_at_oblique_incidence_is_exact(plate, kappa, theta):
    # Inside an absorbing plate the angle is complex; the spectrum follows inc_tmm, not Re(n)'s angle.
    sub = plate.substrate
    stack = Stack(plate.incidence, plate.layers,
                  substrate=Substrate(Constant(1.52 + kappa * 1j), 1e4, sub.back_layers, sub.back_medium))
    for pol in ("s", "p"):
        spectrum = stack.spectrum(WL, theta, pol)
        absorption = stack.absorption(WL, theta, pol)
        for i, lam in enumerate(WL):
            r, t, layers = inc_tmm(stack, pol, theta, lam)
            assert abs(spectrum.r[i] - r) < 1e-13 and abs(spectrum.t[i] - t) < 1e-13
            np.testing.assert_allclose(absorption.layers[:, i], layers, rtol=0, atol=1e-13)


def test_two_bare_plates_closed_form():
    # Two absorbing plates in air separated by an air gap: Stokes' sums of powers, interface by interface.
    n, k, d1, d2 = 1.5, 2e-6, 3e5, 7e5
    plate = Constant(complex(n, k))
    stack = Stack(AIR, (Layer(plate, d1, coherent=False), Layer(AIR, 1e6, coherent=False),
                        Layer(plate, d2, coherent=False)))
    wl = np.linspace(400.0, 800.0, 9)
    m = complex(n, k)
    rho = abs((1 - m) / (1 + m)) ** 2
    into = abs(2 / (1 + m)) ** 2 * n  # flux ratios |t|² Re(n_out) / Re(n_in) of the two crossings
    out = abs(2 * m / (1 + m)) ** 2 / n

    def bare(d):
        p = np.exp(-4 * math.pi * k * d / wl)
        r = rho + into * out * rho * p**2 / (1 - rho**2 * p**2)
        t = into * out * p / (1 - rho**2 * p**2)
        return r, t

    r1, t1 = bare(d1)
    r2, t2 = bare(d2)
    result = stack.absorption(wl)
    np.testing.assert_allclose(result.r, r1 + t1**2 * r2 / (1 - r1 * r2), rtol=1e-12)
    np.testing.assert_allclose(result.t, t1 * t2 / (1 - r1 * r2), rtol=1e-12)
    np.testing.assert_allclose(result.layers[1], 0.0, atol=1e-15)
    assert result.layers[0].min() > 0.005 and result.layers[2].min() > 0.01  # the loss is visible
    np.testing.assert_allclose(result.r + result.t + result.total, 1.0, rtol=0, atol=1e-13)


def test_opaque_and_evanescent_incoherent_layers_stay_finite():
    # A plate that lets 1e-300 through, and a low-index gap beyond the critical angle.
    opaque = Stack(AIR, (Layer(Constant(1.5 + 0.1j), 1e6, coherent=False), Layer(Constant(2.0), 80.0)), exit=GLASS)
    result = opaque.absorption(WL, 0.3, "p")
    assert np.all(result.t == 0.0)
    np.testing.assert_allclose(result.r + result.total, 1.0, atol=1e-13)
    gap = Stack(Constant(1.7), (Layer(Constant(1.3), 5e4, coherent=False),), exit=Constant(1.7))
    for pol in ("s", "p"):
        spectrum = gap.absorption(WL, 1.2, pol)
        np.testing.assert_allclose(spectrum.r, 1.0, rtol=1e-14)
        assert np.all(spectrum.t == 0.0) and np.all(np.isfinite(spectrum.layers))


def test_flags_survive_thickness_changes_and_coherent_copies():
    stack = Stack(AIR, (Layer(GLASS, 1e5, coherent=False), Layer(Constant(2.0), 90.0)), exit=GLASS)
    assert stack.incoherent and not stack.coherent().incoherent
    moved = stack.with_thicknesses([2e5, 100.0])
    assert [layer.coherent for layer in moved.layers] == [False, True]
    assert moved.layers[0].thickness_nm == 2e5
    # Partial coherence bridges the two descriptions of the same stack.
    sharp = stack.partially_coherent(WL, 0.0, samples=1)
    np.testing.assert_array_equal(sharp.r, stack.coherent().spectrum(WL).r)
    with pytest.raises(TypeError, match="coherent"):
        Layer(GLASS, 10.0, coherent="no")  # type: ignore[arg-type]
