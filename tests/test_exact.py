"""lamina against the operation-by-operation reference in reference.py, bit for bit."""

import ctypes

import numpy as np
import pytest

import lamina
import reference

PANIC_MESSAGE = "ndarray: index out of bounds"


def simulate(d, n, wl, theta, phi):
    result = lamina.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def mismatch_report(name, actual, expected, inputs):
    """Describe the first wavelength whose bits differ, with what it takes to reproduce it."""
    d, n, wl, theta, phi = inputs
    i = int(np.flatnonzero(~same_bits(actual, expected))[0])
    return (
        f"{name}[{i}]: lamina {actual[i]!r} ({actual[i:i + 1].view(np.uint64)[0]:#018x}) != "
        f"reference {expected[i]!r} ({expected[i:i + 1].view(np.uint64)[0]:#018x})\n"
        f"  n[:, {i}] = {np.asarray(n)[:, i].tolist()!r}\n  wl[{i}] = {float(wl[i])!r}\n"
        f"  d = {np.asarray(d).tolist()!r}\n  theta = {float(theta)!r}, phi = {float(phi)!r}"
    )


def same_bits(actual, expected):
    both_nan = np.isnan(actual) & np.isnan(expected)
    return (actual.view(np.uint64) == expected.view(np.uint64)) | both_nan


def assert_matches_reference(d, n, wl, theta, phi):
    r, t = simulate(d, n, wl, theta, phi)
    r_ref, t_ref = reference.spectra(d, n, wl, theta, phi)
    for name, actual, expected in (("r", r, r_ref), ("t", t, t_ref)):
        assert actual.dtype == np.float64 and actual.shape == (len(wl),)
        if not same_bits(actual, expected).all():
            pytest.fail(mismatch_report(name, actual, expected, (d, n, wl, theta, phi)))


# --- random stacks -------------------------------------------------------------------------

def signed_zeros(rng, shape):
    return np.where(rng.random(shape) < 0.5, -0.0, 0.0)


def compose(real, imag):
    """real + i·imag keeping signed zeros and non-finite parts (1j * x would mix them)."""
    z = np.empty(np.broadcast(real, imag).shape, dtype=np.complex128)
    z.real, z.imag = real, imag
    return z


def indices(rng, media, count, low=1.0, high=3.0, kappa=0.0, absorbing=0.0):
    """Media × wavelengths, slightly dispersive; a share of the media absorbs (or amplifies)."""
    base = rng.uniform(low, high, (media, 1))
    real = base + rng.uniform(-0.02, 0.02, (media, count))
    lossy = rng.random((media, 1)) < absorbing
    imag = np.where(lossy, rng.uniform(0.0, kappa, (media, count)), signed_zeros(rng, (media, count)))
    return compose(real, imag)


def angle(rng):
    return rng.uniform(-np.pi / 2, np.pi / 2)


def polarisation(rng):
    return rng.uniform(-2 * np.pi, 2 * np.pi)


def wavelengths(rng, count):
    return rng.uniform(200.0, 2000.0, count)


def lossless(rng, media, count):
    n = indices(rng, media, count)
    return rng.uniform(0, 500, media - 2), n, wavelengths(rng, count), angle(rng), polarisation(rng)


def absorbing(rng, media, count):
    n = indices(rng, media, count, kappa=3.0, absorbing=0.6)
    gain = rng.random(n.shape) < 0.05
    n = np.where(gain, n.conj(), n)
    return rng.uniform(0, 500, media - 2), n, wavelengths(rng, count), angle(rng), polarisation(rng)


def critical(rng, media, count):
    """Dense incidence medium, angles around and beyond total internal reflection."""
    n = indices(rng, media, count, low=1.0, high=2.4, kappa=0.5, absorbing=0.2)
    n[0] = rng.uniform(2.5, 4.0)
    theta = rng.choice([-1.0, 1.0]) * rng.uniform(np.arcsin(1.0 / 2.5), np.pi / 2)
    if rng.random() < 0.1:
        theta = np.pi / 2
    return rng.uniform(0, 2000, media - 2), n, wavelengths(rng, count), theta, polarisation(rng)


