# The native engine's Python face: complex amplitudes, derivatives and fields
# for batches of stacks.

# --- exact derivatives (axis 0: s, then p) ---
from typing import Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

def amplitude_derivatives(
    d: ArrayLike, n: ArrayLike, wl: ArrayLike, theta: ArrayLike
) -> Tuple[
    NDArray[np.complex128], NDArray[np.complex128], NDArray[np.complex128], NDArray[np.complex128]
]: ...
def power_jacobian(
    d: ArrayLike, n: ArrayLike, wl: ArrayLike, theta: ArrayLike, *, flux: bool = False
) -> Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def wavenumber_derivatives(
    d: ArrayLike,
    n: ArrayLike,
    wl: ArrayLike,
    theta: ArrayLike,
    *,
    dn_dwl: Optional[ArrayLike] = None,
    d2n_dwl2: Optional[ArrayLike] = None,
    phases: bool = False,
) -> Tuple[NDArray[np.generic], ...]: ...

# --- fields and absorption (axis 0: s, then p) ---
def fields(
    d: ArrayLike, n: ArrayLike, wl: ArrayLike, theta: ArrayLike, z: ArrayLike
) -> Tuple[NDArray[np.complex128], NDArray[np.complex128], NDArray[np.float64], NDArray[np.float64]]: ...
def absorbed(d: ArrayLike, n: ArrayLike, wl: ArrayLike, theta: ArrayLike) -> NDArray[np.float64]: ...
