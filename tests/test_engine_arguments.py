"""lamina_design._engine's arguments as a whole: outputs that share memory, requests larger than the
machine, empty results over huge batches, and which argument a shape error names."""

import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from lamina_design import _engine

D = np.array([[80.0, 120.0, 95.0], [60.0, 140.0, 30.0]])
N = np.array([1.0, 2.3, 1.46 + 0.01j, 2.1, 1.52])[None, :, None] * np.ones((2, 1, 4))
WL = np.array([450.0, 550.0, 650.0, 750.0])
THETA = np.array([0.0, 0.4, 0.9])
Z = np.linspace(-20.0, 400.0, 5)
RESULT = (2, 2, 3, 4)  # (2, B, A, W)


def sharing(first_shape, second_shape, dtype, offset):
    """Two arrays cut from one buffer, the second starting `offset` elements after the first."""
    first, second = int(np.prod(first_shape)), int(np.prod(second_shape))
    buffer = np.zeros(max(first, offset + second), dtype)
    return buffer[:first].reshape(first_shape), buffer[offset:offset + second].reshape(second_shape)


def same_array(shape, dtype):
    a = np.zeros(shape, dtype)
    return a, a


def half_over(shape, dtype):
    return sharing(shape, shape, dtype, int(np.prod(shape)) // 2)


def fields_out(first=None, second=None, third=None, fourth=None):
    shape = RESULT + (len(Z),)
    return (first if first is not None else np.zeros(shape, complex),
            second if second is not None else np.zeros(shape, complex),
            third if third is not None else np.zeros(shape),
            fourth if fourth is not None else np.zeros(shape))


def fresh_shapes(results):
    return [a.shape for a in results]


def overlap_cases():
    fields_shape = RESULT + (len(Z),)
    r, t = same_array(RESULT, complex)
    yield "r is t", lambda: _engine.amplitudes(D, N, WL, THETA, r=r, t=t), "t", "r"
    r2, t2 = half_over(RESULT, complex)
    yield "r, t half over", lambda: _engine.amplitudes(D, N, WL, THETA, r=r2, t=t2), "t", "r"
    R, T = same_array(RESULT[1:], float)
    yield "R is T", lambda: _engine.spectra(D, N, WL, THETA, 0.3, R=R, T=T), "T", "R"
    psi, delta = half_over(RESULT[1:], float)
    yield "psi, delta half over", lambda: _engine.ellipsometry(D, N, WL, THETA, psi=psi, delta=delta), "delta", "psi"
    e_t, e_n = same_array(fields_shape, complex)
    out = fields_out(e_t, e_n)
    yield "fields out[0] is out[1]", lambda: _engine.fields(D, N, WL, THETA, Z, out=out), "out[1]", "out[0]"
    flux, absorption = half_over(fields_shape, float)
    out2 = fields_out(third=flux, fourth=absorption)
    yield "fields out[2], out[3]", lambda: _engine.fields(D, N, WL, THETA, Z, out=out2), "out[3]", "out[2]"
    # Outputs over the inputs: the engine would read what it has written.
    d, big_t = sharing(D.shape, RESULT, float, D.size - 2)
    d[...] = D
    yield "out over d", lambda: _engine.transmittance(d, N, WL, THETA, out=big_t), "out", "d"
    n, r3 = sharing(N.shape, RESULT, complex, 12)
    n[...] = N
    yield "r over n", lambda: _engine.amplitudes(D, n, WL, THETA, r=r3), "r", "n"
    wl, absorbed = sharing(WL.shape, RESULT + (3,), float, 3)
    wl[...] = WL
    yield "absorbed over wl", lambda: _engine.absorbed(D, N, wl, THETA, out=absorbed), "out", "wl"
    z, flux4 = sharing(Z.shape, fields_shape, float, 0)
    z[...] = Z
    out4 = fields_out(third=flux4)
    yield "fields over z", lambda: _engine.fields(D, N, WL, THETA, z, out=out4), "out[2]", "z"
    R5, T5 = half_over(RESULT, float)
    yield "polarised R, T half over", lambda: _engine.polarised_spectra(D, N, WL, THETA, R=R5, T=T5), "T", "R"
    jacobian = [np.zeros(shape) for shape in fresh_shapes(_engine.power_jacobian(D, N, WL, THETA))]
    jacobian[3] = jacobian[2]
    yield "jacobian out[3] is out[2]", lambda: _engine.power_jacobian(D, N, WL, THETA, out=tuple(jacobian)), \
        "out[3]", "out[2]"
    dr_dd, dt_dd = half_over(RESULT + (3,), complex)
    yield "derivatives out[0], out[1]", \
        lambda: _engine.amplitude_derivatives(D, N, WL, THETA, indices=False, out=(dr_dd, dt_dd)), "out[1]", "out[0]"
    n6, jet = sharing(N.shape, RESULT, complex, 4)
    n6[...] = N
    jets = (jet,) + tuple(np.zeros(RESULT, complex) for _ in range(5))
    yield "jets over n", lambda: _engine.wavenumber_derivatives(D, n6, WL, THETA, out=jets), "out[0]", "n"


OVERLAPS = list(overlap_cases())


@pytest.mark.parametrize("call, written, other", [case[1:] for case in OVERLAPS], ids=[c[0] for c in OVERLAPS])
def test_outputs_sharing_memory_are_refused(call, written, other):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value).startswith(f"{written}: shares memory with {other};")


