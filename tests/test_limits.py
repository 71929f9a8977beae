"""Where the plain formulas break: a lossless index written with a negative-zero loss, a layer
exactly at its critical angle, and stacks thick and lossy enough to overflow the matrix product.
Checked against closed forms, a high-precision characteristic-matrix solver and PyMoosh."""

import functools

import numpy as np
import pytest

import lamina


def at_40_digits(function):
    """Runs `function` with mpmath's context as its first argument, at 40 significant digits."""
    @functools.wraps(function)
    def wrapper(*args):
        mpmath = pytest.importorskip("mpmath")
        with mpmath.workdps(40):
            return function(mpmath.mp, *args)
    return wrapper


S, P = 0.0, np.pi / 2  # polarisation angles


def spectra(d, n, wl, theta, phi):
    result = lamina.DataPy(np.asarray(d, float), np.asarray(n, complex), np.asarray(wl, float), theta,
                           phi).simulate()
    return result.r, result.t


def column(indices):
    return np.array(indices, dtype=complex).reshape(-1, 1)


@at_40_digits
def abeles(mp, d, n, wl, theta, p_polarised):
    """(R, T) at 40 digits from the tilted admittances η and the layers' characteristic matrices
    [[cos δ, -i sin δ / η], [-i η sin δ, cos δ]]: no amplitudes, no exponent limit. Lossless
    incidence and exit media for T."""
    n = [mp.mpc(complex(x).real, complex(x).imag) for x in n]
    xi = (n[0] * mp.sin(theta)) ** 2
    q = [mp.sqrt(x * x - xi) for x in n]  # n cos θ in each medium
    eta = [n[j] ** 2 / q[j] if p_polarised else q[j] for j in range(len(n))]
    k0 = 2 * mp.pi / wl
    b, c = mp.mpc(1), eta[-1]
    for j in range(len(n) - 2, 0, -1):
        delta = k0 * q[j] * d[j - 1]
        cos, sin = mp.cos(delta), mp.sin(delta)
        b, c = cos * b - 1j * sin / eta[j] * c, -1j * eta[j] * sin * b + cos * c
    denominator = eta[0] * b + c
    r = (eta[0] * b - c) / denominator
    t = 4 * mp.re(eta[0]) * mp.re(eta[-1]) / abs(denominator) ** 2
    return float(abs(r) ** 2), float(t)


def moosh_reflectance(d, n, wl, theta, p_polarised):
    """R from PyMoosh's scattering matrices, which stay bounded however thick the stack."""
    moosh = pytest.importorskip("PyMoosh")
    materials = [complex(x) ** 2 for x in n]
    structure = moosh.Structure(materials, list(range(len(n))), [0.0, *d, 0.0], verbose=False)
    return moosh.coefficient(structure, wl, theta, int(p_polarised))[2]


@at_40_digits
def airy(mp, n0, n1, n2, d, wl, theta, p_polarised):
    """(R, T) of one film from the Fresnel coefficients, r = (r01 + r12 e^2iβ) / (1 + r01 r12 e^2iβ),
    at 40 digits so that e^2iβ neither overflows nor underflows."""
    n0, n1, n2 = (mp.mpc(complex(x).real, complex(x).imag) for x in (n0, n1, n2))
    xi = (n0 * mp.sin(theta)) ** 2
    q0, q1, q2 = (mp.sqrt(x * x - xi) for x in (n0, n1, n2))

    def fresnel(na, qa, nb, qb):
        if p_polarised:
            return (nb * nb * qa - na * na * qb) / (nb * nb * qa + na * na * qb)
        return (qa - qb) / (qa + qb)

    def transmission(na, qa, nb, qb):
        if p_polarised:
            return 2 * na * nb * qa / (nb * nb * qa + na * na * qb)
        return 2 * qa / (qa + qb)

    phase = mp.exp(2j * (2 * mp.pi / wl) * q1 * d)
    r01, r12 = fresnel(n0, q0, n1, q1), fresnel(n1, q1, n2, q2)
    t01, t12 = transmission(n0, q0, n1, q1), transmission(n1, q1, n2, q2)
    denominator = 1 + r01 * r12 * phase
    r = (r01 + r12 * phase) / denominator
    t = t01 * t12 * mp.sqrt(phase) / denominator
    return float(abs(r) ** 2), float(abs(t) ** 2 * mp.re(q2) / mp.re(q0))