def thick(rng, media, count):
    """One or two long, lossy or evanescent layers: e^(+|Im δ|) grows to and past overflow."""
    d, n, wl, theta, phi = critical(rng, media, count) if rng.random() < 0.3 else absorbing(rng, media, count)
    if media > 2:
        d[rng.integers(0, media - 2, 2)] = 10.0 ** rng.uniform(2, 7, 2)
    return d, n, wl, theta, phi


def zero_thickness(rng, media, count):
    d, n, wl, theta, phi = absorbing(rng, media, count)
    d[rng.random(media - 2) < 0.5] = 0.0
    d[rng.random(media - 2) < 0.2] = -0.0
    return d, n, wl, theta, phi


def equal_index(rng, media, count):
    d, n, wl, theta, phi = absorbing(rng, media, count)
    for j in range(1, media):
        if rng.random() < 0.5:
            n[j] = n[j - 1]
    return d, n, wl, theta, phi


def zero_wavelength(rng, media, count):
    d, n, wl, theta, phi = absorbing(rng, media, count)
    wl[rng.random(count) < 0.5] = rng.choice([0.0, -0.0])
    return d, n, wl, theta, phi


def zero_index(rng, media, count):
    d, n, wl, theta, phi = absorbing(rng, media, count)
    n[rng.integers(0, media), rng.integers(0, count)] = rng.choice([0.0, complex(-0.0, -0.0)])
    return d, n, wl, theta, phi


SPECIALS = np.array([np.nan, np.inf, -np.inf])


def non_finite(rng, media, count):
    """NaN and ±inf in any input, alone or together."""
    d, n, wl, theta, phi = absorbing(rng, media, count)
    real, imag = n.real.copy(), n.imag.copy()
    for part in (real, imag, d, wl):
        if part.size and rng.random() < 0.3:
            part.flat[rng.integers(0, part.size)] = rng.choice(SPECIALS)
    if rng.random() < 0.15:
        theta = rng.choice(SPECIALS)
    if rng.random() < 0.15:
        phi = rng.choice(SPECIALS)
    return d, compose(real, imag), wl, theta, phi


def log_uniform(rng, shape, low, high):
    return rng.choice([-1.0, 1.0], shape) * 10.0 ** rng.uniform(low, high, shape)


def wild(rng, media, count):
    """Negative and extreme magnitudes, huge angles: nothing is validated, all must agree."""
    n_exp, d_exp, wl_exp = ((-150, 150),) * 3 if rng.random() < 0.3 else ((-1, 0.6), (-1, 2), (1, 2))
    n = compose(log_uniform(rng, (media, count), *n_exp), log_uniform(rng, (media, count), *n_exp))
    d = log_uniform(rng, media - 2, *d_exp)
    wl = log_uniform(rng, count, *wl_exp)
    theta, phi = log_uniform(rng, 2, -10, rng.choice([6, 300]))
    return d, n, wl, theta, phi


def layout(rng, media, count):
    """Strided, Fortran-ordered and oversized arrays: only the addressed elements count."""
    d, n, wl, theta, phi = absorbing(rng, media, 2 * count + 3)
    n = np.asfortranarray(n) if rng.random() < 0.5 else n[:, ::2]
    d = np.concatenate([d, rng.uniform(0, 500, 3)])[::-1].copy()[::-1]  # same order, negative stride
    return d, n, wl[: 2 * count : 2], theta, phi


KINDS = {f.__name__: f for f in (lossless, absorbing, critical, thick, zero_thickness, equal_index,
                                 zero_wavelength, zero_index, non_finite, wild, layout)}
CASES_PER_KIND = 30


@pytest.mark.parametrize("seed", range(CASES_PER_KIND))
@pytest.mark.parametrize("kind", KINDS)
def test_random_stacks(kind, seed):
    rng = np.random.default_rng([list(KINDS).index(kind), seed])
    media = int(rng.integers(2, 31))
    count = int(rng.integers(1, 9))  # one to two lanes of four, with remainders
    assert_matches_reference(*KINDS[kind](rng, media, count))


@pytest.mark.parametrize("kind, count", [("lossless", 101), ("absorbing", 250), ("critical", 101),
                                         ("non_finite", 250), ("zero_index", 100)])
def test_parallel_sweeps(kind, count):
    rng = np.random.default_rng([99, count, list(KINDS).index(kind)])
    assert_matches_reference(*KINDS[kind](rng, int(rng.integers(2, 9)), count))


