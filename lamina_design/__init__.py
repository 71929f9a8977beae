"""lamina_design: coating design on top of the lamina engine.

Materials, stacks with thick incoherent substrates, figures of merit and
least-squares refinement. Every coherent computation goes through
``lamina.DataPy(...).simulate()``.

``lamina_design.refine`` and the ``lamina-design`` command need the ``design`` extra
(``pip install 'lamina[design]'``); the rest needs only NumPy.
"""
from __future__ import annotations

import pkgutil

# The native engine (_engine) lives in the installed package; a source checkout
# ahead of the installation on sys.path finds it there as well.
__path__ = pkgutil.extend_path(__path__, __name__)

from lamina_design import materials, merit
from lamina_design.stack import Layer, Spectrum, Stack
from lamina_design.substrate import Substrate

__all__ = ["Layer", "Spectrum", "Stack", "Substrate", "materials", "merit"]
