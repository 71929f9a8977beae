"""Stacks that mix coherent films with incoherent (thick) layers, anywhere in the stack.

The media from the incidence medium to the exit are split at every incoherent layer into
coherent groups: each group is the run of coherent films between two incoherent media (possibly
none: a bare interface). Each group is computed by the native engine from both sides; the groups
are then joined by intensities, as in ``tmm.inc_tmm``: a beam crossing an incoherent layer of
index n and thickness d keeps P = exp(−4π·Im(n cos θ)·d/λ) of its power, and the multiply
reflected beams add in power. Per polarisation, with ρ and τ the reflectance and transmittance
seen from inside an incoherent medium towards the exit::

    ρ_g = R_g + T_g·T'_g·P²ρ_{g+1} / (1 − R'_g·P²ρ_{g+1})
    τ_g = T_g·P·τ_{g+1} / (1 − R'_g·P²ρ_{g+1})

(primes: the group seen from its back). The recursion runs from the exit, so very opaque layers
(P → 0) only make terms vanish: nothing overflows.

Angles. The in-plane index kx = n₀ sin θ₀ is the same in every medium, so inside an absorbing
layer the angle of propagation is complex; the engine takes one real angle in the first medium
of a call. Each group is therefore computed behind the real incidence medium: the engine sees
[n₀ | the group's front medium, 0 nm | the group's films | its back medium] at the real θ₀, and
the n₀ | front-medium interface is then removed in closed form (its Fresnel coefficients are
known), which leaves the group's response from inside its absorbing front medium at the complex
angle — exactly what tmm computes, with no approximation.

Powers follow tmm's conventions: a power flux through a medium is Re(n cos θ)|E|² for s and
Re(n cos θ*)|E|² for p; the power entering a group from an absorbing medium includes the
cross term of the incident and the reflected wave, which is why an incoherent layer's absorption
is the power entering it minus the power leaving it, not 1 − R − T of anything. With a lossless
incidence medium, R + T + the absorption of every layer is 1.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple, cast

import numpy as np

from lamina_design.core.checks import admittances, flux_per_e2, forward_cos
from lamina_design.materials.base import ComplexArray, FloatArray

__all__ = ["Group", "Solution", "flux_per_e2", "solve", "split_groups"]

# Axis 0 of every per-polarisation array: s, then p.
_P = np.array([False, True])

#: Counts one engine call; the prepared stack uses it to report how many it made.
Counter = Callable[[], None]


@dataclass(frozen=True)
class Group:
    """The coherent films between incoherent media ``first`` and ``first + 1`` (media indices).

    ``layers`` are the films' positions in the list of inner layers (may be empty).
    """

    front: int
    back: int
    layers: Tuple[int, ...]


def split_groups(coherent: Sequence[bool]) -> Tuple[List[int], List[Group]]:
    """The incoherent media (indices into the media, outer ones included) and the groups between them.

    ``coherent`` has one flag per inner layer; medium i + 1 is inner layer i.
    """
    incoherent = [0] + [i + 1 for i, c in enumerate(coherent) if not c] + [len(coherent) + 1]
    groups = [Group(a, b, tuple(range(a, b - 1))) for a, b in zip(incoherent[:-1], incoherent[1:])]
    return incoherent, groups


@dataclass
class _Side:
    """A group seen from one side, per polarisation (2, W) unless stated."""

    r: ComplexArray          # amplitude reflection from inside the medium it is lit from
    big_r: FloatArray        # |r|²
    big_t: FloatArray        # transmitted flux over the forward flux in the medium lit from
    entering: FloatArray     # flux entering the group over that forward flux (tmm's power_entering)
    scale: FloatArray        # engine quantities (per unit n₀ amplitude) × scale = per unit forward flux
    absorbed: Optional[FloatArray] = None  # (2, L, W) per film, per unit forward flux


@dataclass
class Solution:
    """The joined result of one stack at one angle, per polarisation (axis 0: s, p)."""

    r: FloatArray                  # (2, W)
    t: FloatArray                  # (2, W)
    absorbed: Optional[FloatArray]  # (2, K-2, W), every inner layer, or None
    incoherent: List[int]          # media indices of the incoherent media
    groups: List[Group]
    forward: List[FloatArray]      # per group: forward flux arriving at its front, (2, W)
    backward: List[FloatArray]     # per group: backward flux arriving at its back, (2, W)
    reflect: List[FloatArray]      # per group: ρ from inside the medium before it, towards the exit, (2, W)
    start: List[FloatArray]        # per incoherent medium: forward flux at its front (1, then …, T), (2, W)
    single: List[FloatArray]       # per incoherent medium: P of one pass (1 for the outer ones), (W,)
    sides: List[Tuple[_Side, _Side]]
    cos: ComplexArray              # (K, W) forward cos θ of every medium


def _fresnel(n0: ComplexArray, c0: ComplexArray, n1: ComplexArray,
             c1: ComplexArray) -> Tuple[ComplexArray, ComplexArray]:
    """r and t of the interface n0 | n1 for s and p, (2, W), in tmm's convention."""
    y0, y1 = n0 * c0, n1 * c1
    r_s = (y0 - y1) / (y0 + y1)
    t_s = 2.0 * y0 / (y0 + y1)
    q0, q1 = n1 * c0, n0 * c1
    r_p = (q0 - q1) / (q0 + q1)
    t_p = 2.0 * y0 / (q0 + q1)
    return np.stack([r_s, r_p]), np.stack([t_s, t_p])


