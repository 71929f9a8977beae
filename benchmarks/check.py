"""Checking: do the contenders agree, and does lamina give the same bits on every
pool size?

Every pair of contenders must agree on R and T within TOLERANCE absolute plus
TOLERANCE relative.  tmm-faster, which computes in C++ doubles like lamina, must
also agree with lamina in relative terms alone (see relative_allowance).  tmm covers a subset of
the wavelengths (contenders.subset_indices) and is compared there.
"""

import itertools

import numpy as np

from contenders import subset_indices

TOLERANCE = 1e-12


def largest_differences(a, b):
    """(largest absolute difference, largest relative difference to b)."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return np.inf, np.inf
    diff = np.abs(a - b)
    with np.errstate(divide="ignore", invalid="ignore"):
        relative = np.where(diff == 0, 0.0, diff / np.abs(b))
    if not diff.size:
        return 0.0, 0.0
    # NaN anywhere is a disagreement, not a difference of zero.
    return (float(np.max(diff)) if np.all(np.isfinite(diff)) else np.inf,
            float(np.max(relative)) if np.all(np.isfinite(relative)) else np.inf)


def within(a, b, absolute=TOLERANCE, relative=TOLERANCE):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= absolute + relative * np.abs(b)))


def bit_identical(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        a.view(np.uint8), b.view(np.uint8))


def agreement(results, width):
    """Check every pair of contenders' (R, T) on one stack.

    results: {name: (R, T)}, with "lamina" among them.  Returns a dict:
    ok (bool), largest (absolute difference over all pairs), failures (list of
    "a vs b: R|T" strings) and tmm_faster_relative (None when absent).
    """
    subset = subset_indices(width)

    def on_common(name_a, name_b, i):
        a, b = results[name_a][i], results[name_b][i]
        if name_a == "tmm":
            return a, b[subset]
        if name_b == "tmm":
            return a[subset], b
        return a, b

    largest, failures = 0.0, []
    for name_a, name_b in itertools.combinations(sorted(results), 2):
        for i, quantity in enumerate("RT"):
            a, b = on_common(name_a, name_b, i)
            largest = max(largest, largest_differences(a, b)[0])
            if not within(a, b):
                failures.append(f"{name_a} vs {name_b}: {quantity}")
    tmm_faster_relative = None
    if "tmm-faster" in results and "lamina" in results:
        tmm_faster_relative = 0.0
        for i, quantity in enumerate("RT"):
            relative = largest_differences(results["tmm-faster"][i], results["lamina"][i])[1]
            tmm_faster_relative = max(tmm_faster_relative, relative)
            if relative > relative_allowance(results, i):
                failures.append(f"tmm-faster vs lamina: {quantity} (relative)")
    return {"ok": not failures, "largest": largest, "failures": failures,
            "tmm_faster_relative": tmm_faster_relative}


def relative_allowance(results, i):
    """TOLERANCE, or twice NumPy tuned's own relative difference to lamina if that
    is larger.  Deep stacks amplify rounding where T is small (K = 50 and T near
    5e-3 reach about 1.1e-12 between two independent double-precision TMMs), so a
    peer is held to 1e-12 or to what an independent TMM shows on the same stack."""
    if "numpy tuned" not in results:
        return TOLERANCE
    numpy_relative = largest_differences(results["numpy tuned"][i], results["lamina"][i])[1]
    return max(TOLERANCE, 2.0 * numpy_relative)


def identical_across(spectra):
    """True when every (R, T) in the list has the bits of the first."""
    first = spectra[0]
    return all(bit_identical(r, first[0]) and bit_identical(t, first[1]) for r, t in spectra[1:])
