"""n and k as natural cubic splines in photon energy: smooth through a measured table.

A linearly interpolated table has no second derivative, so GDD computed from it jumps at every
tabulated point. A cubic spline has continuous first and second derivatives; natural ends
(zero curvature) continue it as straight lines past its knots, which keeps it C² everywhere.
Splines are in photon energy, where a film's absorption edge and its dispersion are smoothest.

`Spline.through` interpolates every row of a table (exact at the rows, for data without noise);
`Spline.fitted` fits one with fewer knots by least squares, which keeps rounding noise in the
table out of the second derivative.
"""
from __future__ import annotations

import math

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import nm_range
from lamina_design.materials.base import (
    HC_EV_NM,
    ComplexArray,
    FloatArray,
    MaterialError,
    Range,
    check_range,
    finished,
    wavelengths_nm,
)

__all__ = ["Spline", "least_squares", "second_derivatives", "spline_basis", "transparent_from"]


def second_derivatives(x: FloatArray, y: FloatArray) -> FloatArray:
    """S'' at the knots of the natural cubic spline through (x, y); x increasing, along axis 0."""
    m = x.size
    moments = np.zeros(y.shape)
    if m < 3:
        return moments
    h = np.diff(x)
    system = np.zeros((m - 2, m - 2))
    i = np.arange(m - 2)
    system[i, i] = (h[:-1] + h[1:]) / 3.0
    system[i[1:], i[1:] - 1] = h[1:-1] / 6.0
    system[i[:-1], i[:-1] + 1] = h[1:-1] / 6.0
    slopes = np.diff(y, axis=0) / h.reshape(-1, *([1] * (y.ndim - 1)))
    moments[1:-1] = np.linalg.solve(system, slopes[1:] - slopes[:-1])
    return moments


def _evaluate(x: FloatArray, y: FloatArray, moments: FloatArray,
              at: FloatArray) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """(S, S', S'') of a natural spline at `at` (1-d), continued as straight lines past its ends.

    y and the moments are (knots, columns); the results are (len(at), columns).
    """
    at = at.reshape(-1, 1)
    j = np.clip(np.searchsorted(x, at[:, 0]) - 1, 0, x.size - 2)
    x0, x1 = x[j][:, None], x[j + 1][:, None]
    h = x1 - x0
    y0, y1, m0, m1 = y[j], y[j + 1], moments[j], moments[j + 1]
    inside = (at >= x[0]) & (at <= x[-1])
    # Past the ends the curvature is 0 (natural ends): the spline's end line, value and slope.
    t = np.where(inside, at, np.clip(at, x[0], x[-1]))
    a = (x1 - t) / h
    b = (t - x0) / h
    value = a * y0 + b * y1 + ((a**3 - a) * m0 + (b**3 - b) * m1) * h * h / 6.0
    slope = (y1 - y0) / h + ((1.0 - 3.0 * a * a) * m0 + (3.0 * b * b - 1.0) * m1) * h / 6.0
    curve = a * m0 + b * m1
    value = value + np.where(inside, 0.0, slope * (at - t))
    return value, slope, np.where(inside, curve, 0.0)


def spline_basis(knots: FloatArray, at: FloatArray) -> FloatArray:
    """(len(at), len(knots)): column j is the natural spline through the j-th unit vector."""
    unit = np.eye(knots.size)
    values, _, _ = _evaluate(knots, unit, second_derivatives(knots, unit), at)
    return np.asarray(values, dtype=np.float64)


def least_squares(knots: FloatArray, wl: FloatArray, n: FloatArray, k: FloatArray) -> Tuple[FloatArray, FloatArray]:
    """n and k at the knots (eV) of the natural splines nearest the table rows (λ in nm) in least squares."""
    solution, *_ = np.linalg.lstsq(spline_basis(knots, HC_EV_NM / wl), np.stack([n, k], axis=1), rcond=None)
    values = np.asarray(solution, dtype=np.float64)
    return values[:, 0], values[:, 1]


