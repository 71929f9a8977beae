"""Ellipsometric fits recover hidden films from noisy Ψ/Δ computed by tmm; the CSV reader's rules."""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("scipy")
tmm = pytest.importorskip("tmm")

from lamina_design import materials
from lamina_design.ellipsometry import EllipsometryData, fit_ellipsometry, model, read_csv, write_csv
from lamina_design.materials import Cauchy, Constant, TaucLorentz
from lamina_design.stack import Layer, Stack

SI = materials.get("Si")
SIO2 = materials.get("SiO2")
ANGLES = (65.0, 70.0, 75.0)
WL = np.linspace(400.0, 900.0, 41)


def measured(layer_materials, thicknesses, seed, sigma_psi=0.05, sigma_delta=0.1):
    """Ψ, Δ (degrees) from tmm.ellips at three angles, with Gaussian noise."""
    rng = np.random.default_rng(seed)
    rows = []
    for angle in ANGLES:
        for lam in WL:
            n = [1.0, *(complex(m.index(np.array([lam]))[0]) for m in layer_materials), complex(SI.index(np.array([lam]))[0])]
            e = tmm.ellips(n, [np.inf, *thicknesses, np.inf], math.radians(angle), lam)
            rows.append((lam, angle, math.degrees(e["psi"]), math.degrees(e["Delta"])))
    table = np.array(rows)
    psi = table[:, 2] + rng.normal(0.0, sigma_psi, len(rows))
    delta = table[:, 3] + rng.normal(0.0, sigma_delta, len(rows))
    return EllipsometryData(table[:, 0], table[:, 1], psi, delta, sigma_psi, sigma_delta)


@pytest.mark.parametrize("seed", [1, 2])
def test_recovers_oxide_thickness_on_silicon(seed):
    data = measured([SIO2], [103.7], seed)
    fit = fit_ellipsometry(Stack(layers=(Layer(SIO2, 80.0),), exit=SI), data)
    sigma = fit.sigma("d1")
    assert 0.0 < sigma < 0.05
    assert abs(fit.value("d1") - 103.7) < 4 * sigma
    assert 0.7 < fit.chi2 < 1.3
    assert fit.success and fit.stack.layers[0].thickness_nm == fit.value("d1")


def test_recovers_cauchy_film_coefficients_and_thickness():
    true = Cauchy(1.60, 0.010, name="film")
    data = measured([true], [250.0], seed=3)
    guess = Stack(layers=(Layer(Cauchy(1.55, 0.0, name="film"), 240.0),), exit=SI)
    fit = fit_ellipsometry(guess, data, materials={1: ("a", "b")})
    assert fit.names == ("d1", "n1.a", "n1.b")
    for name, value in (("d1", 250.0), ("n1.a", 1.60), ("n1.b", 0.010)):
        assert abs(fit.value(name) - value) < 4 * fit.sigma(name), (name, fit.summary())
    assert fit.sigma("n1.a") < 1e-3
    assert fit.stack.layers[0].material.a == fit.value("n1.a")
    assert 0.7 < fit.chi2 < 1.3


def test_tauc_lorentz_amplitude_and_thickness_from_noiseless_data():
    true = TaucLorentz(120.0, 3.6, 1.4, 1.9, 1.8)
    data = measured([true], [40.0], seed=4, sigma_psi=1e-9, sigma_delta=1e-9)
    data = EllipsometryData(data.wavelength_nm, data.angle_deg, data.psi_deg, data.delta_deg, 0.05, 0.1)
    start = Stack(layers=(Layer(TaucLorentz(100.0, 3.6, 1.4, 1.9, 1.8), 45.0),), exit=SI)
    fit = fit_ellipsometry(start, data, materials={1: ("amplitude_ev",)})
    assert fit.value("d1") == pytest.approx(40.0, abs=1e-5)
    assert fit.value("n1.amplitude_ev") == pytest.approx(120.0, rel=1e-6)


