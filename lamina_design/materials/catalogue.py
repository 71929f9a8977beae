"""Common coating materials by name, and `resolve` for names, files and database pages.

Every entry states where its numbers come from and the wavelengths where they hold (outside,
a RangeWarning). Crystals and glasses are published closed forms (Sellmeier and the like),
metals the Lorentz–Drude fits of Rakić et al. (1998); deposited films, whose index depends on
the process, and silicon are measured tables shipped as CSV files in lamina_design/data/, each
smoothed: fitted by a closed form where one holds the table to its rounding (TiO2), else by
natural cubic splines of n and k in photon energy; either way the second derivative is
continuous, so GD and GDD are smooth, and each entry states the largest misfit to its table.
The tables themselves, linearly interpolated as published, are `table(name)`.
A compound's formula names the film where one is given (SiO2, TiO2, Ta2O5, Nb2O5, HfO2, ITO),
else the crystal; bulk forms have their own names (fused_silica, cubic_hafnia). A few other
names people use for the same material are aliases (sapphire for Al2O3, BK7 for N-BK7, …).

"air" is standard air, n ≈ 1.00028; "vacuum" is n = 1 exactly, the medium a stack or design
file has where none is given.
"""
from __future__ import annotations

from dataclasses import replace
from functools import lru_cache
from importlib import resources
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple, Union

import numpy as np

from lamina_design.materials.base import SUBSCRIPTS, Constant, Material, MaterialError, closest
from lamina_design.materials.models import DrudeLorentz, Sellmeier, TaucLorentzSum
from lamina_design.materials.refractiveindex import Formula, load_database_page, read_yaml
from lamina_design.materials.spline import Spline, least_squares, transparent_from
from lamina_design.materials.tabulated import Tabulated, read_csv

__all__ = ["aliases", "get", "names", "resolve", "suggestions", "table", "DATABASE_PREFIX"]

DATABASE_PREFIX = "refractiveindex:"


def _data_table(filename: str, name: str) -> Tabulated:
    with resources.as_file(resources.files("lamina_design") / "data" / filename) as path:
        # Our own files' unit is not news in a range warning.
        return replace(read_csv(path, name=name), units_note="")


def _smoothed(filename: str, name: str, knots_ev: Optional[Tuple[float, ...]]) -> Spline:
    """The table as least-squares natural splines with these knots (eV), or through every row."""
    data = _data_table(filename, name)
    wl = data.wavelength_nm
    if knots_ev is None:
        return Spline.through(wl, data.n, data.k, name, data.source)
    knots = np.array(knots_ev, dtype=np.float64)
    return Spline(knots, *least_squares(knots, wl, data.n, data.k), name, data.valid_nm, data.source,
                  transparent_from(wl, data.k))


def air() -> Material:
    """Standard air (dry, 15 °C, 101.325 kPa, 450 ppm CO₂), 230–1690 nm; n(550) ≈ 1.000278.
    (The default incidence and exit medium is "vacuum", n = 1 exactly.)

    P. E. Ciddor, "Refractive index of air: new equations for the visible and near
    infrared", Appl. Opt. 35, 1566–1573 (1996): n − 1 = 0.05792105/(238.0185 − λ⁻²)
    + 0.00167917/(57.362 − λ⁻²), λ in µm.
    """
    return Formula(6, (0.0, 0.05792105, 238.0185, 0.00167917, 57.362), "air", (230.0, 1690.0))


