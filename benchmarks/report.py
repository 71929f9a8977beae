"""Reporting: the K x W table, the goals with met / NOT met, and the README block.

Everything here works from the plain numbers `compare.py` gathers (the `Run`
record); nothing is measured here.  Times are nanoseconds per wavelength, s and
p, R and T.  Ratios of two contenders come from one process where they can:

* "all" columns: lamina with the pool size it picks, beside every peer, in one
  worker;
* "1 thread": lamina with RAYON_NUM_THREADS=1 in a worker of its own, beside NumPy
  tuned; its ratio to NumPy tuned is taken there, and its shown time is scaled by
  the two workers' NumPy tuned times (NumPy is the yardstick between processes);
* "2 threads / 1": each lamina time over the NumPy tuned time of its own worker.
"""

from __future__ import annotations

import os
import platform
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from contenders import subset_indices
from stacks import HANDOFF_POOLED, HANDOFF_SERIAL, WIDE_WIDTH

ROOT = Path(__file__).resolve().parent.parent

GOALS = {
    "tuned_over_all": 2.5,
    "tuned_over_one": 1.8,
    "tmm_faster_over_all": 5.0,
    "tmm_over_all": 600.0,
    "two_over_one": 1.8,
    "handoff": 1.3,
    "handoff_64": 2.0,
    "floor": 1.0,  # one thread over the floor of its C-library calls plus its divisions
    "wide_over_headline": 1.15,  # one thread, per wavelength, W = WIDE_WIDTH over the headline W
}


@dataclass
class Run:
    machine: str
    cases: list  # [(media, width)]
    headline: tuple
    scaling_width: int
    memory_case: tuple
    all_processors: int
    times: dict = field(default_factory=dict)  # (label, name, media, width) -> best seconds
    rounds: dict = field(default_factory=dict)  # (media, width) -> rounds run
    agreement: dict = field(default_factory=dict)  # (media, width) -> check.agreement(...)
    identical: bool = True  # lamina's bits on every pool size
    older_identical: bool | None = None  # the --against build's bits against this one's
    floors: dict = field(default_factory=dict)  # media -> libm_floor fields
    # (lamina one thread, floor, division floor) in ns per wavelength, measured in alternation
    floor_pairs: list = field(default_factory=list)
    floor_width: int = 10_000
    handoff: dict = field(default_factory=dict)  # worker label -> handoff figures
    memory: dict = field(default_factory=dict)  # "current"/"older" -> memory figures
    reuse_budget: int = 64 << 20
    wide_width: int = WIDE_WIDTH  # the large sweep, timed on one thread at the headline K
    older: str | None = None  # the --against path
    interference: str = ""
    quick: bool = False


def machine_summary():
    """The processor, how many this process may use, and the Python and NumPy versions."""
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


def commit():
    try:
        done = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                              capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    return done.stdout.strip() or "unknown"


# --------------------------------------------------------------------------- numbers


def ns(run, label, name, case):
    """Best time per wavelength in ns, or None if not measured."""
    seconds = run.times.get((label, name, *case))
    if seconds is None:
        return None
    count = len(subset_indices(case[1])) if name == "tmm" else case[1]
    return seconds / count * 1e9


def ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator == 0:
        return None
    return numerator / denominator


def relative_to_yardstick(run, label, case, name="lamina"):
    """A worker's time of `name` over its own NumPy tuned time."""
    return ratio(ns(run, label, name, case), ns(run, label, "numpy tuned", case))


def two_label(run):
    return "all" if run.all_processors == 2 else "2"


