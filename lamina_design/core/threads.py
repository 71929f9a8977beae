"""BLAS threads for the small dense problems of refinement.

SciPy's least-squares steps factor a Jacobian of a few hundred rows by tens of columns. On one
thread that takes about a millisecond; spread over OpenBLAS's threads on a machine whose
processors are busy it took a hundred, and refinement spent most of its time waiting for them.
Problems that small run their linear algebra on one thread when threadpoolctl is installed (it
comes with the design extra); without it nothing changes.
"""
from __future__ import annotations

import contextlib
import importlib
from typing import Iterator

__all__ = ["SMALL_PROBLEM", "small_linear_algebra"]

#: Jacobian elements up to which one thread factors faster than many.
SMALL_PROBLEM = 1 << 20


@contextlib.contextmanager
def small_linear_algebra(rows: int, columns: int) -> Iterator[None]:
    """Within: BLAS on one thread if a rows × columns Jacobian is small, else as configured."""
    if rows * columns > SMALL_PROBLEM:
        yield
        return
    try:
        threadpoolctl = importlib.import_module("threadpoolctl")
    except ImportError:
        yield
        return
    with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
        yield
