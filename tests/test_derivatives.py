"""Exact derivatives of r, t, R and T against a 40-digit reference, and GD/GDD against closed forms.

The reference is an independent characteristic-matrix solver in mpmath (interface and propagation
matrices, tmm's conventions), differentiated numerically at 40 digits; the engine works with the
tangential fields and pairs them through each layer's derivative instead.
"""

import math
import os
import subprocess
import sys

import mpmath
import numpy as np
import pytest

from lamina_design import _engine

mp = mpmath.mp
POLS = ("s", "p")


def mp_amplitudes(d, n, wl, sin_theta, pol):
    """r and t of one stack at 40 digits: M = D_01 P_1 D_12 ... P_{K-2} D_{K-2,K-1}."""
    k0 = 2 * mp.pi / wl
    kx = n[0] * sin_theta
    q = [mp.sqrt(x * x - kx * kx) for x in n]
    m = mp.eye(2)
    for i in range(len(n) - 1):
        j = i + 1
        if i > 0:
            delta = k0 * q[i] * d[i - 1]
            m = m * mp.matrix([[mp.exp(-1j * delta), 0], [0, mp.exp(1j * delta)]])
        if pol == "s":
            r, t = (q[i] - q[j]) / (q[i] + q[j]), 2 * q[i] / (q[i] + q[j])
        else:
            ci, cj = q[i] / n[i], q[j] / n[j]
            den = n[j] * ci + n[i] * cj
            r, t = (n[j] * ci - n[i] * cj) / den, 2 * n[i] * ci / den
        m = m * mp.matrix([[1 / t, r / t], [r / t, 1 / t]])
    return m[1, 0] / m[0, 0], 1 / m[0, 0]


def to_mp(values):
    return [mp.mpc(complex(v)) for v in values]


def engine_derivatives(d, n, wl, theta):
    """The engine's (dr_dd, dt_dd, dr_dn, dt_dn) for one stack, one wavelength, one angle."""
    out = _engine.amplitude_derivatives(
        np.asarray([d], float), np.asarray(n, complex)[:, None], np.array([wl]), np.array([theta])
    )
    return [a[:, 0, 0, 0] for a in out]


def close(engine, reference, rel=1e-10, natural=0.0):
    """Agreement to rel of the largest reference entry, or of the quantity's natural size
    (k0 for d r / d d_j, 1 for d r / d n_m, |t| times those for t) where that is larger:
    a derivative that the physics makes exp(-300) times smaller is known to that size."""
    reference = np.array([complex(x) for x in reference])
    scale = max(np.max(np.abs(reference)), natural)
    assert np.all(np.isfinite(engine)), engine
    np.testing.assert_allclose(engine, reference, rtol=0, atol=rel * scale)


def critical_stack():
    # The second layer sits exactly at its critical angle: its index is n_0 sin(theta).
    theta = 0.9
    kx = 1.5 * math.sin(theta)
    return [80.0, 120.0, 95.0], [1.5, 2.1 + 0.01j, kx, 1.9, 1.45], 700.0, theta


def thick_absorber():
    # exp(-Im delta) far below the smallest double: t underflows, r and dr stay finite.
    return [120.0, 2.0e5, 60.0], [1.0, 1.8, 0.25 + 3.2j, 1.6, 1.52], 500.0, 0.4


def absorbers_in_series():
    # Each layer alone fits a double (exp(150)), all three do not: t ~ exp(-450) still does.
    return [24000.0, 24000.0, 24000.0], [1.0, 1.5 + 0.5j, 1.6 + 0.5j, 1.4 + 0.5j, 1.5], 500.0, 0.3


def one_layer_past_exp_600():
    # A layer whose growth is carried as a power of two (|Im delta| ~ 650) while t ~ 1e-282 fits.
    return [50.0, 103000.0, 50.0], [1.0, 1.9, 1.5 + 0.5j, 1.9, 1.5], 500.0, 0.3


def frustrated_total_reflection():
    # An evanescent gap between two glasses beyond the critical angle.
    return [40.0, 350.0, 55.0], [1.7, 1.45, 1.0, 1.38 + 0.002j, 1.7], 633.0, 1.0


def random_stack(seed):
    rng = np.random.default_rng(seed)
    k = int(rng.integers(3, 8))
    d = list(rng.uniform(10.0, 400.0, k - 2))
    n = [1.0 + 0.3 * rng.random()]
    n += [complex(rng.uniform(1.3, 2.5), rng.uniform(0.0, 0.3) * (rng.random() < 0.5)) for _ in range(k - 2)]
    n += [complex(rng.uniform(1.0, 3.5), rng.uniform(0.0, 0.5) * (rng.random() < 0.5))]
    return d, n, float(rng.uniform(350.0, 1100.0)), float(rng.uniform(0.0, 1.3))


