"""A 40-digit characteristic-matrix solver in mpmath: the reference for phases and delays.

tmm's conventions: interface matrices [[1, r], [r, 1]]/t with Fresnel r and t for s or p, layer
matrices diag(e^{−iδ}, e^{iδ}) with δ = k0·q·d and q = √(n² − (n₀ sin θ₀)²), r = M10/M00 and
t = 1/M00. Material dispersion enters through callables n(λ) evaluated in mpmath.
"""

from __future__ import annotations

import mpmath

mp = mpmath.mp

#: The speed of light in nm per fs.
C = mpmath.mpf("299.792458")


def amplitudes(d, n, wl, sin_theta, pol):
    """(r, t) of media n (mp complex, incidence first) and thicknesses d at wavelength wl."""
    k0 = 2 * mp.pi / wl
    kx = n[0] * sin_theta
    q = [mp.sqrt(x * x - kx * kx) for x in n]
    # The forward branch: decaying, or carrying power forwards.
    q = [x if (mp.im(x) > 0 or (mp.im(x) == 0 and mp.re(x) >= 0)) else -x for x in q]
    m = mp.eye(2)
    for j in range(len(n) - 1):
        if j > 0:
            delta = k0 * q[j] * d[j - 1]
            m = m * mp.matrix([[mp.exp(-1j * delta), 0], [0, mp.exp(1j * delta)]])
        if pol == "s":
            r = (q[j] - q[j + 1]) / (q[j] + q[j + 1])
            t = 2 * q[j] / (q[j] + q[j + 1])
        else:
            a, b = n[j + 1] ** 2 * q[j], n[j] ** 2 * q[j + 1]
            r = (a - b) / (a + b)
            t = 2 * n[j] * n[j + 1] * q[j] / (a + b)
        m = m * mp.matrix([[1 / t, r / t], [r / t, 1 / t]])
    return m[1, 0] / m[0, 0], 1 / m[0, 0]


def delays(d, index_of, omega, sin_theta, pol, which):
    """(GD fs, GDD fs²) of r (which=0) or t (which=1) at angular frequency omega (rad/fs).

    index_of(λ) gives the media's indices at a wavelength; the phase is differentiated in ω with
    θ₀ held fixed.
    """
    def phase(w):
        wl = 2 * mp.pi * C / w
        return mp.arg(amplitudes(d, index_of(wl), wl, sin_theta, pol)[which])

    return mp.diff(phase, omega), mp.diff(phase, omega, 2)