@dataclass(frozen=True, eq=False)
class Spline:
    """n and k as natural cubic splines of photon energy E = hc/λ through values at knots (eV).

    Continuous to the second derivative, so GD and GDD are smooth; `index_derivatives` gives
    them in closed form. κ is held at ≥ 0 (a fit may dip a few 10⁻⁶ below a zero k), and at
    exactly 0 from `transparent_from_nm` on: where the table has no absorption at all, a fitted
    k's ripple of a few 10⁻⁶ would make a transparent film absorb.
    """

    energy_ev: FloatArray
    n: FloatArray
    k: FloatArray
    name: str = "spline"
    valid_nm: Optional[Range] = None
    source: str = ""
    transparent_from_nm: Optional[float] = None

    def __post_init__(self) -> None:
        edge = self.transparent_from_nm
        if edge is not None and not (isinstance(edge, (int, float)) and math.isfinite(edge) and edge > 0.0):
            raise MaterialError(f"material {self.name!r}: transparent_from_nm must be a wavelength > 0 nm, "
                                f"got {edge!r}")
        try:
            e = np.array(self.energy_ev, dtype=np.float64).ravel()
            n = np.array(self.n, dtype=np.float64).ravel()
            k = np.array(self.k, dtype=np.float64).ravel()
        except (TypeError, ValueError) as exc:
            raise MaterialError(f"material {self.name!r}: spline values are not numbers ({exc})") from None
        if not (e.size == n.size == k.size):
            raise MaterialError(f"material {self.name!r}: spline knots and values differ in length "
                                f"({e.size}, {n.size}, {k.size})")
        if e.size < 2:
            raise MaterialError(f"material {self.name!r}: a spline needs at least 2 knots, got {e.size}")
        if not (np.all(np.isfinite(e)) and np.all(np.isfinite(n)) and np.all(np.isfinite(k))):
            raise MaterialError(f"material {self.name!r}: a spline value is not finite")
        if np.any(e <= 0.0) or np.any(np.diff(e) <= 0.0):
            raise MaterialError(f"material {self.name!r}: spline knot energies must be > 0 and increasing")
        values = np.stack([n, k], axis=1)
        moments = second_derivatives(e, values)
        for array in (e, values, moments):
            array.flags.writeable = False
        object.__setattr__(self, "energy_ev", e)
        object.__setattr__(self, "n", values[:, 0])
        object.__setattr__(self, "k", values[:, 1])
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "_moments", moments)
        if self.valid_nm is None:
            object.__setattr__(self, "valid_nm", (HC_EV_NM / float(e[-1]), HC_EV_NM / float(e[0])))

    def __reduce__(self) -> tuple[type[Spline], tuple[object, ...]]:
        return (type(self), (self.energy_ev, self.n, self.k, self.name, self.valid_nm, self.source,
                             self.transparent_from_nm))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Spline):
            return NotImplemented
        return ((self.name, self.valid_nm, self.transparent_from_nm)
                == (other.name, other.valid_nm, other.transparent_from_nm)
                and all(np.array_equal(a, b) for a, b in ((self.energy_ev, other.energy_ev),
                                                          (self.n, other.n), (self.k, other.k))))

    def __hash__(self) -> int:
        return hash((self.name, self.energy_ev.tobytes(), self.n.tobytes(), self.k.tobytes()))

    def __repr__(self) -> str:
        return f"Spline({self.name!r}, {nm_range(self.valid_nm)}, {self.energy_ev.size} knots)"

    def _in_energy(self, wl: FloatArray) -> Tuple[FloatArray, FloatArray, FloatArray]:
        values: FloatArray = getattr(self, "_values")
        moments: FloatArray = getattr(self, "_moments")
        e = HC_EV_NM / wl.reshape(-1)
        value, slope, curve = _evaluate(self.energy_ev, values, moments, e)
        if self.transparent_from_nm is not None:
            clear = wl.reshape(-1) >= self.transparent_from_nm
            for array in (value, slope, curve):
                array[clear, 1] = 0.0
        return value, slope, curve

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        value, _, _ = self._in_energy(wl)
        index = value[:, 0] + 1j * np.maximum(value[:, 1], 0.0)
        return finished(self.name, np.asarray(index, dtype=np.complex128).reshape(wl.shape))

    def index_derivatives(self, wavelength_nm: npt.ArrayLike) -> Tuple[ComplexArray, ComplexArray, ComplexArray]:
        """(n, dn/dλ, d²n/dλ²), per nm, in closed form through E = hc/λ."""
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        value, slope, curve = self._in_energy(wl)
        flat = wl.reshape(-1, 1)
        e = HC_EV_NM / flat
        de = -e / flat
        d2e = 2.0 * e / flat**2
        first = slope * de
        second = curve * de**2 + slope * d2e
        clipped = value[:, 1] < 0.0  # held at κ = 0 there, so flat
        first[clipped, 1] = 0.0
        second[clipped, 1] = 0.0

        def joined(a: FloatArray, k: FloatArray) -> ComplexArray:
            return np.asarray(a + 1j * k, dtype=np.complex128).reshape(wl.shape)

        n = joined(value[:, 0], np.maximum(value[:, 1], 0.0))
        return (finished(self.name, n), joined(first[:, 0], first[:, 1]), joined(second[:, 0], second[:, 1]))

    @classmethod
    def through(cls, wavelength_nm: npt.ArrayLike, n: npt.ArrayLike, k: npt.ArrayLike, name: str = "spline",
                source: str = "") -> Spline:
        """The natural spline through every row of a table (wavelengths in nm)."""
        wl, nn, kk = _columns(name, wavelength_nm, n, k)
        e = HC_EV_NM / wl[::-1]
        return cls(e, nn[::-1], kk[::-1], name, (float(wl[0]), float(wl[-1])), source, transparent_from(wl, kk))

    @classmethod
    def fitted(cls, wavelength_nm: npt.ArrayLike, n: npt.ArrayLike, k: npt.ArrayLike, knots: int,
               name: str = "spline", source: str = "") -> Spline:
        """The least-squares natural spline with `knots` knots evenly spaced in energy."""
        wl, nn, kk = _columns(name, wavelength_nm, n, k)
        if not 2 <= knots <= wl.size:
            raise MaterialError(f"material {name!r}: knots must be 2 … {wl.size} (the table's rows), got {knots}")
        e = HC_EV_NM / wl
        grid = np.linspace(float(e.min()), float(e.max()), knots)
        return cls(grid, *least_squares(grid, wl, nn, kk), name, (float(wl[0]), float(wl[-1])), source,
                   transparent_from(wl, kk))


