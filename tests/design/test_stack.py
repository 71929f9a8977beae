"""Stacks build lamina's arrays faithfully and refuse values that would give NaN spectra."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pytest

import lamina
from lamina_design.stack import Layer, Stack, polarisation_weights
from lamina_design.substrate import Substrate

from design_stacks import AIR, GLASS, HIGH, LOW

WL = np.linspace(400.0, 900.0, 501)


def test_coherent_spectrum_is_one_direct_lamina_call(coating):
    n = np.array([[1.0], [2.3 + 0.01j], [1.46], [1.52]]) * np.ones(WL.size)
    for theta, pol, phi in [(0.0, "s", 0.0), (0.7, "p", math.pi / 2), (0.3, 0.4, 0.4), (1.2, "unpolarised", math.pi / 4)]:
        direct = lamina.DataPy(np.array([80.0, 120.0]), n, WL, theta, phi).simulate()
        spectrum = coating.spectrum(WL, theta, pol)
        assert np.array_equal(spectrum.r, direct.r) and np.array_equal(spectrum.t, direct.t)
        np.testing.assert_array_equal(spectrum.a, 1.0 - direct.r - direct.t)
        assert spectrum.angle_rad == theta and spectrum.polarisation == phi


def test_agrees_with_tmm_per_polarisation(coating):
    tmm = pytest.importorskip("tmm")
    wl = np.array([420.0, 633.0, 880.0])
    for pol in ("s", "p"):
        spectrum = coating.spectrum(wl, 0.6, pol)
        for i, lam in enumerate(wl):
            peer = tmm.coh_tmm(pol, [1.0, 2.3 + 0.01j, 1.46, 1.52], [np.inf, 80.0, 120.0, np.inf], 0.6, lam)
            assert spectrum.r[i] == pytest.approx(peer["R"], rel=1e-12)
            assert spectrum.t[i] == pytest.approx(peer["T"], rel=1e-12)


@pytest.mark.parametrize("stack_name", ["coating", "plate"])
def test_angle_map_rows_and_polarisation_mix(stack_name, request):
    stack = request.getfixturevalue(stack_name)
    angles = np.array([0.0, 0.4, 1.1])
    grid = stack.spectrum(WL, angles, "s")
    assert grid.r.shape == grid.t.shape == (3, WL.size)
    for row, theta in enumerate(angles):
        single = stack.spectrum(WL, float(theta), "s")
        np.testing.assert_array_equal(grid.r[row], single.r)
    s = stack.spectrum(WL, 0.9, "s")
    p = stack.spectrum(WL, 0.9, "p")
    mixed = stack.spectrum(WL, 0.9, "unpolarised")
    np.testing.assert_allclose(mixed.r, (s.r + p.r) / 2, rtol=1e-14, atol=1e-16)
    np.testing.assert_allclose(mixed.t, (s.t + p.t) / 2, rtol=1e-14, atol=1e-16)
    quarter = stack.spectrum(WL, 0.9, math.pi / 3)
    np.testing.assert_allclose(quarter.r, 0.25 * s.r + 0.75 * p.r, rtol=1e-12)
    assert np.all(mixed.a > 0)  # both stacks absorb


def test_cone_average_lies_between_its_extreme_rays(coating):
    normal = coating.spectrum(WL, 0.0)
    edge = coating.spectrum(WL, 0.5)
    for weighting in ("solid_angle", "pupil"):
        cone = coating.cone(WL, 0.5, weighting=weighting)
        low = np.minimum(normal.r, edge.r) - 1e-12
        high = np.maximum(normal.r, edge.r) + 1e-12
        # R varies monotonically with angle at most wavelengths here; the mean sits between.
        inside = (cone.r >= low) & (cone.r <= high)
        assert inside.mean() > 0.9
    assert np.array_equal(coating.cone(WL, 0.0).r, normal.r)
    narrow = coating.cone(WL, 1e-3)
    np.testing.assert_allclose(narrow.r, normal.r, atol=1e-6)
    # A pupil weights the axis more than equal solid angles do.
    solid = coating.cone(WL, 0.8)
    pupil = coating.cone(WL, 0.8, weighting="pupil")
    off = coating.spectrum(WL, 0.8)
    assert np.mean(np.abs(pupil.r - normal.r)) < np.mean(np.abs(solid.r - normal.r)) < np.mean(np.abs(off.r - normal.r))


def test_thicknesses_round_trip_front_then_back(plate):
    assert list(plate.thicknesses()) == [80.0, 120.0, 99.0]
    moved = plate.with_thicknesses([1.0, 2.0, 3.0])
    assert [layer.thickness_nm for layer in moved.layers] == [1.0, 2.0]
    assert moved.substrate is not None and moved.substrate.back_layers[0].thickness_nm == 3.0
    assert plate.thicknesses()[0] == 80.0  # the original is untouched
    with pytest.raises(ValueError, match="expected 3 thicknesses"):
        plate.with_thicknesses([1.0, 2.0])
    with pytest.raises(dataclasses.FrozenInstanceError):
        plate.layers = ()  # type: ignore[misc]


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Layer(HIGH, -1.0), "thickness must be finite and ≥ 0"),
        (lambda: Layer(HIGH, float("nan")), "thickness must be finite"),
        (lambda: Substrate(GLASS, -5.0), "substrate glass: thickness"),
        (lambda: Stack(AIR, (Layer(LOW, 1.0),), exit=GLASS, substrate=Substrate(GLASS, 1.0)), "either"),
        (lambda: Stack(AIR, (LOW,)), None),  # a material where a layer belongs
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum([]), "empty"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum([500.0, -1.0]), "positive"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum([500.0, np.nan]), "finite"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum(WL, -0.1), r"\[0, π/2\)"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum(WL, math.pi / 2), r"\[0, π/2\)"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum(WL, [0.1, float("nan")]), "angle"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).spectrum(WL, 0.0, "circular"), "polarisation"),
        (lambda: Stack(AIR, (Layer(LOW, 10.0),), exit=GLASS).cone(WL, 0.2, samples=0), "samples"),
    ],
)
def test_bad_values_raise_clear_errors(make, message):
    error = TypeError if message is None else ValueError
    with pytest.raises(error, match=message):
        make()


def test_polarisation_names_have_exact_weights():
    assert polarisation_weights("s")[1:] == (1.0, 0.0)
    assert polarisation_weights("P")[1:] == (0.0, 1.0)
    assert polarisation_weights("unpolarized")[1:] == (0.5, 0.5)
    phi, w_s, w_p = polarisation_weights(1.0)
    assert phi == 1.0 and w_s + w_p == pytest.approx(1.0)


def test_catalogue_materials_and_default_exit():
    from lamina_design import materials

    bare = Stack(AIR, ())
    assert np.all(bare.spectrum(WL).r == 0.0)  # air to air
    glass = materials.get("N-BK7")
    r = Stack(AIR, (), exit=glass).spectrum(WL).r
    n = glass.index(WL).real
    np.testing.assert_allclose(r, ((n - 1) / (n + 1)) ** 2, rtol=1e-12)
