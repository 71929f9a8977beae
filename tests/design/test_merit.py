"""Photopic and band means and colour, against published CIE values."""
from __future__ import annotations

import numpy as np
import pytest

from lamina_design import merit

WL = np.arange(360.0, 831.0, 1.0)


def flat(value: float, wl: np.ndarray = WL) -> np.ndarray:
    return np.full(wl.shape, value)


def test_perfect_reflector_under_d65_is_the_white_point() -> None:
    c = merit.colour(WL, flat(1.0))
    # CIE 15: D65 white XYZ = (95.047, 100, 108.883), x = 0.3127, y = 0.3290.
    assert c.XYZ == pytest.approx((95.047, 100.0, 108.883), abs=2e-3)
    assert c.xyY[:2] == pytest.approx((0.3127, 0.3290), abs=1e-4)
    assert c.xyY[2] == pytest.approx(100.0, abs=1e-12)
    assert c.Lab == pytest.approx((100.0, 0.0, 0.0), abs=1e-9)
    assert c.sRGB == pytest.approx((1.0, 1.0, 1.0), abs=1e-3)
    assert not c.clipped


def test_equal_energy_white() -> None:
    c = merit.colour(WL, flat(1.0), illuminant="E")
    # E: x = y = 1/3 by construction of the CMFs (to the 1 nm table's rounding)
    assert c.xyY[:2] == pytest.approx((1 / 3, 1 / 3), abs=1e-4)


@pytest.mark.parametrize(
    "level, lightness, srgb",
    [
        (0.1842, 50.0, None),  # CIE L* = 50 at Y = 18.42
        (0.21404, None, 0.5),  # sRGB: linear 0.21404 encodes to 0.5
        (0.0, 0.0, 0.0),
    ],
)
def test_grey_levels(level: float, lightness: float | None, srgb: float | None) -> None:
    c = merit.colour(WL, flat(level))
    assert c.xyY[2] == pytest.approx(100 * level, abs=1e-9)
    if lightness is not None:
        assert c.Lab[0] == pytest.approx(lightness, abs=2e-3)
        assert c.Lab[1:] == pytest.approx((0.0, 0.0), abs=1e-9)
    if srgb is not None:
        assert c.sRGB == pytest.approx((srgb,) * 3, abs=1e-3)


@pytest.mark.parametrize(
    "peak, x, y",
    [
        # CIE 1931 spectral chromaticity coordinates (CIE 15, table of the spectrum locus)
        (555.0, 0.3373, 0.6589),
        (450.0, 0.1566, 0.0177),
        (700.0, 0.7347, 0.2653),
    ],
)
def test_narrow_line_lies_on_the_spectrum_locus(peak: float, x: float, y: float) -> None:
    # A triangle one grid step wide: linear interpolation puts it on one grid point only.
    spectrum = np.where(WL == peak, 1.0, 0.0)
    c = merit.colour(WL, spectrum)
    assert c.xyY[:2] == pytest.approx((x, y), abs=1e-4)
    assert c.clipped  # spectral colours lie outside the sRGB gamut


def test_known_spectrum_colour() -> None:
    # A reddish reflector 0.1 + 0.7 exp(−((λ − 600)/40)²/2); the reference numbers are
    # colour-science 0.4.7 (sd_to_XYZ, integration method, D65 linearly interpolated to 1 nm).
    spectrum = 0.1 + 0.7 * np.exp(-0.5 * ((WL - 600) / 40) ** 2)
    c = merit.colour(WL, spectrum)
    assert c.XYZ == pytest.approx((50.70395601, 46.20468634, 11.5676542), rel=1e-8)
    assert c.xyY[:2] == pytest.approx((0.46741968, 0.4259427), abs=1e-8)
    assert c.Lab == pytest.approx((73.678155, 18.96915124, 59.89385579), abs=1e-6)
    assert c.sRGB == pytest.approx((0.94298929, 0.65013997, 0.26304248), abs=1e-4)


