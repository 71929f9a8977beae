"""Constant media shared by the lamina_design tests (the stacks built from them are
fixtures in conftest.py)."""

from __future__ import annotations

from lamina_design.materials import Constant

AIR = Constant(1.0, "air")
GLASS = Constant(1.52, "glass")
HIGH = Constant(2.3 + 0.01j, "high")
LOW = Constant(1.46, "low")
FILM = Constant(1.38 + 0.002j, "film")
