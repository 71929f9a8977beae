"""Phases, Ψ/Δ, group delay and GDD of stacks against closed forms, tmm and a 40-digit solver."""

from __future__ import annotations

import cmath
import math

import mpmath
import numpy as np
import pytest

from lamina_design.materials import Cauchy, Constant, DrudeLorentz, Sellmeier, index_derivatives
from lamina_design.materials.dispersion import difference_derivatives
from lamina_design.optics import C_NM_PER_FS, phase_spectrum, psi_delta
from lamina_design.stack import Layer, Stack

import mp_reference

tmm = pytest.importorskip("tmm")
mp = mpmath.mp

BK7 = Sellmeier(((1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653)), name="BK7")
HIGH = Cauchy(2.2, 0.025, 0.001, name="high")
LOW = Cauchy(1.45, 0.0035, name="low")


def _cos(n, sin0):
    c = cmath.sqrt(1 - (sin0 / n) ** 2)
    return c if (n * c).imag > 0 or ((n * c).imag == 0 and (n * c).real >= 0) else -c


@pytest.mark.parametrize("pol", ["s", "p"])
@pytest.mark.parametrize("gap_nm", [400.0, 2500.0])
def test_gires_tournois_delay_matches_closed_form(pol, gap_nm):
    # A gap behind a partial reflector, closed by total internal reflection: |r| = 1 and
    # r = (a + e^{iδ}) / (1 + a e^{iδ}), so GD = τ(1 − a²)/(1 + a² + 2a cos δ) and
    # GDD = τ²·2a(1 − a²) sin δ/(1 + a² + 2a cos δ)², τ = 2 n_g cos θ_g d / c.
    n0, ng, nb, theta = 1.8, 1.5, 1.0, math.radians(40.0)
    stack = Stack(Constant(n0), (Layer(Constant(ng), gap_nm),), exit=Constant(nb))
    wl = np.linspace(700.0, 900.0, 41)
    result = phase_spectrum(stack, wl, theta)
    sin0 = n0 * math.sin(theta)
    c0, cg, cb = _cos(n0, sin0), _cos(ng, sin0), _cos(nb, sin0)
    if pol == "s":
        a = (n0 * c0 - ng * cg) / (n0 * c0 + ng * cg)
        back = (ng * cg - nb * cb) / (ng * cg + nb * cb)
    else:
        a = (ng * c0 - n0 * cg) / (ng * c0 + n0 * cg)
        back = (nb * cg - ng * cb) / (nb * cg + ng * cb)
    a = a.real
    assert abs(back) == pytest.approx(1.0)
    delta = 4 * math.pi * ng * cg.real * gap_nm / wl + cmath.phase(back)
    r = (a + np.exp(1j * delta)) / (1 + a * np.exp(1j * delta))
    tau = 2 * ng * cg.real * gap_nm / C_NM_PER_FS
    den = 1 + a * a + 2 * a * np.cos(delta)
    k = 0 if pol == "s" else 1
    np.testing.assert_allclose(result.r[k], r, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.gd_r[k], tau * (1 - a * a) / den, rtol=1e-9)
    gdd = tau**2 * 2 * a * (1 - a * a) * np.sin(delta) / den**2
    np.testing.assert_allclose(result.gdd_r[k], gdd, rtol=1e-8, atol=1e-9 * np.abs(gdd).max())


def quarter_wave_mirror(pairs=6, centre=800.0, incidence=Constant(1.0, "air")):
    layers = []
    for _ in range(pairs):
        for material in (HIGH, LOW):
            n = float(material.index(np.array([centre]))[0].real)
            layers.append(Layer(material, centre / (4 * n)))
    return Stack(incidence, tuple(layers), exit=BK7)


def mp_cauchy(material):
    return lambda wl: material.a + material.b / (wl / 1000) ** 2 + material.c / (wl / 1000) ** 4


def mp_sellmeier(material):
    def n(wl):
        u = (wl / 1000) ** 2
        return mp.sqrt(material.a + sum(b * u / (u - c) for b, c in material.terms))
    return n


@pytest.mark.parametrize("theta, pol", [(0.0, "s"), (0.5, "p"), (0.5, "s")])
@pytest.mark.parametrize("wl", [800.0, 760.0])
def test_dispersive_quarter_wave_mirror_delays_match_40_digit_reference(theta, pol, wl):
    mp.dps = 40
    stack = quarter_wave_mirror(incidence=BK7 if theta else Constant(1.0))
    models = [mp_sellmeier(BK7) if theta else (lambda _: mp.mpf(1))]
    models += [mp_cauchy(layer.material) for layer in stack.layers] + [mp_sellmeier(BK7)]
    d = [mp.mpf(layer.thickness_nm) for layer in stack.layers]
    result = phase_spectrum(stack, [wl], theta)
    omega = 2 * mp.pi * mp_reference.C / wl
    k = 0 if pol == "s" else 1
    for which, gd, gdd in ((0, result.gd_r, result.gdd_r), (1, result.gd_t, result.gdd_t)):
        ref_gd, ref_gdd = mp_reference.delays(d, lambda x: [m(x) for m in models], omega,
                                             mp.sin(mp.mpf(theta)), pol, which)
        assert gd[k, 0] == pytest.approx(float(ref_gd), rel=1e-9, abs=1e-12)
        assert gdd[k, 0] == pytest.approx(float(ref_gdd), rel=1e-7, abs=1e-9)


