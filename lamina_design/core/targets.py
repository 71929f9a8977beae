"""Targets: a wanted quantity at wavelengths, one angle and one polarisation, with a tolerance, and
the CIE L*a*b* colour target; and their grouping by what one engine sweep serves.

Refinement, synthesis and tolerance analysis read the same targets; a group is the targets at one
angle with the same polarisation weights, computed together on the union of their wavelengths.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Literal, Protocol, Sequence, Tuple, TypeVar, Union

import numpy as np

from lamina_design.core import formatting
from lamina_design.core.checks import check_angles, check_wavelengths, polarisation_weights
from lamina_design.materials.base import FloatArray

__all__ = ["AMPLITUDE", "POWER", "WRAPPED", "AnyTarget", "ColourTarget", "Quantity", "Target", "Values",
           "amplitude_polarisation", "by_incidence", "union_grid"]

Quantity = Literal["R", "T", "A", "psi", "delta", "phase_r", "phase_t", "GD_r", "GD_t", "GDD_r", "GDD_t"]
Values = Union[float, Sequence[float], FloatArray]

#: Quantities of the mixed power spectrum.
POWER = ("R", "T", "A")
#: Quantities of the complex amplitudes; angles in degrees, GD in fs, GDD in fs².
AMPLITUDE = ("psi", "delta", "phase_r", "phase_t", "GD_r", "GD_t", "GDD_r", "GDD_t")
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


@dataclass(frozen=True)
class Target:
    """A wanted quantity at wavelengths (nm), one angle (radians) and one polarisation.

    ``quantity``: "R", "T", "A" (fractions of the incident power); "psi", "delta" (degrees,
    tmm's convention tan Ψ·e^{iΔ} = −r_p/r_s); "phase_r", "phase_t" (arg r, arg t in degrees);
    "GD_r", "GD_t" (fs); "GDD_r", "GDD_t" (fs²). Phase, GD and GDD targets follow the s or p
    amplitude ("unpolarised" is accepted at normal incidence, where the two agree). ``value``
    and ``tolerance`` are a number or one per wavelength, in the quantity's unit.
    """

    quantity: Quantity
    wavelength_nm: Values
    value: Values
    tolerance: Values = 0.01
    angle_rad: float = 0.0
    polarisation: Union[str, float] = "unpolarised"

    def __repr__(self) -> str:
        return formatting.record(self)

    def __post_init__(self) -> None:
        if self.quantity not in POWER + AMPLITUDE:
            raise ValueError(f"target quantity must be one of {', '.join(POWER + AMPLITUDE)}, got {self.quantity!r}")
        wl = check_wavelengths(self.wavelength_nm)
        value = np.broadcast_to(np.asarray(self.value, dtype=np.float64), wl.shape).copy()
        tolerance = np.broadcast_to(np.asarray(self.tolerance, dtype=np.float64), wl.shape).copy()
        if not np.all(np.isfinite(value)):
            raise ValueError("target values must be finite")
        if not np.all((tolerance > 0) & np.isfinite(tolerance)):
            raise ValueError("target tolerances must be finite and > 0")
        check_angles(self.angle_rad)
        polarisation_weights(self.polarisation)  # type: ignore[arg-type]
        if self.quantity in AMPLITUDE:
            amplitude_polarisation(self.quantity, self.polarisation, float(self.angle_rad))
        object.__setattr__(self, "wavelength_nm", wl)
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "tolerance", tolerance)
        object.__setattr__(self, "angle_rad", float(self.angle_rad))

    def arrays(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """(wavelengths, values, tolerances) as float64 arrays."""
        return (np.asarray(self.wavelength_nm, dtype=np.float64), np.asarray(self.value, dtype=np.float64),
                np.asarray(self.tolerance, dtype=np.float64))


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

    def __repr__(self) -> str:
        return formatting.record(self)

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