def row(run, case):
    """Every figure of one table row, by column name."""
    all_ = ns(run, "all", "lamina", case)
    tuned = ns(run, "all", "numpy tuned", case)
    one_rel = relative_to_yardstick(run, "1", case)
    two_rel = relative_to_yardstick(run, two_label(run), case)
    peers = {name: ns(run, "all", name, case) for name in ("numpy textbook", "tmm", "tmm-faster")}
    figures = {
        "one": None if one_rel is None or tuned is None else one_rel * tuned,
        "one raw": ns(run, "1", "lamina", case),
        "all": all_,
        "tuned": tuned,
        "textbook": peers["numpy textbook"],
        "tmm": peers["tmm"],
        "tmm-faster": peers["tmm-faster"],
        "all vs tmm": ratio(peers["tmm"], all_),
        "all vs tmm-faster": ratio(peers["tmm-faster"], all_),
        "all vs tuned": ratio(tuned, all_),
        "all vs textbook": ratio(peers["numpy textbook"], all_),
        "one vs tuned": ratio(1.0, one_rel),
        "two over one": ratio(one_rel, two_rel),
    }
    if run.older:
        figures["older all"] = ns(run, "older all", "lamina", case)
        figures["older one raw"] = ns(run, "older 1", "lamina", case)
        figures["speed-up all"] = ratio(relative_to_yardstick(run, "older all", case),
                                        ratio(all_, tuned))
        figures["speed-up one"] = ratio(relative_to_yardstick(run, "older 1", case), one_rel)
    return figures


def handoff_ratio(figures):
    """W = 101 on the pool over the serial cost of 101 wavelengths (1.01 x W = 100), medians."""
    if not figures:
        return None
    scale = HANDOFF_POOLED[1] / HANDOFF_SERIAL[1]
    return figures["pooled_median"] / (figures["serial_median"] * scale)


def memory_figures(run, which="current"):
    """(growth, need, ratio) in bytes for the memory case, or None."""
    memory = run.memory.get(which)
    if not memory:
        return None
    media, width = run.memory_case
    # inputs + Transfer list (two matrices, two exponents) + two spectra + the values the s pass
    # keeps for the p pass (6K - 8 doubles a wavelength, all of them while they fit the budget)
    kept = min(width * (6 * media - 8) * 8, run.reuse_budget)
    need = memory["inputs"] + width * 136 + width * 16 + kept
    growth = memory["maxrss"] - memory["baseline"]
    return growth, need, growth / need