def test_colour_interpolates_coarse_spectra() -> None:
    # The same smooth spectrum sampled every 10 nm over 380–780 nm gives nearly the same colour.
    fine = merit.colour(WL, 0.5 + 0.3 * np.sin(WL / 50))
    coarse_wl = np.arange(380.0, 781.0, 10.0)
    coarse = merit.colour(coarse_wl, 0.5 + 0.3 * np.sin(coarse_wl / 50))
    assert coarse.xyY[:2] == pytest.approx(fine.xyY[:2], abs=2e-3)
    assert coarse.xyY[2] == pytest.approx(fine.xyY[2], rel=1e-2)


def test_photopic_means() -> None:
    assert merit.photopic(WL, flat(0.04)) == pytest.approx(0.04, rel=1e-12)
    # A spectrum and its complement share out the weight exactly.
    step = np.where(WL >= 555.0, 1.0, 0.0)
    assert merit.photopic(WL, step) + merit.photopic(WL, 1.0 - step) == pytest.approx(1.0, rel=1e-14)
    assert 0.4 < merit.photopic(WL, step) < 0.6  # 555 nm is the peak of V(λ)
    # D65 weighting shifts weight to the blue: the step's photopic mean falls.
    assert merit.photopic(WL, step, illuminant="D65") < merit.photopic(WL, step)
    # A line in the red counts for little.
    red = np.where(WL >= 680.0, 1.0, 0.0)
    assert merit.photopic(WL, red) < 0.02


def test_band_mean_is_the_exact_mean_of_the_interpolant() -> None:
    wl = np.array([400.0, 500.0, 600.0, 700.0])
    r = np.array([0.0, 1.0, 1.0, 0.0])
    assert merit.band_mean(wl, r, 400, 700) == pytest.approx(2 / 3, rel=1e-14)
    assert merit.band_mean(wl, r, 450, 550) == pytest.approx((0.5 * 50 * 1.5 + 50) / 100, rel=1e-14)
    assert merit.band_mean(wl, r, 520, 580) == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: merit.photopic(np.arange(400.0, 701.0), np.ones(301)), "covering 380–780"),
        (lambda: merit.colour(WL, np.ones(5)), "one length"),
        (lambda: merit.colour(WL[::-1], flat(1.0)), "increase"),
        (lambda: merit.colour(WL, np.where(WL > 500, np.nan, 1.0)), "finite"),
        (lambda: merit.colour(WL, flat(1.0), illuminant="F11"), "'F11' is not known"),
        (lambda: merit.band_mean(WL, flat(1.0), 700, 500), "lo < hi"),
        (lambda: merit.band_mean(WL, flat(1.0), 300, 500), "outside the spectrum"),
        (lambda: merit.band_mean([500.0], [1.0], 500, 500), "at least two"),
    ],
)
def test_bad_inputs_are_refused(call: object, message: str) -> None:
    assert callable(call)
    with pytest.raises(ValueError, match=message):
        call()


def test_tables_ship_with_their_source() -> None:
    from importlib import resources

    for name in ("cie1924_photopic.csv", "cie1931_2deg_cmf.csv", "cie_d65.csv", "cie_daylight_components.csv"):
        text = (resources.files("lamina_design") / "data" / name).read_text(encoding="utf-8")
        assert "# Source: " in text


@pytest.mark.parametrize(
    "name, x, y",
    [
        # CIE 15:2004, Table T.3: chromaticities of the illuminants, CIE 1931 observer.
        ("A", 0.44757, 0.40745),
        ("D50", 0.34567, 0.35850),
        ("D55", 0.33242, 0.34743),
        ("D65", 0.31271, 0.32902),
        ("D75", 0.29902, 0.31485),
    ],
)
def test_illuminant_white_points(name: str, x: float, y: float) -> None:
    c = merit.colour(WL, flat(1.0), illuminant=name)
    assert c.xyY[:2] == pytest.approx((x, y), abs=5e-5)
    assert c.Lab == pytest.approx((100.0, 0.0, 0.0), abs=1e-9)


