"""The parallel sweep: same bits as the serial path for every pool size, the pool's
size rules, failures carried back from the workers, pools after fork(), and a pool
that could start only some of its threads, or none."""

import os
import re
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lamina
from helpers import UNDER_ASAN

SERIAL_LIMIT = 100


def stack(count, media=20, seed=7):
    """A dispersive, partly absorbing stack of `media` media over `count` wavelengths."""
    rng = np.random.default_rng(seed)
    wl = np.linspace(350.0, 1650.0, count)
    n = np.empty((media, count), dtype=np.complex128)
    n.real = rng.uniform(1.3, 2.6, (media, 1)) + 0.05 * np.cos(wl / 97.0)
    n.imag = np.where(rng.random((media, 1)) < 0.4, rng.uniform(0.0, 0.3, (media, 1)), 0.0)
    n[0], n[-1] = 1.0, 1.52
    d = rng.uniform(5.0, 400.0, media - 2)
    return d, n, wl


def serial_spectra(d, n, wl, theta, phi):
    """The same sweep as slices short enough to stay on the calling thread."""
    parts = [
        lamina.DataPy(d, n[:, k:k + SERIAL_LIMIT], wl[k:k + SERIAL_LIMIT], theta, phi).simulate()
        for k in range(0, wl.size, SERIAL_LIMIT)
    ]
    return (np.concatenate([p.r for p in parts] or [np.empty(0)]),
            np.concatenate([p.t for p in parts] or [np.empty(0)]))


def run_python(code, env_update=None, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_update or {})
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


SPECTRA_BYTES = """
import sys
sys.path.insert(0, {tests!r})
import numpy as np, lamina
from test_pool import stack
for count in {counts!r}:
    d, n, wl = stack(count)
    sim = lamina.DataPy(d, n, wl, 0.6, 1.1).simulate()
    sys.stdout.write(sim.r.tobytes().hex() + " " + sim.t.tobytes().hex() + "\\n")
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_results_do_not_depend_on_pool_size(threads):
    counts = [0, 1, 100, 101, 1000, 100_000]
    out = run_python(SPECTRA_BYTES.format(tests=os.path.dirname(__file__), counts=counts),
                     {"RAYON_NUM_THREADS": threads})
    for count, line in zip(counts, out.splitlines()):
        d, n, wl = stack(count)
        r_hex, t_hex = line.split(" ")
        r_ref, t_ref = serial_spectra(d, n, wl, 0.6, 1.1) if count <= 1000 else reference_pooled(count)
        assert bytes.fromhex(r_hex) == r_ref.tobytes(), (threads, count)
        assert bytes.fromhex(t_hex) == t_ref.tobytes(), (threads, count)


_pooled = {}


def reference_pooled(count):
    """The long sweep, serially in slices; computed once for all pool sizes."""
    if count not in _pooled:
        _pooled[count] = serial_spectra(*stack(count), 0.6, 1.1)
    return _pooled[count]


THREAD_COUNT = """
import os, numpy as np, lamina
{before}
def threads():
    return len(os.listdir("/proc/self/task"))
