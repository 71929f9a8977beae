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
nearbyint = _libm_function("nearbyint", 1)
_ldexp = _libm.ldexp
_ldexp.restype = ctypes.c_double
_ldexp.argtypes = [ctypes.c_double, ctypes.c_int]

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
    """An index as the module reads it: a negative-zero imaginary part becomes +0."""
    value = _element(array, *index)
    return (float(value.real), float(value.imag) + 0.0)


def _interface(left, right, p_polarised):
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


def _wavenumber_times_thickness(medium, lam, thickness):
    nj, cj = medium
    k = div_real(mul(nj, scale(cj, TWO_PI)), lam)
    return (-k[1] * thickness, k[0] * thickness)


def _propagation(medium, lam, thickness):
    w = _wavenumber_times_thickness(medium, lam, thickness)
    forward = complex_exp(w)
    backward = complex_exp((-w[0], -w[1]))
    return ((backward, ZERO), (ZERO, forward))


class _Sweep:
    """Indices and cosines of one stack at wavelength index i."""

    def __init__(self, d, n, wl, theta, i):
        media = n.shape[0]
        if i >= len(wl) or i >= n.shape[1] or media < 2:
            raise BoundsError(i)
        self.d, self.n, self.i, self.media = d, n, i, media
        self.lam = float(wl[i])
        self.n0 = _index(n, 0, i)
        self.sin_theta = sin(theta)
        u, v = self.n0[0] * self.sin_theta, self.n0[1] * self.sin_theta
        self.xi = (u * u - v * v, 2.0 * (u * v))

    def medium(self, j):
        nj = _index(self.n, j, self.i)
        x, y = nj
        z = ((x * x - y * y) - self.xi[0], 2.0 * (x * y) - self.xi[1])
        return nj, quotient(principal_sqrt(z), nj)

    def thickness(self, j):
        return float(_element(self.d, j - 1))

    def finite_inputs(self):
        values = [self.lam, self.sin_theta]
        for j in range(self.media):
            values.extend(_index(self.n, j, self.i))
        values.extend(self.thickness(j) for j in range(1, self.media - 1))
        return all(math.isfinite(v) for v in values)


def _is_zero(c):
    return c[0] == 0.0 and c[1] == 0.0


def _regular_matrix(sweep, p_polarised):
    current = sweep.medium(0)
    following = sweep.medium(1)
    m = _interface(current, following, p_polarised)
    for j in range(1, sweep.media - 1):
        current, following = following, sweep.medium(j + 1)
        m = matmul(matmul(m, _propagation(current, sweep.lam, sweep.thickness(j))),
                   _interface(current, following, p_polarised))
    return m


LIMIT = 2.0 ** 511
EXPONENT_LIMIT = 1 << 30
LN2 = 0.6931471805599453


def _out_of_range(m):
    return not all(-LIMIT < x < LIMIT for x in (*m[0][0], *m[1][0]))


def _add_exponents(a, b):
    return max(-EXPONENT_LIMIT, min(EXPONENT_LIMIT, a + b))


def _normalise(m, e):
    parts = [x for row in m for z in row for x in z]
    if not all(math.isfinite(x) for x in parts):
        return m, e
    top = max(abs(x) for x in parts)
    if top == 0.0:
        return m, e
    k = math.frexp(top)[1]
    m = tuple(tuple((math.ldexp(z[0], -k), math.ldexp(z[1], -k)) for z in row) for row in m)
    return m, _add_exponents(e, k)


def _scaled_propagation(medium, lam, thickness):
    w = _wavenumber_times_thickness(medium, lam, thickness)
    a = abs(w[0])
    if not a > 708.0:
        forward = complex_exp(w)
        backward = complex_exp((-w[0], -w[1]))
        return ((backward, ZERO), (ZERO, forward)), 0
    # An opaque layer: growth past the saturated exponent and a phase past the double range
    # are dropped (test_limits checks these R against a 40-digit solver, T against 0).
    e = min(nearbyint(a / LN2), float(EXPONENT_LIMIT))
    big, small = exp(a - e * LN2), exp(-a - e * LN2)
    if math.isinf(big):
        big, small = 1.0, 0.0
    grow, decay = (big, small) if w[0] < 0.0 else (small, big)
    cos_y, sin_y = (cos(w[1]), sin(w[1])) if math.isfinite(w[1]) else (1.0, 0.0)
    return (((grow * cos_y, grow * -sin_y), ZERO), (ZERO, (decay * cos_y, decay * sin_y))), int(e)


