"""Measured n, k tables, interpolated linearly in wavelength, and their CSV files."""
from __future__ import annotations

import csv
import io
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import model, nm_range

from lamina_design.materials.base import (
    ComplexArray,
    FloatArray,
    Material,
    MaterialError,
    check_range,
    KAPPA_CONVENTION,
    finished,
    wavelengths_nm,
)

__all__ = ["Tabulated", "Combined", "read_csv"]


@dataclass(frozen=True, eq=False)
class Tabulated:
    """n and k given at wavelengths (nm), linearly interpolated between them.

    Outside the table the end values are held and a RangeWarning says so. The arrays are
    copied and made read-only, so the material cannot change after it is built.
    """

    wavelength_nm: FloatArray
    n: FloatArray
    k: FloatArray
    name: str = "tabulated"
    source: str = ""
    #: How the wavelengths were read (unit, from where), added to range warnings.
    units_note: str = ""

    def __post_init__(self) -> None:
        try:
            wl: FloatArray = np.array(self.wavelength_nm, dtype=np.float64).ravel()
            n: FloatArray = np.array(self.n, dtype=np.float64).ravel()
            k: FloatArray = np.array(self.k, dtype=np.float64).ravel()
        except (TypeError, ValueError) as exc:
            raise MaterialError(f"material {self.name!r}: table values are not numbers ({exc})") from None
        if wl.size == 0:
            raise MaterialError(f"material {self.name!r}: the table is empty")
        if not (wl.size == n.size == k.size):
            raise MaterialError(
                f"material {self.name!r}: table columns differ in length ({wl.size}, {n.size}, {k.size})"
            )
        if not (np.all(np.isfinite(wl)) and np.all(np.isfinite(n)) and np.all(np.isfinite(k))):
            raise MaterialError(f"material {self.name!r}: the table holds a value that is not finite")
        if np.any(wl <= 0.0):
            raise MaterialError(f"material {self.name!r}: table wavelengths must be > 0")
        if np.any(k < 0.0):
            at = int(np.argmax(k < 0.0))
            raise MaterialError(f"material {self.name!r}: the table's k (κ) is {k[at]:g} < 0 at {wl[at]:g} nm; "
                                + KAPPA_CONVENTION)
        order = np.argsort(wl, kind="stable")
        wl, n, k = wl[order], n[order], k[order]
        if np.any(np.diff(wl) == 0.0):
            raise MaterialError(f"material {self.name!r}: the table repeats a wavelength")
        for array in (wl, n, k):
            array.flags.writeable = False
        object.__setattr__(self, "wavelength_nm", wl)
        object.__setattr__(self, "n", n)
        object.__setattr__(self, "k", k)

    def __reduce__(self) -> tuple[type[Tabulated], tuple[object, ...]]:
        # Rebuilt through the constructor, so a copy sent to another process is read-only too.
        return (type(self), (self.wavelength_nm, self.n, self.k, self.name, self.source, self.units_note))

    def __eq__(self, other: object) -> bool:
        # By value, so a stack equals its copy from another process.
        if not isinstance(other, Tabulated):
            return NotImplemented
        return ((self.name, self.source, self.units_note) == (other.name, other.source, other.units_note)
                and all(np.array_equal(a, b) for a, b in ((self.wavelength_nm, other.wavelength_nm),
                                                          (self.n, other.n), (self.k, other.k))))

    def __hash__(self) -> int:
        return hash((self.name, self.wavelength_nm.tobytes(), self.n.tobytes(), self.k.tobytes()))

    def __repr__(self) -> str:
        # The table itself can run to thousands of rows: its name, reach and size say enough.
        absorbs = ", absorbing" if np.any(self.k != 0.0) else ""
        return f"Tabulated({self.name!r}, {nm_range(self.valid_nm)}, {self.wavelength_nm.size} points{absorbs})"

    @property
    def valid_nm(self) -> tuple[float, float]:
        return (float(self.wavelength_nm[0]), float(self.wavelength_nm[-1]))

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm, self.units_note)
        n = np.interp(wl, self.wavelength_nm, self.n)
        # Between a k > 0 and a k = 0 the interpolation's rounding can give −3e-17: k's data are
        # ≥ 0, so such a value is 0.
        k = np.maximum(np.interp(wl, self.wavelength_nm, self.k), 0.0)
        return finished(self.name, np.asarray(n + 1j * k, dtype=np.complex128).reshape(wl.shape))

    @classmethod
    def from_csv(cls, path: Union[str, Path], name: Optional[str] = None) -> Tabulated:
        return read_csv(path, name)


@dataclass(frozen=True)
class Combined:
    """n from one material and κ from another (a dispersion formula with a measured k table)."""

    n_from: Material
    k_from: Material
    name: str = "combined"

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        n = self.n_from.index(wl).real
        k = self.k_from.index(wl).imag
        return finished(self.name, np.asarray(n + 1j * k, dtype=np.complex128))


