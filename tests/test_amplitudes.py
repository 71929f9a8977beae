"""lamina_design._engine's amplitudes: lamina's bits, tmm's values, 40-digit references, named errors."""

import ctypes
import ctypes.util
import math

import mpmath
import numpy as np
import pytest
import tmm

import lamina
from lamina_design import _engine
from test_exact import KINDS, compose, indices, same_bits

RTOL = 1e-10

# The C library's cos and sin, which lamina uses for phi (math.cos refuses infinities).
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("cos", "sin"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double]


def one_stack(d, n, wl, theta):
    """A single stack and angle in the batch layout: d (1, K-2), n (K, W), theta (1,)."""
    return (np.ascontiguousarray(d, dtype=float)[None, :], np.ascontiguousarray(n, dtype=complex),
            np.ascontiguousarray(wl, dtype=float), np.array([theta], dtype=float))


def assert_bits(name, actual, expected):
    ok = same_bits(actual, expected)
    if not ok.all():
        i = int(np.flatnonzero(~ok)[0])
        pytest.fail(f"{name}[{i}]: {actual[i]!r} != {expected[i]!r}")


# --- lamina's R and T, bit for bit ---------------------------------------------------------

@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("kind", KINDS)
def test_spectra_equal_lamina_bits(kind, seed):
    rng = np.random.default_rng([list(KINDS).index(kind), seed, 17])
    media, count = int(rng.integers(2, 31)), int(rng.integers(1, 9))
    d, n, wl, theta, phi = KINDS[kind](rng, media, count)
    n, d = n[:, :len(wl)], d[:n.shape[0] - 2]  # the batch takes exact shapes only
    if rng.random() < 0.3 and np.isfinite(theta):
        theta = 0.0  # the one-polarisation road
    expected = lamina.DataPy(d, n, wl, theta, phi).simulate()
    R, T = _engine.spectra(*one_stack(d, n, wl, theta), phi)
    assert R.shape == T.shape == (1, 1, len(wl))
    assert_bits("R", R[0, 0], expected.r)
    assert_bits("T", T[0, 0], expected.t)
    # R from the complex amplitudes with NumPy, in lamina's order; |r| as C's hypot
    # (np.abs of a complex array rounds its own way).
    (r_s, r_p), _ = (part[:, 0, 0] for part in _engine.amplitudes(*one_stack(d, n, wl, theta)))
    c, s = LIBM.cos(phi), LIBM.sin(phi)
    rho_s, rho_p = np.hypot(r_s.real, r_s.imag), np.hypot(r_p.real, r_p.imag)
    assert_bits("R from r", (rho_s * rho_s) * (c * c) + (rho_p * rho_p) * (s * s), expected.r)


def test_batch_equals_lamina_per_stack_and_angle():
    """B stacks with their own indices at A angles (normal incidence among them), some on the pool."""
    rng = np.random.default_rng(5)
    B, K, W = 5, 7, 300
    d = rng.uniform(0, 400, (B, K - 2))
    n = np.stack([indices(rng, K, W, kappa=1.0, absorbing=0.4) for _ in range(B)])
    wl = rng.uniform(300, 1500, W)
    theta = np.array([0.0, 0.3, -1.1, np.pi / 2])
    R, T = _engine.spectra(d, n, wl, theta, 0.7)
    shared_R, _ = _engine.spectra(d, n[2], wl, theta, 0.7)
    for b in range(B):
        for a, angle in enumerate(theta):
            expected = lamina.DataPy(d[b], n[b], wl, angle, 0.7).simulate()
            assert_bits(f"R[{b}, {a}]", R[b, a], expected.r)
            assert_bits(f"T[{b}, {a}]", T[b, a], expected.t)
            expected = lamina.DataPy(d[b], n[2], wl, angle, 0.7).simulate()
            assert_bits(f"shared R[{b}, {a}]", shared_R[b, a], expected.r)


# --- one polarisation at normal incidence ----------------------------------------------------

def real_indices(rng, media, count):
    n = indices(rng, media, count, low=1.0, high=4.0)
    return n.real.astype(complex)


SPECIAL_STACKS = {  # exact zeros in r or t, where only the p pass knows their signs
    "bare interface": (np.zeros(0), [1.0, 1.5]),
    "zero thicknesses": (np.zeros(3), [1.0, 1.5, 2.0, 1.5, 1.52]),
    "one medium throughout": (np.full(3, 100.0), [1.5] * 5),
    "index-matched layers": (np.array([80.0, 0.0, 130.0]), [1.3, 1.3, 2.0, 2.0, 1.3]),
}


