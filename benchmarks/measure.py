"""Measuring: worker processes, interleaved rounds, the pool hand-off, peak memory,
the C-library floor, and what other processes took meanwhile.

lamina reads its pool size once per process, so every pool size (and every other
build given with --against) runs in a worker process of its own: this file,
re-invoked with --worker.  A worker holds several contenders and answers one
request per line on stdin.  The parent runs rounds: per round one call of every
contender of every worker, in a rotating order, so that a burst of other work
hits all of them alike; each contender's time is its best call.  NumPy tuned runs
in every lamina worker as the yardstick between processes.
"""

import argparse
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
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import contenders  # noqa: E402
import stacks  # noqa: E402

# Pause after each timed call: OpenMP's and lamina's idle workers spin for a
# moment after a parallel region and would otherwise steal from the next call.
SETTLE_SECONDS = 0.002
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "OMP_NUM_THREADS")


# --------------------------------------------------------------------------- worker side


def _build_calls(factories, names, media, width):
    d, n, wl = stacks.make_stack(media, width)
    return {name: factories[name](d, n, wl) for name in names}


def handoff(module, repeats):
    """W = 101, the smallest sweep the pool runs, against W = 100, the largest that
    runs serially on the calling thread; interleaved to share any drift."""
    call = contenders.lamina_call(module)
    pooled = call(*stacks.make_stack(*stacks.HANDOFF_POOLED))
    serial = call(*stacks.make_stack(*stacks.HANDOFF_SERIAL))
    for _ in range(20):
        pooled()
        serial()
    pooled_times, serial_times = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        pooled()
        pooled_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        serial()
        serial_times.append(time.perf_counter() - start)
    return {
        "pooled_median": statistics.median(pooled_times),
        "pooled_best": min(pooled_times),
        "serial_median": statistics.median(serial_times),
        "serial_best": min(serial_times),
    }


def serve(lamina_path, names):
    """Worker loop: one JSON request per line on stdin, one JSON reply per line."""
    module = contenders.load_lamina(lamina_path)
    factories = {"lamina": contenders.lamina_call(module)}
    factories.update(contenders.peer_factories())
    missing = [name for name in names if name not in factories]
    if missing:
        print(json.dumps({"error": f"not installed: {', '.join(missing)}"}), flush=True)
        return
    print(json.dumps({"ready": True, "version": getattr(module, "__file__", "")}), flush=True)
    case, calls = None, {}
    for line in sys.stdin:
        request = json.loads(line)
        op = request["op"]
        if op == "round":
            key = (request["media"], request["width"])
            if key != case:
                case, calls = key, None  # one case at a time keeps the memory small
                calls = _build_calls(factories, names, *key)
            seconds, results = {}, {}
            for name in request["names"]:
                start = time.perf_counter()
                results[name] = calls[name]()
                seconds[name] = time.perf_counter() - start
                time.sleep(SETTLE_SECONDS)
            if request.get("save"):
                np.savez(request["save"], **{f"{name}|{i}": np.asarray(spectra[i])
                                             for name, spectra in results.items() for i in (0, 1)})
            reply = {"seconds": seconds}
        elif op == "handoff":
            reply = handoff(module, request["repeats"])
        else:
            break
        print(json.dumps(reply), flush=True)


