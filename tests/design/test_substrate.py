"""Thick plates: incoherent sums against tmm.inc_tmm and the closed forms of a bare plate."""

from __future__ import annotations

import math

import numpy as np
import pytest

from lamina_design import materials
from lamina_design.materials import Constant
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate, forward_cos

from design_stacks import AIR, GLASS

tmm = pytest.importorskip("tmm")


def peer(pol, stack, lam, theta):
    """tmm.inc_tmm for a Stack of constant media and its substrate."""
    sub = stack.substrate
    n = [complex(stack.incidence.value)]
    d = [np.inf]
    c = ["i"]
    for layer in stack.layers:
        n.append(complex(layer.material.value)), d.append(layer.thickness_nm), c.append("c")
    n.append(complex(sub.material.value)), d.append(sub.thickness_nm), c.append("i")
    for layer in sub.back_layers:
        n.append(complex(layer.material.value)), d.append(layer.thickness_nm), c.append("c")
    n.append(complex(sub.back_medium.value)), d.append(np.inf), c.append("i")
    return tmm.inc_tmm(pol, n, d, c, theta, lam)


@pytest.mark.parametrize("theta, substrate_index",
                         [(0.0, 1.52), (0.35, 1.52), (0.9, 1.52), (1.4, 1.52), (0.0, 1.52 + 2e-5j)])
def test_agrees_with_inc_tmm(plate, theta, substrate_index):
    stack = Stack(plate.incidence, plate.layers,
                  substrate=Substrate(Constant(substrate_index, "glass"), 1e5, plate.substrate.back_layers,
                                      plate.substrate.back_medium))
    wl = np.array([405.0, 532.0, 633.0, 1064.0])
    for pol in ("s", "p"):
        spectrum = stack.spectrum(wl, theta, pol)
        for i, lam in enumerate(wl):
            expected = peer(pol, stack, lam, theta)
            assert spectrum.r[i] == pytest.approx(expected["R"], rel=1e-12)
            assert spectrum.t[i] == pytest.approx(expected["T"], rel=1e-12)


def test_absorbing_substrate_oblique_differs_only_by_its_loss_tangent(plate):
    # Within κ/n at least (the stack takes the exact path here; test_incoherent holds it to 1e-13).
    kappa = 2e-5
    stack = Stack(plate.incidence, plate.layers, substrate=Substrate(Constant(1.52 + kappa * 1j), 1e5))
    wl = np.array([450.0, 700.0])
    spectrum = stack.spectrum(wl, 0.8, "p")
    for i, lam in enumerate(wl):
        expected = peer("p", stack, lam, 0.8)
        assert spectrum.r[i] == pytest.approx(expected["R"], rel=10 * kappa / 1.52)
        assert spectrum.t[i] == pytest.approx(expected["T"], rel=10 * kappa / 1.52)


def test_dispersive_substrate_at_oblique_incidence_matches_inc_tmm():
    # N-BK7 bends every wavelength by another angle: the substrate-side calls go per angle.
    glass = materials.get("N-BK7")
    coat = (Layer(materials.get("MgF2"), 95.0),)
    stack = Stack(AIR, coat, substrate=Substrate(glass, 1e6, coat, AIR))
    wl = np.linspace(420.0, 700.0, 8)
    n_glass = glass.index(wl)
    n_mgf2 = materials.get("MgF2").index(wl)
    for pol in ("s", "p"):
        spectrum = stack.spectrum(wl, 0.7, pol)
        for i, lam in enumerate(wl):
            expected = tmm.inc_tmm(pol, [1.0, n_mgf2[i], n_glass[i], n_mgf2[i], 1.0], [np.inf, 95.0, 1e6, 95.0, np.inf],
                                   ["i", "c", "i", "c", "i"], 0.7, lam)
            assert spectrum.r[i] == pytest.approx(expected["R"], rel=1e-12)
            assert spectrum.t[i] == pytest.approx(expected["T"], rel=1e-12)


def test_bare_absorbing_plate_closed_form():
    n = 1.5 + 1e-6j
    thickness = 1e6
    wl = np.linspace(400.0, 800.0, 21)
    spectrum = Stack(AIR, (), substrate=Substrate(Constant(n), thickness)).spectrum(wl)
    r1 = abs((1 - n) / (1 + n)) ** 2
    t1 = 1 - r1
    attenuation = np.exp(-4 * math.pi * n.imag * thickness / wl)  # e^(−α)
    r = r1 + t1**2 * r1 * attenuation**2 / (1 - r1**2 * attenuation**2)
    t = t1**2 * attenuation / (1 - r1**2 * attenuation**2)
    assert attenuation.min() < 0.97  # the bulk loss is visible
    np.testing.assert_allclose(spectrum.r, r, rtol=1e-10)
    np.testing.assert_allclose(spectrum.t, t, rtol=1e-10)