@pytest.mark.parametrize("seed", [*range(40), *SPECIAL_STACKS])
def test_normal_incidence_shortcut_gives_two_pass_bits(seed):
    """p from s at 0 deg must be the p pass's bits, signs of zero included, or not be used."""
    rng = np.random.default_rng([41, list(SPECIAL_STACKS).index(seed) + 100 if seed in SPECIAL_STACKS else seed])
    media, count = int(rng.integers(2, 40)), int(rng.integers(1, 200))
    n = real_indices(rng, media, count)
    d = rng.uniform(0, 500, media - 2)
    if seed in SPECIAL_STACKS:
        d, n = SPECIAL_STACKS[seed][0], np.array(SPECIAL_STACKS[seed][1], dtype=complex)[:, None] * np.ones(count)
        seed = 0
    if seed % 4 == 1:
        d[rng.random(media - 2) < 0.5] = 0.0  # exp(0) = 1: exact zeros in the products
    if seed % 4 == 2:
        for j in range(1, media):  # r_j = 0 exactly
            if rng.random() < 0.5:
                n[j] = n[j - 1]
    if seed % 4 == 3:
        n[rng.random(media) < 0.3] += 1j * rng.uniform(0, 0.5)  # some absorbing media: no shortcut
    if seed % 10 == 9:  # extreme contrast: |M| passes 2^511, the exceptional road
        media = 31 + seed // 10
        n = np.where(np.arange(media)[:, None] % 2 == 0, 1.0, 1e12).astype(complex) * np.ones(count)
        d = rng.uniform(10, 500, media - 2)
    wl = rng.uniform(200, 2000, count)
    args = one_stack(d, n, wl, 0.0)
    quick = _engine.amplitudes(*args)
    full = _engine.amplitudes(*args, normal_shortcut=False)
    for name, a, b in zip("rt", quick, full):
        assert_bits(name + ".real", a.real.ravel(), b.real.ravel())
        assert_bits(name + ".imag", a.imag.ravel(), b.imag.ravel())
    np.testing.assert_array_equal(np.signbit(quick[0].imag), np.signbit(full[0].imag))


# --- against tmm ---------------------------------------------------------------------------

def tmm_stack(rng, media):
    n = indices(rng, media, 1, low=1.2, high=2.6, kappa=0.8, absorbing=0.5)[:, 0]
    n[0] = rng.uniform(1.0, 1.6)  # tmm needs a lossless incidence medium
    return np.r_[np.inf, rng.uniform(10, 400, media - 2), np.inf], n


@pytest.mark.parametrize("seed", range(25))
def test_amplitudes_and_ellipsometry_against_tmm(seed):
    rng = np.random.default_rng([43, seed])
    media = int(rng.integers(2, 12))
    d_tmm, n = tmm_stack(rng, media)
    wl = rng.uniform(300, 1500, 3)
    theta = np.array([0.0, rng.uniform(0, 1.4), 0.7])
    r, t = _engine.amplitudes(d_tmm[None, 1:-1], n[:, None] * np.ones(3), wl, theta)
    T = _engine.transmittance(d_tmm[None, 1:-1], n[:, None] * np.ones(3), wl, theta)
    psi, delta = _engine.ellipsometry(d_tmm[None, 1:-1], n[:, None] * np.ones(3), wl, theta)
    for a, angle in enumerate(theta):
        for w, lam in enumerate(wl):
            for p, pol in enumerate("sp"):
                ref = tmm.coh_tmm(pol, list(n), list(d_tmm), angle, lam)
                np.testing.assert_allclose(r[p, 0, a, w], ref["r"], rtol=RTOL, atol=1e-14)
                np.testing.assert_allclose(t[p, 0, a, w], ref["t"], rtol=RTOL, atol=1e-14)
                np.testing.assert_allclose(T[p, 0, a, w], ref["T"], rtol=RTOL, atol=1e-14)
            ref = tmm.ellips(list(n), list(d_tmm), angle, lam)
            np.testing.assert_allclose(psi[0, a, w], ref["psi"], rtol=RTOL, atol=1e-14)
            # Delta on the circle: +pi and -pi are one value.
            assert abs(np.angle(np.exp(1j * (delta[0, a, w] - ref["Delta"])))) < 1e-9


