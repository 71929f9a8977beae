#!/usr/bin/env python
"""lamina against its peers, in one run and on the same stacks.

    python benchmarks/compare.py                       # full run, a few minutes
    python benchmarks/compare.py --quick               # a few seconds: do the scripts work?
    python benchmarks/compare.py --against /tmp/lamina-abc123   # this build against an older one

Contenders (nanoseconds per wavelength, s and p, R and T): lamina on its own pool
size ("all") and with one thread, the two NumPy TMMs of numpy_tmm.py, tmm
(coh_tmm, on 100 wavelengths per sweep) and tmm-faster (C++/OpenMP, all cores).
They are timed interleaved, round by round; see measure.py.  The stacks are
defined once, in stacks.py; libm_floor.cpp times the C-library calls of the same
sweeps on arguments written from that definition.  check.py checks agreement and
bit-identity across pool sizes; report.py prints the table, the goals and a
README-ready block.

--against PATH times another lamina build (a lamina*.so, or a directory holding
one: benchmarks/build_commit.sh COMMIT makes one) interleaved with this one.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import check  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402
import stacks  # noqa: E402
from contenders import peer_factories  # noqa: E402


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="smaller stacks and short timings, a few seconds")
    parser.add_argument("--budget", type=float, help="seconds of rounds per stack (full: 2, quick: 0.1)")
    parser.add_argument("--rounds", type=int, help="least rounds per stack (full: 3, quick: 1)")
    parser.add_argument("--against", metavar="PATH", help="another lamina build to time beside this one")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory sweep")
    parser.add_argument("--no-floor", action="store_true", help="skip the C-library floor")
    parser.add_argument("--rebuild-floor", action="store_true", help="rebuild libm_floor first")
    parser.add_argument("--reuse-budget-mib", type=float, default=None,
                        help="the kernel's budget for kept values, for the memory line (default: a quarter "
                             "of MemAvailable, as the kernel takes it)")
    return parser.parse_args(argv)


def available_memory():
    """MemAvailable in bytes, 0 where /proc/meminfo does not say."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def main(argv=None):
    args = parse_args(argv)
    quick = stacks.QUICK if args.quick else None
    media = quick["media"] if quick else stacks.MEDIA
    widths = quick["wavelengths"] if quick else stacks.WAVELENGTHS
    budget = args.budget if args.budget is not None else (0.1 if quick else 2.0)
    min_rounds = args.rounds or (1 if quick else 3)
    max_rounds = 20 if quick else 1000
    handoff_repeats = 100 if quick else 2000
    all_processors = len(os.sched_getaffinity(0))
    against = str(Path(args.against).resolve()) if args.against else None

    run = report.Run(
        machine=report.machine_summary(),
        cases=[(m, w) for m in media for w in widths],
        headline=quick["headline"] if quick else stacks.HEADLINE,
        scaling_width=quick["scaling_width"] if quick else stacks.SCALING_WIDTH,
        memory_case=quick["memory_case"] if quick else stacks.MEMORY_CASE,
        floor_width=quick["floor_width"] if quick else stacks.FLOOR_WIDTH,
        all_processors=all_processors,
        reuse_budget=int(args.reuse_budget_mib * (1 << 20)) if args.reuse_budget_mib is not None
        else max(64 << 20, available_memory() // 4),
        older=against,
        quick=args.quick,
    )
    interference = measure.Interference()

    print(f"lamina benchmark — {run.machine}")
    print(f"theta = {stacks.THETA}, phi = {stacks.PHI}; per stack at least {min_rounds} round(s) "
          f"and {budget} s of rounds; best call of each contender\n")
    if os.getloadavg()[0] > 0.5:
        print(f"warning: load average {os.getloadavg()[0]:.1f} — other processes share the processors, "
              "so the timings (the thread scaling most of all) will be noisy\n")
    try:
        import lamina  # noqa: F401  (only to fail early; the timings run in workers)
    except ImportError:
        sys.exit("lamina is not installed: pip install '.[bench]' from the repository root")
    peers = list(peer_factories())
    for name in ("tmm", "tmm-faster"):
        if name not in peers:
            print(f"{name} is not installed (pip install '.[bench]'); its column stays empty\n")

    # Memory first: this process is still small, and a child of a large parent
    # can inherit the parent's high-water mark in ru_maxrss.
    if not args.no_memory:
        print(f"peak memory of the {run.memory_case[1]:,}-wavelength sweep ...", flush=True)
        for which, path in (("current", None), ("older", against)):
            if which == "current" or path:
                figures = measure.measure_memory(*run.memory_case, lamina_path=path)
                if figures:
                    run.memory[which] = figures

    floor_binary = None
    if not args.no_floor:
        floor_binary = measure.libm_floor_binary(args.rebuild_floor, use_cmake=not args.quick)
        if floor_binary is None:
            print("no C++ compiler: the C-library floor is skipped")

    # "all" holds every peer beside lamina; the other workers hold lamina and the
    # NumPy yardstick.  "all" leaves the pool size to lamina, as a user would.
    plan = [("all", ["lamina", *peers], None, None), ("1", ["lamina", "numpy tuned"], 1, None)]
    if all_processors > 2:
        plan.append(("2", ["lamina", "numpy tuned"], 2, None))
    if against:
        plan += [("older all", ["lamina", "numpy tuned"], None, against),
                 ("older 1", ["lamina", "numpy tuned"], 1, against)]
    sparse = {"tmm": 1 if args.quick else 2, "numpy textbook": min_rounds}

    workers = []
    try:
        for label, names, threads, path in plan:
            workers.append(measure.Worker(label, names, threads, path))
        with tempfile.TemporaryDirectory(prefix="lamina-bench-") as scratch:
            for case in run.cases:
                print(f"K = {case[0]}, W = {case[1]:,} ...", flush=True)
                save_dir = Path(scratch) / f"{case[0]}_{case[1]}"
                save_dir.mkdir()
                best, rounds = measure.time_case(workers, *case, budget, min_rounds, max_rounds, sparse,
                                                 save_dir=save_dir)
                run.rounds[case] = rounds
                run.times.update({(label, name, *case): t for (label, name), t in best.items()})
                saved = {w.label: measure.load_spectra(save_dir / f"{w.label}.npz") for w in workers}
                run.agreement[case] = check.agreement(saved["all"], case[1])
                lamina_runs = [saved[label]["lamina"] for label in saved if not label.startswith("older")]
                run.identical &= check.identical_across(lamina_runs)
                if against:
                    older = [saved[label]["lamina"] for label in saved if label.startswith("older")]
                    same = check.identical_across(older) and check.identical_across([lamina_runs[0], older[0]])
                    run.older_identical = same if run.older_identical is None else run.older_identical and same

            # The large sweep: one thread, lamina alone, at the headline K.
            wide = (run.headline[0], stacks.WIDE_WIDTH if not args.quick else 10 * run.headline[1])
            print(f"K = {wide[0]}, W = {wide[1]:,}, one thread ...", flush=True)
            one = next(worker for worker in workers if worker.label == "1")
            best, _ = measure.time_case([one], *wide, budget, min(min_rounds, 2), max_rounds,
                                        {"numpy tuned": 0})
            run.wide_width = wide[1]
            run.times.update({(label, name, *wide): t for (label, name), t in best.items()})

            if floor_binary is not None:
                print("C-library floor ...", flush=True)
                for media_count in media:
                    path = stacks.write_floor_arguments(Path(scratch) / f"floor_{media_count}.bin",
                                                        media_count, run.floor_width)
                    for _ in range(min_rounds):
                        fields = measure.run_floor(floor_binary, path, 3 if args.quick else 7)
                        if fields is None:
                            break
                        kept = run.floors.setdefault(media_count, fields)
                        for key, value in fields.items():
                            if key.endswith("ns_per_wavelength"):
                                kept[key] = min(kept[key], value)
                # The floor and one lamina thread in alternation at the headline stack: this
                # machine's speed drifts over seconds, so the ratios are taken pair by pair.
                k, width = run.headline
                if k in run.floors and width == run.floor_width:
                    path = Path(scratch) / f"floor_{k}.bin"
                    one = next(worker for worker in workers if worker.label == "1")
                    for _ in range(min_rounds):
                        fields = measure.run_floor(floor_binary, path, 3 if args.quick else 7)
                        if fields is None:
                            break
                        best, _ = measure.time_case([one], k, width, budget / 4, 3, max_rounds, {"numpy tuned": 0})
                        run.floor_pairs.append((best[("1", "lamina")] * 1e9 / width, fields["ns_per_wavelength"],
                                                fields["division_ns_per_wavelength"]))

        print("pool hand-off ...", flush=True)
        handoff_plan = [("all", None, None), ("64", 64, None)]
        if against:
            handoff_plan += [("older all", None, against), ("older 64", 64, against)]
        for label, threads, path in handoff_plan:
            worker = next((w for w in workers if w.label == label), None)
            if worker is None:
                worker = measure.Worker(label, ["lamina"], threads, path)
                workers.append(worker)
            run.handoff[label] = worker.ask(op="handoff", repeats=handoff_repeats)
    finally:
        for worker in workers:
            worker.close()

    run.interference = interference.summary()[0]
    print(report.console(run))
    print("\n---- Markdown for the README ----\n")
    print(report.readme_block(run))
    print(f"\n(run took {time.perf_counter() - interference.started:.0f} s)")
    agree = all(a["ok"] for a in run.agreement.values())
    return 0 if agree and run.identical else 1


if __name__ == "__main__":
    sys.exit(main())