def test_neighbouring_outputs_in_one_buffer_are_fine():
    r, t = sharing(RESULT, RESULT, complex, int(np.prod(RESULT)))
    _engine.amplitudes(D, N, WL, THETA, r=r, t=t)
    fresh_r, fresh_t = _engine.amplitudes(D, N, WL, THETA)
    np.testing.assert_array_equal(r, fresh_r)
    np.testing.assert_array_equal(t, fresh_t)


OUT_TUPLES = {
    "amplitude_derivatives": (lambda **kw: _engine.amplitude_derivatives(D, N, WL, THETA, **kw), 4),
    "amplitude_derivatives indices=False":
        (lambda **kw: _engine.amplitude_derivatives(D, N, WL, THETA, indices=False, **kw), 2),
    "power_jacobian": (lambda **kw: _engine.power_jacobian(D, N, WL, THETA, convention="eta", **kw), 4),
    "wavenumber_derivatives": (lambda **kw: _engine.wavenumber_derivatives(D, N, WL, THETA, **kw), 6),
    "wavenumber_derivatives phases": (lambda **kw: _engine.wavenumber_derivatives(D, N, WL, THETA, phases=True, **kw),
                                      4),
}


@pytest.mark.parametrize("case", OUT_TUPLES)
def test_out_tuples_are_written_and_returned(case):
    call, count = OUT_TUPLES[case]
    fresh = call()
    assert len(fresh) == count
    out = tuple(np.full(a.shape, np.nan, a.dtype) for a in fresh)
    returned = call(out=out)
    for given, back, expected in zip(out, returned, fresh):
        assert back is given
        np.testing.assert_array_equal(given, expected)
    with pytest.raises(TypeError, match=f"out: expected a tuple of {count} arrays, received list"):
        call(out=list(out))
    with pytest.raises(TypeError, match=f"out: expected a tuple of {count} arrays, received tuple"):
        call(out=out[:-1])
    wrong = list(out)
    wrong[-1] = np.zeros(out[-1].shape[:-1] + (out[-1].shape[-1] + 1,), out[-1].dtype)
    with pytest.raises(ValueError, match=rf"out\[{count - 1}\]: expected shape"):
        call(out=tuple(wrong))
    wrong[-1] = np.zeros(out[-1].shape, np.float32)
    with pytest.raises(TypeError, match=rf"out\[{count - 1}\]: expected dtype"):
        call(out=tuple(wrong))


@pytest.mark.parametrize("n", [N, N[0]], ids=["per stack", "shared"])
@pytest.mark.parametrize("columns, k", [(4, 5), (2, 5), (3, 6)])
def test_d_and_n_disagreeing_on_k_names_d(n, columns, k):
    n = np.concatenate([n, n[..., -1:, :]], axis=-2) if k == 6 else n
    with pytest.raises(ValueError) as caught:
        _engine.fields(np.ones((2, columns)), n, WL, THETA, Z)
    message = str(caught.value)
    assert message.startswith(f"d: expected shape (B, K-2) = (2, {k - 2}) for n of shape {n.shape}")
    assert f"received shape (2, {columns})" in message


# --- in a child process: the old faults end the process or never return ----------------------

