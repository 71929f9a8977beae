"""lamina_design: coating design on top of the lamina engine.

Materials, stacks with thick incoherent substrates, figures of merit and
least-squares refinement (``refine``), and beside them ``optics`` (phases, Ψ and
Δ, group delay and GDD), ``ellipsometry`` (fits to Ψ and Δ), ``fields`` (fields
and absorbed power inside a stack), ``incoherent`` (thick layers anywhere in a
stack), ``tolerance`` (yield under deposition errors), ``monitoring`` (the
signal while layers grow), ``synthesis`` (needle optimisation and gradual
evolution), ``search`` (global searches) and ``executor`` (batches over
processes or a cluster). ``optics.admittance`` traces the admittance locus and the
index profile; ``plotting`` draws them, the field and colour swatches (matplotlib).

Plain spectra go through ``lamina.DataPy(...).simulate()``; batches of stacks
(complex amplitudes, exact derivatives of R and T, fields) go through
``lamina_design.engine``, the documented face of the native ``_engine``, on lamina's worker
pool. Every optimiser's result speaks SciPy's vocabulary (``lamina_design.results``).

``refine``, ``ellipsometry``, ``tolerance``, ``synthesis``, ``search`` and the
``lamina-design`` command need the ``design`` extra (``pip install 'lamina[design]'``);
the rest needs only NumPy.
"""
from __future__ import annotations

import pkgutil
from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _distribution_version

# The native engine (_engine) lives in the installed package; a source checkout
# ahead of the installation on sys.path finds it there as well.
__path__ = pkgutil.extend_path(__path__, __name__)

try:
    __version__: str = _distribution_version("lamina")
except PackageNotFoundError:  # a source checkout that was never installed
    __version__ = "0.1.0"

from lamina_design.core import aliases

# The modules of the flat layout answer to their old names (lamina_design.refine, …).
aliases.install()

from lamina_design import materials, merit  # noqa: E402
from lamina_design.optics.stack import Layer, Spectrum, Stack  # noqa: E402
from lamina_design.optics.substrate import Substrate  # noqa: E402

__all__ = ["Layer", "Spectrum", "Stack", "Substrate", "materials", "merit"]
