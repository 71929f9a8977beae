"""Smooth dispersion: the catalogue films against their published tables, GDD without the
interpolation's artefacts, and fit_model on data of known coefficients."""
from __future__ import annotations

import pydoc
import re
import warnings
from importlib import resources

import numpy as np
import pytest

from lamina_design import materials as mat
from lamina_design.materials import catalogue
from lamina_design.materials import (
    Cauchy,
    Combined,
    Constant,
    DispersionWarning,
    MaterialError,
    RangeWarning,
    Sellmeier,
    Spline,
    Tabulated,
    TaucLorentz,
    fit_model,
    index_derivatives,
)
from lamina_design.optics import phase_spectrum
from lamina_design.stack import Layer, Stack

# The smoothed films and their data files.
FILMS = {
    "SiO2": "sio2_film_gao2013.csv",
    "Ta2O5": "ta2o5_film_gao2012.csv",
    "TiO2": "tio2_film_sarkar2019.csv",
    "HfO2": "hfo2_film_franta2015.csv",
    "Nb2O5": "nb2o5_film_lemarchand2013.csv",
    "ITO": "ito_film_minenkov2024.csv",
    "Si": "si_green2008.csv",
}


def published(filename: str) -> np.ndarray:
    """The rows of a shipped data file, read here with numpy alone."""
    path = resources.files("lamina_design") / "data" / filename
    return np.loadtxt(str(path), delimiter=",", comments="#", skiprows=4)


def stated_misfit(name: str) -> tuple[float, float]:
    """The largest |Δn| and |Δk| that the entry's docstring (what help() shows) states."""
    doc = " ".join((catalogue._CATALOGUE[name.lower()].__doc__ or "").split())
    if "|Δn| = |Δk| = 0" in doc:
        return 0.0, 0.0
    found = re.search(r"\|Δn\| ≤ (\d(?:\.\d+)?e-\d+), \|Δk\| ≤ (\d(?:\.\d+)?e-\d+)", doc)
    assert found, f"{name}'s docstring states no misfit"
    return float(found.group(1)), float(found.group(2))


@pytest.mark.parametrize("name", FILMS)
def test_film_holds_its_published_table_to_the_misfit_its_docstring_states(name: str) -> None:
    rows = published(FILMS[name])
    film = mat.get(name)
    assert not isinstance(film, Tabulated)
    dn, dk = stated_misfit(name)
    got = film.index(rows[:, 0])
    assert np.max(np.abs(got.real - rows[:, 1])) <= dn
    assert np.max(np.abs(got.imag - rows[:, 2])) <= dk


@pytest.mark.parametrize("name", [name for name in FILMS if name != "Si"])  # Si's spline passes through its rows
def test_film_second_derivative_is_continuous_at_the_table_rows(name: str) -> None:
    table = published(FILMS[name])
    # Where a coating's GD and GDD matter, below its gap (a Tauc–Lorentz gap is a kink of ε₂ by
    # design); ITO absorbs everywhere, and its spline is checked everywhere.
    clear = table[:, 2] == 0.0
    rows = table[clear, 0] if np.any(clear) else table[:, 0]
    inner = rows[(rows > rows[0] * 1.02) & (rows < rows[-1] * 0.98)]
    spacing = np.min(np.diff(rows))
    film = mat.get(name)

    def step(s: float) -> float:
        """The largest change of d²n/dλ² from a row to s beyond it."""
        here = index_derivatives(film, inner)[2]
        there = index_derivatives(film, inner + s)[2]
        return float(np.max(np.abs(there - here)))

    # Continuous: the change shrinks with the step (about in proportion). A linear table keeps
    # its spike of the slope's jump at the row, whatever the step.
    assert step(spacing / 8) <= 0.5 * step(spacing / 2)


def quarter_wave_mirror(high: mat.Material, low: mat.Material) -> Stack:
    layers = tuple(Layer(m, d) for m, d in [(high, 76.5), (low, 110.1)] * 4 + [(high, 76.5)])
    return Stack(Constant(1.0), layers, exit=mat.get("N-BK7"))


def test_mirror_gdd_has_no_steps_at_the_old_table_rows() -> None:
    # The table rows of TiO2 and SiO2 at 640, 640.5, 641 … made GDD jump 0.4 → 2.2 → 0.3 → 2.6 fs².
    wl = np.arange(630.0, 652.0, 0.5)
    gdd = phase_spectrum(quarter_wave_mirror(mat.get("TiO2"), mat.get("SiO2")), wl).gdd_r[0]
    # Well inside the stop band GDD is small and smooth: its second differences over 0.5 nm are
    # those of a slowly curving line.
    assert np.max(np.abs(gdd)) < 2.0
    assert np.max(np.abs(np.diff(gdd, 2))) < 0.01


