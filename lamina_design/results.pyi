"""Typing for the old path of :mod:`lamina_design.core.results`, which the import system answers with that module."""
from lamina_design.core.results import *  # noqa: F403
