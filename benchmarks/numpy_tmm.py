"""Two NumPy-vectorised transfer-matrix methods, both vectorised over wavelengths.

* `reflectance_transmittance`, tuned: one complex array per matrix entry, s and p
  stacked on a leading axis, interface admittances so both polarisations share one
  Fresnel form, one `exp` per layer.
* `reflectance_transmittance_textbook`: the formulas as they are usually written,
  one polarisation at a time, each interface and propagation matrix a (W, 2, 2)
  array, the product taken with `@`.

Same conventions as lamina: a forward wave gains exp(+i delta) across a layer, a
positive imaginary index part absorbs, q_j = n_j cos(theta_j) is the principal
square root of n_j**2 - (n_0 sin theta)**2, the incident power is split cos**2 phi
into s and sin**2 phi into p, and T carries the factor
eta = Re(n_L cos(theta_L) / (n_0 cos theta)).

The loops run over the media only.  Both are accurate to rounding, not
bit-identical to lamina.
"""

import numpy as np


def _inputs(d, n, wl):
    n = np.asarray(n, dtype=np.complex128)
    if n.ndim == 1:
        n = n[:, np.newaxis]
    d = np.asarray(d, dtype=np.float64)
    wl = np.asarray(wl, dtype=np.float64)
    if n.shape[0] < 2:
        raise ValueError("a stack needs at least two media")
    if d.size < n.shape[0] - 2:
        raise ValueError("need one thickness per inner layer")
    return d, n, wl


def reflectance_transmittance(d, n, wl, theta, phi):
    """Return (R, T), two float64 arrays over wavelengths.

    d: inner-layer thicknesses (at least K - 2 entries), n: complex indices of
    shape (K media, W wavelengths), wl: wavelengths in the unit of d, theta: angle
    of incidence in medium 0 and phi: polarisation angle, both in radians.
    """
    r_amplitude, t_amplitude, q = amplitudes(d, n, wl, theta)
    n = _inputs(d, n, wl)[1]
    weights = np.array([np.cos(phi) ** 2, np.sin(phi) ** 2]).reshape((2,) + (1,) * (r_amplitude.ndim - 1))
    reflectance = (weights * np.abs(r_amplitude) ** 2).sum(axis=0)
    eta = (q[-1] / (n[0] * np.cos(theta))).real
    transmittance = (weights * np.abs(t_amplitude) ** 2).sum(axis=0) * eta
    return reflectance, transmittance


def amplitudes(d, n, wl, theta):
    """(r, t, q): the amplitude coefficients, s and p stacked on the first axis
    of r and t, and q_j = n_j cos(theta_j) of every medium."""
    d, n, wl = _inputs(d, n, wl)
    media = n.shape[0]

    n0, n_exit = n[0], n[-1]
    n_squared = n * n
    q = np.sqrt(n_squared - (n0 * np.sin(theta)) ** 2)  # n_j cos(theta_j), principal root

    # Interface admittances: q_j for s, q_j / n_j**2 for p.  With them both
    # polarisations share one Fresnel form, r = (y_a - y_b)/(y_a + y_b) and
    # t = 2 y_a/(y_a + y_b); p's t carries an extra n_a/n_b per interface, whose
    # product over the stack telescopes to n_0/n_exit.
    y = np.empty((media, 2) + q.shape[1:], dtype=np.complex128)
    y[:, 0] = q
    np.divide(q, n_squared, out=y[:, 1])

    two_pi_over_wl = 2.0 * np.pi / wl

    # M = D_0 P_1 D_1 ... P_{K-2} D_{K-2} with D_j = (1/t_j) [[1, r_j], [r_j, 1]]
    # and P_j = diag(exp(-i delta_j), exp(+i delta_j)).  The scalar 1/t_j factors
    # are collected in t_product instead of scaling the four entries.
    sum_ = y[0] + y[1]
    r = (y[0] - y[1]) / sum_
    t_product = 2.0 * y[0] / sum_
    m00 = np.ones_like(r)
    m01 = r
    m10 = r.copy()
    m11 = np.ones_like(r)
    for j in range(1, media - 1):
        delta = (two_pi_over_wl * d[j - 1]) * q[j]
        forward = np.exp(1j * delta)
        backward = 1.0 / forward
        m00 *= backward
        m10 *= backward
        m01 *= forward
        m11 *= forward

        inverse_sum = 1.0 / (y[j] + y[j + 1])
        r = (y[j] - y[j + 1]) * inverse_sum
        t_product *= 2.0 * y[j] * inverse_sum
        m00, m01 = m00 + m01 * r, m00 * r + m01
        m10, m11 = m10 + m11 * r, m10 * r + m11

    t_amplitude = t_product / m00
    t_amplitude[1] *= n0 / n_exit
    return m10 / m00, t_amplitude, q


