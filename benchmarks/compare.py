#!/usr/bin/env python
"""lamina against its peers, in one run and on the same stacks.

    python benchmarks/compare.py            # full run, a few minutes
    python benchmarks/compare.py --quick    # about a minute

Measures, in nanoseconds per wavelength (s and p, R and T):

* lamina with one worker thread (RAYON_NUM_THREADS=1), with two, and with all
  processors.  The pool size is read once per process, so every thread count
  runs in a subprocess of its own (this script, re-invoked with --worker);
* the `tmm` package's coh_tmm, one call per wavelength and polarisation, on an
  evenly spaced subset of the wavelengths (it is slow);
* the two NumPy-vectorised TMMs in benchmarks/numpy_tmm.py: the tuned one (s and p
  stacked, one array per matrix entry) and the textbook one (per polarisation,
  (W, 2, 2) matrices multiplied with `@`);
* the C-library floor: benchmarks/libm_floor.cpp, the sin/cos/exp/atan2/hypot/
  sqrt calls alone that lamina's two passes and spectra make (built with CMake
  here if needed, skipped when there is no compiler).

Stacks: air / alternating absorbing Cauchy dielectrics (with a thin Drude metal in
the middle from 10 media on) / glass, 400-1000 nm, theta = 0.5, phi = 0.7.
It checks that lamina, both NumPy TMMs and tmm agree on R and T, that lamina gives
identical bits for every thread count, times the 101-wavelength sweep (the smallest
one the pool runs) against the same work done serially, measures the peak memory of
a 1,000,000-wavelength sweep in a fresh process, and reports how much CPU other
processes took meanwhile.  It ends with a Markdown table and the goals.
"""

import argparse
import itertools
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import numpy_tmm  # noqa: E402

THETA = 0.5
PHI = 0.7
MEDIA = (3, 10, 50)
WAVELENGTHS = (100, 1_000, 10_000, 100_000)
HEADLINE = (10, 10_000)  # the stack the goals are stated for
SCALING_WIDTH = 100_000  # where 2 threads over 1 is judged
MEMORY_CASE = (10, 1_000_000)
TOLERANCE = 1e-12

GOALS = {
    "tmm_over_all": 500.0,
    "numpy_over_all": 2.2,  # against each NumPy peer
    "numpy_over_one": 1.1,
    "one_over_floor": 1.5,
    "two_over_one": 1.9,
    "handoff": 1.3,
    "memory": 1.3,
}


# --------------------------------------------------------------------------- stacks


def make_stack(media, width):
    """(d, n, wl) in nm.  libm_floor.cpp builds the same stack; keep them in step."""
    wl = np.linspace(400.0, 1000.0, width)
    um2 = (wl / 1000.0) ** 2
    high = 2.10 + 0.020 / um2 + 1j * (1.5e-3 * 0.16 / um2)  # TiO2-like, weakly absorbing
    low = 1.46 + 0.0040 / um2 + 1j * (2e-4 * 0.4 / np.sqrt(um2))  # SiO2-like
    energy = 1239.841984 / wl  # photon energy in eV
    metal = np.sqrt(1.0 - 9.0**2 / (energy * (energy + 0.07j)))  # Drude, silver-like
    glass = 1.52 + 0.0042 / um2

    n = np.empty((media, width), dtype=np.complex128)
    d = np.empty(media - 2)
    metal_layer = (media - 1) // 2 if media >= 10 else None
    for j in range(1, media - 1):
        if j == metal_layer:
            n[j], d[j - 1] = metal, 8.0
        else:
            quarter_wave = 600.0 / (4 * 2.1) if j % 2 else 600.0 / (4 * 1.46)
            n[j] = high if j % 2 else low
            d[j - 1] = quarter_wave * (1 + 0.15 * np.sin(1.7 * j))
    n[0] = 1.0
    n[-1] = glass
    return d, n, wl


# --------------------------------------------------------------------------- timing


