"""Typing for the old path of :mod:`lamina_design.optimize.synthesis`, which the import system answers with that module."""
from lamina_design.optimize.synthesis import *  # noqa: F403
