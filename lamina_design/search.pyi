"""Typing for the old path of :mod:`lamina_design.optimize.search`, which the import system answers with that module."""
from lamina_design.optimize.search import *  # noqa: F403