@pytest.mark.parametrize("theta", [0.0, 0.6, 1.3])
def test_lossless_plate_limit(theta):
    n = 1.52
    wl = np.linspace(400.0, 800.0, 11)
    cos_i = math.cos(theta)
    cos_t = math.sqrt(1 - (math.sin(theta) / n) ** 2)
    fresnel = {"s": ((cos_i - n * cos_t) / (cos_i + n * cos_t)) ** 2,
               "p": ((n * cos_i - cos_t) / (n * cos_i + cos_t)) ** 2}
    for thickness in (1e3, 1e7):  # a lossless plate's thickness does not matter
        stack = Stack(AIR, (), substrate=Substrate(GLASS, thickness))
        for pol, r1 in fresnel.items():
            spectrum = stack.spectrum(wl, theta, pol)
            np.testing.assert_allclose(spectrum.r, 2 * r1 / (1 + r1), rtol=1e-12)
            np.testing.assert_allclose(spectrum.t, (1 - r1) / (1 + r1), rtol=1e-12)
        np.testing.assert_allclose(stack.spectrum(wl, theta).a, 0.0, atol=1e-15)


def test_total_reflection_into_a_thinner_plate():
    # From a dense medium beyond the critical angle no light enters the plate.
    stack = Stack(Constant(1.7), (), substrate=Substrate(Constant(1.3), 1e6))
    spectrum = stack.spectrum([500.0, 600.0], 1.2)
    np.testing.assert_allclose(spectrum.r, 1.0, rtol=1e-14)
    assert np.all(spectrum.t == 0.0)


def test_forward_cos_branch():
    kx = np.array([0.0, 0.5, 1.2, 0.5]) + 0j
    n = np.array([1.5, 1.5, 1.0, 1.5 + 0.1j])
    c = forward_cos(n, kx)
    nc = n * c
    assert c[0] == 1.0 and nc[1].real > 0
    assert nc[2].imag > 0 and nc[3].imag > 0  # evanescent and lossy waves decay forward
    np.testing.assert_allclose((n * np.sqrt(1 - c**2)), kx, atol=1e-15)


@pytest.mark.parametrize("theta", [0.0, 0.6, 1.2])
def test_absorbing_back_medium_uses_the_power_flux(theta):
    # lamina's η uses Re(n cos θ) for p too; the plate's T follows the flux, as tmm does.
    stack = Stack(Constant(1.2), (Layer(Constant(2.3 + 0.05j), 80.0),),
                  substrate=Substrate(Constant(1.6), 1e5, (Layer(Constant(1.38), 90.0),), Constant(1.5 + 0.3j)))
    for pol in ("s", "p"):
        spectrum = stack.spectrum([500.0, 700.0], theta, pol)
        for i, lam in enumerate((500.0, 700.0)):
            expected = peer(pol, stack, lam, theta)
            assert spectrum.r[i] == pytest.approx(expected["R"], rel=1e-12)
            assert spectrum.t[i] == pytest.approx(expected["T"], rel=1e-12)


def test_partial_coherence_spans_coherent_to_incoherent():
    stack = Stack(AIR, (Layer(Constant(1.38), 100.0),),
                  substrate=Substrate(Constant(1.5 + 1e-5j), 2e4, (Layer(Constant(2.0), 70.0),)))
    wl = np.linspace(500.0, 700.0, 11)
    coherent = stack.coherent().spectrum(wl, 0.3, "p")
    sharp = stack.partially_coherent(wl, 0.0, 0.3, "p", samples=1)
    np.testing.assert_array_equal(sharp.r, coherent.r)
    incoherent = stack.spectrum(wl, 0.3, "p")
    assert np.abs(coherent.r - incoherent.r).max() > 0.05  # fringes of a 20 µm plate
    # A band spanning ~10 fringes washes them out.
    broad = stack.partially_coherent(wl, 60.0, 0.3, "p", samples=600)
    np.testing.assert_allclose(broad.r, incoherent.r, atol=5e-3)
    np.testing.assert_allclose(broad.t, incoherent.t, atol=5e-3)
    with pytest.raises(ValueError, match="substrate"):
        stack.coherent().partially_coherent(wl, 1.0)
    with pytest.raises(ValueError, match="bandwidth"):
        stack.partially_coherent(wl, -1.0)