@pytest.mark.parametrize("seed", range(6))
def test_psi_delta_and_phases_match_tmm_on_random_stacks(seed):
    rng = np.random.default_rng(seed)
    count = int(rng.integers(1, 7))
    indices = [complex(rng.uniform(1.3, 2.6), rng.choice([0.0, rng.uniform(0, 0.3)])) for _ in range(count)]
    exit_n = complex(rng.uniform(1.4, 4.0), rng.uniform(0.0, 0.1))
    thick = rng.uniform(10.0, 300.0, count)
    theta = float(rng.uniform(0.0, 1.3))
    stack = Stack(Constant(1.0), tuple(Layer(Constant(n), d) for n, d in zip(indices, thick)), exit=Constant(exit_n))
    wl = np.linspace(350.0, 1000.0, 9)
    result = phase_spectrum(stack, wl, theta)
    psi, delta = psi_delta(stack, wl, [theta, 0.7])
    n_list, d_list = [1.0, *indices, exit_n], [np.inf, *thick, np.inf]
    for i, lam in enumerate(wl):
        e = tmm.ellips(n_list, d_list, theta, lam)
        assert result.psi_rad[i] == pytest.approx(e["psi"], abs=1e-12)
        assert math.remainder(result.delta_rad[i] - e["Delta"], 2 * math.pi) == pytest.approx(0.0, abs=1e-11)
        assert psi[0, i] == pytest.approx(math.degrees(e["psi"]), abs=1e-10)
        for k, pol in enumerate("sp"):
            c = tmm.coh_tmm(pol, n_list, d_list, theta, lam)
            assert result.r[k, i] == pytest.approx(c["r"], abs=1e-12)
            assert result.t[k, i] == pytest.approx(c["t"], abs=1e-12)
            assert math.remainder(result.phase_r[k, i] - cmath.phase(c["r"]), 2 * math.pi) == pytest.approx(0, abs=1e-10)
    other = tmm.ellips(n_list, d_list, 0.7, wl[0])
    assert psi[1, 0] == pytest.approx(math.degrees(other["psi"]), abs=1e-10)


@pytest.mark.parametrize(
    "material, mp_n",
    [
        (BK7, mp_sellmeier(BK7)),
        (Sellmeier(((0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2), (0.8974794, 9.896161**2)), a=1.2),
         None),
        (HIGH, mp_cauchy(HIGH)),
        (DrudeLorentz(1.5, 9.0, 0.07, ((0.8, 3.0, 0.5), (2.0, 5.0, 1.2))), None),
    ],
)
def test_analytic_dispersion_matches_mpmath_differentiation(material, mp_n):
    mp.dps = 40
    if mp_n is None and isinstance(material, Sellmeier):
        mp_n = mp_sellmeier(material)
    if mp_n is None:
        def mp_n(wl, m=material):
            e = mp.mpf("1239.841984") / wl
            eps = m.eps_inf - m.plasma_ev**2 / (e * e + 1j * m.damping_ev * e)
            for s, c, g in m.oscillators:
                eps += s * c * c / (c * c - e * e - 1j * g * e)
            return mp.sqrt(eps)
    wl = np.array([320.0, 550.0, 1310.0])
    n, first, second = index_derivatives(material, wl)
    for i, lam in enumerate(wl):
        x = mp.mpf(lam)
        assert complex(first[i]) == pytest.approx(complex(mp.diff(mp_n, x)), rel=1e-12, abs=1e-18)
        assert complex(second[i]) == pytest.approx(complex(mp.diff(mp_n, x, 2)), rel=1e-10, abs=1e-20)
    # The difference scheme other models use agrees to its documented accuracy.
    _, approx_first, approx_second = difference_derivatives(material, wl)
    np.testing.assert_allclose(approx_first, first, rtol=1e-6)
    np.testing.assert_allclose(approx_second, second, rtol=1e-4)


METAL = Constant(0.2 + 3.5j, "metal")


