"""Typing for the old path of :mod:`lamina_design.metrology.ellipsometry`, which the import system answers with that module."""
from lamina_design.metrology.ellipsometry import *  # noqa: F403