# --------------------------------------------------------------------------- textbook


def _fresnel(polarisation, n_a, n_b, q_a, q_b):
    """Amplitude coefficients (r, t) from medium a into medium b, q = n cos(theta)."""
    if polarisation == "s":
        denominator = q_a + q_b
        return (q_a - q_b) / denominator, 2.0 * q_a / denominator
    denominator = n_b * n_b * q_a + n_a * n_a * q_b
    return (n_b * n_b * q_a - n_a * n_a * q_b) / denominator, 2.0 * n_a * n_b * q_a / denominator


def _interface_matrix(r, t):
    """D = (1/t) [[1, r], [r, 1]], one 2x2 matrix per wavelength."""
    matrix = np.empty(r.shape + (2, 2), dtype=np.complex128)
    matrix[:, 0, 0] = matrix[:, 1, 1] = 1.0 / t
    matrix[:, 0, 1] = matrix[:, 1, 0] = r / t
    return matrix


def _propagation_matrix(delta):
    """P = diag(exp(-i delta), exp(+i delta)), one 2x2 matrix per wavelength."""
    matrix = np.zeros(delta.shape + (2, 2), dtype=np.complex128)
    matrix[:, 0, 0] = np.exp(-1j * delta)
    matrix[:, 1, 1] = np.exp(1j * delta)
    return matrix


def reflectance_transmittance_textbook(d, n, wl, theta, phi):
    """Return (R, T) as `reflectance_transmittance` does, from the textbook product
    M = D_01 P_1 D_12 P_2 ... D_(K-2)(K-1), one polarisation at a time."""
    d, n, wl = _inputs(d, n, wl)
    media = n.shape[0]
    n0 = n[0]
    q = np.sqrt(n * n - (n0 * np.sin(theta)) ** 2)  # n_j cos(theta_j), principal root
    wavenumber = 2.0 * np.pi / wl

    amplitudes = {}
    for polarisation in ("s", "p"):
        transfer = _interface_matrix(*_fresnel(polarisation, n[0], n[1], q[0], q[1]))
        for j in range(1, media - 1):
            propagation = _propagation_matrix(wavenumber * d[j - 1] * q[j])
            interface = _interface_matrix(*_fresnel(polarisation, n[j], n[j + 1], q[j], q[j + 1]))
            transfer = transfer @ propagation @ interface
        amplitudes[polarisation] = (transfer[:, 1, 0] / transfer[:, 0, 0], 1.0 / transfer[:, 0, 0])

    s_weight, p_weight = np.cos(phi) ** 2, np.sin(phi) ** 2
    (r_s, t_s), (r_p, t_p) = amplitudes["s"], amplitudes["p"]
    reflectance = s_weight * np.abs(r_s) ** 2 + p_weight * np.abs(r_p) ** 2
    eta = (q[-1] / (n0 * np.cos(theta))).real
    transmittance = (s_weight * np.abs(t_s) ** 2 + p_weight * np.abs(t_p) ** 2) * eta
    return reflectance, transmittance
