"""Design and targets files in TOML: reading them with located errors, and writing them back.

The format is described in ``docs/design-files.md``. In short, a design file::

    name = "MgF2 on N-BK7"
    incidence = "air"                  # optional; "vacuum" (n = 1 exactly) if absent
    exit = "N-BK7"                     # a half-infinite exit medium, or a [substrate] table

    [[layer]]                          # top (incidence side) first
    material = "MgF2"                  # catalogue name, .csv/.yml file, "refractiveindex:…" or a number
    thickness_nm = 99.6
    coherent = false                   # optional: a thick layer added in power (default true)

    [spectrum]                         # optional: 400–800 nm in 401 points, 0°, unpolarised
    wavelength_nm = { start = 400, stop = 900, count = 501 }    # or a list
    angle_deg = 0                      # or a list of angles
    polarisation = "unpolarised"       # "s", "p" or a polarisation angle in degrees

A targets file has ``[[target]]`` tables and an optional ``[refine]`` table.

Every error names the file, the line and the key; so does every warning a material gives on the
design's wavelengths (:func:`material_warnings`).

The work is split by concern: :mod:`~lamina_design.io.locate` finds the line of every key,
:mod:`~lamina_design.io.read` reads and checks, :mod:`~lamina_design.io.write` writes back.
"""
from __future__ import annotations

from lamina_design.core.limits import MAX_DEPTH, MAX_EVALUATIONS, MAX_FILE_BYTES, MAX_LAYERS, MAX_POINTS
from lamina_design.io.read import (
    DEFAULT_WAVELENGTHS,
    Design,
    DesignFileError,
    RefineRequest,
    design_materials,
    load_design,
    load_targets,
    material_warnings,
)
from lamina_design.io.write import design_toml

__all__ = [
    "DEFAULT_WAVELENGTHS",
    "MAX_DEPTH",
    "MAX_EVALUATIONS",
    "MAX_FILE_BYTES",
    "MAX_LAYERS",
    "MAX_POINTS",
    "Design",
    "DesignFileError",
    "RefineRequest",
    "design_materials",
    "design_toml",
    "load_design",
    "load_targets",
    "material_warnings",
]
