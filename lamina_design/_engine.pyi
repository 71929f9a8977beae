# The native engine's Python face: complex amplitudes, derivatives and fields
# for batches of stacks, computed on lamina's worker pool with the GIL released.
#
# Every function takes one batch:
#   d      float64    (B, K-2)             layer thicknesses, one row per stack
#   n      complex128 (B, K, W) or (K, W)  indices per stack, or shared by all
#   wl     float64    (W,)                 vacuum wavelengths (d's unit)
#   theta  float64    (A,)                 angles of incidence in the incidence medium, radians
# NumPy arrays must have exactly these dtypes (TypeError otherwise); lists are
# converted. Shapes that do not fit raise ValueError naming the argument, the
# expected and the received shape. Results are (B, A, W); functions that give
# both polarisations put them on a leading axis of 2, s then p. Every function
# takes `out`-style arguments: preallocated C-contiguous arrays of the result's shape and dtype,
# sharing no memory with each other or with the inputs (ValueError otherwise).
# A request whose new results and working memory exceed the memory available
# raises MemoryError before anything is allocated; empty results return at once.
# Results do not depend on the number of threads, to the bit.
#
# Conventions (tmm's): r = M10 / M00 and t = 1 / M00 of the characteristic
# matrix, with r_p = (n_2 cos_1 - n_1 cos_2) / (n_2 cos_1 + n_1 cos_2) at an
# interface, so r_p = -r_s at normal incidence. Phases are np.angle(r),
# np.angle(t). |r| as C's hypot, np.hypot(r.real, r.imag), gives lamina's bits
# (np.abs of a complex array rounds differently).
from typing import Any, Literal, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

def amplitudes(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    r: Optional[NDArray[np.complex128]] = None,
    t: Optional[NDArray[np.complex128]] = None,
    normal_shortcut: bool = True,
) -> Tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """r and t, each (2, B, A, W): s then p.

    The power-of-two exponents that keep thick absorbing stacks from
    overflowing are folded in, so r and t are finite wherever the physics is;
    t may underflow to 0. At normal incidence with every medium lossless, p
    is taken from s (r_p = -r_s, t_p = t_s) wherever that gives exactly the
    bits of computing p, and computed otherwise; normal_shortcut=False always
    computes both polarisations (the same results, more slowly).
    """

def spectra(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    phi: float = 0.0,
    *,
    R: Optional[NDArray[np.float64]] = None,
    T: Optional[NDArray[np.float64]] = None,
) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """lamina's R and T, each (B, A, W), for light polarised at angle phi.

    Computed from the amplitudes with lamina's formulas in lamina's order: for
    every stack b and angle a, R[b, a] and T[b, a] equal
    lamina.DataPy(d[b], n[b], wl, theta[a], phi).simulate()'s r and t bit for
    bit (T in lamina's eta form; see transmittance for the power flux).
    """

def transmittance(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    convention: Literal["flux", "eta"] = "flux",
    out: Optional[NDArray[np.float64]] = None,
) -> NDArray[np.float64]:
    """T for s and p, (2, B, A, W).

    "flux": the power flux into the exit medium over the incident one, as tmm
    and PyMoosh give it: |t|^2 Re(n_K cos_K) / Re(n_0 cos theta) for s and
    |t|^2 Re(n_K conj(cos_K)) / Re(n_0 conj(cos theta)) for p; with a lossless
    incidence medium R + T + absorption = 1 for both.
    "eta": lamina's form, |t|^2 Re(n_K cos_K / (n_0 cos theta)) for both; the
    same as "flux" for s, and for p unless the exit medium absorbs.
    """

def polarised_spectra(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    convention: Literal["flux", "eta"] = "flux",
    R: Optional[NDArray[np.float64]] = None,
    T: Optional[NDArray[np.float64]] = None,
) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """R and T for s and p, each (2, B, A, W), from one sweep.

    R is |r|^2 with |r| as hypot gives it: np.hypot(r.real, r.imag) ** 2 of
    amplitudes()'s r, bit for bit. T is transmittance(convention=...)'s, bit
    for bit ("flux" by default: tmm's T).
    """

