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
