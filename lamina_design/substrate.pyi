"""Typing for the old path of :mod:`lamina_design.optics.substrate`, which the import system answers with that module."""
from lamina_design.optics.substrate import *  # noqa: F403