@pytest.mark.parametrize("pol", ["s", "p"])
@pytest.mark.parametrize("thickness_nm", [8300.0, 9000.0, 10000.0])
def test_delays_of_t_stay_exact_where_t_is_tiny(thickness_nm, pol):
    # |t| from 1e-153 to 1e-192: t'/t is finite though |t|² is not representable.
    mp.dps = 40
    theta, wl = 0.4, 500.0
    stack = Stack(Constant(1.0), (Layer(METAL, thickness_nm),), exit=Constant(1.5))
    result = phase_spectrum(stack, [wl], theta)
    omega = 2 * mp.pi * mp_reference.C / wl
    media = [mp.mpf(1), mp.mpc(0.2, 3.5), mp.mpf(1.5)]
    gd, gdd = mp_reference.delays([mp.mpf(thickness_nm)], lambda _: media, omega, mp.sin(mp.mpf(theta)), pol, 1)
    k = 0 if pol == "s" else 1
    assert 0 < abs(result.t[k, 0]) < 1e-150
    assert result.gd_t[k, 0] == pytest.approx(float(gd), rel=1e-12)
    assert result.gdd_t[k, 0] == pytest.approx(float(gdd), abs=1e-12)


def test_delays_of_t_are_given_where_t_underflows_and_its_phase_is_not():
    # 1 m of metal: t is 0 in float64, yet arg t = k0·Re(q)·d + const exactly (the multiple
    # reflections are e^{-4e7} down), so GD_t = Re(q)·d/c and GDD_t = 0 for constant indices.
    theta, d = 0.4, 1e9
    stack = Stack(Constant(1.0), (Layer(METAL, d),), exit=Constant(1.5))
    with pytest.warns(RuntimeWarning, match="phase_t NaN"):
        result = phase_spectrum(stack, [500.0, 800.0], theta)
    assert np.all(result.t == 0)
    assert np.all(np.isnan(result.phase_t))
    q = cmath.sqrt((0.2 + 3.5j) ** 2 - math.sin(theta) ** 2)
    np.testing.assert_allclose(result.gd_t, q.real * d / C_NM_PER_FS, rtol=1e-12)
    np.testing.assert_allclose(result.gdd_t, 0.0, atol=1e-6)


def test_delays_of_t_deep_in_a_stop_band_where_t_underflows():
    # 700 pairs of a high-contrast quarter-wave mirror: |t| < 5e-324 at 1010 nm.
    mp.dps = 40
    high, low = 4.0, 1.38
    layers = tuple(Layer(Constant(n), 1000.0 / (4 * n)) for _ in range(700) for n in (high, low))
    stack = Stack(Constant(1.0), layers, exit=Constant(1.5))
    with pytest.warns(RuntimeWarning, match="1010 nm"):
        result = phase_spectrum(stack, [1010.0])
    media = [mp.mpf(1)] + [mp.mpf(high), mp.mpf(low)] * 700 + [mp.mpf(1.5)]
    d = [mp.mpf(layer.thickness_nm) for layer in layers]
    gd, gdd = mp_reference.delays(d, lambda _: media, 2 * mp.pi * mp_reference.C / 1010, mp.mpf(0), "s", 1)
    assert result.t[0, 0] == 0
    assert result.gd_t[0, 0] == pytest.approx(float(gd), rel=1e-9)
    assert result.gdd_t[0, 0] == pytest.approx(float(gdd), rel=1e-7)


def _plate_stacks():
    """A coating on an incoherent 100 µm plate with a coated back, and the same coating on the
    plate's material as a half-infinite exit medium (what the coated side's amplitudes are)."""
    plate = Constant(1.52 + 1e-6j, "plate")
    front = (Layer(HIGH, 95.0), Layer(LOW, 140.0))
    with_plate = Stack(Constant(1.0), (*front, Layer(plate, 1e5, coherent=False), Layer(HIGH, 60.0)),
                       exit=Constant(1.0))
    return with_plate, Stack(Constant(1.0), front, exit=plate), with_plate.coherent()


def test_amplitudes_of_a_stack_with_an_incoherent_layer_are_its_front_coatings():
    from lamina_design import ellipsometry
    from lamina_design.refine import Target, refine

    wl = np.linspace(500.0, 700.0, 5)
    with_plate, front, coherent = _plate_stacks()
    got, want, through = (phase_spectrum(s, wl, 0.3) for s in (with_plate, front, coherent))
    np.testing.assert_array_equal(got.r, want.r)
    np.testing.assert_array_equal(got.gd_r, want.gd_r)
    assert np.max(np.abs(got.r - through.r)) > 1e-3  # the coherent plate's fringes differ
    np.testing.assert_array_equal(psi_delta(with_plate, wl, [0.3, 1.1])[1], psi_delta(front, wl, [0.3, 1.1])[1])
    np.testing.assert_array_equal(ellipsometry.model(with_plate, wl, 70.0)[0], ellipsometry.model(front, wl, 70.0)[0])
    targets = [Target("delta", wl, 100.0, 1.0, angle_rad=1.2), Target("GD_r", wl, 5.0, 1.0, polarisation="s")]
    costs = [refine(s, targets, vary=[0, 1], max_nfev=1).cost_before for s in (with_plate, front)]
    assert costs[0] == pytest.approx(costs[1], rel=1e-14)