def assert_t_close(t, expected, rtol):
    """T to rtol while it is a normal double; below that only "tiny" is asked for."""
    if expected > 1e-290:
        assert t == pytest.approx(expected, rel=rtol, abs=0)
    else:
        assert 0.0 <= t < 1e-290


# --- a negative zero in an index's imaginary part --------------------------------------------

def conjugate_zero_loss(n, media=slice(None)):
    """The same materials with the zero imaginary parts of some media written as -0.0, as np.conj
    gives them."""
    n = np.array(n, dtype=complex)
    n.imag[media] = np.where(n.imag[media] == 0.0, -0.0, n.imag[media])
    return n


KRETSCHMANN = ([50.0], [1.5, 0.18 + 3.4j, 1.0], 633.0, np.radians(44.0))  # gold film, air beyond
FTIR = ([400.0], [1.5, 1.0, 1.5], 633.0, np.radians(50.0))  # an air gap between two prisms
SENSOR = ([45.0, 10.0], [1.72, 0.13 + 3.9j, 1.45 + 0.01j, 1.33], 700.0, np.radians(62.0))
LOSSY_INCIDENCE = ([120.0], [1.6 + 0.3j, 2.0, 1.0], 550.0, np.radians(60.0))


@pytest.mark.parametrize("media", [slice(-1, None), slice(1, None), slice(None)], ids=["exit", "beyond", "all"])
@pytest.mark.parametrize("phi", [S, P, 0.6])
@pytest.mark.parametrize("stack", [KRETSCHMANN, FTIR, SENSOR, LOSSY_INCIDENCE],
                         ids=["kretschmann", "ftir", "sensor", "lossy-incidence"])
def test_negative_zero_loss_is_lossless(stack, phi, media):
    d, n, wl, theta = stack
    r, t = spectra(d, column(n), [wl], theta, phi)
    r_conj, t_conj = spectra(d, conjugate_zero_loss(column(n), media), [wl], theta, phi)
    assert r_conj.tobytes() == r.tobytes() and t_conj.tobytes() == t.tobytes()


@pytest.mark.parametrize("p_polarised", [False, True])
def test_evanescent_exit_with_negative_zero_loss(p_polarised):
    """The prism-coupling example: with -0.0 the exit field grew instead of decaying."""
    n = [1.5, 1.7 + 0.2j, complex(1.0, -0.0)]
    r, t = spectra([300.0], column(n), [620.0], 0.85, P if p_polarised else S)
    expected_r, _ = airy(*n, 300.0, 620.0, 0.85, p_polarised)
    assert r[0] == pytest.approx(expected_r, rel=1e-12)
    assert t[0] == 0.0


def test_stored_indices_keep_the_negative_zero():
    n = conjugate_zero_loss(column(FTIR[1]))
    stack = lamina.DataPy(np.array(FTIR[0]), n, np.array([633.0]), FTIR[3], 0.0)
    stack.simulate()
    assert np.signbit(np.asarray(stack.n).imag).all()


def test_conjugated_lossless_sweep_is_bit_identical():
    """Random lossless stacks beyond their exit's critical angle, many wavelengths (pooled)."""
    rng = np.random.default_rng(5)
    for media in (2, 3, 7):
        n = rng.uniform(1.0, 2.0, (media, 1)) + rng.uniform(-0.02, 0.02, (media, 300))
        n[0] = 2.4
        d, wl = rng.uniform(0, 300, media - 2), rng.uniform(400, 900, 300)
        plain = spectra(d, n.astype(complex), wl, 1.1, 0.4)
        conjugated = spectra(d, conjugate_zero_loss(n, slice(1, None)), wl, 1.1, 0.4)
        for a, b in zip(plain, conjugated):
            assert a.tobytes() == b.tobytes()


