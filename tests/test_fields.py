"""Fields, Poynting flux and absorbed power against tmm, energy conservation, and the hard cases
(a layer at its critical angle, a thick absorber) against closed forms."""

import math

import numpy as np
import pytest
import tmm

import lamina
from lamina_design import _engine

from helpers import ticks_during

POLS = ("s", "p")


def random_batch(seed, stacks=3, wavelengths=4, absorbing_exit=True):
    rng = np.random.default_rng(seed)
    k = int(rng.integers(3, 8))
    d = rng.uniform(5.0, 300.0, (stacks, k - 2))
    n = rng.uniform(1.3, 2.6, (stacks, k, wavelengths)) + 1j * rng.uniform(0.0, 0.4, (stacks, k, wavelengths)) * (
        rng.random((stacks, k, 1)) < 0.5
    )
    n[:, 0] = rng.uniform(1.0, 1.6, (stacks, 1))  # tmm wants a lossless incidence medium
    if not absorbing_exit:
        n[:, -1] = n[:, -1].real
    wl = np.sort(rng.uniform(350.0, 1100.0, wavelengths))
    theta = np.array([0.0, rng.uniform(0.1, 1.4)])
    return d, n, wl, theta


def tmm_data(pol, d, n, wl, theta):
    return tmm.coh_tmm(pol, list(n), [np.inf] + list(d) + [np.inf], theta, wl)


def evanescent_gap():
    # Frustrated total reflection: the gap's field fades by e^-3.5, built from both sides.
    d = np.array([[40.0, 350.0, 55.0]])
    n = np.array([1.7, 1.45, 1.0, 1.38 + 0.002j, 1.7], complex)[None, :, None] * np.ones(2)
    return d, n, np.array([633.0, 700.0]), np.array([1.0, 0.9])


@pytest.mark.parametrize("batch", [random_batch(seed) for seed in range(5)] + [evanescent_gap()],
                         ids=[f"random{seed}" for seed in range(5)] + ["evanescent-gap"])
def test_fields_and_absorption_match_tmm(batch):
    d, n, wl, theta = batch
    total = d.sum(axis=1).max()
    # Both half-infinite media, every layer, and every boundary of the first stack.
    z = np.concatenate([[-130.0, -1.0], np.linspace(0.0, total, 23), np.cumsum(d[0]), [total + 40.0]])
    e_t, e_n, poyn, absor = _engine.fields(d, n, wl, theta, z)
    absorbed = _engine.absorbed(d, n, wl, theta)
    for k, pol in enumerate(POLS):
        for b in range(d.shape[0]):
            bounds = [np.inf] + list(d[b]) + [np.inf]
            boundaries = np.concatenate([[0.0], np.cumsum(d[b])])
            for a in range(len(theta)):
                for w in range(len(wl)):
                    data = tmm_data(pol, d[b], n[b, :, w], wl[w], theta[a])
                    np.testing.assert_allclose(
                        absorbed[k, b, a, w], tmm.absorp_in_each_layer(data)[1:-1], rtol=0, atol=1e-12
                    )
                    for i, depth in enumerate(z):
                        layer, distance = tmm.find_in_structure_with_inf(bounds, depth)
                        if layer == 0:
                            distance = depth  # tmm measures the incidence medium from its boundary, negative
                        ref = tmm.position_resolved(layer, distance, data)
                        tangential = ref["Ey"] if pol == "s" else ref["Ex"]
                        normal = 0.0 if pol == "s" else ref["Ez"]
                        got = (e_t[k, b, a, w, i], e_n[k, b, a, w, i], poyn[k, b, a, w, i], absor[k, b, a, w, i])
                        expected = (tangential, normal, ref["poyn"], ref["absor"])
                        if np.min(np.abs(depth - boundaries)) < 1e-9:
                            # At a boundary E_z and the absorbed density jump; E_x, E_y and the flux do not.
                            got, expected = (got[0], got[2]), (expected[0], expected[2])
                        for g, e in zip(got, expected):
                            assert abs(g - e) <= 1e-10 * max(1.0, abs(e)), (pol, depth, got, expected)


