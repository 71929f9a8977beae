"""lamina's spectra against the optics: the `tmm` package as an independent peer, and laws."""

import numpy as np
import pytest

import lamina

RTOL = 1e-12


def simulate(d, n, wl, theta, phi):
    result = lamina.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def tmm_spectra(d, n, wl, theta):
    """(R_s, T_s, R_p, T_p) per wavelength from tmm; its layer list carries inf at both ends."""
    tmm = pytest.importorskip("tmm")
    thicknesses = [np.inf, *d, np.inf]
    values = [[tmm.coh_tmm(pol, n[:, i], thicknesses, theta, wl[i])[key]
               for pol in "sp" for key in "RT"]
              for i in range(len(wl))]
    return np.array(values).T


def random_stack(rng, media, count, kappa):
    """Real incidence and exit media; inner layers lossless or absorbing, thin enough that tmm
    leaves them alone (it clamps a layer's Im δ at 35)."""
    n = rng.uniform(1.0, 3.0, (media, 1)) + rng.uniform(-0.02, 0.02, (media, count))
    lossy = rng.random((media, 1)) < 0.5
    lossy[[0, -1]] = False
    n = n + 1j * np.where(lossy, rng.uniform(0.0, kappa, (media, count)), 0.0)
    d = rng.uniform(0.0, 400.0, media - 2)
    wl = rng.uniform(400.0, 1000.0, count)
    return d, n, wl, rng.uniform(-1.55, 1.55)


def total_internal_reflection(n, theta):
    return n[-1].real < n[0].real * abs(np.sin(theta))


@pytest.mark.parametrize("seed", range(40))
def test_agrees_with_tmm(seed):
    rng = np.random.default_rng([1, seed])
    d, n, wl, theta = random_stack(rng, int(rng.integers(2, 16)), 3, kappa=0.3 if seed % 2 else 0.0)
    r_s, t_s, r_p, t_p = tmm_spectra(d, n, wl, theta)
    phi = rng.uniform(-2 * np.pi, 2 * np.pi)
    c2, s2 = np.cos(phi) ** 2, np.sin(phi) ** 2
    blocked = total_internal_reflection(n, theta)
    for angle, r_expected, t_expected in ((0.0, r_s, t_s), (np.pi / 2, r_p, t_p),
                                          (phi, c2 * r_s + s2 * r_p, c2 * t_s + s2 * t_p)):
        r, t = simulate(d, n, wl, theta, angle)
        np.testing.assert_allclose(r, r_expected, rtol=RTOL, atol=0)
        # Past the critical angle of the exit medium no power leaves: lamina's T is exactly 0,
        # where tmm keeps a rounding residue.
        np.testing.assert_allclose(t[~blocked], t_expected[~blocked], rtol=RTOL, atol=0)
        assert (t[blocked] == 0.0).all()


@pytest.mark.parametrize("seed", range(10))
def test_lossless_total_internal_reflection_reflects_everything(seed):
    rng = np.random.default_rng([2, seed])
    d, n, wl, _ = random_stack(rng, int(rng.integers(2, 10)), 4, kappa=0.0)
    n[0], n[-1] = 3.5, 1.2
    theta = rng.choice([-1, 1]) * rng.uniform(np.arcsin(1.25 / 3.5), 1.55)
    r, t = simulate(d, n, wl, theta, rng.uniform(0, 7))
    np.testing.assert_allclose(r, 1.0, rtol=RTOL)
    assert (t == 0.0).all()


@pytest.mark.parametrize("phi", [0.0, 0.3, np.pi / 4, np.pi / 2, 2.0, -5.0])
def test_air_to_glass_at_normal_incidence(phi):
    wl = np.linspace(300.0, 900.0, 7)
    n = np.array([[1.0], [1.5]]) * np.ones(7, dtype=np.complex128)
    r, t = simulate(np.empty(0), n, wl, 0.0, phi)
    np.testing.assert_allclose(r, 0.04, rtol=1e-15)
    np.testing.assert_allclose(t, 0.96, rtol=1e-15)


@pytest.mark.parametrize("seed", range(20))
def test_lossless_stacks_conserve_energy(seed):
    """Layers may be past their own critical angle (evanescent); the exit medium carries a wave."""
    rng = np.random.default_rng([3, seed])
    count = 101 if seed == 0 else 5
    d, n, wl, theta = random_stack(rng, int(rng.integers(2, 25)), count, kappa=0.0)
    n[-1] = n[0].real * abs(np.sin(theta)) + rng.uniform(0.01, 1.0)
    r, t = simulate(d, n, wl, theta, rng.uniform(-7, 7))
    np.testing.assert_allclose(r + t, 1.0, rtol=0, atol=1e-13)


@pytest.mark.parametrize("seed", range(10))
def test_absorbing_layers_take_power(seed):
    rng = np.random.default_rng([4, seed])
    d, n, wl, theta = random_stack(rng, int(rng.integers(3, 12)), 5, kappa=0.0)
    n[1:-1] += 1j * rng.uniform(0.01, 0.5, (len(n) - 2, 1))
    r, t = simulate(d + 10.0, n, wl, theta, rng.uniform(-7, 7))
    assert ((r + t) < 1.0).all() and (r >= 0).all() and (t >= 0).all()


@pytest.mark.parametrize("count", [3, 101])
@pytest.mark.parametrize("seed", range(5))
def test_sign_of_theta_does_not_matter(seed, count):
    rng = np.random.default_rng([5, seed])
    d, n, wl, theta = random_stack(rng, int(rng.integers(2, 20)), count, kappa=2.0)
    n[0] += 1j * rng.uniform(0, 0.5) * (seed % 2)
    phi = rng.uniform(-7, 7)
    for spectrum_plus, spectrum_minus in zip(simulate(d, n, wl, theta, phi), simulate(d, n, wl, -theta, phi)):
        assert spectrum_plus.tobytes() == spectrum_minus.tobytes()


@pytest.mark.parametrize("seed", range(5))
def test_identical_media_do_not_reflect(seed):
    rng = np.random.default_rng([6, seed])
    media, count = int(rng.integers(2, 12)), 4
    n = np.ones((media, 1)) * (rng.uniform(1, 3, count) + 0j)
    r, t = simulate(rng.uniform(0, 500, media - 2), n, rng.uniform(400, 900, count), rng.uniform(-1.5, 1.5), 0.7)
    assert (r == 0.0).all()
    np.testing.assert_allclose(t, 1.0, rtol=1e-13)


@pytest.mark.parametrize("seed", range(5))
def test_empty_layer_changes_nothing(seed):
    rng = np.random.default_rng([7, seed])
    d, n, wl, theta = random_stack(rng, int(rng.integers(3, 12)), 4, kappa=0.3)
    j = int(rng.integers(1, len(n) - 1))
    with_gap = simulate(np.insert(d, j - 1, 0.0), np.insert(n, j, rng.uniform(1, 3) + 0.2j, axis=0), wl, theta, 1.1)
    for a, b in zip(with_gap, simulate(d, n, wl, theta, 1.1)):
        np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-15)
