"""lamina_design: coating design on top of the lamina engine.

Materials, stacks with thick incoherent substrates, figures of merit and
least-squares refinement. Every coherent computation goes through
``lamina.DataPy(...).simulate()``.
"""
from __future__ import annotations

__all__: list[str] = []