@pytest.mark.parametrize("seed", range(8))
def test_reflected_transmitted_and_absorbed_power_add_up_to_one(seed):
    d, n, wl, theta = random_batch(100 + seed, stacks=4, wavelengths=6, absorbing_exit=False)
    absorbed = _engine.absorbed(d, n, wl, theta).sum(axis=-1)
    for k, phi in enumerate((0.0, math.pi / 2)):
        for b in range(d.shape[0]):
            for a in range(len(theta)):
                spectra = lamina.DataPy(d[b], n[b], wl, float(theta[a]), phi).simulate()
                np.testing.assert_allclose(spectra.r + spectra.t + absorbed[k, b, a], 1.0, rtol=0, atol=1e-12)


def critical_batch():
    theta = 0.8
    n0 = 1.6
    kx = n0 * math.sin(theta)  # the layer's index: exactly at its critical angle
    d = np.array([[70.0, 150.0, 90.0]])
    n = np.array([n0, 2.0 + 0.05j, kx, 1.8, 1.5], complex)[:, None]
    return d, n, np.array([620.0]), np.array([theta])


def test_layer_at_its_critical_angle_has_a_linear_finite_field():
    d, n, wl, theta = critical_batch()
    z = d[0, 0] + d[0, 1] * np.array([0.0, 0.5, 1.0])
    z[-1] = np.nextafter(z[-1], 0.0)  # still inside: E_z jumps at the boundary
    e_t, e_n, poyn, absor = _engine.fields(d, n, wl, theta, z)
    assert np.all(np.isfinite(e_t)) and np.all(np.isfinite(e_n)) and np.all(np.isfinite(poyn))
    # sigma = 0 makes the layer's wave equation E'' = 0: E (s) and H (p, so E_z) are linear in z.
    for field in (e_t[0, 0, 0, 0], e_n[1, 0, 0, 0]):
        np.testing.assert_allclose(field[1], 0.5 * (field[0] + field[2]), rtol=1e-12)
    # The physics is continuous through the critical angle: tmm just beside it agrees.
    for k, pol in enumerate(POLS):
        data = tmm_data(pol, d[0], n[:, 0], wl[0], theta[0] + 1e-9)
        ref = tmm.position_resolved(2, 0.5 * d[0, 1], data)
        np.testing.assert_allclose(e_t[k, 0, 0, 0, 1], ref["Ey"] if pol == "s" else ref["Ex"], rtol=1e-6)
        np.testing.assert_allclose(
            _engine.absorbed(d, n, wl, theta)[k, 0, 0, 0], tmm.absorp_in_each_layer(data)[1:-1], atol=1e-7
        )


@pytest.mark.parametrize("pol", [0, 1])
def test_thick_absorber_field_decays_as_in_a_half_infinite_one(pol):
    # exp(-k0 Im(q) d) is far below the smallest double: the layer acts as a half-infinite medium.
    n0, n1, ne, wl, theta, thickness = 1.45, 0.3 + 4.0j, 1.5, 550.0, 0.6, 1.0e5
    d = np.array([[thickness]])
    n = np.array([n0, n1, ne], complex)[:, None]
    z = np.array([-50.0, 0.0, 10.0, 300.0, 2000.0, 0.5 * thickness, thickness + 10.0])
    e_t, e_n, poyn, absor = _engine.fields(d, n, np.array([wl]), np.array([theta]), z)
    absorbed = _engine.absorbed(d, n, np.array([wl]), np.array([theta]))
    for out in (e_t, e_n, poyn, absor, absorbed):
        assert np.all(np.isfinite(out))
    kx = n0 * math.sin(theta)
    q0, q1 = (np.sqrt(complex(x * x - kx * kx)) for x in (n0, n1))
    if pol == 0:
        r01, t01, mode = (q0 - q1) / (q0 + q1), 2 * q0 / (q0 + q1), 1.0
    else:
        c0, c1 = q0 / n0, q1 / n1
        den = n1 * c0 + n0 * c1
        r01, t01, mode = (n1 * c0 - n0 * c1) / den, 2 * n0 * c0 / den, c1
    k0 = 2 * math.pi / wl
    inside = z[1:5]
    expected = t01 * mode * np.exp(1j * k0 * q1 * inside)
    # To rounding: the field near the front does not carry the rounding of the whole layer's phase.
    np.testing.assert_allclose(e_t[pol, 0, 0, 0, 1:5], expected, rtol=1e-14, atol=1e-300)
    assert e_t[pol, 0, 0, 0, 5] == 0 and e_t[pol, 0, 0, 0, 6] == 0  # below the smallest double
    np.testing.assert_allclose(absorbed[pol, 0, 0, 0, 0], 1 - abs(r01) ** 2, rtol=1e-13)
    # In front: E_y = f + b for s, E_x = c (f - b) for p (tmm's signs).
    forward, backward = np.exp(1j * k0 * q0 * -50.0), r01 * np.exp(-1j * k0 * q0 * -50.0)
    front = forward + backward if pol == 0 else (q0 / n0) * (forward - backward)
    np.testing.assert_allclose(e_t[pol, 0, 0, 0, 0], front, rtol=1e-12)