# Wavelength units recognised as whole words of the wavelength column's header, with the
# factor to nm. Words, not substrings: "spectrum_wavelength_nm" and "column1" hold "um".
_UNIT_FACTORS = {
    "nm": 1.0,
    "nanometre": 1.0,
    "nanometres": 1.0,
    "nanometer": 1.0,
    "nanometers": 1.0,
    "um": 1000.0,
    "µm": 1000.0,  # micro sign
    "μm": 1000.0,  # Greek mu
    "micron": 1000.0,
    "microns": 1000.0,
    "micrometre": 1000.0,
    "micrometres": 1000.0,
    "micrometer": 1000.0,
    "micrometers": 1000.0,
    "mm": 1e6,
    "millimetre": 1e6,
    "millimetres": 1e6,
    "millimeter": 1e6,
    "millimeters": 1e6,
    "å": 0.1,
    "angstrom": 0.1,
    "angstroms": 0.1,
    "ångström": 0.1,
    "ångströms": 0.1,
}
_UNIT_SYMBOLS = {1.0: "nm", 1000.0: "µm", 1e6: "mm", 0.1: "Å"}
# Words that name the wavelength column itself. After one of them any other word is taken for
# a unit: one not known is refused, not read as nm ("wavelength_pm" is not a table in nm).
_WAVELENGTH_NAMES = ("wavelength", "wavelengths", "lambda", "λ", "wl", "wave", "length")
# Units of an energy or wavenumber axis: such a table is refused rather than read as nm.
_NOT_WAVELENGTH = ("ev", "mev", "cm", "thz", "hz")


def wavelength_factor(words: str) -> Optional[float]:
    """The factor to nm that a wavelength column's header names as a word of its own, or None
    when it names none ("wavelength", "column1"). Raises ValueError, saying why, when the header
    names an energy or wavenumber, more than one unit, or a word after the wavelength's name
    that is no unit ("wavelength_pm")."""
    tokens = re.findall(r"[^\W\d_]+", words.lower())
    other = [t for t in tokens if t in _NOT_WAVELENGTH]
    if other:
        raise ValueError(f"names the unit {other[0]!r}; the first column must be a wavelength in nm, µm, mm or Å")
    factors = {_UNIT_FACTORS[t] for t in tokens if t in _UNIT_FACTORS}
    if len(factors) > 1:
        raise ValueError("names more than one wavelength unit")
    if factors:
        return factors.pop()
    if tokens and tokens[0] in _WAVELENGTH_NAMES:
        unknown = [t for t in tokens if t not in _WAVELENGTH_NAMES]
        if unknown:
            raise ValueError(f"{unknown[0]!r} is not a wavelength unit; name one of nm, µm (um, micron), mm or Å "
                             f"(angstrom), e.g. 'wavelength_um'")
    return None


def _header_unit(words: str, where: str, label: str) -> tuple[float, str]:
    """The factor to nm that a header names, and a note saying how the wavelengths were read."""
    try:
        factor = wavelength_factor(words)
    except ValueError as exc:
        raise MaterialError(f"material {label!r}: {where} header {words!r}: {exc}") from None
    if factor is not None:
        return factor, f"wavelengths read in {_UNIT_SYMBOLS[factor]}, as the header {words!r} of {where} says"
    return 1.0, f"wavelengths read in nm: the header {words!r} of {where} names no unit (write e.g. 'wavelength_um')"


def read_csv(path: Union[str, Path], name: Optional[str] = None) -> Tabulated:
    """A table from a CSV file: columns wavelength, n and optionally k (k = 0 if absent).

    Lines starting with '#' are comments (the first comment line becomes the source). An
    optional header row names the columns; wavelengths are in nm unless the wavelength
    column's header names another unit as a word of its own: "wavelength_um", "lambda (µm)",
    "wavelength [micron]", "wavelength_mm" or "wavelength (Å)"; a header naming the wavelength
    and then a word that is no unit ("wavelength_pm") is refused. Commas, semicolons, tabs or spaces
    separate the fields. A range warning says which unit was read.
    """
    path = Path(path)
    label = name if name is not None else path.stem
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise MaterialError(f"material {label!r}: cannot read {str(path)!r} ({exc})") from None
    comments = [line.lstrip("#").strip() for line in text.splitlines() if line.lstrip().startswith("#")]
    lines = [line for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise MaterialError(f"material {label!r}: {str(path)!r} holds no table")
    # The separator is read off a data line: a header's names may hold spaces.
    sample = next((line for line in lines if re.match(r"\s*[-+.\d]", line)), lines[0])
    try:
        dialect: type[csv.Dialect] | csv.Dialect = csv.Sniffer().sniff(sample, delimiters=",;\t ")
    except csv.Error:
        dialect = csv.excel
    rows = [[field.strip() for field in row if field.strip()] for row in csv.reader(io.StringIO("\n".join(lines)), dialect)]
    scale = 1.0
    width = len(rows[0])
    note = f"wavelengths read in nm: {path.name} has no header to name a unit (write e.g. 'wavelength_um,n,k')"
    if rows[0] and not _is_number(rows[0][0]):
        header = rows.pop(0)
        if dialect.delimiter != " ":
            width = len(header)
        elif rows:
            width = len(rows[0])
        # Split on spaces, "wavelength (nm) n k" has more names than columns: the extra ones
        # belong to the wavelength's.
        words = " ".join(header[: max(1, len(header) - (width - 1))]) if dialect.delimiter == " " else header[0]
        scale, note = _header_unit(words, path.name, label)
    if not rows:
        raise MaterialError(f"material {label!r}: {str(path)!r} holds no table rows")
    values: list[list[float]] = []
    for number, row in enumerate(rows, start=1):
        if len(row) != width or width not in (2, 3):
            raise MaterialError(
                f"material {label!r}: {str(path)!r} data row {number} has {len(row)} fields, "
                f"expected 2 (wavelength, n) or 3 (wavelength, n, k) as the header or first row has"
            )
        try:
            values.append([float(field) for field in row])
        except ValueError:
            raise MaterialError(f"material {label!r}: {str(path)!r} data row {number} is not numeric: {row}") from None
    table = np.array(values, dtype=np.float64)
    k = table[:, 2] if width == 3 else np.zeros(len(table))
    source = comments[0] if comments else str(path)
    return Tabulated(table[:, 0] * scale, table[:, 1], k, name=label, source=source, units_note=note)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