def test_gdd_of_a_linear_table_warns_once_per_material() -> None:
    table = mat.table("TiO2")
    wl = np.array([600.0, 700.0])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        index_derivatives(table, wl)
        index_derivatives(table, wl)
        phase_spectrum(quarter_wave_mirror(mat.get("TiO2"), Combined(mat.get("SiO2"), mat.table("SiO2"))), wl)
        index_derivatives(mat.get("TiO2"), wl)
        index_derivatives(Cauchy(1.5, 0.004), wl)
    said = [str(w.message) for w in caught if issubclass(w.category, DispersionWarning)]
    assert len(said) == 2
    assert "'TiO2'" in said[0] and "'combined'" in said[1]
    assert all("fit_model" in s for s in said)


def test_table_keeps_the_published_rows() -> None:
    rows = published("tio2_film_sarkar2019.csv")
    table = mat.table("TiO2")
    assert isinstance(table, Tabulated)
    np.testing.assert_array_equal(table.wavelength_nm, rows[:, 0])
    np.testing.assert_array_equal(table.n, rows[:, 1])
    with pytest.raises(MaterialError, match="closed-form model, not a table.*SiO2"):
        mat.table("fused_silica")


# --- fit_model -----------------------------------------------------------------------------------

WL = np.linspace(400.0, 1600.0, 121)


def test_cauchy_fit_recovers_known_coefficients() -> None:
    lam = WL / 1000.0
    n = 1.4580 + 0.00354 / lam**2 - 0.00012 / lam**4  # the coefficients, written out
    fit = fit_model((WL, n, np.zeros_like(WL)), "cauchy", name="glass")
    assert isinstance(fit.material, Cauchy)
    assert (fit.material.a, fit.material.b, fit.material.c) == pytest.approx((1.4580, 0.00354, -0.00012), abs=1e-10)
    assert fit.max_dn < 1e-12 and fit.max_dk == 0.0
    assert fit.material.name == "glass" and fit.material.valid_nm == (400.0, 1600.0)


def test_sellmeier_fit_holds_malitson_fused_silica() -> None:
    # Malitson 1965, written out here: n² − 1 = Σ Bλ²/(λ² − C).
    lam2 = (WL / 1000.0) ** 2
    terms = ((0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2), (0.8974794, 9.896161**2))
    n = np.sqrt(1.0 + sum(b * lam2 / (lam2 - c) for b, c in terms))
    fit = fit_model(np.stack([WL, n], axis=1), "Sellmeier")
    assert isinstance(fit.material, Sellmeier)
    assert fit.max_dn < 5e-5  # two terms for Malitson's three
    # Its dispersion, what GDD sees, follows too: dn/dλ at 800 nm from Malitson's formula.
    h = 0.01
    slope = [np.sqrt(1.0 + sum(b * x / (x - c) for b, c in terms)) for x in ((0.8 + h / 1000) ** 2, (0.8 - h / 1000) ** 2)]
    _, first, _ = index_derivatives(fit.material, np.array([800.0]))
    assert first[0].real == pytest.approx((slope[0] - slope[1]) / (2 * h), rel=2e-3)


def test_tauc_lorentz_fit_recovers_known_parameters() -> None:
    known = (180.0, 4.2, 1.8, 3.3, 1.7)
    truth = TaucLorentz(*known)
    index = truth.index(WL[WL < 1000.0].tolist() + [300.0, 330.0, 360.0])
    wl = np.array(WL[WL < 1000.0].tolist() + [300.0, 330.0, 360.0])
    fit = fit_model((wl, index.real, index.imag), "tauc-lorentz")
    got = fit.material
    assert isinstance(got, TaucLorentz)
    assert (got.amplitude_ev, got.centre_ev, got.broadening_ev, got.gap_ev, got.eps_inf) == pytest.approx(known, rel=1e-5)
    assert fit.max_dn < 1e-8 and fit.max_dk < 1e-8


def test_spline_fit_of_a_noisy_table_is_smooth_and_close() -> None:
    lam = WL / 1000.0
    smooth = 2.05 + 0.02 / lam**2 + 0.001 / lam**4
    rng = np.random.default_rng(7)
    noisy = np.round(smooth + rng.normal(0.0, 2e-6, WL.size), 5)  # as a table prints it
    fit = fit_model((WL, noisy), "spline", tolerance=3e-5)
    assert isinstance(fit.material, Spline) and fit.max_dn <= 3e-5
    assert fit.material.energy_ev.size < 20
    _, _, second = index_derivatives(fit.material, np.array([700.0, 1000.0]))
    exact = (6 * 0.02 / lam[[30, 60]] ** 4 + 20 * 0.001 / lam[[30, 60]] ** 6) / 1e6  # 700 and 1000 nm
    np.testing.assert_allclose(second.real, exact, rtol=0.05)
    through = fit_model((WL, noisy), "spline", tolerance=0.0)
    assert through.max_dn == 0.0 and through.material.energy_ev.size == WL.size


