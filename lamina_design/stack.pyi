"""Typing for the old path of :mod:`lamina_design.optics.stack`, which the import system answers with that module."""
from lamina_design.optics.stack import *  # noqa: F403