def absorbing_incidence_medium():
    # xi = (n_0 sin theta)^2 is complex: every medium's sigma moves with n_0.
    return [90.0, 140.0], [1.4 + 0.05j, 2.2 + 0.1j, 1.5, 1.7 + 0.3j], 550.0, 0.7


CASES = [pytest.param(random_stack(seed), id=f"random{seed}") for seed in range(6)] + [
    pytest.param(absorbing_incidence_medium(), id="absorbing-incidence"),
    pytest.param(critical_stack(), id="critical-layer"),
    pytest.param(thick_absorber(), id="thick-absorber"),
    pytest.param(absorbers_in_series(), id="absorbers-in-series"),
    pytest.param(one_layer_past_exp_600(), id="past-exp-600"),
    pytest.param(frustrated_total_reflection(), id="evanescent-gap"),
]


@pytest.mark.parametrize("case", CASES)
def test_amplitude_derivatives_match_40_digit_reference(case):
    d, n, wl, theta = case
    dr_dd, dt_dd, dr_dn, dt_dn = engine_derivatives(d, n, wl, theta)
    mp.dps = 40
    sin_theta = mp.mpf(math.sin(theta))
    for k, pol in enumerate(POLS):
        def r_and_t(dd, nn):
            return mp_amplitudes([mp.mpf(x) for x in dd], nn, mp.mpf(wl), sin_theta, pol)

        ref = {"r_d": [], "t_d": [], "r_n": [], "t_n": []}
        for j in range(len(d)):
            def along(x, j=j):
                dd = list(d)
                dd[j] = x
                return r_and_t(dd, to_mp(n))

            h = mp.mpf("1e-12")
            up, down = along(mp.mpf(d[j]) + h), along(mp.mpf(d[j]) - h)
            ref["r_d"].append((up[0] - down[0]) / (2 * h))
            ref["t_d"].append((up[1] - down[1]) / (2 * h))
        for m in range(len(n)):
            def along_n(x, m=m):
                nn = to_mp(n)
                nn[m] = x
                return r_and_t(d, nn)

            h = mp.mpf("1e-12")
            up, down = along_n(to_mp(n)[m] + h), along_n(to_mp(n)[m] - h)
            ref["r_n"].append((up[0] - down[0]) / (2 * h))
            ref["t_n"].append((up[1] - down[1]) / (2 * h))
        k0 = 2 * math.pi / wl
        close(dr_dd[k], ref["r_d"], natural=k0)
        close(dr_dn[k], ref["r_n"], natural=1.0)
        t = abs(complex(r_and_t(d, to_mp(n))[1]))
        if t > 1e-290:
            close(dt_dd[k], ref["t_d"], natural=k0 * t)
            close(dt_dn[k], ref["t_n"], natural=t)
        else:
            assert np.all(dt_dd[k] == 0) and np.all(dt_dn[k] == 0)


@pytest.mark.parametrize("flux", [False, True], ids=["eta", "flux"])
@pytest.mark.parametrize("case", CASES[:3] + CASES[-5:])
def test_power_jacobian_matches_reference(case, flux):
    d, n, wl, theta = case
    big_r, big_t, jr, jt = _engine.power_jacobian(
        np.asarray([d]), np.asarray(n, complex)[:, None], np.array([wl]), np.array([theta]), convention="flux" if flux else "eta"
    )
    mp.dps = 40
    sin_theta = mp.mpf(math.sin(theta))
    nn = to_mp(n)
    q0, qe = [mp.sqrt(x * x - (nn[0] * sin_theta) ** 2) for x in (nn[0], nn[-1])]
    for k, pol in enumerate(POLS):
        if not flux:
            eta = mp.re(qe / (nn[0] * mp.cos(mp.mpf(theta))))
        elif pol == "s":
            eta = mp.re(qe) / mp.re(q0)
        else:
            eta = mp.re(nn[-1] * mp.conj(qe / nn[-1])) / mp.re(nn[0] * mp.conj(q0 / nn[0]))

        def powers(dd):
            r, t = mp_amplitudes([mp.mpf(x) for x in dd], nn, mp.mpf(wl), sin_theta, pol)
            return abs(r) ** 2, abs(t) ** 2 * eta

        value = powers(d)
        np.testing.assert_allclose(big_r[k, 0, 0, 0], float(value[0]), rtol=1e-12)
        np.testing.assert_allclose(big_t[k, 0, 0, 0], float(value[1]), rtol=1e-12, atol=1e-300)
        ref_r, ref_t = [], []
        for j in range(len(d)):
            h = mp.mpf("1e-12")
            up = powers([x + h if i == j else x for i, x in enumerate(d)])
            down = powers([x - h if i == j else x for i, x in enumerate(d)])
            ref_r.append((up[0] - down[0]) / (2 * h))
            ref_t.append((up[1] - down[1]) / (2 * h))
        k0 = 2 * math.pi / wl
        close(jr[k, 0, 0, 0], ref_r, natural=k0 * math.sqrt(float(value[0])))
        if float(value[1]) > 1e-290:
            close(jt[k, 0, 0, 0], ref_t, natural=k0 * float(value[1]))


