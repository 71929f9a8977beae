"""Typing for the old path of :mod:`lamina_design.core.executor`, which the import system answers with that module."""
from lamina_design.core.executor import *  # noqa: F403