def memory_worker(lamina_path, media, width):
    """Peak memory of one sweep, measured in a fresh process: prints one JSON line."""
    module = contenders.load_lamina(lamina_path)

    def status(field):
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        return None

    d, n, wl = stacks.make_stack(media, width)
    baseline = status("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    try:  # reset the high-water mark so input construction does not count (Linux >= 4.0)
        Path("/proc/self/clear_refs").write_text("5")
        hwm_reset = True
    except OSError:
        hwm_reset = False
    simulation = module.DataPy(d, n, wl, stacks.THETA, stacks.PHI).simulate()
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    hwm = status("VmHWM") if hwm_reset else None
    del simulation
    print(json.dumps({"baseline": baseline, "maxrss": maxrss, "maxrss_before": maxrss_before,
                      "hwm": hwm, "inputs": d.nbytes + n.nbytes + wl.nbytes}))


# --------------------------------------------------------------------------- parent side


def worker_env(threads):
    env = {key: value for key, value in os.environ.items() if key not in POOL_VARIABLES}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    return env


class Worker:
    """A process holding `names` on one lamina build with its pool size fixed;
    threads=None leaves the size to lamina (and tmm-faster its OpenMP default)."""

    def __init__(self, label, names, threads=None, lamina_path=None):
        self.label, self.names = label, list(names)
        command = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(self.names)]
        if lamina_path:
            command += ["--lamina", str(lamina_path)]
        self.process = subprocess.Popen(command, env=worker_env(threads), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, cwd=tempfile.gettempdir())
        try:
            hello = self._read()
            if "error" in hello:
                raise RuntimeError(f"worker {label}: {hello['error']}")
        except BaseException:
            self.close()
            raise

    def _read(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"worker {self.label} died (exit code {self.process.wait()})")
        return json.loads(line)

    def ask(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        return self._read()

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def time_case(workers, media, width, budget, min_rounds, max_rounds, sparse, save_dir=None):
    """Interleaved rounds over every worker's contenders on one stack.

    Rounds go on until `budget` seconds have passed and at least `min_rounds` are
    done (at most `max_rounds`).  A contender in `sparse` runs only in that many
    first rounds (tmm, and the slow textbook NumPy).  Returns
    {(worker label, name): best seconds} and, with save_dir, writes each worker's
    spectra of the first round to save_dir/<label>.npz.
    """
    best = {}
    started = time.perf_counter()
    rounds = 0
    while rounds < min_rounds or (time.perf_counter() - started < budget and rounds < max_rounds):
        order = workers[rounds % len(workers):] + workers[:rounds % len(workers)]
        for worker in order:
            names = [name for name in worker.names if rounds < sparse.get(name, max_rounds)]
            if not names:
                continue
            shift = rounds % len(names)
            names = names[shift:] + names[:shift]
            save = str(Path(save_dir) / f"{worker.label}.npz") if save_dir and rounds == 0 else None
            reply = worker.ask(op="round", media=media, width=width, names=names, save=save)
            for name, seconds in reply["seconds"].items():
                key = (worker.label, name)
                best[key] = min(seconds, best.get(key, seconds))
        rounds += 1
    return best, rounds


def load_spectra(path):
    """{name: (R, T)} from a worker's saved round."""
    with np.load(path) as saved:
        names = {key.split("|")[0] for key in saved.files}
        return {name: (saved[f"{name}|0"], saved[f"{name}|1"]) for name in names}


def measure_memory(media, width, lamina_path=None):
    """Peak-memory figures of one sweep in a fresh process, or None if that run failed."""
    command = [sys.executable, str(Path(__file__).resolve()), "--memory-worker", str(media), str(width)]
    if lamina_path:
        command += ["--lamina", str(lamina_path)]
    done = subprocess.run(command, env=worker_env(None), capture_output=True, text=True,
                          cwd=tempfile.gettempdir())
    if done.returncode != 0:
        print(f"  the memory run failed:\n{done.stderr.strip()}", file=sys.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------- libm floor


FLOOR_FLAGS = ["-std=c++20", "-O3", "-ffp-contract=off", "-fno-fast-math", "-fno-unsafe-math-optimizations",
               "-fno-builtin-sin", "-fno-builtin-cos", "-fno-math-errno"]


def libm_floor_binary(rebuild=False, use_cmake=True):
    """Path to a built libm_floor, building it if needed; None if that is impossible.

    CMake builds it with the engine's compile flags (LAMINA_BUILD_TOOLS); without
    CMake, or with use_cmake=False, it is compiled alone with the same flags."""
    source = HERE / "libm_floor.cpp"
    build_dir = ROOT / "build" / "tools"
    for binary in (build_dir / "libm_floor", build_dir / "libm_floor_direct"):
        if not rebuild and binary.exists() and binary.stat().st_mtime >= source.stat().st_mtime:
            return binary
    cmake = shutil.which("cmake")
    if cmake and use_cmake:
        steps = ([cmake, "-S", str(ROOT), "-B", str(build_dir), "-DLAMINA_BUILD_TOOLS=ON",
                  "-DCMAKE_BUILD_TYPE=Release"],
                 [cmake, "--build", str(build_dir), "--target", "libm_floor", "-j", "2"])
        if all(subprocess.run(step, capture_output=True, text=True).returncode == 0 for step in steps):
            return build_dir / "libm_floor"
        print("  libm_floor: the CMake build failed; trying the compiler directly", file=sys.stderr)
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        return None
    build_dir.mkdir(parents=True, exist_ok=True)
    direct = build_dir / "libm_floor_direct"
    flags = list(FLOOR_FLAGS)
    if platform.machine() in ("x86_64", "AMD64"):
        flags += ["-march=x86-64", "-mtune=generic"]
    done = subprocess.run([compiler, *flags, str(source), "-o", str(direct), "-lm"],
                          capture_output=True, text=True)
    return direct if done.returncode == 0 else None


def run_floor(binary, arguments_file, repeats=7):
    """{key: value} from one libm_floor run, or None if it failed."""
    done = subprocess.run([str(binary), str(arguments_file), str(repeats)], capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  libm_floor failed: {done.stderr.strip()}", file=sys.stderr)
        return None
    fields = dict(item.split("=", 1) for item in done.stdout.split()[1:])
    return {key: float(value) for key, value in fields.items()}


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


class Interference:
    """What the rest of the machine used while the benchmark ran.  The load average
    cannot tell: the benchmark's own threads raise it.  Read it after the workers
    have exited, so that their CPU time is counted as the benchmark's own."""

    def __init__(self):
        self.started = time.perf_counter()
        self.busy, self.own = busy_cpu_seconds(), own_cpu_seconds()

    def summary(self):
        busy = busy_cpu_seconds()
        if self.busy is None or busy is None:
            return "not measured (no /proc/stat)", None
        wall = time.perf_counter() - self.started
        others = max(0.0, (busy - self.busy) - (own_cpu_seconds() - self.own))
        average = others / wall
        text = (f"{others:.1f} CPU-seconds over the {wall:.0f} s run, {average:.2f} processors "
                f"on average (1-minute load average now {os.getloadavg()[0]:.2f})")
        if average > 0.1:
            text += "\nwarning: other work ran during the benchmark; run it again on a quiet machine"
        return text, others


def main():
    parser = argparse.ArgumentParser(description="a benchmark worker (started by compare.py)")
    parser.add_argument("--worker", help="JSON list of contender names")
    parser.add_argument("--memory-worker", nargs=2, type=int, metavar=("MEDIA", "WIDTH"))
    parser.add_argument("--lamina", help="path of another lamina build")
    args = parser.parse_args()
    if args.memory_worker:
        memory_worker(args.lamina, *args.memory_worker)
    elif args.worker:
        serve(args.lamina, json.loads(args.worker))
    else:
        parser.error("run benchmarks/compare.py; this file is its worker")


if __name__ == "__main__":
    main()