def best_time(call, budget, min_repeats=3, max_repeats=2000):
    """Best wall time of `call` over repeats filling about `budget` seconds."""
    start = time.perf_counter()
    call()
    first = time.perf_counter() - start
    repeats = int(min(max_repeats, max(min_repeats, budget / max(first, 1e-9))))
    best = first
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def lamina_spectra(lamina, d, n, wl):
    simulation = lamina.DataPy(d, n, wl, THETA, PHI).simulate()
    return simulation.r, simulation.t


def tmm_spectra(tmm, d, n, wl, indices):
    thicknesses = [np.inf, *d.tolist(), np.inf]
    s_weight, p_weight = np.cos(PHI) ** 2, np.sin(PHI) ** 2
    reflectance = np.empty(len(indices))
    transmittance = np.empty(len(indices))
    for out, i in enumerate(indices):
        column = n[:, i].tolist()
        s = tmm.coh_tmm("s", column, thicknesses, THETA, wl[i])
        p = tmm.coh_tmm("p", column, thicknesses, THETA, wl[i])
        reflectance[out] = s_weight * s["R"] + p_weight * p["R"]
        transmittance[out] = s_weight * s["T"] + p_weight * p["T"]
    return reflectance, transmittance


NUMPY_PEERS = {
    "tuned": numpy_tmm.reflectance_transmittance,
    "textbook": numpy_tmm.reflectance_transmittance_textbook,
}


def subset_indices(width, count):
    return np.unique(np.linspace(0, width - 1, min(width, count)).round().astype(int))


# --------------------------------------------------------------------------- workers


def serve():
    """Worker loop: one JSON request per line on stdin, one JSON reply per line.

    Runs in a subprocess whose pool size the environment fixes; it lives for the
    whole benchmark so that its measurements can be interleaved with the others.
    """
    import lamina

    stacks = {}
    for line in sys.stdin:
        request = json.loads(line)
        if request["op"] == "time":
            media, width = request["media"], request["width"]
            if (media, width) not in stacks:
                stacks[(media, width)] = make_stack(media, width)
            d, n, wl = stacks[(media, width)]
            seconds = best_time(lambda: lamina_spectra(lamina, d, n, wl), request["budget"])
            reply = {"ns": seconds / width * 1e9}
            if request.get("save"):
                reflectance, transmittance = lamina_spectra(lamina, d, n, wl)
                np.save(request["save"] + "_r.npy", reflectance)
                np.save(request["save"] + "_t.npy", transmittance)
        elif request["op"] == "handoff":
            reply = handoff(lamina, request["repeats"])
        else:
            break
        print(json.dumps(reply), flush=True)


def handoff(lamina, repeats):
    """W = 101, the smallest sweep the pool runs, against W = 100, the largest
    that runs serially on the calling thread; interleaved to share any drift."""
    pooled_stack, serial_stack = make_stack(3, 101), make_stack(3, 100)
    for _ in range(20):
        lamina_spectra(lamina, *pooled_stack)
        lamina_spectra(lamina, *serial_stack)
    pooled, serial = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        lamina_spectra(lamina, *pooled_stack)
        pooled.append(time.perf_counter() - start)
        start = time.perf_counter()
        lamina_spectra(lamina, *serial_stack)
        serial.append(time.perf_counter() - start)
    return {
        "pooled_median": statistics.median(pooled),
        "pooled_best": min(pooled),
        "serial_median": statistics.median(serial),
        "serial_best": min(serial),
    }


class Worker:
    """A lamina process with its pool size fixed; threads=None leaves it to lamina."""

    def __init__(self, threads):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        env.pop("RAYON_RS_NUM_CPUS", None)
        if threads is not None:
            env["RAYON_NUM_THREADS"] = str(threads)
        self.process = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--worker"],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            cwd=tempfile.gettempdir())

    def ask(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"lamina worker died (exit code {self.process.wait()})")
        return json.loads(line)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait()


