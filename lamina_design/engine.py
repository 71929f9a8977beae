"""The batch engine: complex amplitudes, exact derivatives and fields for many stacks at once.

These are the functions of the native module ``lamina_design._engine``, the same objects,
under a name that is public and documented. ``lamina.DataPy(...).simulate()`` gives R and T
of one stack at one angle; these give everything the design tools need, for a whole batch,
in one call on lamina's worker pool.

Shapes
------
Every function takes one batch of B stacks of K media (incidence, K − 2 layers, exit) at W
wavelengths and A angles::

    d      float64     (B, K-2)              thicknesses, one row per stack
    n      complex128  (B, K, W) or (K, W)   n + iκ of every medium; (K, W) is shared by all stacks
    wl     float64     (W,)                  vacuum wavelengths, in d's unit of length
    theta  float64     (A,)                  angles of incidence in the incidence medium, radians

Results are indexed (B, A, W): ``R[b, a, w]``. Functions that give both polarisations put
them on a leading axis of 2, s then p: ``r[0]`` is s, ``r[1]`` is p. Derivatives add a last
axis over the layers (K − 2) or the media (K); :func:`fields` a last axis over the depths z.

Dtypes
------
A NumPy array must have exactly the dtype above; a float32 or int array is refused with a
TypeError that names the argument, rather than copied behind your back. Lists and scalars are
converted. A non-contiguous array is copied. A shape that does not fit raises ValueError naming
the argument, the shape expected and the shape received.

Output arrays
-------------
Every function can write into arrays you preallocate, to reuse memory across many calls; each
must be a writeable, C-contiguous NumPy array of exactly the result's shape and dtype (else
TypeError or ValueError), and it is the object returned:

==========================  ===================================================
:func:`amplitudes`           ``r=``, ``t=`` (complex128, (2, B, A, W))
:func:`spectra`              ``R=``, ``T=`` (float64, (B, A, W))
:func:`transmittance`        ``out=`` (float64, (2, B, A, W))
:func:`polarised_spectra`    ``R=``, ``T=`` (float64, (2, B, A, W))
:func:`ellipsometry`         ``psi=``, ``delta=`` (float64, (B, A, W))
:func:`fields`               ``out=`` a tuple of the four arrays
:func:`absorbed`             ``out=`` (float64, (2, B, A, W, K-2))
:func:`amplitude_derivatives`  ``out=`` a tuple of the four arrays (two with ``indices=False``)
:func:`power_jacobian`       ``out=`` a tuple of the four arrays
:func:`wavenumber_derivatives`  ``out=`` a tuple of the six arrays (four with ``phases=True``)
==========================  ===================================================

The arrays given may not share memory with each other nor with the inputs (ValueError naming
both); a tuple of the wrong length is a TypeError, and a part of the wrong shape or dtype is
named as ``out[i]``.

R and T per polarisation
------------------------
:func:`polarised_spectra` gives R and T of s and p, each (2, B, A, W), from one sweep: the
bits of ``np.hypot(r.real, r.imag) ** 2`` from :func:`amplitudes` and of :func:`transmittance`
(T as a power flux by default, as tmm gives it), at the cost of one of those calls rather than
two.

Threads
-------
The interpreter lock is released while the engine computes, so other Python threads run
meanwhile. A batch of more than 100 points (B·A·W) is spread over lamina's worker pool, sized by
the environment variable ``RAYON_NUM_THREADS`` (else the processors available to the process);
smaller ones run on the calling thread.

Exactness
---------
Results do not depend on the number of threads, to the bit. :func:`spectra` gives, for every
stack and angle, exactly the bits of ``lamina.DataPy(d[b], n[b], wl, theta[a], phi).simulate()``.
Derivatives are exact (the transfer matrices' own derivatives, all layers in one sweep), not
finite differences.

Conventions are tmm's: r = M10/M00, t = 1/M00, r_p = −r_s at normal incidence, fields as
exp(−iωt). Each function's docstring gives its formulas; see also ``_engine.pyi``.

Example::

    import numpy as np
    from lamina_design.engine import amplitudes

    d = np.array([[100.0], [120.0]])                     # two one-layer stacks
    n = np.array([[1.0], [1.46], [1.52]], complex) * np.ones(3)   # (K, W), shared
    r, t = amplitudes(d, n, np.array([450.0, 550.0, 650.0]), np.array([0.0]))
    R = np.abs(r[0]) ** 2                                # s, shape (2, 1, 3)
"""
from __future__ import annotations

from lamina_design._engine import absorbed as absorbed
from lamina_design._engine import amplitude_derivatives as amplitude_derivatives
from lamina_design._engine import amplitudes as amplitudes
from lamina_design._engine import ellipsometry as ellipsometry
from lamina_design._engine import fields as fields
from lamina_design._engine import polarised_spectra as polarised_spectra
from lamina_design._engine import power_jacobian as power_jacobian
from lamina_design._engine import spectra as spectra
from lamina_design._engine import transmittance as transmittance
from lamina_design._engine import wavenumber_derivatives as wavenumber_derivatives

__all__ = [
    "absorbed",
    "amplitude_derivatives",
    "amplitudes",
    "ellipsometry",
    "fields",
    "polarised_spectra",
    "power_jacobian",
    "spectra",
    "transmittance",
    "wavenumber_derivatives",
]
