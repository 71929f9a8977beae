"""Figures of merit of a spectrum: photopic mean, band mean, and colour under an illuminant.

A spectrum is R, T or A (fractions, 0–1) at increasing wavelengths in nm. The CIE tables ship
with the package (lamina_design/data/, source in each file's header): the 1924 photopic
V(λ) and the 1931 2° colour-matching functions every 1 nm from 360 to 830 nm, and illuminant
D65 every 5 nm. The spectrum and the illuminant are interpolated linearly onto the 1 nm grid
of the observer; sums run over the grid points inside the spectrum's measured range, which
must cover 380–780 nm (outside that V(λ) and the colour-matching functions are below 1e-4 of
their peak). Nothing is extrapolated.
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

FloatArray = npt.NDArray[np.float64]

__all__ = ["Colour", "photopic", "band_mean", "colour", "ILLUMINANTS", "VISIBLE_NM"]

#: The range a spectrum must cover for photopic and colour figures.
VISIBLE_NM = (380.0, 780.0)

#: Illuminants `colour` and `photopic` accept: CIE D65, or the equal-energy illuminant E.
ILLUMINANTS = ("D65", "E")

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
    }


def _spectrum(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike) -> Tuple[FloatArray, FloatArray]:
    wl = np.asarray(wavelength_nm, dtype=np.float64)
    values = np.asarray(spectrum, dtype=np.float64)
    if wl.ndim != 1 or values.shape != wl.shape:
        raise ValueError(
            f"wavelengths and spectrum must be 1-D arrays of one length, got shapes {wl.shape} and {values.shape}"
        )
    if wl.size < 2:
        raise ValueError("a spectrum needs at least two wavelengths")
    if not (np.all(np.isfinite(wl)) and np.all(np.isfinite(values))):
        raise ValueError("wavelengths and spectrum must be finite (no NaN or inf)")
    if np.any(np.diff(wl) <= 0.0):
        raise ValueError("wavelengths must increase strictly")
    return wl, values


def _on_grid(
    wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, grid: FloatArray, what: str
) -> Tuple[FloatArray, npt.NDArray[np.bool_]]:
    """The spectrum on the observer's grid, and which grid points its measured range covers."""
    wl, values = _spectrum(wavelength_nm, spectrum)
    lo, hi = VISIBLE_NM
    if wl[0] > lo or wl[-1] < hi:
        raise ValueError(
            f"{what} needs a spectrum covering {lo:g}–{hi:g} nm; it covers {wl[0]:g}–{wl[-1]:g} nm"
        )
    inside = (grid >= wl[0]) & (grid <= wl[-1])
    return np.interp(grid, wl, values), inside


def _illuminant(name: Optional[str], grid: FloatArray) -> FloatArray:
    if name is None or name.upper() == "E":
        return np.ones_like(grid)
    if name.upper() != "D65":
        raise ValueError(f"illuminant {name!r} is not known; use one of {', '.join(ILLUMINANTS)}")
    wl, power = _tables()["D65"]
    # Zero outside the table (the D65 table ends at 780 nm, where the observer's weight is 1e-5).
    return np.interp(grid, wl, power[:, 0], left=0.0, right=0.0)


def photopic(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, illuminant: Optional[str] = None) -> float:
    """The V(λ)-weighted mean of the spectrum (CIE 1924 photopic observer).

    Σ V·S·spectrum / Σ V·S over the observer's 1 nm grid, with S the illuminant's power
    (None or "E": flat; "D65").
    """
    grid, table = _tables()["V"]
    values, inside = _on_grid(wavelength_nm, spectrum, grid, "photopic")
    weight = table[:, 0] * _illuminant(illuminant, grid) * inside
    return float(np.sum(weight * values) / np.sum(weight))


def band_mean(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, lo: float, hi: float) -> float:
    """The mean of the linearly interpolated spectrum over [lo, hi] nm (the exact integral / width)."""
    wl, values = _spectrum(wavelength_nm, spectrum)
    lo, hi = float(lo), float(hi)
    if not (math.isfinite(lo) and math.isfinite(hi) and lo < hi):
        raise ValueError(f"band {lo:g}–{hi:g} nm must have finite limits with lo < hi")
    if lo < wl[0] or hi > wl[-1]:
        raise ValueError(f"band {lo:g}–{hi:g} nm reaches outside the spectrum's {wl[0]:g}–{wl[-1]:g} nm")
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
    gamma-encoded (IEC 61966-2-1) from Y/100, each channel clipped to [0, 1]; `clipped` says
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


def colour(wavelength_nm: npt.ArrayLike, spectrum: npt.ArrayLike, illuminant: str = "D65") -> Colour:
    """The colour of light with the given spectral reflectance or transmittance under `illuminant`."""
    grid, cmf = _tables()["cmf"]
    values, inside = _on_grid(wavelength_nm, spectrum, grid, "colour")
    power = _illuminant(illuminant, grid) * inside
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
    linear = _XYZ_TO_SRGB @ (xyz / 100.0)
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
