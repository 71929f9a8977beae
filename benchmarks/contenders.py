"""What is timed: every contender as a factory that takes a stack (d, n, wl) and
returns a call giving (R, T) over the stack's wavelengths.

Inputs are brought into each peer's own layout outside the call, as a user of that
peer would keep them; the call itself is everything that user runs per sweep.
"""

import glob
import importlib.util
import os
import sys

import numpy as np

import numpy_tmm
from stacks import PHI, THETA

# tmm is pure Python, about 0.1-1 ms per wavelength: it runs on this many
# evenly spaced wavelengths of each sweep.
TMM_WAVELENGTHS = 100


def load_lamina(path=None):
    """The installed lamina, or the build at `path` (a lamina*.so, or a directory
    holding one, e.g. from benchmarks/build_commit.sh)."""
    if path is None:
        import lamina

        return lamina
    if os.path.isdir(path):
        found = sorted(glob.glob(os.path.join(path, "lamina*.so")))
        if not found:
            raise FileNotFoundError(f"no lamina*.so in {path}")
        path = found[0]
    spec = importlib.util.spec_from_file_location("lamina", path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {path} as the lamina module")
    module = importlib.util.module_from_spec(spec)
    sys.modules["lamina"] = module
    spec.loader.exec_module(module)
    return module


def lamina_call(module):
    def factory(d, n, wl):
        def call():
            simulation = module.DataPy(d, n, wl, THETA, PHI).simulate()
            return simulation.r, simulation.t

        return call

    return factory


def numpy_tuned(d, n, wl):
    return lambda: numpy_tmm.reflectance_transmittance(d, n, wl, THETA, PHI)


def numpy_textbook(d, n, wl):
    return lambda: numpy_tmm.reflectance_transmittance_textbook(d, n, wl, THETA, PHI)


def subset_indices(width, count=TMM_WAVELENGTHS):
    """The wavelengths tmm runs on: `count` evenly spaced indices (all when fewer)."""
    return np.unique(np.linspace(0, width - 1, min(width, count)).round().astype(int))


def tmm_call(module):
    """tmm.coh_tmm, one call per wavelength and polarisation, on `subset_indices`.
    Its R and T come back for those wavelengths only."""
    s_weight, p_weight = np.cos(PHI) ** 2, np.sin(PHI) ** 2

    def factory(d, n, wl):
        thicknesses = [np.inf, *d.tolist(), np.inf]
        indices = subset_indices(wl.size)
        columns = [(n[:, i].tolist(), float(wl[i])) for i in indices]

        def call():
            reflectance = np.empty(len(columns))
            transmittance = np.empty(len(columns))
            for out, (column, wavelength) in enumerate(columns):
                s = module.coh_tmm("s", column, thicknesses, THETA, wavelength)
                p = module.coh_tmm("p", column, thicknesses, THETA, wavelength)
                reflectance[out] = s_weight * s["R"] + p_weight * p["R"]
                transmittance[out] = s_weight * s["T"] + p_weight * p["T"]
            return reflectance, transmittance

        return call

    return factory


def tmm_faster_call(module):
    """tmm_faster.calc_coherent on all its OpenMP threads (its default). It takes
    indices as (wavelengths, media), thicknesses with the half-infinite media as
    inf, and angles in degrees; it returns R and T per polarisation, which are
    weighted here as lamina weights them (its R_avg is the phi = 45 degree mix)."""
    s_weight, p_weight = np.cos(PHI) ** 2, np.sin(PHI) ** 2

    def factory(d, n, wl):
        by_wavelength = np.ascontiguousarray(n.T)
        thicknesses = [np.inf, *d.tolist(), np.inf]
        angles = [np.degrees(THETA)]

        def call():
            result = module.calc_coherent(by_wavelength, thicknesses, angles, wl)
            reflectance = s_weight * result["R_s"][:, 0] + p_weight * result["R_p"][:, 0]
            transmittance = s_weight * result["T_s"][:, 0] + p_weight * result["T_p"][:, 0]
            return reflectance, transmittance

        return call

    return factory


def optional_module(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def peer_factories():
    """The peers present in this environment, by column name."""
    factories = {"numpy tuned": numpy_tuned, "numpy textbook": numpy_textbook}
    tmm = optional_module("tmm")
    if tmm is not None:
        factories["tmm"] = tmm_call(tmm)
    tmm_faster = optional_module("tmm_faster")
    if tmm_faster is not None:
        factories["tmm-faster"] = tmm_faster_call(tmm_faster)
    return factories
