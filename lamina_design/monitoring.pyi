"""Typing for the old path of :mod:`lamina_design.production.monitoring`, which the import system answers with that module."""
from lamina_design.production.monitoring import *  # noqa: F403