# --- a layer exactly at its critical angle ---------------------------------------------------

def critical_angle(n_incidence, n_layer):
    return float(np.arcsin(n_layer / n_incidence))


def test_critical_film_closed_form():
    """At c_1 = 0 the film's characteristic matrix is [[1, -i k0 d], [0, 1]] (s) and
    [[1, 0], [-i k0 n1² d, 1]] (p), so r = (η0 - η2 ∓ ...) / (η0 + η2 ∓ ...) in closed form."""
    n0, n1, n2, d, wl = 1.5, 1.0, 1.52, 300.0, 400.0
    theta = critical_angle(n0, n1)
    g = 2 * np.pi / wl * d
    q0, q2 = np.sqrt(n0**2 - n1**2), np.sqrt(n2**2 - n1**2)  # n cos θ, with n0 sin θ = n1
    r_s = (q0 - q2 - 1j * g * q0 * q2) / (q0 + q2 - 1j * g * q0 * q2)
    e0, e2 = n0**2 / q0, n2**2 / q2
    r_p = (e0 - e2 + 1j * g * n1**2) / (e0 + e2 - 1j * g * n1**2)
    for phi, r_expected in ((S, r_s), (P, r_p)):
        r, t = spectra([d], column([n0, n1, n2]), [wl], theta, phi)
        assert r[0] == pytest.approx(abs(r_expected) ** 2, rel=1e-13)
        assert r[0] + t[0] == pytest.approx(1.0, rel=1e-13)
    assert spectra([d], column([n0, n1, n2]), [wl], theta, S)[0][0] == pytest.approx(0.876625, abs=1e-6)


CRITICAL_STACKS = {
    # media, thicknesses; the layer with index 1.0 sits at its critical angle from 1.5
    "film": ([1.5, 1.0, 1.52], [300.0]),
    "absorbing neighbours": ([1.5, 2.1 + 0.4j, 1.0, 0.2 + 3.0j, 1.45], [40.0, 250.0, 30.0]),
    "two critical layers in a row": ([1.5, 1.3, 1.0, 1.0, 1.8], [80.0, 100.0, 150.0]),
    "separated critical layers": ([1.5, 1.0, 2.0, 1.0, 1.5], [120.0, 90.0, 60.0]),
    "first and last inner layers": ([1.5, 1.0, 1.9 + 0.05j, 1.0, 1.33], [70.0, 200.0, 50.0]),
    "evanescent exit": ([1.5, 1.0, 2.2, 1.0, 0.9], [100.0, 150.0, 100.0]),
    "thin": ([1.5, 1.0, 1.6], [1e-3]),
    "zero thickness": ([1.5, 1.0, 1.6], [0.0]),
}


@pytest.mark.parametrize("p_polarised", [False, True])
@pytest.mark.parametrize("name", CRITICAL_STACKS)
def test_critical_layers_against_high_precision(name, p_polarised):
    n, d = CRITICAL_STACKS[name]
    theta = critical_angle(n[0], 1.0)
    r, t = spectra(d, column(n), [500.0], theta, P if p_polarised else S)
    assert np.isfinite(r[0]) and np.isfinite(t[0])
    expected_r, expected_t = abeles(d, n, 500.0, theta, p_polarised)
    assert r[0] == pytest.approx(expected_r, rel=1e-13)
    if np.imag(n[-1]) == 0.0:
        assert t[0] == pytest.approx(expected_t, rel=1e-13, abs=1e-15)


