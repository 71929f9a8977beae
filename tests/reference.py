"""Slow, independent reference for lamina's spectra, reproducing its arithmetic to the last bit.

A complex number is a pair (re, im) of Python floats; every product and every sum is one IEEE
operation in the order the formulas give, so the results can be compared bit for bit with the
module. The transcendental functions come from the C library itself: CPython's math.hypot is its
own algorithm, math.exp raises on overflow and NumPy's ufuncs may take SIMD code paths, and any
of those would change the last bits.
"""

import ctypes
import math

import numpy as np

_libm = ctypes.CDLL("libm.so.6")


def _libm_function(name, arity):
    function = getattr(_libm, name)
    function.restype = ctypes.c_double
    function.argtypes = [ctypes.c_double] * arity
    return function


sin = _libm_function("sin", 1)
cos = _libm_function("cos", 1)
exp = _libm_function("exp", 1)
sqrt = _libm_function("sqrt", 1)
atan2 = _libm_function("atan2", 2)
hypot = _libm_function("hypot", 2)

INF = math.inf
NAN = math.nan
TWO_PI = 6.283185307179586
ZERO = (0.0, 0.0)
ONE = (1.0, 0.0)


class BoundsError(IndexError):
    """An array access outside its shape: the module reports it as 'ndarray: index out of bounds'."""


def sign_bit(x):
    return math.copysign(1.0, x) < 0.0


def fdiv(a, b):
    """IEEE division; Python's own float division raises on a zero divisor."""
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return -INF if sign_bit(a) != sign_bit(b) else INF
    return a / b


# --- complex arithmetic -------------------------------------------------------------------

def add(a, b):
    return (a[0] + b[0], a[1] + b[1])


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1])


def mul(a, b):
    return (a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0])


def square(a):
    return (a[0] * a[0] - a[1] * a[1], 2.0 * (a[0] * a[1]))


def scale(a, k):
    return (a[0] * k, a[1] * k)


def div_real(a, k):
    return (fdiv(a[0], k), fdiv(a[1], k))


def quotient(a, b):
    """Textbook quotient: no scaling, no special cases; 1/b keeps its products by zero."""
    norm = b[0] * b[0] + b[1] * b[1]
    return (fdiv(a[0] * b[0] + a[1] * b[1], norm), fdiv(a[1] * b[0] - a[0] * b[1], norm))


def reciprocal(b):
    return quotient(ONE, b)


def modulus(a):
    return hypot(a[0], a[1])


def principal_sqrt(z):
    x, y = z
    if y == 0.0:
        if not sign_bit(x):
            return (sqrt(x), y)
        root = sqrt(-x)
        return (0.0, -root if sign_bit(y) else root)
    if x == 0.0:
        h = sqrt(abs(y) * 0.5)
        return (h, -h if sign_bit(y) else h)
    r = hypot(x, y)
    alpha = atan2(y, x)
    root_r = sqrt(r)
    return (cos(alpha * 0.5) * root_r, sin(alpha * 0.5) * root_r)


def complex_exp(z):
    x, y = z
    if x == INF:
        if y == 0.0 or not math.isfinite(y):
            return (x, NAN if math.isinf(y) else y)
    elif x == -INF:
        if not math.isfinite(y):
            return ZERO
    elif x != x and y == 0.0:
        return z
    e = exp(x)
    return (e * cos(y), e * sin(y))


# --- 2x2 matrices as ((m00, m01), (m10, m11)) ---------------------------------------------

def matmul(a, b):
    return tuple(
        tuple(add(mul(a[r][0], b[0][c]), mul(a[r][1], b[1][c])) for c in range(2))
        for r in range(2)
    )


# --- the stack ----------------------------------------------------------------------------

def _element(array, *index):
    for i, size in zip(index, array.shape):
        if i >= size:
            raise BoundsError(index)
    return array[index]


def _index(array, *index):
    value = _element(array, *index)
    return (float(value.real), float(value.imag))


