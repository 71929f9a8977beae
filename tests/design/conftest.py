"""Fixtures of the lamina_design tests: small stacks of constant media."""

from __future__ import annotations

import pytest

from design_stacks import AIR, FILM, GLASS, HIGH, LOW
from lamina_design.materials import Constant
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate


@pytest.fixture
def coating() -> Stack:
    """Two absorbing-and-clear layers on a half-infinite glass."""
    return Stack(AIR, (Layer(HIGH, 80.0), Layer(LOW, 120.0)), exit=GLASS)


@pytest.fixture
def plate() -> Stack:
    """The same coating on a 0.1 mm plate with a coated back side in water."""
    back = (Layer(FILM, 99.0),)
    return Stack(AIR, (Layer(HIGH, 80.0), Layer(LOW, 120.0)),
                 substrate=Substrate(GLASS, 1e5, back, Constant(1.33, "water")))