def _deembed(r_total: ComplexArray, t_total: ComplexArray, r01: ComplexArray,
             t01: ComplexArray) -> Tuple[ComplexArray, ComplexArray, ComplexArray]:
    """Remove the interface n₀ | medium from a response seen from n₀.

    The stack seen from n₀ is the interface followed by the group seen from the medium (r, t):
    r_total = r01 + t01·t10·r / (1 − r10·r) with r10 = −r01 and t01·t10 = 1 − r01². Returns the
    group's r and t and the forward amplitude in the medium per unit amplitude in n₀.
    """
    x = r_total - r01
    r = x / (1.0 - r01 * r01 - r01 * x)
    amplitude = t01 / (1.0 + r01 * r)
    t = t_total / amplitude
    return r, t, amplitude


def _entering(r: ComplexArray, n: ComplexArray, cos: ComplexArray) -> FloatArray:
    """tmm's power_entering: the flux into a group over the forward flux, incident and reflected wave together."""
    y, yc = admittances(n, cos)
    s = (y * (1.0 + np.conj(r[0])) * (1.0 - r[0])).real / y.real
    p = (yc * (1.0 + r[1]) * (1.0 - np.conj(r[1]))).real / yc.real
    out: FloatArray = np.stack([s, p])
    return out


def _side(engine: object, n: ComplexArray, d: FloatArray, wl: FloatArray, theta: float, cos: ComplexArray,
          medium: int, films: Sequence[int], exit_medium: int, count: Counter, absorption: bool) -> _Side:
    """A group lit from ``medium``: the engine behind the real incidence medium, then de-embedded."""
    rows = [0, medium, *films, exit_medium]
    n_call = np.ascontiguousarray(n[rows])
    d_call = np.zeros((1, len(films) + 1))
    d_call[0, 1:] = d[[f - 1 for f in films]]
    theta_a = np.array([theta])
    count()
    r_all, t_all = engine.amplitudes(d_call, n_call, wl, theta_a, normal_shortcut=False)  # type: ignore[attr-defined]
    r01, t01 = _fresnel(n[0], cos[0], n[medium], cos[medium])
    r, t, amplitude = _deembed(r_all[:, 0, 0], t_all[:, 0, 0], r01, t01)
    flux_in = flux_per_e2(n[medium], cos[medium])
    flux_out = flux_per_e2(n[exit_medium], cos[exit_medium])
    flux0 = flux_per_e2(n[0], cos[0])
    with np.errstate(divide="ignore", invalid="ignore"):
        # A medium that carries no flux (an evanescent wave in a lossless layer) passes nothing on.
        live = flux_in > 0.0
        big_t = np.where(live, np.abs(t) ** 2 * flux_out / flux_in, 0.0)
        entering = np.where(live, _entering(r, n[medium], cos[medium]), 0.0)
        scale = np.where(live, flux0 / (np.abs(amplitude) ** 2 * flux_in), 0.0)
    side = _Side(r, cast(FloatArray, np.abs(r) ** 2), big_t, entering, scale)
    if absorption and films:
        count()
        a = engine.absorbed(d_call, n_call, wl, theta_a)  # type: ignore[attr-defined]
        side.absorbed = np.moveaxis(a[:, 0, 0, :, 1:], -1, 1) * scale[:, None, :]
    elif absorption:
        side.absorbed = np.zeros((2, 0, wl.size))
    return side


