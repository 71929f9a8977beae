"""Typing for the old path of :mod:`lamina_design.optics.incoherent`, which the import system answers with that module."""
from lamina_design.optics.incoherent import *  # noqa: F403
