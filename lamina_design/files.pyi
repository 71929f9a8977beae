"""Typing for the old path of :mod:`lamina_design.io.files`, which the import system answers with that module."""
from lamina_design.io.files import *  # noqa: F403
