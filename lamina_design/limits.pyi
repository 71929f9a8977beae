"""Typing for the old path of :mod:`lamina_design.core.limits`, which the import system answers with that module."""
from lamina_design.core.limits import *  # noqa: F403
