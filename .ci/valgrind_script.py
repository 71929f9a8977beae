"""Every road through the module, a few times each, for valgrind's leak check.

Run as `python3 .ci/valgrind_script.py [rounds]` with PYTHONMALLOC=malloc under
valgrind. Each call's outcome is checked, so a run where every call fails the
same way cannot pass for a clean one.
"""

import sys

import numpy as np

import lamina
from lamina import DataPy

D = np.linspace(10.0, 90.0, 4)
N = np.full((6, 160), 1.5 + 0.01j)
N[0] = 1.0
WL = np.linspace(400.0, 800.0, 160)


class Broken:
    def __float__(self):
        raise ValueError("no float here")


class WrongType:
    def __float__(self):
        raise TypeError("not a number") from KeyError("cause")


def expect(kind, call):
    try:
        call()
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ != kind:
            raise AssertionError(f"expected {kind}, got {type(error).__name__}: {error}") from error
    else:
        if kind != "ok":
            raise AssertionError(f"expected {kind}, the call succeeded")


def one_round():
    good = DataPy(D, N, WL, 0.3, 0.7)
    serial = DataPy(D[::-1], N[:, :50].T.copy().T, WL[:50], theta=0.1, phi=0.2)
    for data in (good, serial):
        result = data.simulate()
        assert result.r.shape == result.t.shape == data.wl.shape
        assert data.n.shape == N[:, : data.wl.size].shape and data.d.size == 4
        assert isinstance(data.theta, float) and isinstance(data.phi, float)
    expect("ok", lambda: DataPy(np.zeros(0), np.zeros((2, 0), complex), np.zeros(0), 0, 0).simulate().r)
    # Constructions that fail at each check, then engine failures on both paths.
    expect("TypeError", lambda: DataPy(D, N, WL, 0.3, 0.7, 0.1))
    expect("TypeError", lambda: DataPy(D, N, WL, 0.3, phi=0.7, n=N))
    expect("TypeError", lambda: DataPy(D, N, WL, 0.3, 0.7, bogus=1))
    expect("TypeError", lambda: DataPy(list(D), N, WL, 0.3, 0.7))
    expect("TypeError", lambda: DataPy(D, N.real.copy(), WL, 0.3, 0.7))
    expect("TypeError", lambda: DataPy(D, N, WL.astype(">f8"), 0.3, 0.7))
    expect("TypeError", lambda: DataPy(D, N, WL, "0.3", 0.7))
    expect("TypeError", lambda: DataPy(D, N, WL, 0.3, WrongType()))
    expect("ValueError", lambda: DataPy(D, N, WL, Broken(), 0.7))
    expect("PanicException", lambda: DataPy(D, N[0], WL, 0.3, 0.7))
    expect("PanicException", DataPy(D, N[:, :159], WL, 0.3, 0.7).simulate)
    expect("PanicException", DataPy(D, N[:, :49], WL[:50], 0.3, 0.7).simulate)
    expect("PanicException", DataPy(D[:2], N, WL, 0.3, 0.7).simulate)
    expect("TypeError", lambda: lamina.Simulation())


if __name__ == "__main__":
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    for _ in range(rounds):
        one_round()
    print(f"valgrind script: {rounds} rounds done")