def run_watched(code, timeout=60.0):
    """Runs `code` in a child Python and returns its stdout; fails the test (and ends the child)
    when the child's resident memory passes a quarter of the available memory (2 GiB at most)
    or the child outlives `timeout`."""
    limit = min(2 << 30, available_bytes() // 4)
    env = {key: value for key, value in os.environ.items() if not key.startswith("RAYON_")}
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    start = time.monotonic()
    try:
        while child.poll() is None:
            if resident_bytes(child.pid) > limit:
                pytest.fail("the child began filling more memory than the machine has")
            if time.monotonic() - start > timeout:
                pytest.fail(f"the child did not return within {timeout} s")
            time.sleep(0.01)
    finally:
        if child.poll() is None:
            child.kill()
        out, err = child.communicate()
    assert child.returncode == 0, err
    return out


def available_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    pytest.skip("no MemAvailable in /proc/meminfo")


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


# Each request is a few megabytes of arguments whose results need 1.5 times the available
# memory, no single array more than three quarters of it: each allocation would succeed.
TOO_LARGE = """
import numpy as np
from lamina_design import _engine
available = next(int(l.split()[1]) * 1024 for l in open("/proc/meminfo") if l.startswith("MemAvailable:"))
W = 100_000
wl, theta = np.linspace(400.0, 900.0, W), np.zeros(1)
n = np.ones((3, W), complex) * 1.5
def stacks(bytes_per_stack):
    return np.full((int(1.5 * available / bytes_per_stack) + 1, 1), 100.0)
try:
    {call}
except MemoryError as error:
    print("MemoryError", error)
"""

TOO_LARGE_CALLS = {
    "amplitudes": "_engine.amplitudes(stacks(2 * 2 * 16 * W), n, wl, theta)",
    "fields": "_engine.fields(stacks(2 * 4 * (16 + 16 + 8 + 8) * W), n, wl, theta, np.zeros(4))",
    "wavenumber_derivatives": "_engine.wavenumber_derivatives(stacks(6 * 2 * 16 * W), n, wl, theta)",
}


@pytest.mark.parametrize("function", TOO_LARGE_CALLS)
def test_results_larger_than_memory_raise_memory_error_at_once(function):
    start = time.monotonic()
    out = run_watched(TOO_LARGE.format(call=TOO_LARGE_CALLS[function]))
    assert out.startswith("MemoryError the request needs "), out
    assert "GiB" in out and "available" in out
    assert time.monotonic() - start < 30.0


# Zero-byte results over batches of 2^44 points and more: d and n are tiny or broadcast.
EMPTY = """
import numpy as np
from lamina_design import _engine
huge_d = np.broadcast_to(np.zeros((1, 0)), (2**40, 0))
n2, wl, theta = np.full((2, 16), 1.5 + 0j), np.linspace(400.0, 900.0, 16), np.linspace(0.0, 1.0, 16)
many_d, n3 = np.full((2**16, 1), 100.0), np.full((3, 2**14), 1.5 + 0j)
wide_wl, wide_theta = np.linspace(400.0, 900.0, 2**14), np.linspace(0.0, 1.0, 2**14)
results = {call}
print([a.shape for a in (results if isinstance(results, tuple) else (results,))])
"""

EMPTY_CALLS = {
    "absorbed": ("_engine.absorbed(huge_d, n2, wl, theta)", [(2, 2**40, 16, 16, 0)]),
    "fields z=[]": ("_engine.fields(many_d, n3, wide_wl, wide_theta, [])", [(2, 2**16, 2**14, 2**14, 0)] * 4),
    "amplitude_derivatives": ("_engine.amplitude_derivatives(huge_d, n2, wl, theta, indices=False)",
                              [(2, 2**40, 16, 16, 0)] * 2),
}


@pytest.mark.parametrize("case", EMPTY_CALLS)
def test_empty_results_of_huge_batches_return_at_once(case):
    call, shapes = EMPTY_CALLS[case]
    assert run_watched(EMPTY.format(call=call), timeout=30.0).strip() == str(shapes)


def test_strided_input_whose_copy_exceeds_memory_is_refused_by_name():
    # A broadcast d views 8 bytes; its contiguous copy would be 1.5 times the available memory.
    call = "_engine.spectra(np.broadcast_to(np.ones((1, 1)), (int(1.5 * available / 8) + 1, 1)), n, wl, theta)"
    out = run_watched(TOO_LARGE.format(call=call))
    assert out.startswith("MemoryError d: the contiguous copy of a strided array needs "), out