@pytest.mark.parametrize("table, model, message", [
    ((WL, WL * 0 + 1.5), "cauchi", "model 'cauchi' is unknown; did you mean 'cauchy'"),
    ((WL, WL * 0 + 1.5), "lorentz", "did you mean 'tauc-lorentz'"),
    ((WL, WL * 0 + 1.5), "drude", "Known models: cauchy, sellmeier, tauc-lorentz, spline"),
    ((WL[:2], WL[:2] * 0 + 1.5), "cauchy", "cauchy fit needs at least 3 table rows, the table has 2"),
    ((WL[:3], WL[:3] * 0 + 1.5), "sellmeier", "sellmeier fit needs at least 4 table rows"),
    ((WL, WL * 0 + 1.5), "tauc-lorentz", "needs absorption"),
    ((WL, WL[:-1]), "cauchy", "columns differ in length"),
    ((np.r_[WL[:-1], WL[0]], WL * 0 + 1.5), "cauchy", "repeats a wavelength"),
    ((WL, WL * np.nan), "cauchy", "not finite"),
])
def test_fit_model_errors_name_what_is_wrong(table: object, model: str, message: str) -> None:
    with pytest.raises(MaterialError, match=message.replace("(", r"\(").replace("|", r"\|")):
        fit_model(table, model)  # type: ignore[arg-type]


def test_spline_extends_straight_past_its_table_and_warns() -> None:
    film = mat.get("SiO2")
    lo, hi = film.valid_nm  # type: ignore[attr-defined]
    with pytest.warns(RangeWarning):
        n, first, second = index_derivatives(film, np.array([hi * 1.2]))
    # Linear in photon energy past the last knot: d²n/dE² = 0 there.
    energy = 1239.841984 / np.array([hi * 1.2 - 1.0, hi * 1.2, hi * 1.2 + 1.0])
    with pytest.warns(RangeWarning):
        values = film.index(1239.841984 / energy).real
    slope = np.diff(values) / np.diff(energy)
    assert slope[0] == pytest.approx(slope[1], rel=1e-9)
    assert np.isfinite(second).all()


@pytest.mark.parametrize("key", [key for key in catalogue._CATALOGUE if key != "vacuum"])  # vacuum is a definition
def test_every_catalogue_entry_names_its_publication_and_range_in_help(key: str) -> None:
    text = " ".join(pydoc.render_doc(catalogue._CATALOGUE[key]).split())
    assert re.search(r"\b(1[89]\d\d|20\d\d)\b|data sheet", text), "no publication named"
    assert re.search(r"\d+(\.\d+)?–\d+(\.\d+)? nm", text), "no wavelength range"


@pytest.mark.parametrize("oscillators, message", [
    ((), "needs at least one oscillator"),
    (((100.0, 4.0, 9.0, 3.0),), "0 < C < 2·E0"),
    (((100.0, 4.0, 1.0),), "needs 4 numbers"),
])
def test_tauc_lorentz_sum_refuses_bad_oscillators_by_name(oscillators: tuple, message: str) -> None:
    with pytest.raises(MaterialError, match=f"'film'.*{message}"):
        mat.TaucLorentzSum(oscillators, 1.0, "film")


def test_a_straight_table_has_no_kinks_to_warn_of() -> None:
    line = Tabulated([400.0, 600.0, 800.0], [1.50, 1.48, 1.46], [0.0, 0.0, 0.0], name="line")
    with warnings.catch_warnings():
        warnings.simplefilter("error", DispersionWarning)
        _, first, second = index_derivatives(line, np.array([500.0, 700.0]))
    np.testing.assert_allclose(first.real, -1e-4, rtol=1e-6)


def test_a_table_of_three_rows_is_read_as_rows() -> None:
    # Three rows of (wavelength, n, k): square, so only the layout says which way it runs.
    rows = np.array([[400.0, 1.5, 0.0], [500.0, 1.49, 0.0], [600.0, 1.48, 0.0]])
    fit = fit_model(rows, "cauchy")
    assert fit.material.valid_nm == (400.0, 600.0)  # type: ignore[attr-defined]
    assert fit.max_dn < 1e-12


@pytest.mark.parametrize("name", FILMS)
def test_film_is_transparent_where_its_table_has_no_absorption(name: str) -> None:
    # Beyond the last row with k > 0 the published film does not absorb: a smoothed k that
    # ripples there would make R + T fall short of 1 in a lossless mirror.
    rows = published(FILMS[name])
    rows = rows[np.argsort(rows[:, 0])]
    absorbing = np.flatnonzero(rows[:, 2] != 0.0)
    if absorbing.size and absorbing[-1] + 1 == rows.shape[0]:
        pytest.skip(f"{name} absorbs over its whole table")
    start = rows[absorbing[-1] + 1, 0] if absorbing.size else rows[0, 0]
    wl = np.linspace(start, rows[-1, 0], 2001)
    assert np.all(mat.get(name).index(wl).imag == 0.0)


def test_quarter_wave_mirror_of_catalogue_films_absorbs_nothing_in_the_visible() -> None:
    spectrum = quarter_wave_mirror(mat.get("TiO2"), mat.get("SiO2")).spectrum(np.linspace(450.0, 900.0, 451))
    assert np.max(np.abs(spectrum.r + spectrum.t - 1.0)) < 1e-12
