"""Reflectance and transmittance spectra of planar thin-film stacks (transfer-matrix method).

Describe one stack and one spectral sweep with :class:`DataPy`, then call
:meth:`DataPy.simulate` for a :class:`Simulation` holding the spectra::

    import numpy as np, lamina
    wl = np.linspace(400.0, 800.0, 2001)                 # nm
    n = np.array([[1.0], [1.38], [1.52]], dtype=complex) * np.ones(wl.size)
    d = np.array([550.0 / (4 * 1.38)])                   # nm, same unit as wl
    spectra = lamina.DataPy(d, n, wl, 0.0, 0.0).simulate()
    spectra.r, spectra.t                                 # float64 arrays, one value per wavelength

Conventions: the refractive index is n + iκ with κ > 0 absorbing; row 0 of ``n`` is the
incidence medium and the last row the exit medium, both half-infinite; ``theta`` is the angle of
incidence in the incidence medium in radians; ``phi`` sends the power fraction cos²φ into s and
sin²φ into p polarisation (φ = π/4 is unpolarised light); ``d`` and ``wl`` share one unit of
length.

Internal failures, such as arrays whose shapes do not fit together, raise ``PanicException``,
which derives from BaseException (not Exception) and is not an attribute of this module; catch it
as BaseException or recognise it by ``type(e).__name__ == "PanicException"``.
"""

from typing import NoReturn, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["DataPy", "Simulation"]

@final
class DataPy:
    """One thin-film stack and one spectral sweep, ready to simulate.

    The constructor copies the three arrays; later changes to the caller's arrays do not reach
    the object, and every attribute read returns a fresh copy. Instances are immutable, cannot
    be pickled, weak-referenced or given new attributes, and the class cannot be subclassed.
    """

    def __new__(
        cls,
        d: NDArray[np.float64],
        n: NDArray[np.complex128],
        wl: NDArray[np.float64],
        theta: SupportsFloat | SupportsIndex,
        phi: SupportsFloat | SupportsIndex,
    ) -> DataPy:
        """Describe a stack of K media swept over W wavelengths.

        Args:
            d: thicknesses of the K − 2 inner layers, from the incidence side down; 1-D
                float64 (native byte order), same unit of length as ``wl``. Extra entries are
                ignored.
            n: complex refractive index of every medium at every wavelength; 2-D complex128 of
                shape (K, W) or wider: element [j, i] is medium j at ``wl[i]``. Row 0 is the
                incidence medium, row K − 1 the exit medium. K ≥ 2.
            wl: the W wavelengths of the sweep; 1-D float64.
            theta: angle of incidence in the incidence medium, radians.
            phi: polarisation angle, radians: cos²φ of the power is s-, sin²φ p-polarised.

        Raises:
            TypeError: an array of another type, dtype or byte order (no conversion is made), or
                an angle that cannot be converted to float. The message names the argument.
            PanicException: ``n`` is not two-dimensional (raised after all arguments are checked).

        Shapes are checked against each other only by :meth:`simulate`. Any contiguous or
        strided array is accepted and copied.
        """

    @property
    def d(self) -> NDArray[np.float64]:
        """Layer thicknesses: a new C-contiguous float64 copy at every access."""

    @property
    def n(self) -> NDArray[np.complex128]:
        """Refractive indices, shape (K, W): a new complex128 copy at every access, Fortran-ordered
        when the array given to the constructor was, else C-ordered."""

    @property
    def wl(self) -> NDArray[np.float64]:
        """Wavelengths: a new C-contiguous float64 copy at every access."""

    @property
    def theta(self) -> float:
        """Angle of incidence in the incidence medium, radians."""

    @property
    def phi(self) -> float:
        """Polarisation angle, radians: cos²φ of the incident power is s-, sin²φ p-polarised."""

    def simulate(self) -> Simulation:
        """Compute the reflectance and transmittance spectra of the stack.

        Sweeps of more than 100 wavelengths run on a pool of worker threads (sized by the
        environment variable RAYON_NUM_THREADS, else by the CPUs available) while the calling
        thread waits, holding the interpreter lock. The results do not depend on the number of
        threads.

        Raises:
            PanicException: "ndarray: index out of bounds" when the shapes do not fit together:
                fewer than two rows in ``n``, fewer columns in ``n`` than entries in ``wl``, or
                fewer than K − 2 entries in ``d``. The object stays usable.
        """

@final
class Simulation:
    """The spectra computed by :meth:`DataPy.simulate`; it cannot be constructed from Python.

    Both attributes are float64 arrays with one entry per wavelength, in the order of ``wl``. The
    object shares nothing with the DataPy that produced it and outlives it freely.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError("No constructor defined for Simulation"): use DataPy.simulate()."""

    @property
    def r(self) -> NDArray[np.float64]:
        """Reflectance: the reflected fraction of the incident power, weighted cos²φ s + sin²φ p.
        A new C-contiguous copy at every access."""

    @property
    def t(self) -> NDArray[np.float64]:
        """Transmittance: |t|² · Re(n_exit cos θ_exit / (n_0 cos θ)), weighted like ``r``: the
        fraction of the incident power carried into a lossless exit medium. With lossless incidence
        and exit media, 1 − R − T is the power absorbed in the layers. A new C-contiguous copy at
        every access."""