def test_critical_layers_in_a_sweep():
    """Only the wavelengths whose layer is exactly critical take the slow road; their neighbours
    in the same lanes keep their values, and the spectrum is continuous through them."""
    count = 301
    wl = np.linspace(400.0, 700.0, count)
    n = np.tile(column([1.5, 1.0, 1.7, 1.33]), (1, count))
    n[1] += np.linspace(-1e-3, 1e-3, count)
    n[1, 150] = 1.0
    theta = critical_angle(1.5, 1.0)
    d = [200.0, 80.0]
    for phi in (S, P):
        r, t = spectra(d, n, wl, theta, phi)
        assert np.isfinite(r).all() and np.isfinite(t).all()
        expected = [abeles(d, n[:, i], wl[i], theta, phi == P) for i in (149, 150, 151)]
        np.testing.assert_allclose(r[149:152], [e[0] for e in expected], rtol=1e-10)
        alone = spectra(d, n[:, 148:150], wl[148:150], theta, phi)[0]
        assert alone.tobytes() == r[148:150].tobytes()


# --- thick absorbing stacks ------------------------------------------------------------------

def quarter_wave_mirror(pairs, wl, high=2.3, low=1.45):
    n = [1.0] + [high, low] * pairs + [high, 1.52]
    d = [wl / (4 * x) for x in n[1:-1]]
    return n, d


THICK = {
    # n, d (nm), wavelength (nm), theta
    "283 µm of 1.5+0.1i": ([1.0, 1.5 + 0.1j, 1.0], [283e3], 500.0, 0.0),
    "500 µm silicon wafer": ([1.0, 4.3 + 0.08j, 1.0], [500e3], 500.0, 0.3),
    "coated wafer on glass": ([1.0, 1.45, 4.3 + 0.08j, 1.5], [95.0, 500e3], 500.0, 0.5),
    "50 µm frustrated TIR gap": ([1.5, 1.0, 1.5], [50e3], 600.0, np.radians(60.0)),
    "1 m of absorber": ([1.0, 1.5 + 0.1j, 1.0], [1e9], 500.0, 0.2),
}


@pytest.mark.parametrize("p_polarised", [False, True])
@pytest.mark.parametrize("name", THICK)
def test_thick_single_films_against_airy(name, p_polarised):
    n, d, wl, theta = THICK[name]
    r, t = spectra(d, column(n), [wl], theta, P if p_polarised else S)
    if len(n) == 3:
        expected_r, expected_t = airy(*n, d[0], wl, theta, p_polarised)
    else:
        expected_r, expected_t = abeles(d, n, wl, theta, p_polarised)
    assert r[0] == pytest.approx(expected_r, rel=1e-12)
    assert_t_close(t[0], expected_t, rtol=1e-9)
    assert r[0] == pytest.approx(moosh_reflectance(d, n, wl, theta, p_polarised), rel=1e-12)


@pytest.mark.parametrize("phi", [S, P])
def test_long_quarter_wave_mirror(phi):
    """(HL)^1000 H: the product grows as (n_H/n_L)^2000, past the double range."""
    n, d = quarter_wave_mirror(1000, 600.0)
    wl = np.array([600.0, 560.0, 5000.0])  # band centre, in the band, far outside it
    r, t = spectra(d, column(n) @ np.ones((1, 3)), wl, 0.2, phi)
    for i in range(3):
        expected_r, expected_t = abeles(d, n, wl[i], 0.2, phi == P)
        assert r[i] == pytest.approx(expected_r, rel=1e-12)
        assert_t_close(t[i], expected_t, rtol=1e-9)
    assert t[0] < 1e-300


def test_growing_thickness_crosses_overflow_smoothly():
    """T = T_0 e^(-2 Im δ) for a film between index-matched media: log-linear in d, through the
    thickness where |M|² used to overflow and on until T underflows."""
    kappa, wl = 0.1, 500.0
    d = np.linspace(20e3, 700e3, 120)
    ts = []
    for thickness in d:
        r, t = spectra([thickness], column([1.5, 1.5 + kappa * 1j, 1.5]), [wl], 0.0, S)
        assert np.isfinite(r[0]) and np.isfinite(t[0])
        ts.append(t[0])
    ts = np.array(ts)
    slope = -4 * np.pi * kappa / wl
    normal = ts > 1e-300
    assert normal[d < 270e3].all() and (ts[d > 280e3] < 1e-300).all()
    np.testing.assert_allclose(np.log(ts[normal]) - slope * d[normal], np.log(ts[0]) - slope * d[0],
                               rtol=0, atol=1e-8)


