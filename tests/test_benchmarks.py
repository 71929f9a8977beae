"""The benchmark scripts work: the quick run end to end, the floor program reading the
arguments the stack definition writes, the agreement and bit checks, the interleaving,
and the report's arithmetic.  No timing is asserted anywhere."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))

import check  # noqa: E402
import measure  # noqa: E402
import numpy_tmm  # noqa: E402
import report  # noqa: E402
import stacks  # noqa: E402

# Whole benchmark scripts in quick mode: run once, in CI's main stage.
pytestmark = pytest.mark.heavy

HAVE_PEERS = all(importlib.util.find_spec(name) for name in ("tmm", "tmm_faster"))
COMPILER = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


@pytest.mark.skipif(not HAVE_PEERS, reason="needs the bench extra (tmm, tmm-faster)")
def test_quick_run_reports_every_case_and_goal() -> None:
    # The installed module doubles as the "older" build: this exercises loading a
    # build from a path, and the two builds must give the same bits.
    installed = importlib.util.find_spec("lamina")
    assert installed is not None and installed.origin is not None
    done = subprocess.run([sys.executable, str(BENCHMARKS / "compare.py"), "--quick",
                           "--against", installed.origin], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "all cases agree" in out and "bits on every pool size: identical" in out
    assert f"against the build at {installed.origin}: bits identical" in out
    block = out.split("---- Markdown for the README ----", 1)[1]
    for media in stacks.QUICK["media"]:
        for width in stacks.QUICK["wavelengths"]:
            row = next(line for line in block.splitlines() if line.startswith(f"| {media} | {width:,} |"))
            assert "—" not in row, row  # every contender measured
    goal_lines = [line for line in block.splitlines() if line.startswith("- ")]
    assert len(goal_lines) >= 8
    assert all(line.endswith(("met", "(reported)")) for line in goal_lines), goal_lines
    older = block.split("Against an older build", 1)[1]
    assert sum(line.startswith("| ") for line in older.splitlines()) == 1 + len(stacks.QUICK["media"]) * len(
        stacks.QUICK["wavelengths"])


# --------------------------------------------------------------------------- stacks and floor


def test_floor_arguments_are_the_sweep_s_arguments() -> None:
    media, width = 10, 64
    args = stacks.floor_arguments(media, width)
    assert args.shape == (width, 2 * media + 3)
    d, n, wl = stacks.make_stack(media, width)
    # Lossless air and glass keep an exactly zero imaginary part: the root then takes sqrt alone.
    assert np.all(args[:, 0].imag == 0) and np.all(args[:, media - 1].imag == 0)
    assert np.all(args[:, media].imag == 0)
    assert np.all(args[:, 1:media - 1].imag != 0)
    # Layer exponents i*delta_j against the NumPy TMM's own phase thickness.
    q = np.sqrt(n * n - (n[0] * np.sin(stacks.THETA)) ** 2)
    delta = (2.0 * np.pi / wl) * d[:, np.newaxis] * q[1:-1]
    np.testing.assert_allclose(args[:, media + 1:2 * media - 1], (1j * delta).T, rtol=1e-13)
    r, t, _ = numpy_tmm.amplitudes(d, n, wl, stacks.THETA)
    np.testing.assert_array_equal(args[:, 2 * media - 1:], np.stack([r[0], r[1], t[0], t[1]], axis=1))


@pytest.fixture(scope="module")
def floor_binary(tmp_path_factory: pytest.TempPathFactory) -> Path:
    if COMPILER is None:
        pytest.skip("needs a C++ compiler")
    binary = tmp_path_factory.mktemp("floor") / "libm_floor"
    done = subprocess.run([COMPILER, *measure.FLOOR_FLAGS, "-Wall", "-Wextra", "-Werror",
                           str(BENCHMARKS / "libm_floor.cpp"), "-o", str(binary), "-lm"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return binary


@pytest.mark.parametrize("media", [2, 3, 10])
def test_floor_reads_the_written_arguments(floor_binary: Path, tmp_path: Path, media: int) -> None:
    path = stacks.write_floor_arguments(tmp_path / "args.bin", media, 50)
    fields = measure.run_floor(floor_binary, path, 1)
    assert fields is not None
    assert (fields["media"], fields["wavelengths"]) == (media, 50)
    # Calls the kernel makes: a root is one sqrt for a zero imaginary part, else four;
    # per layer exp, exp, sincos; the spectra four hypot and the transmittance root.
    args = stacks.floor_arguments(media, 50)
    roots = np.where(args[:, :media + 1].imag == 0, 1, 4).sum(axis=1).mean()
    assert fields["calls_per_wavelength"] == pytest.approx(roots + 3 * (media - 2) + 4)
    assert fields["old_calls_per_wavelength"] == pytest.approx(
        2 * (1 + 5 * media + 4 * (media - 2)) + 4 + 1)
    assert fields["ns_per_wavelength"] > 0 and fields["division_ns_per_wavelength"] > 0


@pytest.mark.parametrize("damage", ["truncated", "trailing", "header", "missing"])
def test_floor_refuses_a_wrong_arguments_file(floor_binary: Path, tmp_path: Path, damage: str) -> None:
    path = stacks.write_floor_arguments(tmp_path / "args.bin", 3, 20)
    data = path.read_bytes()
    if damage == "truncated":
        path.write_bytes(data[:-8])
    elif damage == "trailing":
        path.write_bytes(data + b"\0")
    elif damage == "header":
        path.write_bytes(data.replace(b"media=3", b"media=4", 1))
    else:
        path.unlink()
    done = subprocess.run([str(floor_binary), str(path)], capture_output=True, text=True)
    assert done.returncode == 2 and done.stdout == "" and "libm_floor:" in done.stderr


# --------------------------------------------------------------------------- checks


def _results(width: int) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    d, n, wl = stacks.make_stack(10, width)
    spectra = numpy_tmm.reflectance_transmittance(d, n, wl, stacks.THETA, stacks.PHI)
    subset = check.subset_indices(width)
    return {"lamina": spectra, "numpy tuned": tuple(s.copy() for s in spectra),
            "tmm-faster": tuple(s.copy() for s in spectra), "tmm": tuple(s[subset] for s in spectra)}


def _at_smallest(factor: float):
    return lambda x: np.where(np.arange(x.size) == np.argmin(x), x * factor, x)


@pytest.mark.parametrize("changes, expected", [
    ({}, []),
    ({("numpy tuned", 1): lambda x: x * (1 + 1e-10)},
     ["lamina vs numpy tuned: T", "numpy tuned vs tmm: T", "numpy tuned vs tmm-faster: T"]),
    # Within the pairwise tolerance (absolute plus relative) but not tmm-faster's relative one ...
    ({("tmm-faster", 0): _at_smallest(1 + 2e-12)}, ["tmm-faster vs lamina: R (relative)"]),
    # ... unless an independent TMM differs from lamina by half as much on the same stack.
    ({("tmm-faster", 0): _at_smallest(1 + 2e-12), ("numpy tuned", 0): _at_smallest(1 - 1.2e-12)}, []),
    ({("tmm", 0): lambda x: np.where(np.arange(x.size) == 3, np.nan, x)},
     ["lamina vs tmm: R", "numpy tuned vs tmm: R", "tmm vs tmm-faster: R"]),
])
def test_agreement_names_each_failing_pair(changes, expected) -> None:
    width = 300  # tmm sees a subset of 100 wavelengths
    results = _results(width)
    for (name, index), change in changes.items():
        spectra = list(results[name])
        spectra[index] = change(spectra[index])
        results[name] = tuple(spectra)
    outcome = check.agreement(results, width)
    assert outcome["failures"] == expected
    assert outcome["ok"] is (not expected)


def test_bit_identity_sees_signed_zeros_and_shapes() -> None:
    a = np.array([0.0, 1.0])
    assert check.identical_across([(a, a), (a.copy(), a.copy())])
    assert not check.identical_across([(a, a), (np.array([-0.0, 1.0]), a)])
    assert not check.identical_across([(a, a), (a, a[:1])])


# --------------------------------------------------------------------------- interleaving


class FakeWorker:
    def __init__(self, label: str, names: list[str], requests: list[tuple[str, list[str]]]) -> None:
        self.label, self.names, self.requests = label, names, requests
        self.returned: dict[str, list[float]] = {}

    def ask(self, **request: object) -> dict[str, dict[str, float]]:
        names = request["names"]
        assert isinstance(names, list)
        self.requests.append((self.label, names))
        seconds = {name: float((len(self.requests) * 7919 + i) % 13 + 1) for i, name in enumerate(names)}
        for name, value in seconds.items():
            self.returned.setdefault(name, []).append(value)
        return {"seconds": seconds}


def test_rounds_interleave_every_contender_and_thin_out_the_slow_ones() -> None:
    requests: list[tuple[str, list[str]]] = []
    workers = [FakeWorker("all", ["lamina", "numpy tuned", "tmm"], requests),
               FakeWorker("1", ["lamina", "numpy tuned"], requests)]
    best, rounds = measure.time_case(workers, 3, 100, budget=0.0, min_rounds=4, max_rounds=10,
                                     sparse={"tmm": 1})
    assert rounds == 4 and len(requests) == 8  # one request per worker and round
    calls = [(label, name) for label, names in requests for name in names]
    assert calls.count(("all", "tmm")) == 1
    for key in [("all", "lamina"), ("all", "numpy tuned"), ("1", "lamina"), ("1", "numpy tuned")]:
        assert calls.count(key) == 4
    for worker in workers:  # the best call, not the last or the mean
        for name, values in worker.returned.items():
            assert best[(worker.label, name)] == min(values)
    # The order rotates between rounds: workers, and contenders within a worker.
    assert requests[0][0] != requests[2][0]
    assert requests[0][1][0] != requests[3][1][0]


# --------------------------------------------------------------------------- report


def _run(**changes: object) -> report.Run:
    case = (10, 1000)
    run = report.Run(machine="test", cases=[case], headline=case, scaling_width=1000,
                     memory_case=(10, 1000), all_processors=2)
    times = {("all", "lamina"): 1.0, ("all", "numpy tuned"): 2.0, ("all", "numpy textbook"): 8.0,
             ("all", "tmm"): 0.5, ("all", "tmm-faster"): 6.0,
             ("1", "lamina"): 3.0, ("1", "numpy tuned"): 4.0}
    run.times = {(label, name, *case): seconds * 1e-3 for (label, name), seconds in times.items()}
    run.handoff = {"all": {"pooled_median": 1.01e-4, "serial_median": 1e-4,
                           "pooled_best": 1e-4, "serial_best": 1e-4}}
    for key, value in changes.items():
        setattr(run, key, value)
    return run


def test_report_takes_ratios_within_a_process_and_scales_by_the_yardstick() -> None:
    run = _run()
    figures = report.row(run, (10, 1000))
    assert figures["one vs tuned"] == pytest.approx(4 / 3)  # same process
    assert figures["one"] == pytest.approx(3 / 4 * 2 * 1e3)  # 1-thread time in the all worker's NumPy
    assert figures["two over one"] == pytest.approx((3 / 4) / (1 / 2))
    assert figures["all vs tmm-faster"] == pytest.approx(6.0)
    assert figures["all vs tmm"] == pytest.approx(0.5e-3 / 100 / (1e-3 / 1000))  # tmm: 100 wavelengths
    verdicts = {name: met for name, _, _, met in report.goals(run)}
    assert verdicts["all threads vs tmm-faster"] is True
    assert verdicts["all threads vs NumPy tuned"] is False  # 2× against a goal of 2.5×
    assert verdicts["W = 101, K = 3: pool / serial (median)"] is True
    assert verdicts["one thread / floor of its C-library calls and divisions"] is None  # not measured
    assert verdicts["one thread, W = 1,000,000 / W = 1,000 per wavelength"] is None
    assert verdicts["the same with RAYON_NUM_THREADS=64"] is None  # not measured


def test_report_judges_the_floor_and_the_large_sweep() -> None:
    run = _run(floors={10: {"ns_per_wavelength": 1000.0, "division_ns_per_wavelength": 499.0}}, wide_width=10_000)
    run.times[("1", "lamina", 10, 10_000)] = 3.4e-2  # 3.4 µs a wavelength against 3 at W = 1,000
    values = {name: (value, met) for name, value, _, met in report.goals(run)}
    # one thread: 3 ms over W = 1,000 in the 1 worker, scaled by NumPy tuned (4 there, 2 in all): 1,500 ns
    assert values["one thread / floor of its C-library calls and divisions"] == (pytest.approx(1500 / 1499), False)
    assert values["one thread, W = 10,000 / W = 1,000 per wavelength"] == (pytest.approx(3.4 / 3), True)


def test_report_survives_missing_peers_and_measurements() -> None:
    run = _run(handoff={}, floors={}, memory={})
    del run.times[("all", "tmm-faster", 10, 1000)]
    block = report.readme_block(run)
    assert "all threads vs tmm-faster: — (goal ≥ 5×) — not measured" in block
    assert "| 10 | 1,000 |" in block
    assert report.console(run)


@pytest.mark.parametrize("names, lamina_path, message", [
    (["lamina"], "/nonexistent/lamina-build", "died"),
    (["lamina", "no such peer"], None, "not installed: no such peer"),
])
def test_a_worker_that_cannot_start_fails_loudly(names, lamina_path, message) -> None:
    with pytest.raises(RuntimeError, match=message):
        measure.Worker("broken", names, threads=1, lamina_path=lamina_path)


def test_handoff_script_reports_both_pools_through_the_workers() -> None:
    done = subprocess.run([sys.executable, str(BENCHMARKS / "handoff.py"), "--calls", "20"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    rows = [line for line in done.stdout.splitlines() if line.endswith(("met", "missed"))]
    assert [row.split("  ")[0].strip() for row in rows] == ["default pool", "RAYON_NUM_THREADS=64"]
    assert all(float(row.split("×")[0].split()[-1]) > 0 for row in rows)


def test_refinement_benchmark_runs_and_both_jacobians_agree() -> None:
    pytest.importorskip("scipy")
    done = subprocess.run([sys.executable, str(BENCHMARKS / "refine_gradients.py"), "--quick"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "optima agree" in done.stdout and "fewer sweeps" in done.stdout


@pytest.mark.skipif(not HAVE_PEERS, reason="needs the bench extra (tmm, tmm-faster)")
def test_monte_carlo_benchmark_checks_its_bits_and_its_peer() -> None:
    done = subprocess.run([sys.executable, str(BENCHMARKS / "monte_carlo.py"), "--samples", "60"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 and 2 workers give the same bits: yes" in done.stdout
    assert "largest merit difference from tmm-faster" in done.stdout
