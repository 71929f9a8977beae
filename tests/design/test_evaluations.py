"""Design loops evaluate each material once per wavelength grid, however many layers are made of it
and however many evaluations or samples the loop makes."""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("scipy")

from lamina_design.materials import Cauchy
from lamina_design.refine import Target, refine
from lamina_design.stack import Layer, Stack
from lamina_design.tolerance import Errors, tolerance

from design_stacks import AIR, GLASS


class Counted:
    """A material that records the grids it is evaluated on."""

    def __init__(self, material):
        self.material = material
        self.name = material.name
        self.grids = []

    def index(self, wavelength_nm):
        self.grids.append(np.array(wavelength_nm, copy=True))
        return self.material.index(wavelength_nm)


POWER = [Target("R", np.linspace(450.0, 650.0, 21), 0.0, 0.05),
         Target("T", [500.0, 560.0, 620.0], 1.0, 0.05, math.radians(30.0), "s")]
# Phase targets go through the amplitudes of the coherent front, on a grid of their own.
PHASES = [Target("phase_r", np.linspace(480.0, 620.0, 15), 150.0, 5.0, 0.0, "s"),
          Target("psi", [500.0, 550.0], 40.0, 1.0, math.radians(60.0))]


def run_tolerance(stack, targets):
    tolerance(stack, targets, Errors(thickness_rel=0.01, index_rel=0.01, angle_rad=0.01), 24, seed=3,
              executor="serial", chunk_size=5)


def run_refine(stack, targets):
    refine(stack, targets, max_nfev=6, progress=False)


@pytest.mark.parametrize("loop, targets", [(run_tolerance, POWER), (run_refine, POWER), (run_refine, PHASES)],
                         ids=["tolerance", "refine", "refine on phases"])
def test_each_material_is_evaluated_once_per_grid(loop, targets):
    high, low = Counted(Cauchy(2.2, 20000.0)), Counted(Cauchy(1.45, 3000.0))
    stack = Stack(AIR, tuple(Layer(m, d) for m, d in zip((high, low) * 6, np.linspace(60.0, 140.0, 12))), exit=GLASS)
    loop(stack, targets)
    grids = {tuple(t.arrays()[0]) for t in targets}
    for material in (high, low):
        seen = [tuple(g) for g in material.grids]
        assert sorted(seen) == sorted(grids), f"{material.name}: evaluated {len(seen)} times"


def test_a_monitoring_curve_evaluates_each_material_once_per_growing_layer():
    from lamina_design.monitoring import monitoring_curve

    high, low = Counted(Cauchy(2.2, 20000.0)), Counted(Cauchy(1.45, 3000.0))
    stack = Stack(AIR, tuple(Layer(m, d) for m, d in zip((high, low) * 2, [30.0, 50.0, 40.0, 60.0])), exit=GLASS)
    monitoring_curve(stack, 600.0, steps=10)
    for material in (high, low):
        assert all(np.array_equal(g, [600.0]) for g in material.grids)
        assert len(material.grids) <= len(stack.layers), f"{material.name}: evaluated {len(material.grids)} times"


@pytest.mark.parametrize("fitted", [None, {2: ("a",)}], ids=["thicknesses", "a film's index too"])
def test_an_ellipsometric_fit_evaluates_the_materials_it_does_not_fit_once(fitted):
    from lamina_design.ellipsometry import EllipsometryData, fit_ellipsometry, model

    oxide, silicon = Counted(Cauchy(1.46, 0.003)), Counted(Cauchy(3.7, 0.2))
    truth = Stack(layers=(Layer(oxide, 100.0), Layer(Cauchy(2.0, 0.01, name="film"), 50.0)), exit=silicon)
    wl, angle = (a.ravel() for a in np.meshgrid(np.linspace(450.0, 850.0, 21), [65.0, 70.0]))
    psi, delta = model(truth, wl, angle)
    data = EllipsometryData(wl, angle, psi, delta, np.full(wl.size, 0.05), np.full(wl.size, 0.1))
    oxide.grids.clear()
    silicon.grids.clear()
    start = Stack(layers=(Layer(oxide, 90.0), Layer(Cauchy(1.95, 0.01, name="film"), 55.0)), exit=silicon)
    fit_ellipsometry(start, data, materials=fitted, max_nfev=10)
    for material in (oxide, silicon):
        assert len(material.grids) == 1, f"{material.name}: evaluated {len(material.grids)} times"