# --- layers past any exponent ----------------------------------------------------------------
# Beyond an attenuation of about 2^30 ln 2 even the running power-of-two exponent saturates; the
# layer is opaque, so R is that of the stack in front of it, ending in the layer's medium, and T 0.

OPAQUE = {
    # index, thicknesses (nm), wavelength (nm)
    "aluminium": (0.96 + 6.69j, [1e11, 1e200], 500.0),
    "1.5+0.1i": (1.5 + 0.1j, [1e12, 1e15, 1e300], 500.0),
    "weakly absorbing 2.0+1e-4i": (2.0 + 1e-4j, [1e16, 1e300], 800.0),
    "Im δ past the double range": (0.96 + 6.69j, [1e307], 0.01),
}


@pytest.mark.parametrize("theta", [0.0, 0.2, 1.0])
@pytest.mark.parametrize("p_polarised", [False, True])
@pytest.mark.parametrize("name", OPAQUE)
def test_opaque_layer_reflects_as_its_front(name, p_polarised, theta):
    index, thicknesses, wl = OPAQUE[name]
    expected = abeles([90.0], [1.0, 1.38, index], wl, theta, p_polarised)[0]
    for thickness in thicknesses:
        n = [1.0, 1.38, index, 1.46, 1.52]
        r, t = spectra([90.0, thickness, 120.0], column(n), [wl], theta, P if p_polarised else S)
        assert r[0] == pytest.approx(expected, rel=1e-12)
        assert t[0] == 0.0


@pytest.mark.parametrize("seed", range(16))
def test_random_stacks_with_an_opaque_layer(seed):
    """Coatings in front of and behind a layer attenuating by e^-a, a from 1e9 to 1e300."""
    rng = np.random.default_rng(seed)
    wl = rng.uniform(300.0, 1500.0)
    theta = rng.uniform(0.0, 1.2)

    def indices(count):
        return list(rng.uniform(1.2, 2.6, count) + 1j * rng.choice([0.0, 1e-3, 0.05], count))

    front = indices(int(rng.integers(0, 4)))
    back = indices(int(rng.integers(0, 3)))
    opaque = complex(rng.uniform(0.2, 4.0), 10.0 ** rng.uniform(-4.0, 0.9))
    n0 = rng.uniform(1.0, 1.6)
    n = [n0, *front, opaque, *back, complex(rng.uniform(1.0, 4.0), rng.choice([0.0, 2.0]))]
    # |Im δ| = Im(q) d 2π/λ, with q = n cos θ in the opaque layer.
    q = np.sqrt(opaque ** 2 - (n0 * np.sin(theta)) ** 2)
    thickness = 10.0 ** rng.uniform(9.0, 300.0) / (2 * np.pi * q.imag / wl)
    d_front = list(rng.uniform(10.0, 300.0, len(front)))
    d = [*d_front, thickness, *rng.uniform(10.0, 300.0, len(back))]
    for p_polarised in (False, True):
        r, t = spectra(d, column(n), [wl], theta, P if p_polarised else S)
        expected = abeles(d_front, [n0, *front, opaque], wl, theta, p_polarised)[0]
        assert r[0] == pytest.approx(expected, rel=1e-12)
        assert t[0] == 0.0


# --- what stays NaN -------------------------------------------------------------------------

@pytest.mark.parametrize("n, theta", [([1.5, 0.0, 1.5], 0.3), ([1.5, 1.2, 1.5], np.pi / 2)],
                         ids=["index exactly zero", "grazing incidence"])
def test_documented_nan(n, theta):
    r, _ = spectra([100.0], column(n), [500.0], theta, S)
    assert np.isnan(r[0])