d, n, wl = np.array([10.0]), np.ones((3, 101), complex), np.linspace(400, 800, 101)
start = threads()
lamina.DataPy(d, n[:, :100], wl[:100], 0.1, 0.2).simulate()
after_serial = threads()
lamina.DataPy(d, n, wl, 0.1, 0.2).simulate()
lamina.DataPy(d, n, wl, 0.1, 0.2).simulate()
print(after_serial - start, threads() - start)
"""


def _read(path):
    try:
        with open(path) as file:
            return file.read()
    except (OSError, UnicodeDecodeError):
        return None


def _integer(text):
    if not re.fullmatch(r"-?[0-9]+", text):
        return None
    value = int(text)
    return value if -2**63 <= value < 2**63 else None


def _processors(quota, period):
    if quota is None or period is None or quota <= 0 or period <= 0:
        return None
    return max(1, -(-quota // period))  # rounded up


def _v1_limit(directory):
    quota, period = _read(directory + "/cpu.cfs_quota_us"), _read(directory + "/cpu.cfs_period_us")
    if quota is None or period is None:
        return None
    return _processors(_integer(quota.strip(" \t\n")), _integer(period.strip(" \t\n")))


def _v2_limit(directory):
    text = _read(directory + "/cpu.max")
    if text is None:
        return None
    fields = [word for word in text.strip(" \t\n").split(" ") if word]
    if len(fields) != 2 or fields[0] == "max":
        return None
    return _processors(_integer(fields[0]), _integer(fields[1]))


def _unescape(text):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), text)


def _cgroup_mount(mountinfo, v2):
    """(root of the hierarchy shown, mount point) of the v2 or the v1 cpu hierarchy."""
    for line in mountinfo.split("\n"):
        before, dash, after = line.partition(" - ")
        mount = [word for word in before.split(" ") if word]
        source = [word for word in after.split(" ") if word]
        if not dash or len(mount) < 5 or len(source) < 3:
            continue
        if source[0] == "cgroup2" if v2 else source[0] == "cgroup" and "cpu" in source[2].split(","):
            return _unescape(mount[3]), _unescape(mount[4])
    return None


def _own_cgroup(cgroups, v2):
    for line in cgroups.split("\n"):
        fields = line.split(":", 2)
        if len(fields) < 3:
            continue
        ident, controllers, path = fields
        if ident == "0" and controllers == "" if v2 else "cpu" in controllers.split(","):
            return path
    return None


def cgroup_cpu_limit(root=""):
    """The tightest CPU quota from this process's cgroup up to its mount's root, v1
    cpu controller and v2 alike, in whole processors; None when none is set."""
    cgroups, mountinfo = _read(root + "/proc/self/cgroup"), _read(root + "/proc/self/mountinfo")
    if cgroups is None or mountinfo is None:
        return None
    limits = []
    for v2 in (False, True):
        mount, cgroup = _cgroup_mount(mountinfo, v2), _own_cgroup(cgroups, v2)
        if mount is None or cgroup is None:
            continue
        mount_root, point = mount
        parts = [part for part in cgroup.split("/") if part]
        top = [part for part in mount_root.split("/") if part]
        # Outside the mount's root (or not canonical), only the mount's own directory is visible.
        inside = parts[:len(top)] == top and not {".", ".."} & set(parts[len(top):])
        parts = parts[len(top):] if inside else []
        for depth in range(len(parts), -1, -1):
            directory = "/".join([root + point, *parts[:depth]])
            limits.append((_v2_limit if v2 else _v1_limit)(directory))
    limits = [limit for limit in limits if limit is not None]
    return min(limits) if limits else None


def available():
    cpus = len(os.sched_getaffinity(0))
    limit = cgroup_cpu_limit()
    return min(cpus, limit) if limit else cpus


CGROUP_FIXTURES = os.path.join(os.path.dirname(__file__), "native", "fixtures", "cgroup")


@pytest.mark.parametrize("case", sorted(os.listdir(CGROUP_FIXTURES)))
def test_expected_quota_reads_the_engines_fixtures_alike(case):
    root = os.path.join(CGROUP_FIXTURES, case)
    expected = _read(os.path.join(root, "expected")).split()[0]
    limit = cgroup_cpu_limit(root)
    assert ("none" if limit is None else str(limit)) == expected


@pytest.mark.parametrize("env, before, expected", [
    ({"RAYON_NUM_THREADS": "3"}, "", 3),
    ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "2"}, "", 5),
    ({"RAYON_RS_NUM_CPUS": "2"}, "", 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "4"}, "", 4),
    ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "-1"}, "", None),
    ({}, "", None),
    ({}, "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})", 1),
])
def test_pool_size_follows_environment_and_affinity(env, before, expected):
    out = run_python(THREAD_COUNT.format(before=before), env)
    serial_threads, pool_threads = map(int, out.split())
    assert serial_threads == 0, "a sweep of 100 wavelengths started threads"
    assert pool_threads == (available() if expected is None else expected)


def test_worker_failure_reaches_caller_and_pool_recovers():
    d, n, wl = stack(400, media=6)
    short = lamina.DataPy(d, n[:, :399], wl, 0.3, 0.4)
    for _ in range(2):
        with pytest.raises(BaseException) as failure:
            short.simulate()
        assert type(failure.value).__name__ == "PanicException"
        assert str(failure.value) == "ndarray: index out of bounds"
    thin = lamina.DataPy(d[:3], n, wl, 0.3, 0.4)
    with pytest.raises(BaseException, match="ndarray: index out of bounds"):
        thin.simulate()
    good = lamina.DataPy(d, n, wl, 0.3, 0.4).simulate()
    r, t = serial_spectra(d, n, wl, 0.3, 0.4)
    assert good.r.tobytes() == r.tobytes() and good.t.tobytes() == t.tobytes()


FORK = """
import os, sys, numpy as np, lamina
sys.path.insert(0, {tests!r})
from test_pool import stack
d, n, wl = stack(5000, media=8)
parent = lamina.DataPy(d, n, wl, 0.2, 0.9).simulate()
{fork}
"""

OS_FORK = """
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    child = lamina.DataPy(d, n, wl, 0.2, 0.9).simulate()
    os.write(write, b"same" if child.r.tobytes() == parent.r.tobytes() else b"diff")
    os._exit(0)
