"""Common coating materials by name, and `resolve` for names, files and database pages.

Every entry states where its numbers come from. Fits are used where a published closed form
holds over the visible and near infrared; deposited films, whose index depends on the process,
and silicon are measured tables shipped as CSV files in lamina_design/data/.
"""
from __future__ import annotations

import difflib
import re
from functools import lru_cache
from importlib import resources
from pathlib import Path
from typing import Callable, Dict, List, Optional, Union

from lamina_design.materials.base import Constant, Material, MaterialError
from lamina_design.materials.models import DrudeLorentz, Sellmeier
from lamina_design.materials.refractiveindex import Formula, load_database_page, read_yaml
from lamina_design.materials.tabulated import read_csv

__all__ = ["get", "names", "resolve", "suggestions", "DATABASE_PREFIX"]

DATABASE_PREFIX = "refractiveindex:"


def _data_table(filename: str, name: str) -> Material:
    with resources.as_file(resources.files("lamina_design") / "data" / filename) as path:
        return read_csv(path, name=name)


def air() -> Material:
    """Standard air (dry, 15 °C, 101.325 kPa, 450 ppm CO₂), 230–1690 nm; n(550) ≈ 1.000278.

    P. E. Ciddor, "Refractive index of air: new equations for the visible and near
    infrared", Appl. Opt. 35, 1566–1573 (1996): n − 1 = 0.05792105/(238.0185 − λ⁻²)
    + 0.00167917/(57.362 − λ⁻²), λ in µm.
    """
    return Formula(6, (0.0, 0.05792105, 238.0185, 0.00167917, 57.362), "air", (230.0, 1690.0))


def vacuum() -> Material:
    """n = 1 exactly, at every wavelength."""
    return Constant(1.0, "vacuum")


def fused_silica() -> Material:
    """Fused silica (SiO₂ glass, 20 °C), 210–3710 nm; n(587.6) = 1.4585.

    I. H. Malitson, "Interspecimen comparison of the refractive index of fused silica",
    J. Opt. Soc. Am. 55, 1205–1209 (1965): three-term Sellmeier, B = 0.6961663, 0.4079426,
    0.8974794; √C = 0.0684043, 0.1162414, 9.896161 µm.
    """
    return Sellmeier(
        ((0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2), (0.8974794, 9.896161**2)),
        "fused_silica",
        (210.0, 3710.0),
    )


def n_bk7() -> Material:
    """N-BK7 borosilicate crown glass, 300–2500 nm; n_d(587.56) = 1.5168.

    SCHOTT optical glass data sheet N-BK7 (Sellmeier B1..B3 = 1.03961212, 0.231792344,
    1.01046945; C1..C3 = 0.00600069867, 0.0200179144, 103.560653 µm²). Transparent model:
    the internal absorption (k < 1e-8 in the visible) is left out.
    """
    return Sellmeier(
        ((1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653)),
        "N-BK7",
        (300.0, 2500.0),
    )


def mgf2() -> Material:
    """MgF₂, crystalline, ordinary ray (19 °C), 200–7000 nm; n(550) ≈ 1.3785.

    M. J. Dodge, "Refractive properties of magnesium fluoride", Appl. Opt. 23, 1980–1985
    (1984): Sellmeier B = 0.48755108, 0.39875031, 2.3120353; √C = 0.04338408, 0.09461442,
    23.793604 µm. Evaporated films are a few parts in 10³ lower (porosity).
    """
    return Sellmeier(
        ((0.48755108, 0.04338408**2), (0.39875031, 0.09461442**2), (2.3120353, 23.793604**2)),
        "MgF2",
        (200.0, 7000.0),
    )


def al2o3() -> Material:
    """Al₂O₃ (synthetic sapphire), ordinary ray (20 °C), 200–5000 nm; n(589.3) ≈ 1.768.

    I. H. Malitson and M. J. Dodge, "Refractive index and birefringence of synthetic
    sapphire", J. Opt. Soc. Am. 62, 1405 (1972), with the formula of M. J. Dodge, Handbook
    of Laser Science and Technology IV, CRC Press (1986), p. 30: Sellmeier B = 1.4313493,
    0.65054713, 5.3414021; √C = 0.0726631, 0.1193242, 18.028251 µm.
    """
    return Sellmeier(
        ((1.4313493, 0.0726631**2), (0.65054713, 0.1193242**2), (5.3414021, 18.028251**2)),
        "Al2O3",
        (200.0, 5000.0),
    )