def characteristic_matrix(d, n, wl, theta, i, p_polarised):
    """Transfer matrix M = D_0 P_1 D_1 ... P_{K-2} D_{K-2} at wavelength index i."""
    media = n.shape[0]
    if i >= len(wl) or i >= n.shape[1] or media < 2:
        raise BoundsError(i)
    lam = float(wl[i])
    n0 = _index(n, 0, i)

    s = sin(theta)
    u, v = n0[0] * s, n0[1] * s
    xi = (u * u - v * v, 2.0 * (u * v))

    def index_and_cosine(j):
        nj = _index(n, j, i)
        x, y = nj
        z = ((x * x - y * y) - xi[0], 2.0 * (x * y) - xi[1])
        return nj, quotient(principal_sqrt(z), nj)

    def interface(left, right):
        (nj, cj), (nk, ck) = left, right
        if p_polarised:
            a, b = mul(cj, nk), mul(ck, nj)
        else:
            a, b = mul(cj, nj), mul(ck, nk)
        denominator = add(a, b)
        r = quotient(sub(a, b), denominator)
        t = quotient(mul(add(nj, nj), cj), denominator)
        inv_t = reciprocal(t)
        r_over_t = quotient(r, t)
        return ((inv_t, r_over_t), (r_over_t, inv_t))

    def propagation(medium, thickness):
        nj, cj = medium
        k = div_real(mul(nj, scale(cj, TWO_PI)), lam)
        w = (-k[1] * thickness, k[0] * thickness)
        forward = complex_exp(w)
        backward = complex_exp((-w[0], -w[1]))
        return ((backward, ZERO), (ZERO, forward))

    current = index_and_cosine(0)
    following = index_and_cosine(1)
    m = interface(current, following)
    for j in range(1, media - 1):
        current, following = following, index_and_cosine(j + 1)
        thickness = float(_element(d, j - 1))
        m = matmul(matmul(m, propagation(current, thickness)), interface(current, following))
    return m


def reflectance(s_matrix, p_matrix, phi):
    c, s = cos(phi), sin(phi)
    rho_s = modulus(quotient(s_matrix[1][0], s_matrix[0][0]))
    rho_p = modulus(quotient(p_matrix[1][0], p_matrix[0][0]))
    return (rho_s * rho_s) * (c * c) + (rho_p * rho_p) * (s * s)


def transmittance(s_matrix, p_matrix, n, i, theta, phi):
    if n.shape[0] < 1 or i >= n.shape[1]:
        raise BoundsError(i)
    n0 = _index(n, 0, i)
    n_exit = _index(n, n.shape[0] - 1, i)
    n0_sq, exit_sq = square(n0), square(n_exit)
    sin_theta = sin(theta)
    q = sin_theta * sin_theta
    z = (exit_sq[0] - n0_sq[0] * q, exit_sq[1] - n0_sq[1] * q)
    w = principal_sqrt(z)
    a = scale(n0, cos(theta))
    eta = fdiv(w[0] * a[0] + w[1] * a[1], a[0] * a[0] + a[1] * a[1])
    tau_s = modulus(reciprocal(s_matrix[0][0]))
    tau_p = modulus(reciprocal(p_matrix[0][0]))
    sigma_s, sigma_p = tau_s * tau_s, tau_p * tau_p
    c, s = cos(phi), sin(phi)
    return ((c * c) * sigma_s + (s * s) * sigma_p) * eta


def spectra(d, n, wl, theta, phi):
    """(R, T) as float64 arrays; raises BoundsError where the module raises its panic."""
    d = np.asarray(d, dtype=np.float64)
    n = np.asarray(n, dtype=np.complex128)
    wl = np.asarray(wl, dtype=np.float64)
    theta, phi = float(theta), float(phi)
    count = len(wl)
    s_list = [characteristic_matrix(d, n, wl, theta, i, False) for i in range(count)]
    p_list = [characteristic_matrix(d, n, wl, theta, i, True) for i in range(count)]
    r = [reflectance(sm, pm, phi) for sm, pm in zip(s_list, p_list)]
    t = [transmittance(sm, pm, n, i, theta, phi) for i, (sm, pm) in enumerate(zip(s_list, p_list))]
    return np.array(r, dtype=np.float64), np.array(t, dtype=np.float64)