def test_flux_and_eta_transmittance_into_an_absorbing_exit():
    """The conventions differ for p only, and only with an absorbing exit medium."""
    n = np.array([1.0, 1.45, 2.0 + 0.6j], dtype=complex)[:, None]
    d, wl, theta = np.array([[120.0]]), np.array([550.0]), np.array([0.9])
    flux = _engine.transmittance(d, n, wl, theta, convention="flux")
    eta = _engine.transmittance(d, n, wl, theta, convention="eta")
    for p, pol in enumerate("sp"):
        ref = tmm.coh_tmm(pol, list(n[:, 0]), [np.inf, 120.0, np.inf], 0.9, 550.0)
        np.testing.assert_allclose(flux[p, 0, 0, 0], ref["T"], rtol=RTOL)
        r = tmm.coh_tmm(pol, list(n[:, 0]), [np.inf, 120.0, np.inf], 0.9, 550.0)["R"]
        if pol == "p":  # the flux conserves energy into the exit medium; eta does not for p
            assert abs(flux[p, 0, 0, 0] - eta[p, 0, 0, 0]) > 1e-3
            assert flux[p, 0, 0, 0] + r == pytest.approx(1.0, abs=1e-12)
    assert flux[0, 0, 0, 0] == pytest.approx(eta[0, 0, 0, 0], rel=1e-14)


@pytest.mark.parametrize("seed", range(10))
def test_polarised_spectra_into_absorbing_exits_against_tmm(seed):
    """R and T of s and p in one call: tmm's values at oblique incidence into absorbing exit
    media, and the bits of amplitudes' |r|^2 and transmittance's T."""
    rng = np.random.default_rng([47, seed])
    media = int(rng.integers(2, 9))
    d_tmm, n = tmm_stack(rng, media)
    n[-1] = rng.uniform(1.2, 3.0) + 1j * rng.uniform(0.05, 2.0)
    wl = rng.uniform(300, 1500, 5)
    theta = np.array([0.0, rng.uniform(0.1, 1.4), 1.2])
    shared = n[:, None] * np.ones(len(wl))
    per_stack = np.stack([shared, shared[::-1].copy()])
    per_stack[1, 0] = shared[0]
    d = np.stack([d_tmm[1:-1], d_tmm[-2:0:-1]])
    for convention in ("eta", "flux"):  # flux last: tmm's T below
        R, T = _engine.polarised_spectra(d, per_stack, wl, theta, convention=convention)
        r, _ = _engine.amplitudes(d, per_stack, wl, theta)
        assert_bits("R", R.ravel(), (np.hypot(r.real, r.imag) ** 2).ravel())
        assert_bits("T", T.ravel(), _engine.transmittance(d, per_stack, wl, theta, convention=convention).ravel())
    for a, angle in enumerate(theta):
        for w, lam in enumerate(wl):
            for p, pol in enumerate("sp"):
                ref = tmm.coh_tmm(pol, list(n), list(d_tmm), angle, lam)
                np.testing.assert_allclose(R[p, 0, a, w], ref["R"], rtol=RTOL, atol=1e-14)
                np.testing.assert_allclose(T[p, 0, a, w], ref["T"], rtol=RTOL, atol=1e-14)


# --- the exceptional road: 40-digit references -----------------------------------------------

mpmath.mp.dps = 40


def mp_amplitudes(pol, n, d, wl, theta):
    """r and t of the stack in tmm's conventions, with 40 significant digits."""
    n = [mpmath.mpc(complex(x).real, complex(x).imag) for x in n]
    xi = (n[0] * mpmath.sin(mpmath.mpf(theta))) ** 2
    cos = [mpmath.sqrt(x * x - xi) / x for x in n]
    m = mpmath.eye(2)
    for j in range(len(n) - 1):
        a, b = (n[j] * cos[j], n[j + 1] * cos[j + 1]) if pol == "s" else (n[j + 1] * cos[j], n[j] * cos[j + 1])
        r, t = (a - b) / (a + b), 2 * n[j] * cos[j] / (a + b)
        m = m * mpmath.matrix([[1, r], [r, 1]]) / t
        if j + 1 < len(n) - 1:
            delta = 2 * mpmath.pi * n[j + 1] * cos[j + 1] * mpmath.mpf(d[j]) / mpmath.mpf(wl)
            m = m * mpmath.matrix([[mpmath.exp(-1j * delta), 0], [0, mpmath.exp(1j * delta)]])
    return m[1, 0] / m[0, 0], 1 / m[0, 0]