def test_csv_round_trip_and_forms(tmp_path):
    data = measured([SIO2], [50.0], seed=5)
    path = tmp_path / "points.csv"
    write_csv(path, data)
    again = read_csv(path)
    np.testing.assert_array_equal(again.psi_deg, data.psi_deg)
    np.testing.assert_array_equal(again.sigma_delta_deg, data.sigma_delta_deg)
    plain = tmp_path / "plain.txt"
    plain.write_text("# from the instrument\nwl angle psi delta\n500 70 30.5 -100\n600\t70\t31.0\t-95.5\n")
    points = read_csv(plain, sigma_psi_deg=0.02)
    np.testing.assert_array_equal(points.delta_deg, [-100.0, -95.5])
    np.testing.assert_array_equal(points.sigma_psi_deg, [0.02, 0.02])
    psi, delta = model(Stack(layers=(Layer(SIO2, 50.0),), exit=SI), data.wavelength_nm, data.angle_deg)
    assert np.all(np.abs(psi - data.psi_deg) < 0.3)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "no data"),
        ("500,70,30\n", "4 columns"),
        ("500,70,30,10\n600,70,30,10,0.1,0.1\n", "first row"),
        ("500,70,30,10\nx,1,2,3\n", "not a row"),
        ("500,95,30,10\n", "angle"),
        ("500,70,30,10,0,1\n", "sigma"),
        ("wavelength_pm,angle,psi,delta\n500,70,30,10\n", r"bad.csv:1: .*'pm' is not a wavelength unit"),
        ("energy (eV) angle psi delta\n2.5 70 30 10\n", "names the unit 'ev'"),
    ],
)
def test_bad_files_raise(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        read_csv(path)


@pytest.mark.parametrize("header, sep, factor", [
    ("wavelength_nm,angle_deg,psi_deg,delta_deg", ",", 1.0),
    ("wavelength_um,angle_deg,psi_deg,delta_deg", ",", 1000.0),
    ("lambda (µm)\tangle\tpsi\tdelta", "\t", 1000.0),
    ("wavelength (um) angle psi delta", " ", 1000.0),
    ("wavelength_mm;angle;psi;delta", ";", 1e6),
    ("wl angle psi delta", " ", 1.0),
])
def test_a_header_naming_the_wavelength_unit_is_read_in_it(tmp_path, header, sep, factor):
    path = tmp_path / "points.csv"
    path.write_text(header + "\n" + "".join(f"{wl / factor!r}{sep}70{sep}30{sep}10\n" for wl in (500.0, 620.0)))
    np.testing.assert_allclose(read_csv(path).wavelength_nm, [500.0, 620.0], rtol=1e-12)


@pytest.mark.parametrize(
    "columns, message",
    [
        (([500.0, 600.0, 700.0], 70.0, [30.0, 31.0], 10.0, 0.1, 0.1), "psi_deg has 2 values .* 3 wavelengths"),
        (([500.0, 600.0], [[70.0, 70.0]], 30.0, 10.0, 0.1, 0.1), "angle_deg has 2 values"),
        (([500.0, 600.0], 70.0, 30.0, 10.0, 0.1, [0.1, 0.1, 0.1]), "sigma_delta_deg has 3 values"),
    ],
)
def test_columns_of_the_wrong_length_are_named(columns, message):
    with pytest.raises(ValueError, match=message):
        EllipsometryData(*columns)


def test_fits_only_the_layers_in_front_of_an_incoherent_one():
    plate = Layer(Constant(1.5), 1e5, coherent=False)
    stack = Stack(layers=(Layer(Constant(1.9), 80.0), plate, Layer(Constant(1.4), 50.0)), exit=SI)
    data = EllipsometryData([500.0, 600.0, 700.0], 70.0, 30.0, 10.0, 0.1, 0.1)
    with pytest.raises(ValueError, match="layer 3 lies at or behind incoherent layer 2"):
        fit_ellipsometry(stack, data, thicknesses=[1, 3])
    fit = fit_ellipsometry(stack, data, max_nfev=2)
    assert fit.names == ("d1",)
    assert fit.stack.layers[1].coherent is False


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"thicknesses": [2]}, "out of range"),
        ({"materials": {1: ("a",)}}, "cannot be fitted"),
    ],
)
def test_bad_requests_raise(kwargs, message):
    data = EllipsometryData([500.0, 600.0], 70.0, 30.0, 10.0, 0.1, 0.1)
    with pytest.raises(ValueError, match=message):
        fit_ellipsometry(Stack(layers=(Layer(Constant(1.5), 10.0),), exit=SI), data, **kwargs)