def read_status(field):
    """A field of /proc/self/status in bytes, or None."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def memory_worker(media, width):
    """Peak memory of one sweep, measured in a fresh process."""
    import lamina

    d, n, wl = make_stack(media, width)
    baseline = read_status("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    # Reset the high-water mark so input construction does not count (Linux >= 4.0).
    try:
        Path("/proc/self/clear_refs").write_text("5")
        hwm_reset = True
    except OSError:
        hwm_reset = False
    simulation = lamina.DataPy(d, n, wl, THETA, PHI).simulate()
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    hwm = read_status("VmHWM") if hwm_reset else None
    del simulation
    print(json.dumps({
        "baseline": baseline,
        "maxrss": maxrss,
        "maxrss_before": maxrss_before,
        "hwm": hwm,
        "inputs": d.nbytes + n.nbytes + wl.nbytes,
    }))


def measure_memory():
    env = {key: value for key, value in os.environ.items()
           if key not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    completed = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--memory-worker", *map(str, MEMORY_CASE)],
        env=env, capture_output=True, text=True, cwd=tempfile.gettempdir())
    if completed.returncode != 0:
        print(f"  the memory run failed:\n{completed.stderr.strip()}", file=sys.stderr)
        return None
    return json.loads(completed.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------- libm floor


def libm_floor_binary(rebuild):
    """Path to a built libm_floor, building it if needed; None if that is impossible."""
    source = HERE / "libm_floor.cpp"
    build_dir = ROOT / "build" / "tools"
    binary = build_dir / "libm_floor"
    if binary.exists() and binary.stat().st_mtime >= source.stat().st_mtime and not rebuild:
        return binary
    cmake = shutil.which("cmake")
    if cmake:
        configure = [cmake, "-S", str(ROOT), "-B", str(build_dir),
                     "-DLAMINA_BUILD_TOOLS=ON", "-DCMAKE_BUILD_TYPE=Release"]
        build = [cmake, "--build", str(build_dir), "--target", "libm_floor"]
        for step in (configure, build):
            done = subprocess.run(step, capture_output=True, text=True)
            if done.returncode != 0:
                print(f"  libm_floor: `{' '.join(step[:2])} ...` failed; trying the compiler directly",
                      file=sys.stderr)
                break
        else:
            return binary
    # The program needs nothing of the engine: compile it alone with the engine's
    # flags as CMakeLists.txt sets them (LAMINA_EXACT_FLAGS), which decide whether
    # sin and cos pair up into sincos.
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        return None
    build_dir.mkdir(parents=True, exist_ok=True)
    direct = build_dir / "libm_floor_direct"
    flags = ["-std=c++20", "-O3", "-ffp-contract=off", "-fno-fast-math", "-fno-unsafe-math-optimizations",
             "-fno-builtin-sin", "-fno-builtin-cos", "-fno-math-errno"]
    if platform.machine() in ("x86_64", "AMD64"):
        flags += ["-march=x86-64", "-mtune=generic"]
    done = subprocess.run([compiler, *flags, str(source), "-o", str(direct), "-lm"],
                          capture_output=True, text=True)
    return direct if done.returncode == 0 else None


def libm_floor(binary, media, width):
    done = subprocess.run([str(binary), str(media), str(width)], capture_output=True, text=True)
    if done.returncode != 0:
        return None
    fields = dict(item.split("=", 1) for item in done.stdout.split()[1:])
    return float(fields["ns_per_wavelength"])


# --------------------------------------------------------------------------- interference


def busy_cpu_seconds():
    """CPU seconds all processors have spent busy since boot, from /proc/stat; None elsewhere."""
    try:
        fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()
    except OSError:
        return None
    user, nice, system, _idle, _iowait, irq, softirq = map(int, fields[1:8])
    return (user + nice + system + irq + softirq) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds():
    """CPU seconds of this process and of every child it has waited for (workers included)."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


def other_processes(cpu_start, started):
    """What the rest of the machine used while the benchmark ran, once the workers have
    exited.  The load average cannot tell: the benchmark's own threads raise it."""
    busy_start, own_start = cpu_start
    busy_end = busy_cpu_seconds()
    if busy_start is None or busy_end is None:
        return "not measured (no /proc/stat)"
    wall = time.perf_counter() - started
    others = max(0.0, (busy_end - busy_start) - (own_cpu_seconds() - own_start))
    average = others / wall
    text = (f"{others:.1f} CPU-seconds over the {wall:.0f} s run, {average:.2f} processors "
            f"on average (1-minute load average now {os.getloadavg()[0]:.2f})")
    if average > 0.1:
        text += "\nwarning: other work ran during the benchmark; run it again on a quiet machine"
    return text