def _fields_of_modes(medium, p_polarised):
    nj, cj = medium
    if p_polarised:
        return ((cj, (-cj[0], -cj[1])), (nj, nj))
    nc = mul(cj, nj)
    return ((ONE, ONE), (nc, (-nc[0], -nc[1])))


def _modes_of_fields(medium, p_polarised):
    nj, cj = medium
    if p_polarised:
        u, v = reciprocal(add(cj, cj)), reciprocal(add(nj, nj))
        return ((u, v), ((-u[0], -u[1]), v))
    nc = mul(cj, nj)
    h = reciprocal(add(nc, nc))
    return (((0.5, 0.0), h), ((0.5, 0.0), (-h[0], -h[1])))


def _critical_layer(nj, lam, thickness, p_polarised):
    g = (TWO_PI / lam) * thickness
    if p_polarised:
        v = scale(square(nj), g)
        return ((ONE, ZERO), ((v[1], -v[0]), ONE))
    return ((ONE, (0.0, -g)), (ZERO, ONE))


def _exceptional_matrix(sweep, p_polarised):
    last = sweep.media - 1
    current, following = sweep.medium(0), sweep.medium(1)
    next_critical = 1 < last and _is_zero(following[1])
    m = _modes_of_fields(current, p_polarised) if next_critical else _interface(current, following, p_polarised)
    m, e = _normalise(m, 0)
    for j in range(1, last):
        this_critical = next_critical
        current, following = following, sweep.medium(j + 1)
        next_critical = j + 1 < last and _is_zero(following[1])
        if this_critical:
            m, e = _normalise(matmul(m, _critical_layer(current[0], sweep.lam, sweep.thickness(j), p_polarised)), e)
            if next_critical:
                continue
            m = matmul(m, _fields_of_modes(following, p_polarised))
        else:
            p, layer_exponent = _scaled_propagation(current, sweep.lam, sweep.thickness(j))
            m, e = _normalise(matmul(m, p), _add_exponents(e, layer_exponent))
            factor = (_modes_of_fields(current, p_polarised) if next_critical
                      else _interface(current, following, p_polarised))
            m = matmul(m, factor)
        m, e = _normalise(m, e)
    return m, e


def characteristic_matrix(d, n, wl, theta, i, p_polarised):
    """Transfer matrix M = D_0 P_1 D_1 ... P_{K-2} D_{K-2} at wavelength index i, as (m, e) with
    M = m · 2^e. Where that product fails on finite inputs (a layer exactly at its critical angle,
    or an overflow) it is recomputed with critical layers in their limit and a running exponent."""
    sweep = _Sweep(d, n, wl, theta, i)
    m = _regular_matrix(sweep, p_polarised)
    # A layer exactly at its critical angle makes the product infinite, so it is out of range too.
    if _out_of_range(m) and sweep.finite_inputs():
        return _exceptional_matrix(sweep, p_polarised)
    return m, 0


def reflectance(s_scaled, p_scaled, phi):
    (s_matrix, _), (p_matrix, _) = s_scaled, p_scaled
    c, s = cos(phi), sin(phi)
    rho_s = modulus(quotient(s_matrix[1][0], s_matrix[0][0]))
    rho_p = modulus(quotient(p_matrix[1][0], p_matrix[0][0]))
    return (rho_s * rho_s) * (c * c) + (rho_p * rho_p) * (s * s)


def times_power_of_two(x, e):
    return x if e == 0 else _ldexp(x, e)


def transmittance(s_scaled, p_scaled, n, i, theta, phi):
    (s_matrix, s_exponent), (p_matrix, p_exponent) = s_scaled, p_scaled
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
    tau_s = times_power_of_two(modulus(reciprocal(s_matrix[0][0])), -s_exponent)
    tau_p = times_power_of_two(modulus(reciprocal(p_matrix[0][0])), -p_exponent)
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
