"""Targets: a wanted quantity at wavelengths, one angle and one polarisation, with a tolerance, and
the CIE L*a*b* colour target; and their grouping by what one engine sweep serves.

Refinement, synthesis and tolerance analysis read the same targets; a group is the targets at one
angle with the same polarisation weights, computed together on the union of their wavelengths.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, List, Literal, Optional, Protocol, Sequence, Tuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

from lamina_design.core import formatting
from lamina_design.core.checks import check_angles, check_wavelengths, polarisation_weights
from lamina_design.materials.base import FloatArray

__all__ = ["AMPLITUDE", "POWER", "WRAPPED", "AnyTarget", "ColourTarget", "Quantity", "Target", "Values",
           "amplitude_polarisation", "by_incidence", "union_grid", "wrap_degrees"]

Quantity = Literal["R", "T", "A", "psi", "delta", "phase_r", "phase_t", "GD_r", "GD_t", "GDD_r", "GDD_t"]
Values = Union[float, Sequence[float], FloatArray]

#: Quantities of the mixed power spectrum.
POWER = ("R", "T", "A")
#: Quantities of the complex amplitudes; angles in degrees, GD in fs, GDD in fs².
AMPLITUDE = ("psi", "delta", "phase_r", "phase_t", "GD_r", "GD_t", "GDD_r", "GDD_t")
#: How far past a bound, as a share of the target's tolerance, a point still meets it.
ROUNDING_SLACK = 1e-9
#: Quantities whose difference is an angle, wrapped to ±180°.
WRAPPED = ("delta", "phase_r", "phase_t")


def amplitude_polarisation(quantity: str, polarisation: Union[str, float], angle: float) -> int:
    """0 for s, 1 for p: which amplitude a phase-like target follows."""
    if quantity in ("psi", "delta"):
        return 0  # both polarisations enter; the index is unused
    if isinstance(polarisation, str):
        key = polarisation.lower()
        if key in ("s", "p"):
            return 0 if key == "s" else 1
        if angle == 0.0 and key in ("unpolarised", "unpolarized", "u"):
            # At normal incidence s and p share GD and GDD (and r_p = −r_s): s stands for both.
            return 0
    raise ValueError(f"a {quantity} target needs polarisation 's' or 'p' (or 'unpolarised' at normal "
                     f"incidence), got {polarisation!r}")


def wrap_degrees(x: FloatArray) -> FloatArray:
    """An angle difference in degrees, wrapped to [−180, 180)."""
    out: FloatArray = (x + 180.0) % 360.0 - 180.0
    return out


@dataclass(frozen=True)
class Target:
    """A wanted quantity at wavelengths (nm), one angle (radians) and one polarisation.

    ``quantity``: "R", "T", "A" (fractions of the incident power); "psi", "delta" (degrees,
    tmm's convention tan Ψ·e^{iΔ} = −r_p/r_s); "phase_r", "phase_t" (arg r, arg t in degrees);
    "GD_r", "GD_t" (fs); "GDD_r", "GDD_t" (fs²). Phase, GD and GDD targets follow the s or p
    amplitude ("unpolarised" is accepted at normal incidence, where the two agree).

    What is wanted is either ``value`` (an equality target) or a band: ``upper`` ("R ≤ 0.3 %"),
    ``lower`` ("T ≥ 99 %") or both ("R between 45 % and 55 %"). An equality target is a band of
    zero width. ``value``, ``lower``, ``upper`` and ``tolerance`` are a number or one per
    wavelength, in the quantity's unit; ``weight`` (≥ 0) scales the target's share of the cost.

    The residual of a point is (max(0, c − upper) − max(0, lower − c)) / tolerance · √weight:
    zero inside the band, the distance outside it in tolerances (see :meth:`residual`).
    Angle quantities (delta, phase_r, phase_t) take two-sided bands narrower than 360°, judged
    on the circle around the band's centre; a one-sided bound on an angle means nothing on a
    circle and is refused.
    """

    quantity: Quantity
    wavelength_nm: Values
    value: Optional[Values] = None
    tolerance: Values = 0.01
    angle_rad: float = 0.0
    polarisation: Union[str, float] = "unpolarised"
    lower: Optional[Values] = None
    upper: Optional[Values] = None
    weight: float = 1.0

    def __repr__(self) -> str:
        parts = [f"quantity={self.quantity!r}", f"wavelength_nm={formatting.value(self.wavelength_nm)}"]
        for name in ("value", "lower", "upper"):
            if getattr(self, name) is not None:
                parts.append(f"{name}={formatting.value(getattr(self, name))}")
        parts.append(f"tolerance={formatting.value(self.tolerance)}")
        if self.weight != 1.0:
            parts.append(f"weight={self.weight!r}")
        parts += [f"angle_rad={formatting.value(self.angle_rad)}", f"polarisation={formatting.value(self.polarisation)}"]
        return f"Target({', '.join(parts)})"

    def __post_init__(self) -> None:
        if self.quantity not in POWER + AMPLITUDE:
            raise ValueError(f"target quantity must be one of {', '.join(POWER + AMPLITUDE)}, got {self.quantity!r}")
        wl = check_wavelengths(self.wavelength_nm)
        given = [name for name in ("lower", "upper") if getattr(self, name) is not None]
        if self.value is not None and given:
            raise ValueError(f"a target takes either value or bounds (lower, upper), got value and {' and '.join(given)}")
        if self.value is None and not given:
            raise ValueError("a target needs value, or a bound: lower, upper or both")
        fields = {}
        for name in ("value", "lower", "upper"):
            if getattr(self, name) is None:
                continue
            try:
                array = np.broadcast_to(np.asarray(getattr(self, name), dtype=np.float64), wl.shape).copy()
            except (TypeError, ValueError):
                raise ValueError(f"target {name} must be a number or one per wavelength "
                                 f"({wl.size}), got {formatting.value(getattr(self, name))}") from None
            if not np.all(np.isfinite(array)):
                raise ValueError(f"target {name} must be finite" if name != "value" else "target values must be finite")
            fields[name] = array
        tolerance = np.broadcast_to(np.asarray(self.tolerance, dtype=np.float64), wl.shape).copy()
        if not np.all((tolerance > 0) & np.isfinite(tolerance)):
            raise ValueError("target tolerances must be finite and > 0")
        if "lower" in fields and "upper" in fields and np.any(fields["lower"] > fields["upper"]):
            at = int(np.argmax(fields["lower"] > fields["upper"]))
            raise ValueError(f"target lower must not exceed upper, got lower {fields['lower'][at]:g} > upper "
                             f"{fields['upper'][at]:g} at {wl[at]:g} nm")
        if self.quantity in WRAPPED and given:
            if len(given) < 2:
                raise ValueError(f"a {self.quantity} target is an angle: give both lower and upper (a one-sided "
                                 f"bound means nothing on a circle), got only {given[0]}")
            if np.any(fields["upper"] - fields["lower"] >= 360.0):
                raise ValueError(f"a {self.quantity} band must be narrower than 360° (upper − lower < 360)")
        weight = float(self.weight)
        if not (math.isfinite(weight) and weight >= 0):
            raise ValueError(f"target weight must be finite and ≥ 0, got {self.weight!r}")
        check_angles(self.angle_rad)
        polarisation_weights(self.polarisation)  # type: ignore[arg-type]
        if self.quantity in AMPLITUDE:
            amplitude_polarisation(self.quantity, self.polarisation, float(self.angle_rad))
        object.__setattr__(self, "wavelength_nm", wl)
        for name, array in fields.items():
            object.__setattr__(self, name, array)
        object.__setattr__(self, "tolerance", tolerance)
        object.__setattr__(self, "angle_rad", float(self.angle_rad))
        object.__setattr__(self, "weight", weight)

    @property
    def banded(self) -> bool:
        """Whether the target is a band (lower, upper or both) rather than a value."""
        return self.value is None

    def bounds(self) -> tuple[FloatArray, FloatArray]:
        """(lower, upper) per wavelength: −∞ or +∞ where unbounded, both the value for an equality target."""
        if self.value is not None:
            value = np.asarray(self.value, dtype=np.float64)
            return value, value
        shape = np.shape(self.wavelength_nm)
        lower = np.full(shape, -np.inf) if self.lower is None else np.asarray(self.lower, dtype=np.float64)
        upper = np.full(shape, np.inf) if self.upper is None else np.asarray(self.upper, dtype=np.float64)
        return lower, upper

    def arrays(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """(wavelengths, values, tolerances) as float64 arrays; a band's "value" is its centre, or
        its one bound."""
        lower, upper = self.bounds()
        if self.value is not None or self.upper is None:
            value = lower
        elif self.lower is None:
            value = upper
        else:
            value = 0.5 * (lower + upper)
        return (np.asarray(self.wavelength_nm, dtype=np.float64), value, np.asarray(self.tolerance, dtype=np.float64))

    def _distance(self, computed: FloatArray) -> FloatArray:
        """How far each computed value lies outside the band, signed (+ above, − below)."""
        c = np.asarray(computed, dtype=np.float64)
        if self.value is not None:
            diff: FloatArray = c - np.asarray(self.value, dtype=np.float64)
            return wrap_degrees(diff) if self.quantity in WRAPPED else diff
        lower, upper = self.bounds()
        if self.quantity in WRAPPED:
            half = 0.5 * (upper - lower)
            c = wrap_degrees(c - 0.5 * (lower + upper))
            lower, upper = -half, half
        out: FloatArray = np.maximum(0.0, c - upper) - np.maximum(0.0, lower - c)
        return out

    def residual(self, computed: FloatArray) -> FloatArray:
        """Least-squares residuals of computed values (the last axis over this target's wavelengths).

        r = (max(0, c − upper) − max(0, lower − c)) / tolerance · √weight, angles wrapped to ±180°
        about the band's centre. For an equality target (lower = upper = value) that is today's
        (c − value) / tolerance. r is piecewise linear in c: slope √weight/tolerance outside the
        band, zero inside (:meth:`slope`); the trust-region least-squares solver sees a
        piecewise-smooth residual with a zero-derivative plateau inside the band, and at a bound
        the one-sided derivative from outside is used, so a point sitting on its bound still
        pulls back if it would leave.
        """
        out: FloatArray = self._distance(computed) / np.asarray(self.tolerance, dtype=np.float64)
        if self.weight != 1.0:
            out = out * math.sqrt(self.weight)
        return out

    def slope(self, computed: FloatArray) -> FloatArray:
        """d(residual)/d(computed): the chain-rule factor of the exact Jacobian."""
        scale = math.sqrt(self.weight) / np.asarray(self.tolerance, dtype=np.float64)
        if self.value is not None:
            out: FloatArray = np.broadcast_to(scale, np.shape(computed)).copy()
            return out
        lower, upper = self.bounds()
        c = np.asarray(computed, dtype=np.float64)
        if self.quantity in WRAPPED:
            half = 0.5 * (upper - lower)
            c = wrap_degrees(c - 0.5 * (lower + upper))
            lower, upper = -half, half
        out = np.where((c >= upper) | (c <= lower), scale, 0.0)
        # On a bound the residual is zero but its slope from outside is kept; a zero-width
        # band point (lower = upper) is always outside or on it.
        return out

    def within(self, computed: FloatArray) -> npt.NDArray[np.bool_]:
        """Whether each computed value meets the target: inside [lower, upper] for a band, within
        the tolerance of the value for an equality target."""
        distance = np.abs(self._distance(computed))
        if self.value is not None:
            ok: npt.NDArray[np.bool_] = distance / np.asarray(self.tolerance, dtype=np.float64) <= 1.0
            return ok
        # A refinement stops with its worst points resting on their bounds, out by rounding:
        # within a billionth of the tolerance a point meets its bound.
        slack = ROUNDING_SLACK * np.asarray(self.tolerance, dtype=np.float64)
        inside: npt.NDArray[np.bool_] = distance <= slack
        return inside


@formatting.recorded
@dataclass(frozen=True)
class ColourTarget:
    """A wanted CIE L*a*b* colour of R or T under an illuminant (see :func:`lamina_design.merit.colour`).

    ``wavelength_nm`` is the grid the spectrum is computed on; it must cover 380–780 nm.
    ``tolerance`` is ΔE (one number, or one per L*, a*, b*).
    """

    quantity: Literal["R", "T"]
    wavelength_nm: Values
    lab: Tuple[float, float, float]
    tolerance: Values = 1.0
    angle_rad: float = 0.0
    polarisation: Union[str, float] = "unpolarised"
    illuminant: str = "D65"

    def __post_init__(self) -> None:
        from lamina_design import merit

        if self.quantity not in ("R", "T"):
            raise ValueError(f"a colour target's quantity must be 'R' or 'T', got {self.quantity!r}")
        wl = check_wavelengths(self.wavelength_nm)
        lab = np.asarray(self.lab, dtype=np.float64)
        tolerance = np.broadcast_to(np.asarray(self.tolerance, dtype=np.float64), (3,)).copy()
        if lab.shape != (3,) or not np.all(np.isfinite(lab)):
            raise ValueError("a colour target's lab must be three finite numbers (L*, a*, b*)")
        if not np.all((tolerance > 0) & np.isfinite(tolerance)):
            raise ValueError("target tolerances must be finite and > 0")
        check_angles(self.angle_rad)
        polarisation_weights(self.polarisation)  # type: ignore[arg-type]
        merit.colour(wl, np.zeros(wl.size), self.illuminant)  # the grid and illuminant must serve
        object.__setattr__(self, "wavelength_nm", wl)
        object.__setattr__(self, "lab", (float(lab[0]), float(lab[1]), float(lab[2])))
        object.__setattr__(self, "tolerance", tolerance)
        object.__setattr__(self, "angle_rad", float(self.angle_rad))


AnyTarget = Union[Target, ColourTarget]


#: (angle in radians, s weight, p weight): the targets one engine sweep serves.
Incidence = Tuple[float, float, float]


class _Aimed(Protocol):
    @property
    def angle_rad(self) -> float: ...

    @property
    def polarisation(self) -> Union[str, float]: ...


A = TypeVar("A", bound=_Aimed)


def by_incidence(targets: Sequence[A]) -> Dict[Incidence, List[int]]:
    """The indices of the targets at each (angle, s weight, p weight), in the order first seen.

    Targets whose polarisations mix s and p alike ("unpolarised" and "unpolarized", say) share a group."""
    groups: Dict[Incidence, List[int]] = {}
    for i, target in enumerate(targets):
        _, w_s, w_p = polarisation_weights(target.polarisation)  # type: ignore[arg-type]
        groups.setdefault((target.angle_rad, w_s, w_p), []).append(i)
    return groups


def union_grid(targets: Sequence[Union[Target, ColourTarget]]) -> FloatArray:
    """The sorted union of the targets' wavelengths: the grid their group is computed on."""
    grid: FloatArray = np.unique(np.concatenate([np.asarray(t.wavelength_nm, dtype=np.float64) for t in targets]))
    return grid