def sio2_film() -> Material:
    """SiO₂ film (300 nm, ion-assisted e-beam on fused silica), 252–1250 nm; n(550) ≈ 1.48.

    L. Gao, F. Lemarchand, M. Lequime, J. Europ. Opt. Soc. Rap. Public. 8, 13010 (2013),
    tabulated n, k (data file sio2_film_gao2013.csv).
    """
    return _data_table("sio2_film_gao2013.csv", "SiO2")


def tio2_film() -> Material:
    """TiO₂ film (200 nm on glass), 300–1690 nm; n(550) ≈ 2.16.

    S. Sarkar et al., ACS Appl. Mater. Interfaces 11, 13752–13760 (2019), tabulated n, k
    (data file tio2_film_sarkar2019.csv). Absorbs below ≈ 380 nm.
    """
    return _data_table("tio2_film_sarkar2019.csv", "TiO2")


def ta2o5_film() -> Material:
    """Ta₂O₅ film (400 nm, ion-assisted e-beam on BK7), 350–1800 nm; n(550) ≈ 2.16.

    L. Gao, F. Lemarchand, M. Lequime, Opt. Express 20, 15734–15751 (2012), tabulated n, k
    (data file ta2o5_film_gao2012.csv).
    """
    return _data_table("ta2o5_film_gao2012.csv", "Ta2O5")


def silicon() -> Material:
    """Crystalline silicon, intrinsic, 300 K, 250–1450 nm; n(600) ≈ 3.94.

    M. A. Green, "Self-consistent optical parameters of intrinsic silicon at 300 K including
    temperature coefficients", Sol. Energy Mater. Sol. Cells 92, 1305–1310 (2008), tabulated
    n, k every 10 nm (data file si_green2008.csv).
    """
    return _data_table("si_green2008.csv", "Si")


# Rakić et al., Appl. Opt. 37, 5271–5283 (1998), Table 2 (Lorentz–Drude model): ωp, f0, Γ0 and
# (fj, Γj, ωj) in eV; the valid ranges are those of the fits.


def silver() -> Material:
    """Silver, Lorentz–Drude fit, 248–12400 nm (0.1–5 eV).

    A. D. Rakić, A. B. Djurišić, J. M. Elazar, M. L. Majewski, "Optical properties of metallic
    films for vertical-cavity optoelectronic devices", Appl. Opt. 37, 5271–5283 (1998):
    ωp = 9.01 eV, f0 = 0.845, Γ0 = 0.048; (f, Γ, ω) = (0.065, 3.886, 0.816), (0.124, 0.452,
    4.481), (0.011, 0.065, 8.185), (0.840, 0.916, 9.083), (5.646, 2.419, 20.29).
    """
    return DrudeLorentz.rakic(
        9.01,
        0.845,
        0.048,
        ((0.065, 3.886, 0.816), (0.124, 0.452, 4.481), (0.011, 0.065, 8.185), (0.840, 0.916, 9.083), (5.646, 2.419, 20.29)),
        "Ag",
        (248.0, 12400.0),
    )


def gold() -> Material:
    """Gold, Lorentz–Drude fit, 248–6200 nm (0.2–5 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 9.03 eV, f0 = 0.760, Γ0 = 0.053;
    (f, Γ, ω) = (0.024, 0.241, 0.415), (0.010, 0.345, 0.830), (0.071, 0.870, 2.969),
    (0.601, 2.494, 4.304), (4.384, 2.214, 13.32).
    """
    return DrudeLorentz.rakic(
        9.03,
        0.760,
        0.053,
        ((0.024, 0.241, 0.415), (0.010, 0.345, 0.830), (0.071, 0.870, 2.969), (0.601, 2.494, 4.304), (4.384, 2.214, 13.32)),
        "Au",
        (248.0, 6200.0),
    )