def ellipsometry(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    psi: Optional[NDArray[np.float64]] = None,
    delta: Optional[NDArray[np.float64]] = None,
) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Psi and Delta in radians, each (B, A, W): tan(Psi) exp(i Delta) = -r_p / r_s.

    tmm's ellips convention (with its sign of r_p); Psi in [0, pi/2], Delta in
    [-pi, pi].
    """

# --- Exact derivatives, all layers in one sweep (axis 0: s, then p) ---

def amplitude_derivatives(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    indices: bool = True,
    out: Optional[Tuple[NDArray[np.complex128], ...]] = None,
) -> Tuple[NDArray[np.complex128], ...]:
    """(dr_dd, dt_dd, dr_dn, dt_dn): (2, B, A, W, K-2) for the thicknesses and
    (2, B, A, W, K) for the index of every medium (complex derivatives: r and t
    are analytic in each index). indices=False: (dr_dd, dt_dd) only. `out`:
    the arrays to write into (4, or 2 with indices=False), preallocated."""

def power_jacobian(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    convention: Literal["flux", "eta"] = "flux",
    out: Optional[
        Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]
    ] = None,
) -> Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """(R, T, dR_dd, dT_dd): (2, B, A, W) and (2, B, A, W, K-2); T as in
    transmittance(). `out`: the four arrays to write into, preallocated."""

def wavenumber_derivatives(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    dn_dwl: Optional[ArrayLike] = None,
    d2n_dwl2: Optional[ArrayLike] = None,
    phases: bool = False,
    out: Optional[Tuple[NDArray[Any], ...]] = None,
) -> Tuple[NDArray[Any], ...]:
    """r and t with their first two derivatives in k0 = 2 pi / wl: (r, dr_dk0,
    d2r_dk0, t, dt_dk0, d2t_dk0), each (2, B, A, W) complex128. dn_dwl and
    d2n_dwl2 (n's shape, complex128) carry the material dispersion.

    phases=True gives instead (dphi_r_dk0, d2phi_r_dk0, dphi_t_dk0,
    d2phi_t_dk0), float64, with phi = arg r or arg t. Fields vary as
    exp(-i omega t), so the group delay is GD = dphi/domega = dphi_dk0 / c and
    the group delay dispersion GDD = d2phi/domega^2 = d2phi_dk0 / c^2 (c in d's
    unit of length per unit of time); a delay is positive.

    `out`: the arrays to write into (6 complex128, or 4 float64 with
    phases=True), preallocated.
    """

# --- Fields and absorption (axis 0: s, then p) ---

def fields(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    z: ArrayLike,
    *,
    out: Optional[
        Tuple[NDArray[np.complex128], NDArray[np.complex128], NDArray[np.float64], NDArray[np.float64]]
    ] = None,
) -> Tuple[NDArray[np.complex128], NDArray[np.complex128], NDArray[np.float64], NDArray[np.float64]]:
    """(e_tangential, e_normal, poynting, absorption), each (2, B, A, W, Z), for
    unit incident amplitude at depths z (0 at the front of the first layer,
    negative in the incidence medium). e_tangential is E_y for s and E_x for p;
    e_normal is E_z for p and 0 for s; poynting is the flux along z and
    absorption the absorbed power per unit length, both over the incident flux
    (tmm's position_resolved conventions). `out`: the four arrays to write
    into, preallocated."""

def absorbed(
    d: ArrayLike, n: ArrayLike, wl: ArrayLike, theta: ArrayLike, *, out: Optional[NDArray[np.float64]] = None
) -> NDArray[np.float64]:
    """The fraction of the incident power absorbed in each inner layer,
    (2, B, A, W, K-2). With a lossless incidence medium, R + T (as a flux) + the
    sum over the layers is 1."""