def cauchy(a, b, kappa, wl):
    """n = a + b / wl^2 + i kappa, with its first two derivatives in wl."""
    return a + b / wl**2 + 1j * kappa, -2 * b / wl**3, 6 * b / wl**4


@pytest.mark.parametrize("dispersive", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_wavenumber_derivatives_match_reference(seed, dispersive):
    rng = np.random.default_rng(100 + seed)
    k = 6
    d = rng.uniform(30.0, 300.0, k - 2)
    a = rng.uniform(1.3, 2.4, k)
    a[0] = 1.0
    b = rng.uniform(0.0, 2.0e4, k) * dispersive
    kappa = np.where(rng.random(k) < 0.4, rng.uniform(0.0, 0.1, k), 0.0)
    kappa[0] = 0.0
    wl, theta = float(rng.uniform(400.0, 1000.0)), float(rng.uniform(0.0, 1.2))
    n, dn, d2n = cauchy(a, b, kappa, wl)
    out = _engine.wavenumber_derivatives(
        d[None], n[:, None], np.array([wl]), np.array([theta]), dn_dwl=dn[:, None] + 0j, d2n_dwl2=d2n[:, None] + 0j
    )
    mp.dps = 40
    sin_theta = mp.mpf(math.sin(theta))
    k0 = 2 * mp.pi / mp.mpf(wl)
    for p, pol in enumerate(POLS):
        for which in (0, 1):  # r, then t
            def f(kk):
                lam = 2 * mp.pi / kk
                nn = [mp.mpf(a[i]) + mp.mpf(b[i]) / lam**2 + 1j * mp.mpf(kappa[i]) for i in range(k)]
                return mp_amplitudes([mp.mpf(x) for x in d], nn, lam, sin_theta, pol)[which]

            ref = [f(k0), mp.diff(f, k0, 1), mp.diff(f, k0, 2)]
            got = [out[3 * which + i][p, 0, 0, 0] for i in range(3)]
            for g, r in zip(got, ref):
                np.testing.assert_allclose(g, complex(r), rtol=1e-10)


def gires_tournois(pol, wl):
    """r of a Gires-Tournois layer: glass, a lossless layer, air beyond total reflection."""
    n0, n1, ne, d, theta = 1.5, 2.0, 1.0, 500.0, math.pi / 4
    return n0, n1, ne, d, theta


@pytest.mark.parametrize("pol", [0, 1])
def test_group_delay_of_gires_tournois_interferometer(pol):
    n0, n1, ne, d, theta = gires_tournois(pol, None)
    wl = np.linspace(700.0, 900.0, 41)
    n = np.array([[n0], [n1], [ne]], complex) * np.ones(len(wl))
    dphi, d2phi, _, _ = _engine.wavenumber_derivatives(
        np.array([[d]]), n, wl, np.array([theta]), phases=True
    )
    # Closed form: |r2| = 1 at the back, so r = (r1 + e^{i a}) / (1 + r1 e^{i a}) with
    # a = 2 k0 q1 d + arg r2, and dphi/da = (1 - r1^2) / (1 + r1^2 + 2 r1 cos a).
    kx2 = (n0 * math.sin(theta)) ** 2
    q0, q1, qe = (np.sqrt(complex(x * x - kx2)) for x in (n0, n1, ne))
    if pol == 0:
        r1, r2 = (q0 - q1) / (q0 + q1), (q1 - qe) / (q1 + qe)
    else:
        c0, c1, ce = q0 / n0, q1 / n1, qe / ne
        r1, r2 = (n1 * c0 - n0 * c1) / (n1 * c0 + n0 * c1), (ne * c1 - n1 * ce) / (ne * c1 + n1 * ce)
    r1 = r1.real
    assert abs(abs(r2) - 1) < 1e-15
    k0 = 2 * np.pi / wl
    alpha = 2 * k0 * q1.real * d + np.angle(r2)
    denominator = 1 + r1**2 + 2 * r1 * np.cos(alpha)
    gd = 2 * q1.real * d * (1 - r1**2) / denominator
    gdd = (2 * q1.real * d) ** 2 * (1 - r1**2) * 2 * r1 * np.sin(alpha) / denominator**2
    np.testing.assert_allclose(dphi[pol, 0, 0], gd, rtol=1e-10)
    np.testing.assert_allclose(d2phi[pol, 0, 0], gdd, rtol=1e-9, atol=1e-10 * np.max(np.abs(gdd)))
    assert np.all(dphi[pol, 0, 0] > 0)  # a delay: phases grow with frequency under exp(-i omega t)


def test_batch_equals_single_points_and_checks_dispersion_shape():
    rng = np.random.default_rng(7)
    b, k, w = 3, 5, 4
    d = rng.uniform(20, 200, (b, k - 2))
    n = rng.uniform(1.3, 2.3, (b, k, w)) + 1j * rng.uniform(0, 0.05, (b, k, w))
    wl = np.linspace(400, 800, w)
    theta = np.array([0.0, 0.6])
    batch = _engine.amplitude_derivatives(d, n, wl, theta)
    for s in range(b):
        for a in range(2):
            for i in range(w):
                single = engine_derivatives(d[s], n[s, :, i], wl[i], theta[a])
                for whole, one in zip(batch, single):
                    np.testing.assert_array_equal(whole[:, s, a, i], one)
    with pytest.raises(ValueError, match="dn_dwl"):
        _engine.wavenumber_derivatives(d, n, wl, theta, dn_dwl=np.zeros((k, w), complex))
    with pytest.raises(TypeError, match="d2n_dwl2"):
        _engine.wavenumber_derivatives(d, n, wl, theta, d2n_dwl2=np.zeros((b, k, w)))


@pytest.mark.parametrize("case", CASES[-5:])
def test_wavenumber_derivatives_on_hard_stacks(case):
    d, n, wl, theta = case
    out = _engine.wavenumber_derivatives(
        np.asarray([d]), np.asarray(n, complex)[:, None], np.array([wl]), np.array([theta])
    )
    mp.dps = 40
    sin_theta = mp.mpf(math.sin(theta))
    k0 = 2 * mp.pi / mp.mpf(wl)
    for p, pol in enumerate(POLS):
        for which in (0, 1):
            def f(kk):
                return mp_amplitudes([mp.mpf(x) for x in d], to_mp(n), 2 * mp.pi / kk, sin_theta, pol)[which]

            ref = [complex(f(k0)), complex(mp.diff(f, k0, 1)), complex(mp.diff(f, k0, 2))]
            got = [out[3 * which + i][p, 0, 0, 0] for i in range(3)]
            assert np.all(np.isfinite(got))
            if abs(ref[0]) == 0:
                assert got == [0, 0, 0]  # t below the smallest double
                continue
            # Where the physics makes a derivative vanish (r of an opaque stack hardly moves with
            # k0) it is known to its natural size: |value| times powers of the optical length.
            length = sum(x * abs(complex(m)) for x, m in zip(d, n[1:-1]))
            for order, (g, r) in enumerate(zip(got, ref)):
                np.testing.assert_allclose(g, r, rtol=1e-10, atol=1e-10 * abs(ref[0]) * length**order)


EVERY_FUNCTION_BYTES = """
import hashlib, numpy as np
from lamina_design import _engine
rng = np.random.default_rng(5)
for B, K, W, A in [(1, 6, 700, 1), (200, 5, 3, 2), (3, 9, 131, 2)]:
    d = rng.uniform(0, 400, (B, K - 2))
    n = rng.uniform(1.2, 2.5, (B, K, W)) + 1j * rng.uniform(0, 0.3, (B, K, W)) * (rng.random((B, K, 1)) < 0.5)
    wl, theta = rng.uniform(300, 1200, W), np.array([0.0, 0.9])[:A]
    dn = rng.normal(0, 1e-4, (B, K, W)) + 0j
    outputs = (_engine.amplitude_derivatives(d, n, wl, theta) + _engine.power_jacobian(d, n, wl, theta)
               + _engine.wavenumber_derivatives(d, n, wl, theta, dn_dwl=dn, d2n_dwl2=dn)
               + _engine.fields(d, n, wl, theta, np.linspace(-50, 900, 9)) + (_engine.absorbed(d, n, wl, theta),))
    print(hashlib.sha256(b"".join(a.tobytes() for a in outputs)).hexdigest())
"""


def test_every_function_gives_the_same_bits_on_any_number_of_threads():
    def run(threads):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", EVERY_FUNCTION_BYTES], env=env, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return done.stdout

    assert run("1") == run("2") == run("3")


def test_benchmark_script_runs():
    """The benchmark's quick run: every contender timed, the goal line and the agreement printed."""
    script = os.path.join(os.path.dirname(__file__), os.pardir, "benchmarks", "derivatives.py")
    done = subprocess.run([sys.executable, script, "--quick"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "full thickness Jacobian at K = 10:" in done.stdout and "all checks done" in done.stdout
