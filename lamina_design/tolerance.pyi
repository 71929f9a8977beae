"""Typing for the old path of :mod:`lamina_design.production.tolerance`, which the import system answers with that module."""
from lamina_design.production.tolerance import *  # noqa: F403
