"""Typing for the old path of :mod:`lamina_design.core.checks`, which the import system answers with that module."""
from lamina_design.core.checks import *  # noqa: F403