def test_illuminant_a_is_the_cie_table() -> None:
    # CIE 15:2004, Table T.1, illuminant A as tabulated (six figures).
    wl = [300.0, 305.0, 380.0, 400.0, 560.0, 780.0]
    table = [0.930483, 1.12821, 9.7951, 14.7080, 100.0, 241.675]
    np.testing.assert_allclose(merit.illuminant_power("A", wl), table, rtol=5e-6)


def test_daylight_components_reproduce_the_d65_table() -> None:
    # The D65 table (ISO 11664-2) and S0 + M1·S1 + M2·S2 at 6504 K (CIE 15:2004: M1 = −0.295,
    # M2 = −0.689 to three decimals) are two publications of one illuminant.
    from importlib import resources

    def table(name: str) -> np.ndarray:
        text = (resources.files("lamina_design") / "data" / name).read_text(encoding="utf-8")
        return np.loadtxt([line for line in text.splitlines() if line and line[0].isdigit()], delimiter=",")

    d65 = table("cie_d65.csv")
    basis = table("cie_daylight_components.csv")
    rows = np.searchsorted(basis[:, 0], d65[:, 0])
    assert np.array_equal(basis[rows, 0], d65[:, 0])
    derived = basis[rows, 1] - 0.295 * basis[rows, 2] - 0.689 * basis[rows, 3]
    np.testing.assert_allclose(derived, d65[:, 1], atol=1e-3)


@pytest.mark.parametrize("name", ["A", "E", "D50", "D65", "D75"])
@pytest.mark.parametrize("level", [1.0, 0.5, 0.18, 0.02])
def test_neutral_greys_are_neutral_on_srgb_under_every_illuminant(name: str, level: float) -> None:
    # Adapted to sRGB's D65 white, a grey under any light looks as it does under D65: R = G = B up to
    # the 4-decimal rounding of the standard's matrix, a perfect white at full scale, unclipped.
    c = merit.colour(WL, flat(level), illuminant=name)
    reference = merit.colour(WL, flat(level), illuminant="D65")
    assert c.sRGB == pytest.approx(reference.sRGB, abs=1e-9)
    assert max(c.sRGB) - min(c.sRGB) < 1e-4
    assert not c.clipped
    if level == 1.0:
        assert c.sRGB == pytest.approx((1.0, 1.0, 1.0), abs=1e-4)


def test_photopic_over_a_chosen_band() -> None:
    wl = np.arange(400.0, 801.0, 1.0)
    r = 0.02 + 0.01 * np.sin(wl / 30)
    with pytest.raises(ValueError, match=r"extend the wavelength grid to 380–800 nm, or give band=\(lo, hi\)"):
        merit.photopic(wl, r)
    assert merit.photopic(wl, flat(0.3, wl), band=(400, 780)) == pytest.approx(0.3, rel=1e-14)
    # Over a band, the mean is the full-grid mean of the spectrum masked to the band, renormalised.
    inside = (WL >= 420) & (WL <= 760)
    full = np.interp(WL, wl, r, left=0.0, right=0.0)
    expected = merit.photopic(WL, full * inside) / merit.photopic(WL, 1.0 * inside)
    assert merit.photopic(wl, r, band=(420, 760)) == pytest.approx(expected, rel=1e-12)
    # A band spanning the observer's whole grid is the CIE figure itself.
    assert merit.photopic(WL, full + 0.01, band=(360, 830)) == pytest.approx(merit.photopic(WL, full + 0.01),
                                                                              rel=1e-14)
    with pytest.raises(ValueError, match="outside the spectrum"):
        merit.photopic(wl, r, band=(380, 780))
    with pytest.raises(ValueError, match="lo < hi"):
        merit.photopic(wl, r, band=(700, 500))
