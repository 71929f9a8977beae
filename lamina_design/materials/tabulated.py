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

from lamina_design.materials.base import (
    ComplexArray,
    FloatArray,
    Material,
    MaterialError,
    check_range,
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
        order = np.argsort(wl, kind="stable")
        wl, n, k = wl[order], n[order], k[order]
        if np.any(np.diff(wl) == 0.0):
            raise MaterialError(f"material {self.name!r}: the table repeats a wavelength")
        for array in (wl, n, k):
            array.flags.writeable = False
        object.__setattr__(self, "wavelength_nm", wl)
        object.__setattr__(self, "n", n)
        object.__setattr__(self, "k", k)

    @property
    def valid_nm(self) -> tuple[float, float]:
        return (float(self.wavelength_nm[0]), float(self.wavelength_nm[-1]))

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        n = np.interp(wl, self.wavelength_nm, self.n)
        k = np.interp(wl, self.wavelength_nm, self.k)
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

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        n = self.n_from.index(wl).real
        k = self.k_from.index(wl).imag
        return finished(self.name, np.asarray(n + 1j * k, dtype=np.complex128))


_MICROMETRE_UNITS = ("um", "µm", "micron")


def read_csv(path: Union[str, Path], name: Optional[str] = None) -> Tabulated:
    """A table from a CSV file: columns wavelength, n and optionally k (k = 0 if absent).

    Lines starting with '#' are comments (the first comment line becomes the source). An
    optional header row names the columns; wavelengths are in nm unless the first header says
    µm ("wavelength_um"). Commas, semicolons, tabs or spaces separate the fields.
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
    if rows[0] and not _is_number(rows[0][0]):
        header = rows.pop(0)
        if any(unit in header[0].lower() for unit in _MICROMETRE_UNITS):
            scale = 1000.0
        if dialect.delimiter != " ":
            width = len(header)
        elif rows:
            width = len(rows[0])
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
    return Tabulated(table[:, 0] * scale, table[:, 1], k, name=label, source=comments[0] if comments else str(path))


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
