"""DataPy.simulate and the Simulation result."""

import gc

import numpy as np
import pytest

import lamina
from lamina import DataPy

OUT_OF_BOUNDS = "ndarray: index out of bounds"


def interface(n1, n2, wavelengths, theta=0.0, phi=0.0):
    """A bare interface between two media: no inner layers."""
    wl = np.asarray(wavelengths, dtype=float)
    n = np.array([[n1] * len(wl), [n2] * len(wl)], dtype=complex)
    return DataPy(np.zeros(0), n, wl, theta, phi)


def quarter_wave(wavelengths):
    """Air | quarter-wave MgF2-like layer at 550 | glass."""
    wl = np.asarray(wavelengths, dtype=float)
    n = np.array([[1.0] * len(wl), [1.38] * len(wl), [1.52] * len(wl)], dtype=complex)
    return DataPy(np.array([550.0 / (4 * 1.38)]), n, wl, 0.3, 0.7)


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def test_simulate_returns_spectra_of_the_right_form():
    result = quarter_wave([450.0, 550.0, 650.0, 750.0]).simulate()
    assert type(result) is lamina.Simulation
    for spectrum in (result.r, result.t):
        assert type(spectrum) is np.ndarray
        assert spectrum.dtype == np.float64 and spectrum.shape == (4,)
        assert spectrum.flags.c_contiguous and spectrum.flags.owndata and spectrum.flags.writeable


def test_normal_incidence_on_glass():
    # r and t differ here, so this also pins which spectrum lands in which field.
    result = interface(1.0, 1.5, [500.0, 600.0]).simulate()
    np.testing.assert_allclose(result.r, 0.04, rtol=1e-12)
    np.testing.assert_allclose(result.t, 0.96, rtol=1e-12)


def test_empty_sweep_gives_empty_spectra():
    result = DataPy(np.zeros(0), np.zeros((2, 0), complex), np.zeros(0), 0, 0).simulate()
    for spectrum in (result.r, result.t):
        assert spectrum.dtype == np.float64 and spectrum.shape == (0,)


def test_parallel_sweep_matches_serial_pieces():
    wl = np.linspace(380.0, 900.0, 150)
    whole = quarter_wave(wl).simulate()
    pieces = [quarter_wave(wl[:100]).simulate(), quarter_wave(wl[100:]).simulate()]
    assert np.array_equal(whole.r, np.concatenate([p.r for p in pieces]))
    assert np.array_equal(whole.t, np.concatenate([p.t for p in pieces]))


def test_repeated_calls_give_distinct_equal_results():
    data = quarter_wave([500.0, 600.0])
    first, second = data.simulate(), data.simulate()
    assert first is not second
    assert np.array_equal(first.r, second.r) and np.array_equal(first.t, second.t)


def test_result_outlives_its_source_and_ignores_writes():
    data = quarter_wave([500.0, 600.0])
    result = data.simulate()
    expected_t, expected_r = result.t.copy(), result.r.copy()
    del data
    gc.collect()
    result.t[...] = -1.0
    result.r[...] = -1.0
    assert result.t is not result.t
    assert np.array_equal(result.t, expected_t) and np.array_equal(result.r, expected_r)


@pytest.mark.parametrize(
    "d, n, wl",
    [
        (np.zeros(0), np.ones((2, 2), complex), np.ones(3)),  # fewer columns than wavelengths
        (np.zeros(0), np.ones((1, 3), complex), np.ones(3)),  # no exit medium
        (np.zeros(1), np.ones((4, 3), complex), np.ones(3)),  # fewer thicknesses than layers
        (np.zeros(0), np.ones((2, 150), complex), np.ones(151)),  # out of bounds on the worker pool
    ],
)
def test_broken_shapes_fail_and_leave_the_source_usable(d, n, wl):
    data = DataPy(d, n, wl, 0.0, 0.0)
    assert panic_message(data.simulate) == OUT_OF_BOUNDS
    assert panic_message(data.simulate) == OUT_OF_BOUNDS
    np.testing.assert_array_equal(data.n, n)
    np.testing.assert_array_equal(data.wl, wl)
    assert data.theta == 0.0


def test_simulate_takes_no_arguments():
    data = quarter_wave([500.0])
    with pytest.raises(TypeError, match="takes no arguments"):
        data.simulate(1)