# --------------------------------------------------------------------------- reporting


def ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator == 0:
        return None
    return numerator / denominator


def fmt_ns(value):
    if value is None:
        return "—"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def fmt_x(value, digits=2):
    return "—" if value is None else f"{value:,.{digits}f}×"


def compare_arrays(a, b):
    """Largest absolute difference, and whether every entry is within tolerance."""
    diff = np.abs(a - b)
    return float(diff.max()), bool(np.all(diff <= TOLERANCE + TOLERANCE * np.abs(b)))


def bit_identical(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def machine_summary():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{cpu}, {len(os.sched_getaffinity(0))} processors, Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def goal_parts(value, goal, larger):
    """(measured, target, verdict) as a goal line shows them."""
    shown = "—" if value is None else f"{value:,.2f}×"
    return shown, f"{'≥' if larger else '≤'} {goal:g}×", verdict(value, goal, larger)


def verdict(value, goal, larger_is_better=True):
    if value is None:
        return "not measured"
    met = value >= goal if larger_is_better else value <= goal
    return "met" if met else "NOT met"


# --------------------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="shorter timings, about a minute")
    parser.add_argument("--budget", type=float, help="seconds of repeats per measurement")
    parser.add_argument("--tmm-wavelengths", type=int, help="wavelengths per case given to tmm")
    parser.add_argument("--no-memory", action="store_true", help="skip the 1,000,000-wavelength sweep")
    parser.add_argument("--rebuild-floor", action="store_true", help="rebuild libm_floor first")
    parser.add_argument("--rounds", type=int, help="passes over all cases; each result is the best")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory-worker", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        return serve()
    if args.memory_worker:
        return memory_worker(*args.memory_worker)

    budget = args.budget or (0.06 if args.quick else 0.4)
    rounds = args.rounds or (1 if args.quick else 4)
    tmm_count = args.tmm_wavelengths or (20 if args.quick else 100)
    handoff_repeats = 400 if args.quick else 2000
    all_processors = len(os.sched_getaffinity(0))
    cases = [(media, width) for media in MEDIA for width in WAVELENGTHS]
    started = time.perf_counter()
    cpu_start = (busy_cpu_seconds(), own_cpu_seconds())

    print(f"lamina benchmark — {machine_summary()}")
    print(f"theta = {THETA}, phi = {PHI}; per measurement the best of repeats filling {budget} s, "
          f"best over {rounds} round(s)\n")
    load = os.getloadavg()[0]
    if load > 0.5:
        print(f"warning: load average {load:.1f} — other processes share the processors, "
              "so the timings (the thread scaling most of all) will be noisy\n")

    try:
        import lamina  # noqa: F401  (only to fail early; timings run in subprocesses)
    except ImportError:
        sys.exit("lamina is not installed: pip install '.[bench]' from the repository root")
    try:
        import tmm
    except ImportError:
        tmm = None
        print("tmm is not installed (pip install '.[bench]'); its column stays empty\n")

    # Memory first: this process is still small, and a child started from a
    # large parent can inherit the parent's high-water mark in ru_maxrss.
    memory = None
    if not args.no_memory:
        print("peak memory of the 1,000,000-wavelength sweep ...", flush=True)
        memory = measure_memory()

    floor_binary = libm_floor_binary(args.rebuild_floor)
    floors = {}
    if floor_binary is None:
        print("no C++ compiler or CMake: the C-library floor is skipped")

    # One process per pool size; "all" leaves the size to lamina, as a user would.
    thread_counts = sorted({1, 2, all_processors})
    workers = {threads: Worker(None if threads == all_processors else threads)
               for threads in thread_counts}
    lamina_ns = {threads: {} for threads in thread_counts}
    numpy_ns = {peer: {} for peer in NUMPY_PEERS}
    tmm_ns, agreement = {}, {}
    identical_across_threads = True
    handoff = {}
    try:
        with tempfile.TemporaryDirectory(prefix="lamina-bench-") as scratch:
            for round_ in range(rounds):
                print(f"round {round_ + 1} of {rounds} ...", flush=True)
                for media in MEDIA if floor_binary else ():
                    ns = libm_floor(floor_binary, media, 10_000)
                    if ns is not None:
                        floors[media] = min(ns, floors.get(media, ns))
                for case in cases:
                    media, width = case
                    d, n, wl = make_stack(media, width)
                    first = round_ == 0
                    for threads, worker in workers.items():
                        save = str(Path(scratch) / f"{threads}_{media}_{width}") if first else None
                        ns = worker.ask(op="time", media=media, width=width, budget=budget, save=save)["ns"]
                        lamina_ns[threads][case] = min(ns, lamina_ns[threads].get(case, ns))
                    for peer, spectra in NUMPY_PEERS.items():
                        # One textbook call at K = 50, W = 100,000 takes about two seconds.
                        ns = best_time(lambda: spectra(d, n, wl, THETA, PHI), budget,
                                       min_repeats=1 if peer == "textbook" else 3) / width * 1e9
                        numpy_ns[peer][case] = min(ns, numpy_ns[peer].get(case, ns))
                    if tmm is not None:
                        indices = subset_indices(width, tmm_count)
                        ns = best_time(lambda: tmm_spectra(tmm, d, n, wl, indices), 0.0,
                                       min_repeats=1) / len(indices) * 1e9
                        tmm_ns[case] = min(ns, tmm_ns.get(case, ns))
                    if not first:
                        continue

                    # Agreement, from the first round's results.
                    def load(threads):
                        stem = Path(scratch) / f"{threads}_{media}_{width}"
                        return np.load(f"{stem}_r.npy"), np.load(f"{stem}_t.npy")

                    ours = load(all_processors)
                    for threads in thread_counts:
                        for mine, theirs in zip(load(threads), ours):
                            identical_across_threads &= bit_identical(mine, theirs)
                    results = {"lamina": ours}
                    results.update((peer, spectra(d, n, wl, THETA, PHI))
                                   for peer, spectra in NUMPY_PEERS.items())
                    checks = [compare_arrays(results[a][i], results[b][i])
                              for a, b in itertools.combinations(results, 2) for i in (0, 1)]
                    if tmm is not None:
                        reference = tmm_spectra(tmm, d, n, wl, indices)
                        checks += [compare_arrays(spectra[i][indices], reference[i])
                                   for spectra in results.values() for i in (0, 1)]
                    agreement[case] = (max(c[0] for c in checks), all(c[1] for c in checks))

        print("pool hand-off ...", flush=True)
        for threads in sorted({1, all_processors}):
            handoff[threads] = workers[threads].ask(op="handoff", repeats=handoff_repeats)
    finally:
        for worker in workers.values():
            worker.close()

    interference = other_processes(cpu_start, started)

    one = lamina_ns[1]
    every = lamina_ns[all_processors]
    two = lamina_ns[2]
    tuned, textbook = numpy_ns["tuned"], numpy_ns["textbook"]

    # ------------------------------------------------------------------ the table
    header = ("| media K | wavelengths W | lamina 1 thread | lamina all | numpy tuned | numpy textbook "
              "| tmm coh_tmm | tmm / lamina all | tuned / lamina all | textbook / lamina all "
              "| tuned / lamina 1 | textbook / lamina 1 | 2 threads / 1 | lamina 1 / libm floor "
              "| max difference |")
    rule = "|" + "---:|" * 15
    rows = []
    for case in cases:
        media, width = case
        rows.append("| " + " | ".join([
            str(media), f"{width:,}", fmt_ns(one[case]), fmt_ns(every[case]),
            fmt_ns(tuned[case]), fmt_ns(textbook[case]), fmt_ns(tmm_ns.get(case)),
            fmt_x(ratio(tmm_ns.get(case), every[case]), 0),
            fmt_x(ratio(tuned[case], every[case])),
            fmt_x(ratio(textbook[case], every[case])),
            fmt_x(ratio(tuned[case], one[case])),
            fmt_x(ratio(textbook[case], one[case])),
            fmt_x(ratio(one[case], two[case])),
            fmt_x(ratio(one[case], floors.get(media))) if width == 10_000 else "",
            f"{agreement[case][0]:.1e}",
        ]) + " |")

    print(f"\nns per wavelength (s and p, R and T); lamina all = {all_processors} threads; "
          f"tmm on {tmm_count} wavelengths per case\n")
    print("\n".join([header, rule, *rows]))

    if floors:
        print("\nC-library floor (libm_floor, W = 10,000), and lamina with 1 thread against it: "
              + ", ".join(f"K = {m}: {fmt_ns(v)} ns ({fmt_x(ratio(one[(m, 10_000)], v))})"
                          for m, v in floors.items()))

    agree = all(ok for _, ok in agreement.values())
    print("\nagreement (lamina, numpy tuned, numpy textbook, tmm pairwise; |a - b| <= "
          f"{TOLERANCE:g} + {TOLERANCE:g}·|b|): "
          + ("all cases agree" if agree
             else "DISAGREE in " + ", ".join(f"K={m} W={w}" for (m, w), (_, ok) in agreement.items()
                                             if not ok)))
    print("lamina, bits across thread counts " + "/".join(map(str, thread_counts)) + ": "
          + ("identical" if identical_across_threads else "DIFFERENT"))

    handoff_ratio = None
    if handoff:
        print("\nsweep hand-off, K = 3 (W = 101 runs on the pool, W = 100 serially; "
              "serial W = 101 estimated as 1.01 × W = 100):")
        for threads, h in sorted(handoff.items()):
            r_median = h["pooled_median"] / (h["serial_median"] * 1.01)
            r_best = h["pooled_best"] / (h["serial_best"] * 1.01)
            print(f"  {threads} thread(s): W=101 median {h['pooled_median'] * 1e6:.1f} µs "
                  f"(best {h['pooled_best'] * 1e6:.1f}), W=100 median {h['serial_median'] * 1e6:.1f} µs "
                  f"(best {h['serial_best'] * 1e6:.1f}); pool / serial = {r_median:.2f}× median, "
                  f"{r_best:.2f}× best")
        handoff_ratio = (handoff[all_processors]["pooled_median"]
                         / (handoff[all_processors]["serial_median"] * 1.01))

    memory_ratio = None
    if memory:
        media, width = MEMORY_CASE
        need_inputs = memory["inputs"]
        transfer_bytes = 136  # per wavelength: two 2x2 complex matrices and their two int32 exponents
        need = need_inputs + width * transfer_bytes + width * 16
        growth = memory["maxrss"] - memory["baseline"]
        memory_ratio = growth / need
        mb = 1e6
        print(f"\npeak memory, K = {media}, W = {width:,} (all threads): grew {growth / mb:.0f} MB "
              f"(ru_maxrss {memory['maxrss'] / mb:.0f} MB − baseline RSS {memory['baseline'] / mb:.0f} MB)"
              f"; needed: inputs {need_inputs / mb:.0f} MB + Transfer list {width * transfer_bytes / mb:.0f} MB "
              f"+ spectra {width * 16 / mb:.0f} MB = {need / mb:.0f} MB; ratio {memory_ratio:.2f}×")
        if memory["hwm"] is not None:
            print(f"  cross-check: VmHWM reset before the sweep gives {(memory['hwm'] - memory['baseline']) / mb:.0f} MB")
        if memory["maxrss_before"] > memory["maxrss"] - 1:
            print("  warning: ru_maxrss was already at its peak before the sweep; trust the VmHWM figure")

    # ------------------------------------------------------------------ goals
    k = HEADLINE[0]
    head = HEADLINE
    scaling = (k, SCALING_WIDTH)
    goals = [
        ("lamina all vs tmm", ratio(tmm_ns.get(head), every[head]), GOALS["tmm_over_all"], True),
        ("lamina all vs NumPy tuned", ratio(tuned[head], every[head]), GOALS["numpy_over_all"], True),
        ("lamina all vs NumPy textbook", ratio(textbook[head], every[head]), GOALS["numpy_over_all"], True),
        ("lamina 1 thread vs NumPy tuned", ratio(tuned[head], one[head]), GOALS["numpy_over_one"], True),
        ("lamina 1 thread vs NumPy textbook", ratio(textbook[head], one[head]),
         GOALS["numpy_over_one"], True),
        ("lamina 1 thread / libm floor", ratio(one[head], floors.get(k)), GOALS["one_over_floor"], False),
        (f"2 threads over 1 (W = {SCALING_WIDTH:,})", ratio(one[scaling], two[scaling]),
         GOALS["two_over_one"], True),
        ("W = 101, K = 3: pool / serial (median)", handoff_ratio, GOALS["handoff"], False),
        ("peak memory / need (W = 1,000,000)", memory_ratio, GOALS["memory"], False),
    ]
    print(f"\ngoals (K = {k}, W = {head[1]:,} unless said):")
    for name, value, goal, larger in goals:
        shown, target, outcome = goal_parts(value, goal, larger)
        print(f"  {name:<42} {shown:>10}   goal {target}   {outcome}")

    print(f"\nother processes: {interference}")

    # ------------------------------------------------------------------ README
    print("\n---- Markdown for the README ----\n")
    print("```sh\npip install '.[bench]'\npython benchmarks/compare.py\n```\n")
    print(f"On {machine_summary()}. "
          "Nanoseconds per wavelength (both polarisations, R and T; lower is better); "
          f"`tmm` timed on {tmm_count} wavelengths per case. NumPy, tuned: s and p stacked, one "
          "array per matrix entry; NumPy, textbook: per polarisation, (W, 2, 2) matrices "
          "multiplied with `@` (both in `benchmarks/numpy_tmm.py`). Ratios are peer time over "
          "lamina time.\n")
    short_header = ("| K | W | lamina, 1 thread | lamina, all | NumPy, tuned | NumPy, textbook | tmm "
                    "| all vs tmm | all vs tuned | all vs textbook | 1 thread vs tuned "
                    "| 1 thread vs textbook | 2 threads / 1 |")
    print(short_header)
    print("|" + "---:|" * 13)
    for case in cases:
        media, width = case
        print("| " + " | ".join([
            str(media), f"{width:,}", fmt_ns(one[case]), fmt_ns(every[case]),
            fmt_ns(tuned[case]), fmt_ns(textbook[case]), fmt_ns(tmm_ns.get(case)),
            fmt_x(ratio(tmm_ns.get(case), every[case]), 0),
            fmt_x(ratio(tuned[case], every[case]), 1), fmt_x(ratio(textbook[case], every[case]), 1),
            fmt_x(ratio(tuned[case], one[case]), 1), fmt_x(ratio(textbook[case], one[case]), 1),
            fmt_x(ratio(one[case], two[case]), 2),
        ]) + " |")
    extras = []
    if floors.get(k):
        extras.append(f"C-library floor at K = {k}: {fmt_ns(floors[k])} ns per wavelength "
                      f"(lamina, 1 thread: {fmt_x(ratio(one[head], floors[k]))} of it)")
    if handoff_ratio is not None:
        extras.append(f"W = 101, K = 3 on the pool: {handoff_ratio:.2f}× the serial time")
    if memory_ratio is not None:
        extras.append(f"peak memory of a W = 1,000,000, K = 10 sweep: {memory_ratio:.2f}× its inputs, "
                      "Transfer list and spectra")
    extras.append("all four agree to 1e-12" if agree else "agreement to 1e-12 FAILED")
    print("\n" + "; ".join(extras) + ".")
    print(f"\nGoals at K = {k}, W = {head[1]:,} unless said:\n")
    for name, value, goal, larger in goals:
        shown, target, outcome = goal_parts(value, goal, larger)
        print(f"- {name}: {shown} (goal {target}) — {outcome}")
    print(f"\n(run took {time.perf_counter() - started:.0f} s)")

if __name__ == "__main__":
    main()