def vacuum() -> Material:
    """n = 1 exactly, at every wavelength: the default incidence and exit medium."""
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
    tabulated n, k (data file sio2_film_gao2013.csv), smoothed by a natural
    cubic spline with 8 knots: |Δn| ≤ 5e-5, |Δk| ≤ 5e-6.
    """
    return _smoothed("sio2_film_gao2013.csv", "SiO2",
                     (0.9919, 1.3847, 1.7775, 2.5631, 3.3488, 4.1344, 4.5272, 4.9200))


def tio2_film() -> Material:
    """TiO₂ film (200 nm on glass), 300–1690 nm; n(550) ≈ 2.16.

    S. Sarkar et al., ACS Appl. Mater. Interfaces 11, 13752–13760 (2019), tabulated n, k
    (data file tio2_film_sarkar2019.csv), fitted here by two Tauc–Lorentz oscillators,
    (A, E0, C, Eg) = (211.674756, 4.001867, 1.871194, 3.405273) and (31.572847, 8.869614,
    0.038175, 3.867168) eV over ε∞ = 1.021879: |Δn| ≤ 2e-6, |Δk| ≤ 3e-6, the table's own
    rounding. Absorbs below ≈ 380 nm (the gap is at 364 nm).
    """
    return TaucLorentzSum(
        ((211.674756, 4.001867, 1.871194, 3.405273), (31.572847, 8.869614, 0.038175, 3.867168)),
        1.021879,
        "TiO2",
        (300.0, 1690.0),
    )


def ta2o5_film() -> Material:
    """Ta₂O₅ film (400 nm, ion-assisted e-beam on BK7), 350–1800 nm; n(550) ≈ 2.16.

    L. Gao, F. Lemarchand, M. Lequime, Opt. Express 20, 15734–15751 (2012), tabulated n, k
    (data file ta2o5_film_gao2012.csv), smoothed by a natural
    cubic spline with 11 knots: |Δn| ≤ 4e-5, |Δk| ≤ 5e-6.
    """
    return _smoothed("ta2o5_film_gao2012.csv", "Ta2O5",
                     (0.6888, 0.8315, 0.9742, 1.2595, 1.8302, 2.4010, 2.9717, 3.2570, 3.3997, 3.4711, 3.5424))


def silicon() -> Material:
    """Crystalline silicon, intrinsic, 300 K, 250–1450 nm; n(600) ≈ 3.94.

    M. A. Green, "Self-consistent optical parameters of intrinsic silicon at 300 K including
    temperature coefficients", Sol. Energy Mater. Sol. Cells 92, 1305–1310 (2008), tabulated
    n, k every 10 nm (data file si_green2008.csv), smoothed by a natural
    cubic spline through every row: |Δn| = |Δk| = 0 there (its band structure has features
    closer than the rows, which a spline with fewer knots would smear; its d²n/dλ² carries the
    rounding of the table's 4 digits).
    """
    return _smoothed("si_green2008.csv", "Si", None)


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


def hfo2_film() -> Material:
    """HfO₂ film (112.7 nm, electron-beam evaporation on silicon), 190–2500 nm; n(550) ≈ 2.10.

    D. Franta, D. Nečas, I. Ohlídal, "Universal dispersion model for characterization of
    optical thin films over wide spectral range: application to hafnia", Appl. Opt. 54,
    9108–9119 (2015), tabulated n, k (data file hfo2_film_franta2015.csv), smoothed by a natural
    cubic spline with 28 knots: |Δn| ≤ 2.2e-4, |Δk| ≤ 1.9e-4. Absorbs below
    ≈ 230 nm. Porous, unassisted films come out lower (n(550) ≈ 1.90 in Al-Kuhaili 2004).
    """
    return _smoothed("hfo2_film_franta2015.csv", "HfO2",
                     (0.4966, 0.5342, 0.5718, 0.6469, 0.7972, 1.0979, 1.6991, 2.9016, 3.5029, 4.1042, 4.1417,
         4.1793, 4.2545, 4.4048, 4.5551, 4.7054, 5.0060, 5.1564, 5.3067, 5.3818, 5.4570, 5.6073,
         5.7576, 5.9079, 6.2085, 6.3589, 6.4340, 6.5092))


def cubic_hafnia() -> Material:
    """Bulk cubic HfO₂ (stabilised with 9.8 mol % Y₂O₃, 20 °C), 365–5000 nm; n(589) ≈ 2.11.

    D. L. Wood, K. Nassau, T. Y. Kometani, D. L. Nash, "Optical properties of cubic hafnia
    stabilized with yttria", Appl. Opt. 29, 604–607 (1990): Sellmeier B = 1.9558, 1.345,
    10.41; √C = 0.15494, 0.0634, 27.12 µm. A single crystal: films are less dense (see HfO2).
    """
    return Sellmeier(
        ((1.9558, 0.15494**2), (1.345, 0.0634**2), (10.41, 27.12**2)),
        "cubic_hafnia",
        (365.0, 5000.0),
    )


def zro2() -> Material:
    """ZrO₂, bulk cubic zirconia (stabilised with 12 mol % Y₂O₃, 25 °C), 361–5135 nm; n(589) ≈ 2.159.

    D. L. Wood and K. Nassau, "Refractive index of cubic zirconia stabilized with yttria",
    Appl. Opt. 21, 2978–2981 (1982): Sellmeier B = 1.347091, 2.117788, 9.452943;
    √C = 0.062543, 0.166739, 24.320570 µm. Evaporated films are less dense and lower
    (n(550) ≈ 1.95–2.10 with the process): fit a film's own Cauchy for a design that needs it.
    """
    return Sellmeier(
        ((1.347091, 0.062543**2), (2.117788, 0.166739**2), (9.452943, 24.320570**2)),
        "ZrO2",
        (361.0, 5135.0),
    )


def nb2o5_film() -> Material:
    """Nb₂O₅ film (500 nm, magnetron sputtering on BK7), 250–2500 nm; n(550) ≈ 2.36.

    F. Lemarchand (2013), measured by the method of L. Gao, F. Lemarchand, M. Lequime,
    Opt. Express 20, 15734–15751 (2012), tabulated n, k as published in the refractiveindex.info
    database (data file nb2o5_film_lemarchand2013.csv), smoothed by a natural
    cubic spline with 20 knots: |Δn| ≤ 8e-4, |Δk| ≤ 7e-4 (the largest at the absorption edge,
    ≤ 1e-4 beyond 450 nm). Absorbs below ≈ 380 nm.
    """
    return _smoothed("nb2o5_film_lemarchand2013.csv", "Nb2O5",
                     (0.4959, 0.6075, 0.7191, 0.9423, 1.3886, 2.2813, 2.7277, 2.9508, 3.1740, 3.2856, 3.3972,
                      3.5088, 3.6203, 3.7319, 3.8435, 4.0667, 4.2899, 4.5130, 4.7362, 4.9594))


def si3n4() -> Material:
    """Si₃N₄ (stoichiometric LPCVD film), 310–5504 nm; n(1550) ≈ 1.996.

    K. Luke, Y. Okawachi, M. R. E. Lamont, A. L. Gaeta, M. Lipson, "Broadband mid-infrared
    frequency comb generation in a Si₃N₄ microresonator", Opt. Lett. 40, 4823–4826 (2015):
    n² = 1 + 3.0249 λ²/(λ² − 0.1353406²) + 40314 λ²/(λ² − 1239.842²), λ in µm.
    PECVD nitride varies with its hydrogen and oxygen content.
    """
    return Sellmeier(((3.0249, 0.1353406**2), (40314.0, 1239.842**2)), "Si3N4", (310.0, 5504.0))


def ito_film() -> Material:
    """ITO (In₂O₃:SnO₂) film, 110 nm sputtered electrode on glass, 191–1689 nm; n(550) ≈ 1.9.

    A. Minenkov et al., "Monitoring the electrochemical failure of indium tin oxide
    electrodes via operando ellipsometry", ACS Appl. Mater. Interfaces 16, 9517–9531 (2024),
    tabulated n, k of the film as received (data file ito_film_minenkov2024.csv), smoothed by a natural
    cubic spline with 34 knots: |Δn| ≤ 1e-3, |Δk| ≤ 9e-4, within the film's ellipsometric uncertainty. Free
    carriers make it metallic in the near infrared (n < 1 beyond ≈ 1.1 µm); the carrier
    density, and so the infrared index, depends strongly on the deposition.
    """
    return _smoothed("ito_film_minenkov2024.csv", "ITO",
                     (0.7342, 0.7701, 0.8060, 0.8777, 0.9495, 0.9854, 0.9944, 1.0033, 1.0213, 1.0930, 1.1648,
         1.2366, 1.2725, 1.2904, 1.2994, 1.3084, 1.5954, 1.8825, 2.4567, 3.0308, 3.6050, 3.8920,
         4.1791, 4.2509, 4.3227, 4.4662, 4.6097, 4.7533, 5.0403, 5.3274, 5.9016, 6.1886, 6.3322,
         6.4757))


def zns() -> Material:
    """ZnS, cubic (CVD, 20 °C), 405–13000 nm; n(10.6 µm) ≈ 2.192.

    M. Debenham, "Refractive indices of zinc sulfide in the 0.405–13-µm wavelength range",
    Appl. Opt. 23, 2238–2239 (1984), with the dispersion equation fitted to its data by
    C. A. Klein, Appl. Opt. 25, 1873–1875 (1986): n² = 8.393 + 0.14383/(λ² − 0.2421²)
    + 4430.99/(λ² − 36.71²), λ in µm.
    """
    return Formula(4, (8.393, 0.14383, 0.0, 0.2421, 2.0, 4430.99, 0.0, 36.71, 2.0), "ZnS", (405.0, 13000.0))


def znse() -> Material:
    """ZnSe (CVD, 23 °C), 540–18200 nm; n(10.6 µm) = 2.4028.

    J. Connolly, B. diBenedetto, R. Donadio, "Specifications of Raytran material", Proc.
    SPIE 181, 141–144 (1979), with the Sellmeier fit of B. Tatian, Appl. Opt. 23, 4477–4485
    (1984): B = 4.45813734, 0.467216334, 2.89566290; √C = 0.200859853, 0.391371166,
    47.1362108 µm.
    """
    return Sellmeier(
        ((4.45813734, 0.200859853**2), (0.467216334, 0.391371166**2), (2.89566290, 47.1362108**2)),
        "ZnSe",
        (540.0, 18200.0),
    )


def caf2() -> Material:
    """CaF₂, crystalline (24 °C), 230–9700 nm; n_d(587.6) = 1.4338.

    I. H. Malitson, "A redetermination of some optical properties of calcium fluoride",
    Appl. Opt. 2, 1103–1107 (1963): Sellmeier B = 0.5675888, 0.4710914, 3.8484723;
    √C = 0.050263605, 0.1003909, 34.649040 µm.
    """
    return Sellmeier(
        ((0.5675888, 0.050263605**2), (0.4710914, 0.1003909**2), (3.8484723, 34.649040**2)),
        "CaF2",
        (230.0, 9700.0),
    )


def germanium() -> Material:
    """Germanium, single crystal (295 K), 2000–14000 nm; n(10 µm) ≈ 4.004.

    J. H. Burnett, S. G. Kaplan, E. Stover, A. Phenis, "Refractive index measurements of Ge",
    Proc. SPIE 9974, 99740X (2016): n² = 1 + Σ Bᵢ λ²/(λ² − Cᵢ), B = 0.4886331, 14.5142535,
    0.0091224; C = 1.393959, 0.1626427, 752.190 µm². Infrared only: below ≈ 1.9 µm
    germanium absorbs, which this transparent model does not describe.
    """
    return Sellmeier(
        ((0.4886331, 1.393959), (14.5142535, 0.1626427), (0.0091224, 752.190)),
        "Ge",
        (2000.0, 14000.0),
    )


def chromium() -> Material:
    """Chromium, Lorentz–Drude fit, 248–61992 nm (0.02–5 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 10.75 eV, f0 = 0.168, Γ0 = 0.047;
    (f, Γ, ω) = (0.151, 3.175, 0.121), (0.150, 1.305, 0.543), (1.149, 2.676, 1.970),
    (0.825, 1.335, 8.775).
    """
    return DrudeLorentz.rakic(
        10.75,
        0.168,
        0.047,
        ((0.151, 3.175, 0.121), (0.150, 1.305, 0.543), (1.149, 2.676, 1.970), (0.825, 1.335, 8.775)),
        "Cr",
        (248.0, 61992.0),
    )


def copper() -> Material:
    """Copper, Lorentz–Drude fit, 207–12398 nm (0.1–6 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 10.83 eV, f0 = 0.575, Γ0 = 0.030;
    (f, Γ, ω) = (0.061, 0.378, 0.291), (0.104, 1.056, 2.957), (0.723, 3.213, 5.300),
    (0.638, 4.305, 11.18).
    """
    return DrudeLorentz.rakic(
        10.83,
        0.575,
        0.030,
        ((0.061, 0.378, 0.291), (0.104, 1.056, 2.957), (0.723, 3.213, 5.300), (0.638, 4.305, 11.18)),
        "Cu",
        (206.6, 12398.0),
    )


def nickel() -> Material:
    """Nickel, Lorentz–Drude fit, 248–6199 nm (0.2–5 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 15.92 eV, f0 = 0.096, Γ0 = 0.048;
    (f, Γ, ω) = (0.100, 4.511, 0.174), (0.135, 1.334, 0.582), (0.106, 2.178, 1.597),
    (0.729, 6.292, 6.089).
    """
    return DrudeLorentz.rakic(
        15.92,
        0.096,
        0.048,
        ((0.100, 4.511, 0.174), (0.135, 1.334, 0.582), (0.106, 2.178, 1.597), (0.729, 6.292, 6.089)),
        "Ni",
        (248.0, 6199.0),
    )


def titanium() -> Material:
    """Titanium, Lorentz–Drude fit, 248–30996 nm (0.04–5 eV).

    Rakić et al., Appl. Opt. 37, 5271–5283 (1998): ωp = 7.29 eV, f0 = 0.148, Γ0 = 0.082;
    (f, Γ, ω) = (0.899, 2.276, 0.777), (0.393, 2.518, 1.545), (0.187, 1.663, 2.509),
    (0.001, 1.762, 19.43).
    """
    return DrudeLorentz.rakic(
        7.29,
        0.148,
        0.082,
        ((0.899, 2.276, 0.777), (0.393, 2.518, 1.545), (0.187, 1.663, 2.509), (0.001, 1.762, 19.43)),
        "Ti",
        (248.0, 30996.0),
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
    "hfo2": hfo2_film,
    "cubic_hafnia": cubic_hafnia,
    "zro2": zro2,
    "nb2o5": nb2o5_film,
    "si3n4": si3n4,
    "ito": ito_film,
    "zns": zns,
    "znse": znse,
    "caf2": caf2,
    "ge": germanium,
    "cr": chromium,
    "cu": copper,
    "ni": nickel,
    "ti": titanium,
}


_NAMES = [
    "air",
    "vacuum",
    "fused_silica",
    "N-BK7",
    "MgF2",
    "CaF2",
    "Al2O3",
    "SiO2",
    "TiO2",
    "Ta2O5",
    "Nb2O5",
    "HfO2",
    "cubic_hafnia",
    "ZrO2",
    "Si3N4",
    "ITO",
    "ZnS",
    "ZnSe",
    "Si",
    "Ge",
    "Ag",
    "Au",
    "Al",
    "Cr",
    "Cu",
    "Ni",
    "Ti",
]


#: The catalogue entries smoothed from a table, with the table's file.
_TABLES: Dict[str, str] = {
    "sio2": "sio2_film_gao2013.csv",
    "tio2": "tio2_film_sarkar2019.csv",
    "ta2o5": "ta2o5_film_gao2012.csv",
    "si": "si_green2008.csv",
    "hfo2": "hfo2_film_franta2015.csv",
    "nb2o5": "nb2o5_film_lemarchand2013.csv",
    "ito": "ito_film_minenkov2024.csv",
}


def table(name: str) -> Tabulated:
    """The published table behind a smoothed or fitted catalogue film ("SiO2", "TiO2", "ITO", …),
    linearly interpolated as it stands: for comparison with the data, not for GD or GDD."""
    material = get(name)
    key = material.name.lower()
    if key not in _TABLES:
        smoothed = ", ".join(entry for entry in _NAMES if entry.lower() in _TABLES)
        raise MaterialError(f"material {name!r} is a closed-form model, not a table; the tables are: {smoothed}")
    return _data_table(_TABLES[key], material.name)


def names() -> List[str]:
    """The catalogue's names, as `get` accepts them (any case)."""
    return list(_NAMES)


#: Other names in use for catalogue materials, each naming one entry only.
_ALIASES: Dict[str, str] = {
    "sapphire": "Al2O3",
    "fused_quartz": "fused_silica",
    "bk7": "N-BK7",
    "cubic_zirconia": "ZrO2",
    "magnesium_fluoride": "MgF2",
    "calcium_fluoride": "CaF2",
    "zinc_sulfide": "ZnS",
    "zinc_sulphide": "ZnS",
    "zinc_selenide": "ZnSe",
    "silicon_nitride": "Si3N4",
    "indium_tin_oxide": "ITO",
    "silicon": "Si",
    "germanium": "Ge",
    "silver": "Ag",
    "gold": "Au",
    "aluminium": "Al",
    "aluminum": "Al",
    "chromium": "Cr",
    "copper": "Cu",
    "nickel": "Ni",
    "titanium": "Ti",
}


def aliases() -> Dict[str, str]:
    """Other names `get` accepts (any case, spaces for underscores), each with its catalogue name."""
    return dict(_ALIASES)


@lru_cache(maxsize=None)
def _build(key: str) -> Material:
    # Materials are immutable, so one instance per name can be shared.
    return _CATALOGUE[key]()


def suggestions(name: str, count: int = 3) -> List[str]:
    """Catalogue names or aliases close to `name` (a misspelling such as "Si02" or "fused silca"),
    best first."""
    return closest(name, [*_NAMES, *_ALIASES], count)


def get(name: str) -> Material:
    """A catalogue material by name or alias, case-insensitive ("N-BK7", "fused silica", "TiO₂",
    "sapphire", …).

    A name that is not in the catalogue raises MaterialError naming the closest ones.
    """
    key = name.strip().translate(SUBSCRIPTS).lower().replace(" ", "_")
    key = _ALIASES.get(key, key).lower()
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
