"""Figures of merit of a spectrum: photopic mean, band mean, and colour under an illuminant.

A spectrum is R, T or A (fractions, 0–1) at increasing wavelengths in nm. The CIE tables ship
with the package (lamina_design/data/, source in each file's header): the 1924 photopic
V(λ) and the 1931 2° colour-matching functions every 1 nm from 360 to 830 nm, illuminant D65
every 5 nm, and the daylight components S0, S1, S2 the other D illuminants are made of;
illuminant A is the CIE's Planckian formula. The spectrum and the illuminant are interpolated
linearly onto the 1 nm grid of the observer; sums run over the grid points inside the
spectrum's measured range, which must cover 380–780 nm (outside that V(λ) and the
colour-matching functions are below 1e-4 of their peak). Nothing is extrapolated.
"""
from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from typing import Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt

from lamina_design.core.checks import check_wavelengths

FloatArray = npt.NDArray[np.float64]

__all__ = ["Colour", "photopic", "band_mean", "colour", "illuminant_power", "ILLUMINANTS", "VISIBLE_NM"]

#: The range a spectrum must cover for photopic and colour figures.
VISIBLE_NM = (380.0, 780.0)

#: Illuminants `colour` and `photopic` accept: CIE D65, the other CIE daylights D50, D55 and
#: D75, CIE A (incandescent light, 2856 K), and the equal-energy illuminant E.
ILLUMINANTS = ("D65", "D50", "D55", "D75", "A", "E")

# Nominal correlated colour temperatures of the daylights made from S0, S1, S2 (D65 has its own
# table, the one ISO 11664-2 standardises).
_DAYLIGHT_K = {"D50": 5000.0, "D55": 5500.0, "D75": 7500.0}

# XYZ (Y = 1 white) to linear sRGB, IEC 61966-2-1:1999, as the standard prints it.
_XYZ_TO_SRGB = np.array(
    [
        [3.2406, -1.5372, -0.4986],
        [-0.9689, 1.8758, 0.0415],
        [0.0557, -0.2040, 1.0570],
    ]
)

# The standard's matrix is rounded to 4 decimals, so a neutral grey comes out with channels
# unequal by up to 1e-3 of their value; only a larger excursion counts as out of gamut.
_GAMUT_TOLERANCE = 2e-3

# Bradford's cone-response matrix (Lam 1985, as ICC.1:2010 Annex E gives it): a colour seen under
# one white is carried to the one that looks alike under another by scaling these responses.
_BRADFORD = np.array(
    [
        [0.8951, 0.2664, -0.1614],
        [-0.7502, 1.7135, 0.0367],
        [0.0389, -0.0685, 1.0296],
    ]
)


def _read_table(filename: str) -> Tuple[FloatArray, FloatArray]:
    text = (resources.files("lamina_design") / "data" / filename).read_text(encoding="utf-8")
    rows = [row for row in csv.reader(line for line in text.splitlines() if line and not line.startswith("#"))]
    values = np.array([[float(v) for v in row] for row in rows[1:]], dtype=np.float64)
    return values[:, 0], values[:, 1:]


@lru_cache(maxsize=None)
def _tables() -> Dict[str, Tuple[FloatArray, FloatArray]]:
    return {
        "V": _read_table("cie1924_photopic.csv"),
        "cmf": _read_table("cie1931_2deg_cmf.csv"),
        "D65": _read_table("cie_d65.csv"),
        "daylight": _read_table("cie_daylight_components.csv"),
    }


def _spectrum(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike) -> Tuple[FloatArray, FloatArray]:
    values = np.asarray(spectrum, dtype=np.float64)
    if np.ndim(wavelength_nm) != 1 or values.shape != np.shape(wavelength_nm):
        raise ValueError(
            "wavelengths and spectrum must be 1-D arrays of one length, got shapes "
            f"{np.shape(wavelength_nm)} and {values.shape}"
        )
    wl = check_wavelengths(wavelength_nm)
    if wl.size < 2:
        raise ValueError("a spectrum needs at least two wavelengths")
    if not np.all(np.isfinite(values)):
        raise ValueError("the spectrum must be finite (no NaN or inf)")
    if np.any(np.diff(wl) <= 0.0):
        raise ValueError("wavelengths must increase strictly")
    return wl, values


def _band(lo: float, hi: float, wl: FloatArray) -> Tuple[float, float]:
    """The band as floats, refused unless finite, increasing and inside the spectrum's range."""
    lo, hi = float(lo), float(hi)
    if not (math.isfinite(lo) and math.isfinite(hi) and lo < hi):
        raise ValueError(f"band {lo:g}–{hi:g} nm must have finite limits with lo < hi")
    if lo < wl[0] or hi > wl[-1]:
        raise ValueError(f"band {lo:g}–{hi:g} nm reaches outside the spectrum's {wl[0]:g}–{wl[-1]:g} nm")
    return lo, hi


