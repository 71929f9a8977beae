"""Figures of stacks and their results, one module per family (needs matplotlib).

``optics``: the admittance locus, the index profile with |E|², the field against depth;
``colour``: reflected and transmitted colour swatches. A result never draws itself here: each
function takes a Stack or a computed result and returns the axes or figure it drew on.
"""
from __future__ import annotations

from lamina_design.plotting.colour import Swatch, plot_swatches, swatches
from lamina_design.plotting.optics import plot_admittance, plot_field, plot_profile

__all__ = ["Swatch", "plot_admittance", "plot_field", "plot_profile", "plot_swatches", "swatches"]