# --- the C library property that makes ±theta symmetric -------------------------------------

def test_glibc_sin_is_odd_and_cos_even():
    rng = np.random.default_rng(7)
    finite_patterns = rng.integers(0, 0x7FF0000000000000, 4000, dtype=np.uint64).view(np.float64)
    y = np.concatenate([
        rng.uniform(-10, 10, 4000),
        10.0 ** rng.uniform(-320, 308.2, 4000),
        finite_patterns,
        np.arange(-200, 200) * (np.pi / 4),
        [0.0, 5e-324, 2.2250738585072014e-308, 1e22, 2.0 ** 1023, np.finfo(np.float64).max],
    ])
    sin, cos = reference.sin, reference.cos
    pairs = np.array([(sin(-v), -sin(v), cos(-v), cos(v)) for v in y.tolist()])
    bits = pairs.view(np.uint64)
    assert (bits[:, 0] == bits[:, 1]).all(), y[bits[:, 0] != bits[:, 1]][:5]
    assert (bits[:, 2] == bits[:, 3]).all(), y[bits[:, 2] != bits[:, 3]][:5]


def test_glibc_sincos_gives_sin_and_cos():
    """The kernel calls sincos for half an atan2 angle and for a layer's phase (any finite value);
    it checks a sample at start-up and falls back to sin and cos, but should never need to."""
    sincos = reference._libm.sincos
    sincos.restype = None
    sincos.argtypes = [ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)]
    rng = np.random.default_rng(11)
    finite_patterns = rng.integers(0, 0x7FF0000000000000, 20000, dtype=np.uint64).view(np.float64)
    x = np.concatenate([
        rng.uniform(-np.pi / 2, np.pi / 2, 40000),
        rng.uniform(-1e5, 1e5, 40000),
        rng.choice([-1.0, 1.0], 20000) * 10.0 ** rng.uniform(-20, 20, 20000),
        finite_patterns * rng.choice([-1.0, 1.0], 20000),
        np.arange(-2000, 2000) * (np.pi / 4),
    ])
    s, c = ctypes.c_double(), ctypes.c_double()
    paired = []
    for v in x.tolist():
        sincos(v, ctypes.byref(s), ctypes.byref(c))
        paired.append((s.value, c.value, reference.sin(v), reference.cos(v)))
    bits = np.array(paired).view(np.uint64)
    assert (bits[:, 0] == bits[:, 2]).all(), x[bits[:, 0] != bits[:, 2]][:5]
    assert (bits[:, 1] == bits[:, 3]).all(), x[bits[:, 1] != bits[:, 3]][:5]


# --- shapes that the engine refuses, and empty sweeps ---------------------------------------

def broken_shapes(count):
    n = indices(np.random.default_rng(count), 4, count)
    wl = np.linspace(400, 800, count)
    return {
        "fewer columns than wavelengths": (np.ones(2), n[:, : count - 1], wl),
        "one medium": (np.ones(2), n[:1], wl),
        "no media": (np.ones(2), n[:0], wl),
        "short d": (np.ones(1), n, wl),
        "empty d": (np.ones(0), n, wl),
    }


@pytest.mark.parametrize("count", [5, 150])
@pytest.mark.parametrize("case", broken_shapes(5))
def test_broken_shapes_panic(case, count):
    d, n, wl = broken_shapes(count)[case]
    stack = lamina.DataPy(d, n, wl, 0.3, 0.2)
    with pytest.raises(BaseException) as caught:
        stack.simulate()
    panic = caught.value
    assert type(panic).__name__ == "PanicException"
    assert not isinstance(panic, Exception)
    assert str(panic) == PANIC_MESSAGE
    if count == 5:
        with pytest.raises(reference.BoundsError):
            reference.spectra(d, n, wl, 0.3, 0.2)


@pytest.mark.parametrize("shape", [(0, 0), (1, 0), (2, 0), (5, 0), (2, 3), (1, 4)])
@pytest.mark.parametrize("d_length", [0, 4])
def test_empty_sweep(shape, d_length):
    n = np.ones(shape, dtype=np.complex128)
    r, t = simulate(np.ones(d_length), n, np.empty(0), 0.1, 0.2)
    for spectrum in (r, t):
        assert spectrum.dtype == np.float64 and spectrum.shape == (0,)