def floor_split(run):
    """(one thread, C-library floor, division floor) at the headline stack, ns per wavelength.

    From the pairs measured in alternation where there are any: the pair whose ratio
    of lamina to the floor is the median one."""
    if run.floor_pairs:
        pairs = sorted(run.floor_pairs, key=lambda pair: pair[0] / pair[1])
        return pairs[(len(pairs) - 1) // 2]
    media = run.headline[0]
    floor = run.floors.get(media)
    one = row(run, run.headline)["one"] if run.headline in run.cases else None
    if not floor:
        return one, None, None
    return one, floor.get("ns_per_wavelength"), floor.get("division_ns_per_wavelength")


def goals(run):
    """[(name, value, target text or None, met or None)]; a None target is reported only."""
    head = row(run, run.headline) if run.headline in run.cases else {}
    k, w = run.headline

    def goal(name, value, target, larger=True):
        if value is None:
            return (name, None, f"{'≥' if larger else '≤'} {target:g}×", None)
        return (name, value, f"{'≥' if larger else '≤'} {target:g}×",
                value >= target if larger else value <= target)

    listing = [
        goal("all threads vs NumPy tuned", head.get("all vs tuned"), GOALS["tuned_over_all"]),
        goal("one thread vs NumPy tuned", head.get("one vs tuned"), GOALS["tuned_over_one"]),
        goal("all threads vs tmm-faster", head.get("all vs tmm-faster"), GOALS["tmm_faster_over_all"]),
        goal("all threads vs tmm", head.get("all vs tmm"), GOALS["tmm_over_all"]),
    ]
    for media in sorted({m for m, _ in run.cases}):
        case = (media, run.scaling_width)
        value = row(run, case)["two over one"] if case in run.cases else None
        name = f"2 threads over 1, K = {media}, W = {run.scaling_width:,}"
        if media == k:
            listing.append(goal(name, value, GOALS["two_over_one"]))
        else:
            listing.append((name, value, None, None))
    one, floor, divisions = floor_split(run)
    listing.append(("one thread / its C-library floor", ratio(one, floor), None, None))
    whole_floor = None if floor is None or divisions is None else floor + divisions
    listing.append(goal("one thread / floor of its C-library calls and divisions", ratio(one, whole_floor),
                        GOALS["floor"], larger=False))
    wide = (k, run.wide_width)
    listing.append(goal(f"one thread, W = {run.wide_width:,} / W = {w:,} per wavelength",
                        ratio(ns(run, "1", "lamina", wide), ns(run, "1", "lamina", run.headline)),
                        GOALS["wide_over_headline"], larger=False))
    figures = memory_figures(run)
    listing.append((f"peak memory / need, W = {run.memory_case[1]:,}",
                    figures[2] if figures else None, None, None))
    listing.append(goal(f"W = {HANDOFF_POOLED[1]}, K = {HANDOFF_POOLED[0]}: pool / serial (median)",
                        handoff_ratio(run.handoff.get("all")), GOALS["handoff"], larger=False))
    listing.append(goal(f"the same with RAYON_NUM_THREADS=64",
                        handoff_ratio(run.handoff.get("64")), GOALS["handoff_64"], larger=False))
    return listing


# --------------------------------------------------------------------------- text


def fmt_ns(value):
    if value is None:
        return "—"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def fmt_x(value, digits=2):
    return "—" if value is None else f"{value:,.{digits}f}×"


def fmt_mb(value):
    return f"{value / 1e6:,.0f} MB"


def goal_line(name, value, target, met):
    shown = fmt_x(value)
    if target is None:
        return f"{name}: {shown} (reported)"
    verdict = "not measured" if met is None else ("met" if met else "NOT met")
    return f"{name}: {shown} (goal {target}) — {verdict}"


TABLE_COLUMNS = [
    ("K", lambda case, r: str(case[0])),
    ("W", lambda case, r: f"{case[1]:,}"),
    ("lamina, 1 thread", lambda case, r: fmt_ns(r["one"])),
    ("lamina, all", lambda case, r: fmt_ns(r["all"])),
    ("NumPy, tuned", lambda case, r: fmt_ns(r["tuned"])),
    ("NumPy, textbook", lambda case, r: fmt_ns(r["textbook"])),
    ("tmm", lambda case, r: fmt_ns(r["tmm"])),
    ("tmm-faster", lambda case, r: fmt_ns(r["tmm-faster"])),
    ("all vs tmm", lambda case, r: fmt_x(r["all vs tmm"], 0)),
    ("all vs tmm-faster", lambda case, r: fmt_x(r["all vs tmm-faster"], 1)),
    ("all vs tuned", lambda case, r: fmt_x(r["all vs tuned"], 1)),
    ("all vs textbook", lambda case, r: fmt_x(r["all vs textbook"], 1)),
    ("1 thread vs tuned", lambda case, r: fmt_x(r["one vs tuned"], 2)),
    ("2 threads / 1", lambda case, r: fmt_x(r["two over one"], 2)),
]

OLDER_COLUMNS = [
    ("K", lambda case, r: str(case[0])),
    ("W", lambda case, r: f"{case[1]:,}"),
    ("older, all", lambda case, r: fmt_ns(r["older all"])),
    ("this, all", lambda case, r: fmt_ns(r["all"])),
    ("speed-up, all", lambda case, r: fmt_x(r["speed-up all"], 2)),
    ("older, 1 thread", lambda case, r: fmt_ns(r["older one raw"])),
    ("this, 1 thread", lambda case, r: fmt_ns(r["one raw"])),
    ("speed-up, 1 thread", lambda case, r: fmt_x(r["speed-up one"], 2)),
]


def table(run, columns):
    lines = ["| " + " | ".join(name for name, _ in columns) + " |",
             "|" + "---:|" * len(columns)]
    for case in run.cases:
        figures = row(run, case)
        lines.append("| " + " | ".join(cell(case, figures) for _, cell in columns) + " |")
    return "\n".join(lines)


def extras(run):
    """The sentences under the table: floor, hand-off, memory, agreement."""
    parts = []
    k = run.headline[0]
    one, floor, divisions = floor_split(run)
    if floor:
        text = (f"C-library floor at K = {k} (W = {run.floor_width:,}; the kernel's calls, once per "
                f"wavelength for both polarisations, sincos): {fmt_ns(floor)} ns per wavelength, "
                f"lamina, 1 thread: {fmt_x(ratio(one, floor))} of it")
        if run.floor_pairs:
            count = len(run.floor_pairs)
            text += (f" (the median of {count} pair{'s' if count != 1 else ''} of one-thread calls and "
                     f"floor runs in alternation)")
        if divisions:
            text += (f"; the divisions the formulas prescribe take another {fmt_ns(divisions)} ns "
                     f"(floor and divisions together: {fmt_x(ratio(one, floor + divisions))})")
        old = run.floors[k].get("old_ns_per_wavelength")
        if old:
            text += f"; the call pattern of two full passes with separate sin and cos: {fmt_ns(old)} ns"
        parts.append(text)
    for label, name in (("all", "the default pool"), ("64", "64 threads")):
        value = handoff_ratio(run.handoff.get(label))
        if value is not None:
            parts.append(f"W = {HANDOFF_POOLED[1]}, K = {HANDOFF_POOLED[0]} on {name}: {value:.2f}× the "
                         f"serial time of W = {HANDOFF_SERIAL[1]} (scaled to 101)")
    figures = memory_figures(run)
    if figures:
        growth, need, value = figures
        excess = growth - need
        parts.append(f"peak memory of a W = {run.memory_case[1]:,}, K = {run.memory_case[0]} sweep: "
                     f"{value:.2f}× its inputs, Transfer list, spectra and kept values ({fmt_mb(growth)} "
                     f"against {fmt_mb(need)}; {fmt_mb(excess)} beyond)")
    agree = all(a["ok"] for a in run.agreement.values())
    names = "lamina, both NumPy TMMs, tmm and tmm-faster"
    parts.append(f"{names} agree to 1e-12" if agree else "agreement to 1e-12 FAILED")
    return "; ".join(parts) + "."


def console(run):
    """The full report for the terminal."""
    out = [f"\nns per wavelength (s and p, R and T); lamina all = {run.all_processors} threads; "
           f"tmm on {len(subset_indices(10**9))} wavelengths per case; rounds per case: "
           + ", ".join(f"K={m} W={w}: {n}" for (m, w), n in run.rounds.items()) + "\n",
           table(run, TABLE_COLUMNS)]
    raw = ", ".join(f"K={m} W={w:,}: {fmt_ns(row(run, (m, w))['one raw'])}" for m, w in run.cases)
    out.append(f"\nlamina, 1 thread, unscaled: {raw}")

    if run.floors:
        out.append(f"\nC-library floor (libm_floor, W = {run.floor_width:,}), ns per wavelength:")
        for media, floor in sorted(run.floors.items()):
            case = (media, run.floor_width)
            one = row(run, case)["one"] if case in run.cases else None
            out.append(
                f"  K = {media}: kernel calls {fmt_ns(floor.get('ns_per_wavelength'))} "
                f"({floor.get('calls_per_wavelength', 0):.0f} calls), divisions "
                f"{fmt_ns(floor.get('division_ns_per_wavelength'))} "
                f"({floor.get('divisions_per_wavelength', 0):.0f}), two passes with sin and cos "
                f"{fmt_ns(floor.get('old_ns_per_wavelength'))} "
                f"({floor.get('old_calls_per_wavelength', 0):.0f} calls); lamina, 1 thread: "
                f"{fmt_x(ratio(one, floor.get('ns_per_wavelength')))} of the calls")

    failures = {case: a for case, a in run.agreement.items() if not a["ok"]}
    largest = max((a["largest"] for a in run.agreement.values()), default=0.0)
    relative = [a["tmm_faster_relative"] for a in run.agreement.values()
                if a["tmm_faster_relative"] is not None]
    out.append("\nagreement (every pair; |a - b| <= 1e-12 + 1e-12·|b|; tmm-faster against lamina also "
               "1e-12 relative): " + ("all cases agree" if not failures else "DISAGREE: " + "; ".join(
                   f"K={m} W={w}: {', '.join(a['failures'])}" for (m, w), a in failures.items())))
    out.append(f"  largest absolute difference {largest:.1e}"
               + (f", tmm-faster vs lamina largest relative {max(relative):.1e}" if relative else ""))
    out.append("lamina, bits on every pool size: " + ("identical" if run.identical else "DIFFERENT"))
    if run.older_identical is not None:
        out.append(f"lamina against the build at {run.older}: bits "
                   + ("identical" if run.older_identical else "differ"))

    if run.handoff:
        out.append(f"\npool hand-off, K = {HANDOFF_POOLED[0]} (W = {HANDOFF_POOLED[1]} on the pool, "
                   f"W = {HANDOFF_SERIAL[1]} serially):")
        for label, h in run.handoff.items():
            out.append(f"  {label}: W=101 median {h['pooled_median'] * 1e6:.1f} µs "
                       f"(best {h['pooled_best'] * 1e6:.1f}), W=100 median {h['serial_median'] * 1e6:.1f} µs "
                       f"(best {h['serial_best'] * 1e6:.1f}); pool / serial {handoff_ratio(h):.2f}×")

    for which, memory in run.memory.items():
        growth, need, value = memory_figures(run, which)
        line = (f"\npeak memory ({which} build), K = {run.memory_case[0]}, W = {run.memory_case[1]:,}: "
                f"grew {fmt_mb(growth)} (ru_maxrss − RSS before); need {fmt_mb(need)} (inputs "
                f"{fmt_mb(memory['inputs'])} + Transfer list + spectra + kept values, at most "
                f"{run.reuse_budget / (1 << 20):g} MiB); {value:.2f}×; {fmt_mb(growth - need)} beyond the need")
        if memory.get("hwm") is not None:
            line += f"\n  cross-check: VmHWM reset before the sweep gives {fmt_mb(memory['hwm'] - memory['baseline'])}"
        out.append(line)

    if run.older:
        out.append(f"\nagainst the build at {run.older} (speed-up = older time / this time, each over "
                   "the NumPy tuned time of its own worker):\n")
        out.append(table(run, OLDER_COLUMNS))

    out.append(f"\ngoals (K = {run.headline[0]}, W = {run.headline[1]:,} unless said):")
    out.extend("  " + goal_line(*g) for g in goals(run))
    if run.quick:
        out.append("  (--quick: smaller stacks than the goals are stated for; a check that the scripts "
                   "work, not a measurement)")
    out.append(f"\nother processes: {run.interference}")
    return "\n".join(out)


def readme_block(run):
    """Markdown for the README's Performance section and benchmarks/README.md."""
    tmm_count = len(subset_indices(10**9))
    lines = [
        "```sh",
        "pip install '.[bench]'",
        "python benchmarks/compare.py",
        "```",
        "",
        f"lamina at commit {commit()} on {run.machine}. Nanoseconds per wavelength (both "
        "polarisations, R and T; lower is better); every contender timed interleaved, best call of "
        f"many rounds; `tmm` timed on {tmm_count} wavelengths per case; `tmm-faster` on all its "
        "OpenMP threads. NumPy, tuned: s and p stacked, one array per matrix entry; NumPy, textbook: "
        "per polarisation, (W, 2, 2) matrices multiplied with `@` (both in `benchmarks/numpy_tmm.py`). "
        "Ratios are peer time over lamina time; the 1-thread figures are measured beside NumPy tuned "
        "in a process of their own and scaled by it.",
        "",
        table(run, TABLE_COLUMNS),
        "",
        extras(run),
        "",
        f"Goals at K = {run.headline[0]}, W = {run.headline[1]:,} unless said:",
        "",
    ]
    lines.extend("- " + goal_line(*g) for g in goals(run))
    if run.older:
        lines += ["", f"Against an older build ({run.older}):", "", table(run, OLDER_COLUMNS)]
    return "\n".join(lines)
