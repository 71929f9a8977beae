"""Stacks build lamina's arrays faithfully and refuse values that would give NaN spectra."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pytest

import lamina
from lamina_design.materials import Constant
from lamina_design.stack import MAX_ANGLE_RAD, Layer, PreparedStack, Stack, polarisation_weights
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


@pytest.mark.parametrize("exit_index", [0.2 + 3j, 1.5 + 0.3j, 3.9 + 0.02j])
@pytest.mark.parametrize("theta", [0.0, 0.5, 1.0, 1.45])
def test_lossless_films_on_an_absorbing_exit_absorb_nothing(exit_index, theta):
    # Everything T carries into the exit medium is absorbed there, none of it in the films.
    stack = Stack(AIR, (Layer(Constant(1.46), 100.0), Layer(Constant(2.35), 57.0)), exit=Constant(exit_index))
    for pol in ("s", "p", "unpolarised", 0.3):
        np.testing.assert_allclose(stack.spectrum(WL, theta, pol).a, 0.0, atol=1e-12)


def test_random_stacks_on_absorbing_exits_agree_with_tmm():
    tmm = pytest.importorskip("tmm")
    rng = np.random.default_rng(20261207)
    wl = np.array([380.0, 550.0, 1310.0])
    for _ in range(60):
        count = int(rng.integers(0, 6))
        indices = rng.uniform(1.2, 3.5, count) + 1j * rng.choice([0.0, 0.0, 0.3], count) * rng.random(count)
        thicknesses = rng.uniform(0.0, 400.0, count)
        incidence = complex(rng.choice([1.0, 1.33, 1.52]))
        exit_index = complex(rng.uniform(0.05, 4.0), rng.choice([0.0, 1e-4, 0.5, 6.0]) * rng.random())
        theta, phi = rng.uniform(0.0, 1.5), rng.uniform(0.0, math.pi)
        if rng.random() < 0.2:  # an absorbing incidence medium, where only normal incidence is defined
            incidence, theta = incidence + 0.02j * rng.random(), 0.0
        stack = Stack(Constant(incidence), tuple(Layer(Constant(n), d) for n, d in zip(indices, thicknesses)),
                      exit=Constant(exit_index))
        spectrum = stack.spectrum(wl, theta, phi)
        for i, lam in enumerate(wl):
            peers = [tmm.coh_tmm(pol, [incidence, *indices, exit_index], [np.inf, *thicknesses, np.inf], theta, lam)
                     for pol in ("s", "p")]
            weights = (math.cos(phi) ** 2, math.sin(phi) ** 2)
            r = sum(w * peer["R"] for w, peer in zip(weights, peers))
            t = sum(w * peer["T"] for w, peer in zip(weights, peers))
            assert spectrum.r[i] == pytest.approx(r, rel=1e-10, abs=1e-14)
            assert spectrum.t[i] == pytest.approx(t, rel=1e-10, abs=1e-14)


def next_up(x: float) -> float:
    return float(np.nextafter(x, np.inf))


def fresnel_r(n0: float, n1: float, theta: float, pol: str) -> float:
    """|r|² of one interface at the exact angle, in 40 digits."""
    mpmath = pytest.importorskip("mpmath")
    with mpmath.workdps(40):
        sin0 = mpmath.sin(mpmath.mpf(theta))
        c0 = mpmath.sqrt(1 - sin0**2)
        c1 = mpmath.sqrt(1 - (n0 * sin0 / n1) ** 2)
        r = (n0 * c0 - n1 * c1) / (n0 * c0 + n1 * c1) if pol == "s" else (n1 * c0 - n0 * c1) / (n1 * c0 + n0 * c1)
        return float(abs(r) ** 2)


def test_grazing_angles_accepted_up_to_where_lamina_keeps_its_accuracy():
    for theta in (MAX_ANGLE_RAD, MAX_ANGLE_RAD - 1e-9):
        for n1 in (1.0001, 1.52, 3.9):
            for pol in ("s", "p"):
                r = Stack(AIR, (), exit=Constant(n1)).spectrum([500.0], theta, pol).r[0]
                assert r == pytest.approx(fresnel_r(1.0, n1, theta, pol), abs=1e-6)
    # Air to air is T = 1 exactly; closer to π/2 lamina's own rounding shows, then NaN.
    assert Stack(AIR, ()).spectrum([500.0], MAX_ANGLE_RAD).t[0] == pytest.approx(1.0, abs=1e-6)
    bare = np.array([[1.0], [1.0]], dtype=np.complex128)
    worse = lamina.DataPy(np.array([]), bare, np.array([500.0]), math.pi / 2 - 1e-7, 0.0).simulate()
    assert abs(worse.t[0] - 1.0) > 1e-4
    assert math.sin(math.pi / 2 - 1e-8) == 1.0
    assert np.isnan(lamina.DataPy(np.array([]), bare, np.array([500.0]), math.pi / 2 - 1e-8, 0.0).simulate().t[0])
    for stack in (Stack(AIR, ()), Stack(AIR, (Layer(LOW, 120.0),), substrate=Substrate(GLASS, 1e6))):
        assert np.all(np.isfinite(stack.spectrum(WL, MAX_ANGLE_RAD).r))
        for angle in (next_up(MAX_ANGLE_RAD), math.pi / 2 - 1e-7, math.pi / 2 - 1e-8):
            with pytest.raises(ValueError, match="too close to π/2"):
                stack.spectrum(WL, angle)
        with pytest.raises(ValueError, match="too close to π/2"):
            stack.cone(WL, math.pi / 2 - 1e-8)


class Patchy:
    """A material whose index vanishes at one wavelength (a bad table row)."""

    name = "patchy"

    def index(self, wavelength_nm):
        wl = np.asarray(wavelength_nm, dtype=np.float64)
        return np.where(wl == 600.0, 0.0, 1.5 + 0j)


@pytest.mark.parametrize(
    "make",
    [
        lambda m: Stack(AIR, (Layer(m, 10.0),), exit=GLASS),
        lambda m: Stack(m, (Layer(LOW, 10.0),), exit=GLASS),
        lambda m: Stack(AIR, (), exit=m),
        lambda m: Stack(AIR, (), substrate=Substrate(GLASS, 1e6, (), m)),
    ],
)
@pytest.mark.parametrize("material", [Constant(0.0, "void"), Patchy()])
def test_index_zero_is_refused_wherever_it_stands(make, material):
    with pytest.raises(ValueError, match=f"{material.name}: refractive index 0 at"):
        make(material).spectrum([500.0, 600.0])


@pytest.mark.parametrize("value, message", [(1e-100, "accurately"), (3e-7j, "accurately"),
                                            (1e101, "float64 range"), (2e200 + 1j, "float64 range")])
def test_indices_lamina_cannot_use_are_refused(value, message):
    with pytest.raises(ValueError, match=message):
        Stack(AIR, (Layer(Constant(value), 10.0),), exit=GLASS).spectrum(WL)


def test_a_film_of_the_smallest_index_accepted_is_exact():
    # Abelès: a film of index ε → 0 has the matrix [[1, −i·k₀d], [0, 1]] up to O(ε²), so at
    # normal incidence on glass r = (1 − n_g − i·k₀d·n_g)/(1 + n_g − i·k₀d·n_g).
    film = Stack(AIR, (Layer(Constant(1e-6), 100.0),), exit=GLASS).spectrum(WL)
    k0d = 2 * math.pi * 100.0 / WL
    r = (1 - 1.52 - 1j * k0d * 1.52) / (1 + 1.52 - 1j * k0d * 1.52)
    np.testing.assert_allclose(film.r, np.abs(r) ** 2, atol=1e-9)
    np.testing.assert_allclose(film.a, 0.0, atol=1e-9)


def test_non_finite_results_raise_instead_of_passing_as_nan(monkeypatch):
    stack = Stack(AIR, (Layer(LOW, 100.0),), exit=GLASS, name="edge")
    real = PreparedStack.simulate

    def patchy(self, d, n, theta, phi, wl=None):
        r, t = real(self, d, n, theta, phi, wl)
        return np.where(self.wavelength_nm > 800, np.nan, r), t

    monkeypatch.setattr(PreparedStack, "simulate", patchy)
    with pytest.raises(ValueError, match=r"'edge' has no finite R, T at 100 wavelength\(s\), the first 801 nm"):
        stack.spectrum(WL)