def transparent_from(wavelength_nm: FloatArray, k: FloatArray) -> Optional[float]:
    """The first wavelength of a table's run of k = 0 that lasts to its longest wavelength, if any."""
    wl = np.asarray(wavelength_nm, dtype=np.float64)
    kk = np.asarray(k, dtype=np.float64)
    order = np.argsort(wl, kind="stable")
    wl, kk = wl[order], kk[order]
    absorbing = np.flatnonzero(kk != 0.0)
    if absorbing.size == 0:
        return float(wl[0])
    last = int(absorbing[-1])
    return float(wl[last + 1]) if last + 1 < wl.size else None


def _columns(name: str, wavelength_nm: npt.ArrayLike, n: npt.ArrayLike,
             k: npt.ArrayLike) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """The table's columns as float64, sorted by wavelength, refused if they cannot make a spline."""
    try:
        wl = np.array(wavelength_nm, dtype=np.float64).ravel()
        nn = np.array(n, dtype=np.float64).ravel()
        kk = np.array(k, dtype=np.float64).ravel()
    except (TypeError, ValueError) as exc:
        raise MaterialError(f"material {name!r}: table values are not numbers ({exc})") from None
    if not (wl.size == nn.size == kk.size):
        raise MaterialError(f"material {name!r}: table columns differ in length ({wl.size}, {nn.size}, {kk.size})")
    if not (np.all(np.isfinite(wl)) and np.all(wl > 0.0)):
        raise MaterialError(f"material {name!r}: table wavelengths must be finite and > 0 nm")
    order = np.argsort(wl, kind="stable")
    wl, nn, kk = wl[order], nn[order], kk[order]
    if np.any(np.diff(wl) == 0.0):
        raise MaterialError(f"material {name!r}: the table repeats a wavelength")
    return wl, nn, kk
