"""Optical constants: models, tables and a catalogue of common coating materials.

Every material gives n + iκ (κ > 0 absorbs) at wavelengths in nm through `.index(...)`.
A wavelength outside a model's valid range warns with `RangeWarning`, and GD or GDD of a
linearly interpolated table with `DispersionWarning` (`fit_model` makes it smooth); a material that
cannot be built or evaluated raises `MaterialError`, naming it.
"""
from __future__ import annotations

from lamina_design.materials.base import (
    ComplexArray,
    Constant,
    DispersionWarning,
    FloatArray,
    Material,
    MaterialError,
    RangeWarning,
)
from lamina_design.materials.catalogue import aliases, get, names, resolve, table
from lamina_design.materials.dispersion import index_derivatives
from lamina_design.materials.fitting import Fit, fit_model
from lamina_design.materials.models import Bruggeman, Cauchy, DrudeLorentz, Sellmeier, TaucLorentz, TaucLorentzSum
from lamina_design.materials.refractiveindex import Formula, read_yaml
from lamina_design.materials.spline import Spline
from lamina_design.materials.tabulated import Combined, Tabulated, read_csv

__all__ = [
    "Bruggeman",
    "Cauchy",
    "Combined",
    "ComplexArray",
    "Constant",
    "DispersionWarning",
    "DrudeLorentz",
    "Fit",
    "FloatArray",
    "Formula",
    "Material",
    "MaterialError",
    "RangeWarning",
    "Sellmeier",
    "Spline",
    "Tabulated",
    "TaucLorentz",
    "TaucLorentzSum",
    "aliases",
    "fit_model",
    "get",
    "index_derivatives",
    "names",
    "read_csv",
    "read_yaml",
    "resolve",
    "table",
]
