"""Typing for the old path of :mod:`lamina_design.optics.fields`, which the import system answers with that module."""
from lamina_design.optics.fields import *  # noqa: F403
