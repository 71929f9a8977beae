"""Every copy of the kernel this CPU runs gives the baseline's bits through the whole module:
the bit-exact comparisons and the pool-size comparison, rerun with the copy forced."""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
# The comparisons that exercise the sweep's kernel.
SELECTION = [
    "test_exact.py::test_random_stacks",
    "test_exact.py::test_parallel_sweeps",
    "test_exact.py::test_broken_shapes_panic",
    "test_limits.py",
    "test_pool.py::test_results_do_not_depend_on_pool_size",
]


def cpu_flags():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def runnable():
    flags = cpu_flags()
    return {"baseline": True, "avx2": "avx2" in flags, "avx512": "avx512f" in flags}


@pytest.mark.heavy
@pytest.mark.parametrize("kernel", ["baseline", "avx2", "avx512"])
def test_kernel_gives_baseline_bits(kernel):
    if not runnable()[kernel]:
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    env = dict(os.environ, LAMINA_KERNEL=kernel)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *SELECTION],
        cwd=TESTS, env=env, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]
    # A kernel the CPU cannot run is refused with a note, and another one runs.
    assert "LAMINA_KERNEL" not in result.stdout + result.stderr


def test_unknown_kernel_name_is_refused_with_a_note():
    code = ("import numpy as np, lamina; "
            "print(lamina.DataPy(np.ones(1), np.full((3, 5), 1.5 + 0j), np.full(5, 500.0), 0.1, 0.2)"
            ".simulate().r.shape)")
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, LAMINA_KERNEL="sse9"),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "(5,)"
    assert "LAMINA_KERNEL=sse9 is not a kernel this CPU runs" in result.stderr


# --- the lane-wide exp and hypot ----------------------------------------------------------
# The wide copies compute exp and hypot eight or four lanes at a time with the C library's own
# algorithm; a load-time check against the library decides whether they may. Both roads must
# give the reference's bits, and a check that disagrees must leave the library's calls in place.

REFUSAL = "would not give this C library's bits"


def known_library():
    """glibc 2.36 on x86-64, whose compiled exp, hypot, sincos and atan2 the lane-wide
    functions were read from. Other builds may have fused other operations; there a
    refusal (and the scalar calls) is the right outcome, not a fault."""
    import ctypes
    import platform
    try:
        version = ctypes.CDLL(None).gnu_get_libc_version
    except AttributeError:
        return False
    version.restype = ctypes.c_char_p
    major, minor = (int(part) for part in version().decode().split(".")[:2])
    return platform.machine() == "x86_64" and (major, minor) == (2, 36)


def run_selection(env):
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *SELECTION],
        cwd=TESTS, env=env, capture_output=True, text=True, timeout=900)


# glibc told not to use FMA (its tunables) loads its exp without fused operations: the lane-wide
# functions must follow that variant instead.
WITHOUT_FMA = "glibc.cpu.hwcaps=-FMA"


@pytest.mark.heavy
@pytest.mark.parametrize("road", ["scalar", "vector", "vector, glibc without FMA"])
def test_each_math_road_gives_reference_bits(road):
    widest = [name for name, runs in runnable().items() if runs][-1]
    env = dict(os.environ, LAMINA_KERNEL=widest, LAMINA_VECMATH=road.split(",")[0])
    if road.endswith("without FMA"):
        env["GLIBC_TUNABLES"] = WITHOUT_FMA
    result = run_selection(env)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]
    if road != "scalar" and widest != "baseline" and known_library():
        # This library's variant is one the lane-wide functions follow: the check must pass.
        assert REFUSAL not in result.stdout + result.stderr


SPECTRA = """
import sys, numpy as np, lamina
rng = np.random.default_rng(5)
for media, count in ((3, 7), (9, 250), (14, 1001)):
    n = rng.uniform(1.0, 3.0, (media, count)) + 1j * rng.uniform(0.0, 0.6, (media, count))
    n[:, ::5] = n[:, ::5].real  # lossless wavelengths: exp of zero
    d = rng.uniform(0.0, 900.0, media - 2)
    d[::3] *= 200  # thick absorbing layers: large exp arguments
    result = lamina.DataPy(d, n, rng.uniform(300.0, 1200.0, count), 0.4, 0.3).simulate()
    sys.stdout.write(result.r.tobytes().hex() + result.t.tobytes().hex() + "\\n")
"""