def test_preallocated_outputs_and_named_errors():
    d, n, wl, theta = random_batch(3, stacks=2, wavelengths=3)
    z = np.linspace(-10.0, 400.0, 7)
    fresh = _engine.fields(d, n, wl, theta, z)
    out = tuple(np.empty_like(a) for a in fresh)
    returned = _engine.fields(d, n, wl, theta, z, out=out)
    for a, b, c in zip(fresh, out, returned):
        assert c is b
        np.testing.assert_array_equal(a, b)
    absorbed = np.empty((2, 2, 2, 3, d.shape[1]))
    assert _engine.absorbed(d, n, wl, theta, out=absorbed) is absorbed
    with pytest.raises(ValueError, match=r"out\[2\]"):
        _engine.fields(d, n, wl, theta, z, out=out[:2] + (np.empty((1,)),) + out[3:])
    with pytest.raises(ValueError, match="z: expected shape"):
        _engine.fields(d, n, wl, theta, z[None])
    with pytest.raises(TypeError, match="out: expected"):
        _engine.absorbed(d, n, wl, theta, out=absorbed.astype(np.float32))


def test_grazing_incidence_gives_the_limit_not_nan():
    # theta = pi/2 makes sin theta exactly 1: q_0 = 0, r = -1, t = 0, nothing enters.
    d = np.array([[100.0, 40.0]])
    n = np.array([1.5, 1.8 + 0.1j, 2.0, 1.0], complex)[:, None] * np.ones(2)
    wl, theta = np.array([500.0, 700.0]), np.array([math.pi / 2])
    e_t, e_n, poyn, absor = _engine.fields(d, n, wl, theta, np.array([-20.0, 0.0, 70.0, 130.0, 200.0]))
    for out in (e_t, e_n, poyn, absor, _engine.absorbed(d, n, wl, theta)):
        np.testing.assert_array_equal(out, 0.0)
    big_r, big_t, jr, jt = _engine.power_jacobian(d, n, wl, theta)
    np.testing.assert_array_equal(big_r, 1.0)
    for out in (big_t, jr, jt) + _engine.amplitude_derivatives(d, n, wl, theta):
        np.testing.assert_array_equal(out, 0.0)
    dn = np.full(n.shape, -1e-4 + 0j)
    r, dr, d2r, t, dt, d2t = _engine.wavenumber_derivatives(d, n, wl, theta, dn_dwl=dn, d2n_dwl2=dn)
    np.testing.assert_allclose(r, -1.0, atol=1e-15)
    length = 100.0 * 1.8 + 40.0 * 2.0  # rounding's natural size: |r| times powers of the optical length
    for order, out in ((1, dr), (2, d2r), (0, t), (1, dt), (2, d2t)):
        assert np.all(np.isfinite(out)) and np.max(np.abs(out)) < 1e-14 * length**order


@pytest.mark.parametrize("call", ["fields", "power_jacobian", "wavenumber_derivatives"])
def test_another_thread_runs_during_a_long_batch(call):
    rng = np.random.default_rng(4)
    d, n = rng.uniform(0, 300, (200, 20)), np.full((22, 300), 1.7 + 0.02j)
    wl, theta = np.linspace(400, 900, 300), np.array([0.3])
    extra = (np.linspace(0, 3000, 8),) if call == "fields" else ()
    elapsed, during = ticks_during(lambda: getattr(_engine, call)(d, n, wl, theta, *extra))
    assert elapsed > 0.05, "the batch is too short to tell"
    assert during >= 5, "the batch held the GIL"