def solve(engine: object, n: ComplexArray, d: FloatArray, coherent: Sequence[bool], wl: FloatArray,
          theta: float, count: Counter, absorption: bool = False) -> Solution:
    """R, T and optionally each inner layer's absorption of the media ``n`` (K × W) at angle θ (radians).

    ``d`` holds the K − 2 inner thicknesses (nm), ``coherent`` their flags; the outer media are
    incoherent by nature.
    """
    k = n.shape[0]
    kx = n[0] * math.sin(theta)
    cos = np.stack([forward_cos(n[i], kx) for i in range(k)])
    incoherent, groups = split_groups(coherent)
    sides: List[Tuple[_Side, _Side]] = []
    for group in groups:
        films = [f + 1 for f in group.layers]
        sides.append((_side(engine, n, d, wl, theta, cos, group.front, films, group.back, count, absorption),
                      _side(engine, n, d, wl, theta, cos, group.back, films[::-1], group.front, count, absorption)))
    single: List[FloatArray] = [np.ones(wl.size)]
    for m in incoherent[1:-1]:
        single.append(np.exp(-4.0 * math.pi * (n[m] * cos[m]).imag * d[m - 1] / wl))
    single.append(np.ones(wl.size))

    # From the exit backwards: ρ and τ from inside each incoherent medium.
    last = len(groups) - 1
    rho: List[FloatArray] = [np.zeros((2, wl.size))] * len(groups)
    tau: List[FloatArray] = [np.zeros((2, wl.size))] * len(groups)
    rho[last], tau[last] = sides[last][0].big_r, sides[last][0].big_t
    for g in range(last - 1, -1, -1):
        front, back = sides[g]
        p = single[g + 1]
        q = p * p * rho[g + 1]
        denominator = 1.0 - back.big_r * q
        rho[g] = front.big_r + front.big_t * back.big_t * q / denominator
        tau[g] = front.big_t * p * tau[g + 1] / denominator

    # From the front: the fluxes arriving at each group.
    forward: List[FloatArray] = [np.ones((2, wl.size))]
    start: List[FloatArray] = [np.ones((2, wl.size))]
    backward: List[FloatArray] = []
    for g in range(last):
        front, back = sides[g]
        p = single[g + 1]
        entering = forward[g] * front.big_t / (1.0 - back.big_r * p * p * rho[g + 1])
        start.append(entering)
        forward.append(entering * p)
        backward.append(entering * p * p * rho[g + 1])
    backward.append(np.zeros((2, wl.size)))
    start.append(tau[0])

    absorbed = None
    if absorption:
        absorbed = np.zeros((2, k - 2, wl.size))
        for g, group in enumerate(groups):
            front, back = sides[g]
            assert front.absorbed is not None and back.absorbed is not None
            if group.layers:
                rows = list(group.layers)
                absorbed[:, rows] = (forward[g][:, None] * front.absorbed
                                     + backward[g][:, None] * back.absorbed[:, ::-1])
        for j, m in enumerate(incoherent[1:-1], start=1):
            before, after = sides[j - 1], sides[j]
            into = forward[j - 1] * before[0].big_t - backward[j - 1] * before[1].entering
            out = forward[j] * after[0].entering - backward[j] * after[1].big_t
            absorbed[:, m - 1] = into - out
    return Solution(rho[0], tau[0], absorbed, incoherent, groups, forward, backward, rho, start, single, sides, cos)
