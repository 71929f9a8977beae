"""Typing for the old path of :mod:`lamina_design.optimize.refine`, which the import system answers with that module."""
from lamina_design.optimize.refine import *  # noqa: F403
