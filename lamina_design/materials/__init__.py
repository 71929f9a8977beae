"""Optical constants: models, tables and a catalogue of common coating materials."""
from __future__ import annotations

from lamina_design.materials.base import ComplexArray, Constant, FloatArray, Material

__all__ = ["ComplexArray", "Constant", "FloatArray", "Material"]
