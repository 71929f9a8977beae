"""Constructing and discarding many objects, successfully or not, leaves memory flat."""

import os
import resource

import numpy as np
import pytest

from lamina import DataPy

D = np.linspace(1.0, 2.0, 64)
N = np.ones((66, 64), complex)
N_STRIDED = np.ones((66, 128), complex)[:, ::2]
WL = np.linspace(400.0, 800.0, 64)

# Half the calls fail, each at a different stage: binding, array check, float
# conversion, the 2-D check of n (PanicException), a TypeError with a cause.
CALLS = [
    lambda: DataPy(D, N, WL, 0.1, 0.2),
    lambda: DataPy(D[::-1], N_STRIDED, WL, 0.1, 0.2),
    lambda: DataPy(D, N.T, WL, theta=0.1, phi=0.2),
    lambda: DataPy(D, N, WL, 0.1, 0.2).n,
    lambda: DataPy(D, N, WL, 0.1, 0.2, 0.3),
    lambda: DataPy(D, N, [1.0], 0.1, 0.2),
    lambda: DataPy(D, N, WL, "x", 0.2),
    lambda: DataPy(D, N[0], WL, 0.1, 0.2),
    lambda: DataPy(D, N, WL, 0.1, 0.2, bogus=1),
    lambda: DataPy(D.astype(np.float32), N, WL, 0.1, 0.2),
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def churn(rounds):
    for _ in range(rounds):
        for call in CALLS:
            try:
                call()
            except BaseException:  # PanicException included
                pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_datapy_churn_leaves_rss_flat(capfd):
    churn(1_000)  # warm-up: allocator pools, caches, NumPy binding
    before = resident_bytes()
    churn(9_000)  # 90,000 calls; each success copies ~70 KiB
    grown = resident_bytes() - before
    capfd.readouterr()  # the panics' diagnostics
    assert grown < 1024 * 1024, f"RSS grew by {grown} bytes"
