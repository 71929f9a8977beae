"""What a material is: anything that gives n + iκ (κ > 0 absorbs) at wavelengths in nm."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]


@runtime_checkable
class Material(Protocol):
    """A complex refractive index n + iκ at vacuum wavelengths in nanometres."""

    @property
    def name(self) -> str: ...

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        """n + iκ at every wavelength, same shape as the input; κ > 0 absorbs."""
        ...


@dataclass(frozen=True)
class Constant:
    """The same index at every wavelength."""

    value: complex
    name: str = "constant"

    def index(self, wavelength_nm: npt.ArrayLike) -> ComplexArray:
        wavelengths = np.asarray(wavelength_nm, dtype=np.float64)
        return np.full(wavelengths.shape, complex(self.value), dtype=np.complex128)
