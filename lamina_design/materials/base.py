"""What a material is: anything that gives n + iκ (κ > 0 absorbs) at wavelengths in nm."""
from __future__ import annotations

import difflib
import math
import re
import warnings
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Protocol, Sequence, Tuple, runtime_checkable

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import model
FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: (shortest, longest) wavelength in nm where a model's coefficients hold.
Range = Tuple[float, float]

#: Photon energy in eV times wavelength in nm (hc).
HC_EV_NM = 1239.841984


#: Why a negative κ is refused, for every message that refuses one.
KAPPA_CONVENTION = ("indices are n + iκ with κ ≥ 0 meaning absorption (fields vary as exp(−iωt)); a negative κ "
                    "would be gain, which no passive coating has: data written as n − iκ need κ's sign flipped")


class MaterialError(ValueError):
    """A material that cannot be built or evaluated; the message names it."""


class RangeWarning(UserWarning):
    """A wavelength outside the range where a material's data or fit holds."""


class DispersionWarning(UserWarning):
    """GD or GDD asked of a material whose second derivative is not continuous (a linear table)."""


@runtime_checkable
class Material(Protocol):
    """A complex refractive index n + iκ at vacuum wavelengths in nanometres."""

    @property
    def name(self) -> str: ...

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        """n + iκ at every wavelength, same shape as the input; κ > 0 absorbs."""
        ...


@dataclass(frozen=True)
class Constant:
    """The same index at every wavelength."""

    value: complex
    name: str = "constant"

    def __post_init__(self) -> None:
        value = complex(self.value)
        if not (math.isfinite(value.real) and math.isfinite(value.imag)):
            raise MaterialError(f"material {self.name!r}: index {self.value!r} is not finite")
        if value.imag < 0:
            raise MaterialError(f"material {self.name!r}: index {self.value!r} has κ = {value.imag:g} < 0; "
                                + KAPPA_CONVENTION)

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wavelengths = wavelengths_nm(self.name, wavelength_nm)
        return np.full(wavelengths.shape, complex(self.value), dtype=np.complex128)


def same_material(a: Material, b: Material) -> bool:
    """Whether two materials are one: the same object or equal (a material holding arrays that
    cannot say is taken as different)."""
    if a is b:
        return True
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False


def first_uses(materials: Sequence[Material]) -> List[int]:
    """For each position, the position where the same material first appears (itself if new):
    a multilayer repeats a few materials many times, each worth evaluating once."""
    out: List[int] = []
    for row, material in enumerate(materials):
        out.append(next((out[k] for k in range(row) if out[k] == k and same_material(materials[k], material)), row))
    return out


def usable_wavelengths(wavelengths: FloatArray) -> bool:
    """The one rule for a wavelength grid's values: every one finite and > 0 nm."""
    return bool(np.all(np.isfinite(wavelengths)) and not np.any(wavelengths <= 0.0))


def wavelengths_nm(name: str, wavelength_nm: npt.ArrayLike) -> FloatArray:
    """The wavelengths as float64, refused unless all are finite and > 0."""
    try:
        wavelengths = np.asarray(wavelength_nm, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise MaterialError(f"material {name!r}: wavelengths are not numbers ({exc})") from None
    if not usable_wavelengths(wavelengths):
        raise MaterialError(f"material {name!r}: wavelengths must be finite and > 0 nm")
    return wavelengths


def check_range(name: str, wavelengths: FloatArray, valid: Optional[Range], note: str = "") -> None:
    """Warn (RangeWarning) when any wavelength lies outside `valid`; `note` is appended."""
    if valid is None or wavelengths.size == 0:
        return
    lo, hi = valid
    shortest = float(wavelengths.min())
    longest = float(wavelengths.max())
    if shortest < lo or longest > hi:
        warnings.warn(
            RangeWarning(
                f"material {name!r}: wavelengths {shortest:g}–{longest:g} nm reach outside "
                f"its valid range {lo:g}–{hi:g} nm" + (f" ({note})" if note else "")
            ),
            stacklevel=3,
        )


def check_range_value(name: str, valid: Optional[Range]) -> Optional[Range]:
    """`valid` as floats, refused unless it is a finite, increasing, positive pair."""
    if valid is None:
        return None
    try:
        lo, hi = (float(v) for v in valid)
    except (TypeError, ValueError):
        raise MaterialError(f"material {name!r}: valid range {valid!r} is not two numbers") from None
    if not (math.isfinite(lo) and math.isfinite(hi) and 0.0 < lo < hi):
        raise MaterialError(f"material {name!r}: valid range {valid!r} must satisfy 0 < lo < hi")
    return (lo, hi)


def check_finite(name: str, what: str, values: Iterable[float]) -> None:
    """Refuse NaN or infinite coefficients when the material is built, not when it is used."""
    for value in values:
        if not math.isfinite(float(value)):
            raise MaterialError(f"material {name!r}: {what} {value!r} is not finite")


def finished(name: str, index: ComplexArray) -> ComplexArray:
    """The computed index, refused if any value is not finite (a model outside its reach)."""
    if not np.all(np.isfinite(index)):
        raise MaterialError(
            f"material {name!r} cannot be evaluated at some wavelengths (its formula gives no finite index)"
        )
    return index


def index_from_permittivity(eps: ComplexArray) -> ComplexArray:
    """n + iκ = √ε on the principal branch, so Im ε ≥ 0 gives κ ≥ 0.

    A lossless ε < 0 may carry a −0.0 imaginary part, which would put √ε on the lower
    half-plane; it is made +0.0 first.
    """
    eps = np.array(eps, dtype=np.complex128)
    eps.imag[eps.imag == 0.0] = 0.0
    return np.sqrt(eps)


#: Subscript digits as formulas are printed (MgF₂) read as plain ones.
SUBSCRIPTS = str.maketrans("₀₁₂₃₄₅₆₇₈₉", "0123456789")


def _folded(name: str) -> str:
    # What a misspelling keeps: no case, separators or 0/O and 1/l confusion.
    return re.sub(r"[\s_\-]+", "", name.translate(SUBSCRIPTS).lower()).replace("0", "o").replace("1", "l")


def closest(name: str, candidates: Iterable[str], count: int = 3) -> List[str]:
    """The candidates nearest to a misspelt `name` ("Si02", "fused silca", "main/SiO2/Malitsn"),
    best first: the one rule for every name a user types of a material."""
    folded: Dict[str, str] = {}
    for entry in candidates:
        folded.setdefault(_folded(entry), entry)
    target = _folded(name)
    close = difflib.get_close_matches(target, list(folded), n=count, cutoff=0.6)
    if target in folded and target not in close[:1]:
        close = [target] + [c for c in close if c != target][: count - 1]
    return [folded[c] for c in close]
