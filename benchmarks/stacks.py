"""The benchmark's stacks, defined once for every contender and for libm_floor.

Air / alternating weakly absorbing Cauchy dielectrics (TiO2- and SiO2-like,
quarter-wave at 600 nm give or take 15 %), with an 8 nm Drude metal in the middle
from 10 media on / glass; 400-1000 nm; theta = 0.5, phi = 0.7.

libm_floor.cpp builds no stack of its own: `write_floor_arguments` hands it the
arguments of every C-library call a sweep of these stacks makes.
"""

from pathlib import Path

import numpy as np

import numpy_tmm

THETA = 0.5
PHI = 0.7
MEDIA = (3, 10, 50)
WAVELENGTHS = (100, 1_000, 10_000, 100_000)
HEADLINE = (10, 10_000)  # the stack the goals are stated for
SCALING_WIDTH = 100_000  # where 2 threads over 1 is judged
MEMORY_CASE = (10, 1_000_000)
WIDE_WIDTH = 1_000_000  # one thread at the headline K: the cost per wavelength of a large sweep
FLOOR_WIDTH = 10_000
# The smallest sweep the pool runs and the largest the calling thread runs alone.
HANDOFF_POOLED = (3, 101)
HANDOFF_SERIAL = (3, 100)

# A few seconds in all, for CI and the smoke test: the same stacks, smaller.
QUICK = {
    "media": (3, 10),
    "wavelengths": (100, 1_000),
    "headline": (10, 1_000),
    "scaling_width": 1_000,
    "memory_case": (10, 100_000),
    "floor_width": 1_000,
}

FLOOR_MAGIC = "lamina-floor-arguments"


def make_stack(media, width):
    """(d, n, wl): inner thicknesses (nm), indices of shape (media, width), wavelengths (nm)."""
    if media < 2 or width < 1:
        raise ValueError("a stack needs at least two media and one wavelength")
    wl = np.linspace(400.0, 1000.0, width)
    um2 = (wl / 1000.0) ** 2
    high = 2.10 + 0.020 / um2 + 1j * (1.5e-3 * 0.16 / um2)  # TiO2-like, weakly absorbing
    low = 1.46 + 0.0040 / um2 + 1j * (2e-4 * 0.4 / np.sqrt(um2))  # SiO2-like
    energy = 1239.841984 / wl  # photon energy in eV
    metal = np.sqrt(1.0 - 9.0**2 / (energy * (energy + 0.07j)))  # Drude, silver-like
    glass = 1.52 + 0.0042 / um2

    n = np.empty((media, width), dtype=np.complex128)
    d = np.empty(media - 2)
    metal_layer = (media - 1) // 2 if media >= 10 else None
    for j in range(1, media - 1):
        if j == metal_layer:
            n[j], d[j - 1] = metal, 8.0
        else:
            quarter_wave = 600.0 / (4 * 2.1) if j % 2 else 600.0 / (4 * 1.46)
            n[j] = high if j % 2 else low
            d[j - 1] = quarter_wave * (1 + 0.15 * np.sin(1.7 * j))
    n[0] = 1.0
    n[-1] = glass
    return d, n, wl


def floor_arguments(media, width):
    """Per wavelength, in the order libm_floor reads them, as complex numbers:

    * media + 1 radicands: n_j^2 - (n_0 sin theta)^2 of every medium, then the
      transmittance's n_L^2 - n_0^2 sin^2 theta;
    * media - 2 layer exponents w = i k_j d_j (exp takes +-Re w, sincos Im w);
    * 4 amplitudes whose moduli the spectra take: r_s, r_p, t_s, t_p.

    Formed as the per-wavelength formulas form them, so every call sees the value
    (and the zero imaginary parts) that lamina's calls see.
    """
    d, n, wl = make_stack(media, width)
    x, y = n.real, n.imag
    s = np.sin(THETA)
    u, v = s * x[0], s * y[0]
    xi_re, xi_im = u * u - v * v, 2.0 * (u * v)
    radicands = np.empty((width, media + 1), dtype=np.complex128)
    radicands.real[:, :media] = ((x * x - y * y) - xi_re).T
    radicands.imag[:, :media] = (2.0 * (x * y) - xi_im).T
    sq0_re, sq0_im = x[0] * x[0] - y[0] * y[0], 2.0 * (x[0] * y[0])
    radicands.real[:, media] = (x[-1] * x[-1] - y[-1] * y[-1]) - sq0_re * (s * s)
    radicands.imag[:, media] = 2.0 * (x[-1] * y[-1]) - sq0_im * (s * s)

    q = np.sqrt(radicands[:, :media].T)  # the principal root, as lamina takes it
    k = n * (2.0 * np.pi * (q / n)) / wl
    phases = (1j * k[1:-1] * d[:, np.newaxis]).T if media > 2 else np.empty((width, 0), complex)

    r_amplitude, t_amplitude, _ = numpy_tmm.amplitudes(d, n, wl, THETA)
    moduli = np.stack([r_amplitude[0], r_amplitude[1], t_amplitude[0], t_amplitude[1]], axis=1)
    return np.ascontiguousarray(np.concatenate([radicands, phases, moduli], axis=1))


def write_floor_arguments(path, media, width):
    """Write the file libm_floor reads: one text line, then float64 pairs (re, im)
    in native byte order, one record of 2 * media + 3 complex numbers per wavelength."""
    arguments = floor_arguments(media, width)
    with Path(path).open("wb") as out:
        out.write(f"{FLOOR_MAGIC} media={media} wavelengths={width}\n".encode())
        out.write(arguments.astype(np.complex128).tobytes())
    return Path(path)