def _on_grid(
    wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, grid: FloatArray, what: str, hint: str = ""
) -> Tuple[FloatArray, npt.NDArray[np.bool_]]:
    """The spectrum on the observer's grid, and which grid points its measured range covers."""
    wl, values = _spectrum(wavelength_nm, spectrum)
    lo, hi = VISIBLE_NM
    if wl[0] > lo or wl[-1] < hi:
        raise ValueError(
            f"{what} needs a spectrum covering {lo:g}–{hi:g} nm; it covers {wl[0]:g}–{wl[-1]:g} nm: "
            f"extend the wavelength grid to {min(lo, wl[0]):g}–{max(hi, wl[-1]):g} nm{hint}"
        )
    inside = (grid >= wl[0]) & (grid <= wl[-1])
    return np.interp(grid, wl, values), inside


def _daylight(cct_k: float) -> Tuple[FloatArray, FloatArray]:
    """A CIE daylight from S0, S1, S2 (CIE 15:2004, 3.1) at its nominal temperature in K.

    The nominal temperatures predate today's c₂ = 1.4388e-2 m·K (they assumed 1.4380e-2): D50
    is 5003 K. M1 and M2 are rounded to three decimals, as for the CIE's own tables.
    """
    t = cct_k * 1.4388 / 1.4380
    if t <= 7000.0:
        x = -4.6070e9 / t**3 + 2.9678e6 / t**2 + 0.09911e3 / t + 0.244063
    else:
        x = -2.0064e9 / t**3 + 1.9018e6 / t**2 + 0.24748e3 / t + 0.237040
    y = -3.000 * x * x + 2.870 * x - 0.275
    m = 0.0241 + 0.2562 * x - 0.7341 * y
    m1 = round((-1.3515 - 1.7703 * x + 5.9114 * y) / m, 3)
    m2 = round((0.0300 - 31.4424 * x + 30.0717 * y) / m, 3)
    wl, s = _tables()["daylight"]
    return wl, s[:, 0] + m1 * s[:, 1] + m2 * s[:, 2]


def illuminant_power(name: Optional[str], wavelength_nm: npt.ArrayLike) -> FloatArray:
    """Relative spectral power of an illuminant in ILLUMINANTS (S(560 nm) = 100; E and None: 1).

    Tables are interpolated linearly and are zero outside their range (D65: 300–780 nm; D50,
    D55, D75: 300–830 nm); A is the CIE's formula at every wavelength.
    """
    wl = np.asarray(wavelength_nm, dtype=np.float64)
    key = "E" if name is None else name.upper()
    if key == "E":
        return np.ones_like(wl)
    if key == "A":
        # CIE 15:2004, 3.1: Planck's law at 2848 K with c₂ = 1.435e7 nm·K (2856 K on today's c₂).
        c = 1.435e7 / 2848.0
        planck: FloatArray = 100.0 * (560.0 / wl) ** 5 * np.expm1(c / 560.0) / np.expm1(c / wl)
        return planck
    if key == "D65":
        table_wl, power = _tables()["D65"]
        values = power[:, 0]
    elif key in _DAYLIGHT_K:
        table_wl, values = _daylight(_DAYLIGHT_K[key])
    else:
        raise ValueError(f"illuminant {name!r} is not known; use one of {', '.join(ILLUMINANTS)}")
    return np.interp(wl, table_wl, values, left=0.0, right=0.0)


def photopic(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, illuminant: Optional[str] = None,
             band: Optional[Tuple[float, float]] = None) -> float:
    """The V(λ)-weighted mean of the spectrum (CIE 1924 photopic observer).

    Σ V·S·spectrum / Σ V·S over the observer's 1 nm grid, with S the illuminant's power
    (None or "E": flat; see ILLUMINANTS); the spectrum must cover 380–780 nm. ``band=(lo, hi)``
    restricts the sums to the grid points in [lo, hi] nm, which the spectrum must cover: the
    weighted mean over a band of one's choosing, which is not the CIE photopic figure.
    """
    grid, table = _tables()["V"]
    if band is None:
        hint = ", or give band=(lo, hi) for the mean over a narrower band (not the CIE photopic figure)"
        values, inside = _on_grid(wavelength_nm, spectrum, grid, "photopic", hint)
    else:
        wl, measured = _spectrum(wavelength_nm, spectrum)
        lo, hi = _band(band[0], band[1], wl)
        values = np.interp(grid, wl, measured)
        inside = (grid >= lo) & (grid <= hi)
    weight = table[:, 0] * illuminant_power(illuminant, grid) * inside
    total = float(np.sum(weight))
    if not total > 0.0:
        raise ValueError(f"band {band!r} nm holds no weight of V(λ) (tabulated every 1 nm, 360–830 nm)")
    return float(np.sum(weight * values) / total)