def aluminium() -> Material:
    """Aluminium, Lorentz–Drude fit, 62–248000 nm (0.005–20 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 14.98 eV, f0 = 0.523, Γ0 = 0.047;
    (f, Γ, ω) = (0.227, 0.333, 0.162), (0.050, 0.312, 1.544), (0.166, 1.351, 1.808),
    (0.030, 3.382, 3.473).
    """
    return DrudeLorentz.rakic(
        14.98,
        0.523,
        0.047,
        ((0.227, 0.333, 0.162), (0.050, 0.312, 1.544), (0.166, 1.351, 1.808), (0.030, 3.382, 3.473)),
        "Al",
        (62.0, 248000.0),
    )


_CATALOGUE: Dict[str, Callable[[], Material]] = {
    "air": air,
    "vacuum": vacuum,
    "fused_silica": fused_silica,
    "n-bk7": n_bk7,
    "mgf2": mgf2,
    "sio2": sio2_film,
    "tio2": tio2_film,
    "ta2o5": ta2o5_film,
    "al2o3": al2o3,
    "si": silicon,
    "ag": silver,
    "au": gold,
    "al": aluminium,
}


_NAMES = ["air", "vacuum", "fused_silica", "N-BK7", "MgF2", "SiO2", "TiO2", "Ta2O5", "Al2O3", "Si", "Ag", "Au", "Al"]


def names() -> List[str]:
    """The catalogue's names, as `get` accepts them (any case)."""
    return list(_NAMES)


@lru_cache(maxsize=None)
def _build(key: str) -> Material:
    # Materials are immutable, so one instance per name can be shared.
    return _CATALOGUE[key]()


def _folded(name: str) -> str:
    # What a misspelling keeps: no case, separators or 0/O and 1/l confusion.
    return re.sub(r"[\s_\-]+", "", name.lower()).replace("0", "o").replace("1", "l")


def suggestions(name: str, count: int = 3) -> List[str]:
    """Catalogue names close to `name` (a misspelling such as "Si02" or "fused silca"), best first."""
    folded = {_folded(entry): entry for entry in _NAMES}
    target = _folded(name)
    close = difflib.get_close_matches(target, list(folded), n=count, cutoff=0.6)
    if target in folded and target not in close[:1]:
        close = [target] + [c for c in close if c != target][: count - 1]
    return [folded[c] for c in close]


def get(name: str) -> Material:
    """A catalogue material by name, case-insensitive ("N-BK7", "fused_silica", "TiO2", …).

    A name that is not in the catalogue raises MaterialError naming the closest ones.
    """
    key = name.strip().lower().replace(" ", "_")
    if key not in _CATALOGUE:
        close = " or ".join(repr(c) for c in suggestions(name))
        hint = f"; did you mean {close}? It has" if close else "; it has"
        raise MaterialError(f"material {name!r} is not in the catalogue{hint}: {', '.join(names())}")
    return _build(key)


def resolve(ref: str, base_dir: Optional[Path] = None, database: Union[str, Path, None] = None) -> Material:
    """A material from a reference as a design file gives it.

    - "refractiveindex:<shelf>/<book>/<page>": a page of the local refractiveindex.info
      database (see `lamina_design.materials.refractiveindex`);
    - a path ending in .csv, .yml or .yaml, relative to `base_dir` unless absolute;
    - otherwise a catalogue name.
    """
    text = ref.strip()
    if text.startswith(DATABASE_PREFIX):
        return load_database_page(text[len(DATABASE_PREFIX):], database)
    suffix = Path(text).suffix.lower()
    if suffix in (".csv", ".yml", ".yaml"):
        path = Path(text).expanduser()
        if not path.is_absolute() and base_dir is not None:
            path = Path(base_dir) / path
        if not path.is_file():
            raise MaterialError(f"material {ref!r}: no such file {str(path)!r}")
        return read_csv(path) if suffix == ".csv" else read_yaml(path)
    return get(text)