@pytest.mark.parametrize("case", ["thick absorber", "two thick absorbers", "evanescent gap", "critical layer"])
def test_folded_exponents_against_40_digits(case):
    """|M| far beyond a double: r and t stay finite and right where the physics says so."""
    wl, theta = 600.0, 0.0
    if case == "thick absorber":
        n, d = [1.0, 1.5 + 0.8j, 1.52], [55000.0]  # |t| ~ 1e-200
    elif case == "two thick absorbers":
        n, d = [1.0, 2.0 + 1.1j, 1.4, 2.0 + 1.0j, 1.0], [20000.0, 90.0, 21600.0]
    elif case == "evanescent gap":
        n, d, theta = [3.0, 1.0, 3.0], [23000.0], 0.8  # frustrated total internal reflection
    else:
        n, d, theta = [2.5, 1.5, 1.6, 1.0], [300.0, 40000.0], math.asin(1.5 / 2.5)
    n = np.array(n, dtype=complex)
    r, t = _engine.amplitudes(np.array([d]), n[:, None], np.array([wl]), np.array([theta]))
    for p, pol in enumerate("sp"):
        r_ref, t_ref = mp_amplitudes(pol, n, d, wl, theta)
        for name, value, ref in (("r", r[p, 0, 0, 0], r_ref), ("t", t[p, 0, 0, 0], t_ref)):
            assert np.isfinite(value), (pol, name, value)
            assert abs(value - complex(ref)) <= RTOL * abs(complex(ref)) + 1e-300, (pol, name, value, ref)
    if case != "critical layer":
        assert 0 < abs(t[0, 0, 0, 0]) < 1e-150  # beyond 2^-511: only the fold keeps it


# --- bad input -------------------------------------------------------------------------------

GOOD = dict(d=np.zeros((2, 3)), n=np.ones((2, 5, 4), dtype=complex), wl=np.ones(4), theta=np.zeros(3))


@pytest.mark.parametrize("change, error, words", [
    (dict(d=np.zeros(3)), ValueError, ["d:", "(B, K-2)", "(3,)"]),
    (dict(d=np.zeros((2, 3), dtype=np.float32)), TypeError, ["d:", "float64", "float32"]),
    (dict(n=np.ones((2, 5, 4))), TypeError, ["n:", "complex128", "float64"]),
    (dict(n=np.ones((2, 6, 4), dtype=complex)), ValueError, ["n:", "(2, 5, 4)", "(2, 6, 4)"]),
    (dict(n=np.ones((3, 5, 4), dtype=complex)), ValueError, ["n:", "(2, 5, 4)", "(3, 5, 4)"]),
    (dict(n=np.ones((5, 3), dtype=complex)), ValueError, ["n:", "(5, 4)", "(5, 3)"]),
    (dict(n=np.ones(5, dtype=complex)), ValueError, ["n:", "(B, K, W) or (K, W)", "(5,)"]),
    (dict(wl=np.ones((4, 1))), ValueError, ["wl:", "(W,)", "(4, 1)"]),
    (dict(wl=np.arange(4)), TypeError, ["wl:", "float64", "int64"]),
    (dict(theta=0.0), ValueError, ["theta:", "(A,)", "()"]),
    (dict(theta="north"), TypeError, ["theta:", "float64", "str"]),
    (dict(r=np.zeros((2, 2, 3, 4))), TypeError, ["r:", "complex128", "float64"]),
    (dict(t=np.zeros((2, 3, 4), dtype=complex)), ValueError, ["t:", "(2, 2, 3, 4)", "(2, 3, 4)"]),
    (dict(t=np.zeros((2, 2, 3, 8), dtype=complex)[..., ::2]), TypeError, ["t:", "C-contiguous"]),
    (dict(r=[0j]), TypeError, ["r:", "NumPy array", "list"]),
])
def test_bad_arguments_are_named(change, error, words):
    with pytest.raises(error) as caught:
        _engine.amplitudes(**{**GOOD, **change})
    for word in words:
        assert word in str(caught.value)


def test_outputs_go_into_given_arrays():
    r = np.full((2, 2, 3, 4), np.nan, dtype=complex)
    R = np.full((2, 3, 4), np.nan)
    r_back, _ = _engine.amplitudes(**GOOD, r=r)
    R_back, _ = _engine.spectra(**GOOD, R=R)
    assert r_back is r and R_back is R
    assert np.isfinite(r).all() and np.isfinite(R).all()
    with pytest.raises(ValueError, match="convention: expected 'flux' or 'eta', received 'power'"):
        _engine.transmittance(**GOOD, convention="power")


@pytest.mark.parametrize("function", ["transmittance", "polarised_spectra", "power_jacobian"])
def test_every_function_with_a_convention_refuses_an_unknown_one_alike(function):
    with pytest.raises(ValueError, match="^convention: expected 'flux' or 'eta', received 'power'$"):
        getattr(_engine, function)(**GOOD, convention="power")