os.close(write)
print(os.read(read, 4).decode())
os.waitpid(pid, 0)
"""

MULTIPROCESSING_FORK = """
import multiprocessing as mp
def sweep(seed):
    return lamina.DataPy(d, n, wl, 0.2, 0.9).simulate().r.tobytes()
if __name__ == "__main__":
    with mp.get_context("fork").Pool(2) as pool:
        results = pool.map(sweep, range(4))
    print("same" if all(r == parent.r.tobytes() for r in results) else "diff")
"""


@pytest.mark.parametrize("fork", [OS_FORK, MULTIPROCESSING_FORK], ids=["os.fork", "multiprocessing"])
def test_parallel_sweeps_work_in_forked_children(fork):
    code = FORK.format(tests=os.path.dirname(__file__), fork=fork)
    assert run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=60).strip() == "same"


STARVED = """
import os, resource, sys
sys.path.insert(0, {tests!r})
import numpy as np, lamina
from test_pool import stack
def threads():
    return len(os.listdir("/proc/self/task"))
d, n, wl = stack(1000, media=6)
start = threads()
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
# Room for {stacks} of the 8 MiB thread stacks, not for 5000 of them.
limit = size + {stacks} * 8 * 2**20 + 5 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
lines = []
for _ in range(4):
    sim = lamina.DataPy(d, n, wl, 0.5, 0.3).simulate()
    lines.append(sim.r.tobytes().hex() + " " + sim.t.tobytes().hex())
    lines.append(str(threads() - start))
print("\\n".join(lines))
"""


def eight_mib_thread_stacks():
    """glibc sizes thread stacks by the stack limit the process starts with."""
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    if hard == resource.RLIM_INFINITY or hard >= 8 * 2**20:
        resource.setrlimit(resource.RLIMIT_STACK, (8 * 2**20, hard))


@pytest.mark.skipif(UNDER_ASAN, reason="no address-space limit under AddressSanitizer")
@pytest.mark.parametrize("stacks", [0, 3])
def test_pool_keeps_the_threads_it_could_start(stacks):
    code = textwrap.dedent(STARVED.format(tests=os.path.dirname(__file__), stacks=stacks))
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS="5000", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120,
                            preexec_fn=eight_mib_thread_stacks)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    r, t = serial_spectra(*stack(1000, media=6), 0.5, 0.3)
    assert lines[0::2] == [r.tobytes().hex() + " " + t.tobytes().hex()] * 4
    started = {int(count) for count in lines[1::2]}
    assert len(started) == 1, "threads started again on a later sweep"
    started_count = started.pop()
    # Said once, however many sweeps follow.
    notes = [line for line in result.stderr.splitlines() if line.startswith("lamina:")]
    assert len(notes) == 1, result.stderr
    if stacks == 0:
        assert started_count == 0
        assert "calling thread" in notes[0]
    else:
        assert 1 <= started_count <= stacks
        assert f"started {started_count} of 5000" in notes[0]