def spectra_bits(env):
    result = subprocess.run([sys.executable, "-c", SPECTRA], env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout, result.stderr


@pytest.mark.parametrize("kernel", ["avx2", "avx512"])
def test_mistaken_library_variant_falls_back_to_scalar_calls(kernel):
    if not runnable()[kernel]:
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    base = dict(os.environ, LAMINA_KERNEL=kernel)
    scalar, scalar_notes = spectra_bits(dict(base, LAMINA_VECMATH="scalar"))
    # The check assumes the other exp, sincos and atan2 variant and a hypot and an atan2
    # one ulp off on one argument: all four must be refused, in one line, and the results
    # stay the scalar road's.
    mistaken, notes = spectra_bits(dict(base, LAMINA_VECMATH="mistaken"))
    refusals = [line for line in notes.splitlines() if REFUSAL in line]
    assert len(refusals) == 1, notes
    for function in ("exp", "hypot", "sincos", "atan2"):
        assert f"{kernel} {function}" in refusals[0], refusals[0]
    assert REFUSAL not in scalar_notes
    assert mistaken == scalar
    vector, vector_notes = spectra_bits(dict(base, LAMINA_VECMATH="vector"))
    assert vector == scalar
    if known_library():
        assert REFUSAL not in vector_notes

# The lane-wide atan2 takes the angle of each medium's n^2 - xi: in all four quadrants (metals
# put it left of the imaginary axis), near the real axis (weak loss: the polynomial below 1/16),
# across the table between, and with losses so small that the parts' exponents lie 57 or more
# apart, where single lanes of a group take the library's call. The scalar road calls the
# library for every angle: the vector road must give its bits.
ANGLES = """
import sys, numpy as np, lamina
rng = np.random.default_rng(17)
count = 1003
shape = (7, count)
cases = {
    "any quadrant": rng.uniform(0.05, 3.0, shape) + 1j * rng.uniform(0.0, 3.0, shape),
    "metals": rng.uniform(0.03, 0.5, shape) + 1j * rng.uniform(1.0, 9.0, shape),
    "weak loss": rng.uniform(1.3, 2.6, shape) + 1j * 10.0 ** rng.uniform(-12.0, -0.5, shape),
    "extreme loss": rng.uniform(1.3, 2.6, shape) + 1j * 10.0 ** rng.uniform(-300.0, -1.0, shape),
}
for name, n in cases.items():
    n[0] = rng.uniform(1.0, 1.6, count)  # a lossless incidence medium
    n[:, ::7] = n[:, ::7].real  # lossless wavelengths: no angle needed
    d = rng.uniform(1.0, 300.0, n.shape[0] - 2)
    result = lamina.DataPy(d, n, rng.uniform(300.0, 1200.0, count), 0.6, 0.2).simulate()
    sys.stdout.write(name + " " + result.r.tobytes().hex() + result.t.tobytes().hex() + "\\n")
"""


@pytest.mark.parametrize("kernel", ["avx2", "avx512"])
@pytest.mark.parametrize("glibc", ["", WITHOUT_FMA])
def test_lane_wide_angles_give_the_library_bits(kernel, glibc):
    if not runnable()[kernel]:
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    base = dict(os.environ, LAMINA_KERNEL=kernel)
    if glibc:
        base["GLIBC_TUNABLES"] = glibc
    runs = {}
    for road in ("scalar", "vector"):
        result = subprocess.run([sys.executable, "-c", ANGLES], env=dict(base, LAMINA_VECMATH=road),
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        runs[road] = result
    assert runs["vector"].stdout == runs["scalar"].stdout
    if known_library():
        assert REFUSAL not in runs["vector"].stderr


def test_forks_make_no_kernel_choice_before_the_first_sweep():
    """A process that imported lamina but never swept forks without choosing a kernel: the note on a
    bogus LAMINA_KERNEL comes with the first sweep, once, and not from a fork before or after it."""
    code = textwrap.dedent("""
        import os, sys, numpy as np, lamina

        def fork():
            pid = os.fork()
            if pid == 0:
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            assert status == 0

        fork()
        print("first sweep", file=sys.stderr, flush=True)
        lamina.DataPy(np.ones(1), np.full((3, 5), 1.5 + 0j), np.full(5, 500.0), 0.1, 0.2).simulate()
        fork()
    """)
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, LAMINA_KERNEL="sse9"),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    before, _, after = result.stderr.partition("first sweep")
    assert "LAMINA_KERNEL" not in before
    assert after.count("LAMINA_KERNEL=sse9 is not a kernel this CPU runs") == 1


# Thicknesses whose phases Re(k) d fall in each range of the C library's sincos, from below 2^-27
# rad through 0.855, 2.43 and 10^8 rad to far beyond (the library's own call there), side by side
# in every lane group; lossless and absorbing wavelengths alternate, and at the wider angles the
# high-index outer medium totally reflects, so the cosines' roots lie on and off the axes together.
PHASES = """
import sys, numpy as np, lamina
rng = np.random.default_rng(11)
count = 67
d = np.array([1e-9, 0.02, 0.2, 0.5, 40.0, 3e4, 2e7, 6e9, 1e12])
n = rng.uniform(1.0, 2.5, (d.size + 2, count)) + 1j * rng.uniform(0.0, 1e-3, (d.size + 2, count))
n[:, ::3] = n[:, ::3].real
n[0] = 2.4
for theta in (0.0, 0.4, 1.2):
    result = lamina.DataPy(d, n, rng.uniform(300.0, 1200.0, count), theta, 0.3).simulate()
    sys.stdout.write(result.r.tobytes().hex() + result.t.tobytes().hex() + "\\n")
"""


@pytest.mark.parametrize("library", ["as loaded", "without FMA"])
@pytest.mark.parametrize("kernel", ["avx2", "avx512"])
def test_phases_in_every_sincos_range_give_scalar_bits(kernel, library):
    if not runnable()[kernel]:
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    base = dict(os.environ, LAMINA_KERNEL=kernel)
    if library == "without FMA":
        base["GLIBC_TUNABLES"] = WITHOUT_FMA

    def bits(road):
        result = subprocess.run([sys.executable, "-c", PHASES], env=dict(base, LAMINA_VECMATH=road),
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        return result.stdout, result.stderr

    scalar, _ = bits("scalar")
    vector, notes = bits("vector")
    assert vector == scalar
    if known_library():
        assert REFUSAL not in notes


# The field solver takes its layers' sincos and exp lane-wide, all layers of a point at once, and
# so do the depths, a group at a time: phases small and large (thick layers, long wavelengths
# against short ones, depths far into the half-infinite media), lossless and absorbing layers
# (exp of zero and of large arguments), depths on the boundaries and in opaque layers (the
# library's road), odd counts that leave partial groups. The scalar road calls the library at
# every depth: the vector road must give its bits.
FIELDS = """
import sys, numpy as np
from lamina_design import _engine
rng = np.random.default_rng(23)
for media, count, depths in ((3, 5, 7), (8, 9, 41), (12, 4, 203)):
    n = rng.uniform(1.0, 3.0, (media, count)) + 1j * rng.uniform(0.0, 0.4, (media, count))
    n[:, ::3] = n[:, ::3].real
    d = rng.uniform(0.0, 400.0, (2, media - 2))
    d[:, ::4] *= 300
    wl = rng.uniform(200.0, 2000.0, count)
    far = rng.uniform(0.0, 3e4, 6)  # large phases in the half-infinite media
    z = np.r_[np.sort(rng.uniform(-100.0, d[0].sum() + 100.0, depths)), np.cumsum(d[0]), -far, d[0].sum() + far]
    theta = np.array([0.0, 0.7])
    for part in (*_engine.fields(d, n, wl, theta, z), *_engine.power_jacobian(d, n, wl, theta),
                 _engine.absorbed(d, n, wl, theta)):
        sys.stdout.write(part.tobytes().hex() + "\\n")
"""


@pytest.mark.parametrize("library", ["as loaded", "without FMA"])
@pytest.mark.parametrize("kernel", ["avx2", "avx512"])
def test_field_solver_gives_scalar_bits(kernel, library):
    if not runnable()[kernel]:
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    base = dict(os.environ, LAMINA_KERNEL=kernel)
    if library == "without FMA":
        base["GLIBC_TUNABLES"] = WITHOUT_FMA
    runs = {}
    for road in ("scalar", "vector"):
        result = subprocess.run([sys.executable, "-c", FIELDS], env=dict(base, LAMINA_VECMATH=road),
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        runs[road] = result
    assert runs["vector"].stdout == runs["scalar"].stdout
    if known_library():
        assert REFUSAL not in runs["vector"].stderr