def band_mean(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, lo: float, hi: float) -> float:
    """The mean of the linearly interpolated spectrum over [lo, hi] nm (the exact integral / width)."""
    wl, values = _spectrum(wavelength_nm, spectrum)
    lo, hi = _band(lo, hi, wl)
    inner = (wl > lo) & (wl < hi)
    x = np.concatenate(([lo], wl[inner], [hi]))
    y = np.concatenate(([np.interp(lo, wl, values)], values[inner], [np.interp(hi, wl, values)]))
    area = float(np.sum((x[1:] - x[:-1]) * (y[1:] + y[:-1]) / 2.0))
    return area / (hi - lo)


@dataclass(frozen=True)
class Colour:
    """The colour of a reflected or transmitted light, CIE 1931 2° observer.

    XYZ is scaled so that a perfect reflector under the illuminant has Y = 100; xyY gives the
    chromaticity and Y. Lab is CIE 1976 L*a*b* relative to the illuminant's own white. sRGB is
    what an sRGB display (white D65) shows for it: under another illuminant the colour is first
    adapted to D65 (Bradford), so the illuminant's white shows as white and a grey as grey. It
    is gamma-encoded (IEC 61966-2-1) from Y/100, each channel clipped to [0, 1]; `clipped` says
    whether the colour lay outside the sRGB gamut (or above its white) before clipping.
    """

    XYZ: Tuple[float, float, float]
    xyY: Tuple[float, float, float]
    Lab: Tuple[float, float, float]
    sRGB: Tuple[float, float, float]
    clipped: bool
    illuminant: str


def _lab_f(t: FloatArray) -> FloatArray:
    delta = 6.0 / 29.0
    return np.where(t > delta**3, np.cbrt(t), t / (3.0 * delta**2) + 4.0 / 29.0)


def _srgb_encode(linear: FloatArray) -> FloatArray:
    return np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * np.power(np.maximum(linear, 0.0), 1.0 / 2.4) - 0.055)


def _adapt(xyz: FloatArray, white: FloatArray, target: FloatArray) -> FloatArray:
    """XYZ seen under `white`, carried to the colour that looks alike under `target` (Bradford)."""
    gain = (_BRADFORD @ target) / (_BRADFORD @ white)
    out: FloatArray = np.linalg.solve(_BRADFORD, gain * (_BRADFORD @ xyz))
    return out


def colour(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, illuminant: str = "D65") -> Colour:
    """The colour of light with the given spectral reflectance or transmittance under `illuminant`."""
    grid, cmf = _tables()["cmf"]
    values, inside = _on_grid(wavelength_nm, spectrum, grid, "colour")
    power = illuminant_power(illuminant, grid) * inside
    white = cmf.T @ power
    k = 100.0 / white[1]
    xyz = k * (cmf.T @ (power * values))
    white = k * white
    total = float(np.sum(xyz))
    if total > 0.0:
        x, y = float(xyz[0]) / total, float(xyz[1]) / total
    else:
        # Black has no chromaticity; the illuminant's is the usual convention.
        x, y = float(white[0] / np.sum(white)), float(white[1] / np.sum(white))
    f = _lab_f(xyz / white)
    lab = (float(116.0 * f[1] - 16.0), float(500.0 * (f[0] - f[1])), float(200.0 * (f[1] - f[2])))
    seen = xyz
    if illuminant.upper() != "D65":
        # D65's white over the same grid points, so a grey lands exactly where it does under D65.
        d65 = cmf.T @ (illuminant_power("D65", grid) * inside)
        seen = _adapt(xyz, white, 100.0 * d65 / d65[1])
    linear = _XYZ_TO_SRGB @ (seen / 100.0)
    # Below zero is judged relative to the brightest channel, so dim saturated colours count too.
    floor = -_GAMUT_TOLERANCE * float(np.max(np.abs(linear)))
    clipped = bool(np.any(linear < floor) or np.any(linear > 1.0 + _GAMUT_TOLERANCE))
    rgb = _srgb_encode(np.clip(linear, 0.0, 1.0))
    return Colour(
        XYZ=(float(xyz[0]), float(xyz[1]), float(xyz[2])),
        xyY=(x, y, float(xyz[1])),
        Lab=lab,
        sRGB=(float(rgb[0]), float(rgb[1]), float(rgb[2])),
        clipped=clipped,
        illuminant=illuminant.upper(),
    )
