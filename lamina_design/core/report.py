"""A design judged against its targets: one row per target, achieved against wanted.

For each target: its band (wavelength range, angle, polarisation), what is wanted (bounds, or a
value ± tolerance), the worst point and where it lies, the mean over the target's wavelengths,
and whether every point meets the target (:meth:`Target.within`).

The worst point is the one furthest outside the wanted band in tolerances (for an equality
target, furthest from its value); when every point is inside, the one closest to a bound.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from lamina_design.core.targets import POWER, WRAPPED, AnyTarget, ColourTarget, Target, amplitude_polarisation
from lamina_design.materials.base import FloatArray

__all__ = ["Report", "Row", "describe", "report", "target_values"]

#: The unit each quantity is shown in, and the factor from its own unit (R, T, A as %).
UNITS = {"R": ("%", 100.0), "T": ("%", 100.0), "A": ("%", 100.0), "psi": ("°", 1.0), "delta": ("°", 1.0),
         "phase_r": ("°", 1.0), "phase_t": ("°", 1.0), "GD_r": ("fs", 1.0), "GD_t": ("fs", 1.0),
         "GDD_r": ("fs²", 1.0), "GDD_t": ("fs²", 1.0), "colour": ("ΔE", 1.0)}


@dataclass(frozen=True)
class Row:
    """One target judged: numbers in the quantity's own unit (R, T, A as fractions).

    ``excess`` is how far the worst point lies outside the wanted band in the quantity's unit,
    ``margin`` the same in tolerances: ≤ 0 inside it; for an equality target, the distance from
    the value beyond the tolerance.
    For a colour target ``worst`` and ``mean`` are the colour difference ΔE (CIE 1976).
    """

    target: int
    quantity: str
    start_nm: float
    stop_nm: float
    angle_deg: float
    polarisation: str
    wanted: str
    worst: float
    worst_nm: float
    excess: float
    margin: float
    mean: float
    failing: int
    points: int

    @property
    def passed(self) -> bool:
        return self.failing == 0


@dataclass(frozen=True)
class Report:
    """Rows, one per target in the order given; prints as a table."""

    rows: Tuple[Row, ...]
    title: str = "targets"

    @property
    def passed(self) -> bool:
        """Whether every target is met at every point."""
        return all(row.passed for row in self.rows)

    def __len__(self) -> int:
        return len(self.rows)

    def __iter__(self) -> Iterator[Row]:
        return iter(self.rows)

    def __getitem__(self, i: int) -> Row:
        return self.rows[i]

    def __str__(self) -> str:
        header = ("#", "quantity", "band nm", "angle", "pol", "wanted", "worst", "at nm", "mean", "")
        lines: List[Tuple[str, ...]] = [header]
        for row in self.rows:
            unit, scale = UNITS[row.quantity]
            verdict = "pass"
            if not row.passed:
                # How far outside, in the quantity's unit: a design resting on its bound fails by rounding.
                over = row.excess * scale
                verdict = f"FAIL ({row.failing}/{row.points} points, {_number(over, unit, 2)} out)"
            band = f"{row.start_nm:g}" if row.start_nm == row.stop_nm else f"{row.start_nm:g}-{row.stop_nm:g}"
            at = "-" if math.isnan(row.worst_nm) else f"{row.worst_nm:g}"
            lines.append((str(row.target), row.quantity, band, f"{row.angle_deg:g}°", row.polarisation, row.wanted,
                          _number(row.worst * scale, unit), at, _number(row.mean * scale, unit), verdict))
        widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
        right = {0, 6, 7, 8}

        def join(cells: Sequence[str]) -> str:
            return "  ".join(c.rjust(w) if k in right else c.ljust(w) for k, (c, w) in enumerate(zip(cells, widths))).rstrip()

        met = sum(row.passed for row in self.rows)
        out = [f"{self.title}: {met} of {len(self.rows)} met", join(lines[0]), join(["-" * w for w in widths])]
        out += [join(line) for line in lines[1:]]
        return "\n".join(out)

    def __repr__(self) -> str:
        return str(self)


def _number(value: float, unit: str, digits: int = 4) -> str:
    text = f"{value:.{digits}g}"
    if text in ("-0", "-0.0"):
        text = "0"
    return _with_unit(text, unit)


def _span(values: FloatArray, scale: float) -> str:
    """A number, or its range when it varies over the band."""
    lo, hi = float(np.min(values)) * scale, float(np.max(values)) * scale
    return f"{lo:.4g}" if lo == hi else f"{lo:.4g}…{hi:.4g}"


def _with_unit(text: str, unit: str) -> str:
    return text + {"ΔE": "", "°": "°"}.get(unit, f" {unit}")


def _wanted(target: Target) -> str:
    unit, scale = UNITS[target.quantity]
    if target.value is not None:
        tolerance = np.asarray(target.tolerance, dtype=np.float64)
        return _with_unit(f"{_span(np.asarray(target.value), scale)} ± {_span(tolerance, scale)}", unit)
    lower, upper = target.bounds()
    if target.lower is None:
        return _with_unit(f"≤ {_span(upper, scale)}", unit)
    if target.upper is None:
        return _with_unit(f"≥ {_span(lower, scale)}", unit)
    return _with_unit(f"{_span(lower, scale)} to {_span(upper, scale)}", unit)


def _polarisation(polarisation: Union[str, float]) -> str:
    if isinstance(polarisation, str):
        key = polarisation.lower()
        return key if key in ("s", "p") else "unpol"
    return f"{math.degrees(float(polarisation)):g}°"


def describe(target: Target) -> str:
    """One line: the quantity, what is wanted, the wavelengths and the angle of incidence
    ("R ≤ 0.5 %, 420-700 nm at 30°, s")."""
    wl = np.asarray(target.wavelength_nm, dtype=np.float64)
    where = f"{wl.min():g}-{wl.max():g} nm" if wl.size > 1 else f"{wl[0]:g} nm"
    wanted = _wanted(target)
    joiner = " = " if target.value is not None else " "
    return (f"{target.quantity}{joiner}{wanted}, {where} at {math.degrees(target.angle_rad):g}°, "
            f"{_polarisation(target.polarisation).replace('unpol', 'unpolarised')}")


def _row(k: int, target: Target, computed: FloatArray) -> Row:
    wl = np.asarray(target.wavelength_nm, dtype=np.float64)
    c = np.asarray(computed, dtype=np.float64)
    lower, upper = target.bounds()
    tolerance = np.asarray(target.tolerance, dtype=np.float64)
    if target.quantity in WRAPPED:
        centre = 0.5 * (lower + upper)
        c = centre + ((c - centre + 180.0) % 360.0 - 180.0)
    # Signed distance outside [lower, upper] (negative inside, −(distance to the nearer bound)).
    outside = np.maximum(c - upper, lower - c)
    if target.value is not None:
        outside = outside - tolerance  # an equality target is met within its tolerance
    scaled = outside / tolerance
    worst = int(np.argmax(scaled))
    failing = int(np.count_nonzero(~target.within(np.asarray(computed, dtype=np.float64))))
    return Row(target=k + 1, quantity=str(target.quantity), start_nm=float(wl.min()), stop_nm=float(wl.max()),
               angle_deg=math.degrees(target.angle_rad), polarisation=_polarisation(target.polarisation),
               wanted=_wanted(target), worst=float(c[worst]), worst_nm=float(wl[worst]),
               excess=float(outside[worst]), margin=float(scaled[worst]), mean=float(np.mean(c)), failing=failing,
               points=int(wl.size))


def _colour_row(k: int, target: ColourTarget, spectrum: FloatArray) -> Row:
    from lamina_design import merit

    wl = np.asarray(target.wavelength_nm, dtype=np.float64)
    lab = np.asarray(merit.colour(wl, spectrum, target.illuminant).Lab, dtype=np.float64)
    wanted = np.asarray(target.lab, dtype=np.float64)
    tolerance = np.asarray(target.tolerance, dtype=np.float64)
    difference = float(np.linalg.norm(lab - wanted))
    scaled = np.abs(lab - wanted) / tolerance - 1.0
    return Row(target=k + 1, quantity="colour", start_nm=float(wl.min()), stop_nm=float(wl.max()),
               angle_deg=math.degrees(target.angle_rad), polarisation=_polarisation(target.polarisation),
               wanted=f"{target.quantity} L*a*b* ({', '.join(f'{v:g}' for v in wanted)}) ± {_span(tolerance, 1.0)}",
               worst=difference, worst_nm=math.nan, excess=float(np.max(np.abs(lab - wanted) - tolerance)),
               margin=float(np.max(scaled)), mean=difference,
               failing=int(np.count_nonzero(scaled > 0)), points=3)


def target_values(stack: Any, target: AnyTarget) -> FloatArray:
    """The stack's values of a target's quantity at its wavelengths, angle and polarisation
    (for a colour target, the spectrum its colour is computed from)."""
    wl = np.asarray(target.wavelength_nm, dtype=np.float64)
    if isinstance(target, ColourTarget) or target.quantity in POWER:
        spectrum = stack.spectrum(wl, target.angle_rad, target.polarisation)
        out: FloatArray = np.asarray({"R": spectrum.r, "T": spectrum.t, "A": spectrum.a}[target.quantity],
                                     dtype=np.float64)
        return out
    from lamina_design.optics.phase import phase_spectrum

    phase = phase_spectrum(stack, wl, target.angle_rad)
    if target.quantity == "psi":
        return phase.psi_deg
    if target.quantity == "delta":
        return phase.delta_deg
    pol = amplitude_polarisation(target.quantity, target.polarisation, target.angle_rad)
    source = {"phase_r": np.degrees(phase.phase_r), "phase_t": np.degrees(phase.phase_t), "GD_r": phase.gd_r,
              "GD_t": phase.gd_t, "GDD_r": phase.gdd_r, "GDD_t": phase.gdd_t}[target.quantity]
    out = np.asarray(source[pol], dtype=np.float64)
    return out


def report(targets: Sequence[AnyTarget], stack: Any = None, values: Optional[Sequence[FloatArray]] = None,
           title: str = "targets") -> Report:
    """Each target judged on `stack`, or on `values` already computed (one array per target, as
    :func:`target_values` gives them)."""
    if values is None:
        if stack is None:
            raise ValueError("report needs a stack or the computed values")
        values = [target_values(stack, target) for target in targets]
    if len(values) != len(targets):
        raise ValueError(f"report needs one array of values per target ({len(targets)}), got {len(values)}")
    rows = [(_colour_row(k, t, np.asarray(v)) if isinstance(t, ColourTarget) else _row(k, t, np.asarray(v)))
            for k, (t, v) in enumerate(zip(targets, values))]
    return Report(tuple(rows), title)
