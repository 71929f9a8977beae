"""Reprs a person can read: names, thicknesses and ranges, never the arrays behind them."""

from __future__ import annotations

import re

import numpy as np
import pytest

from lamina_design import materials
from lamina_design.materials import Cauchy, Constant, Sellmeier, Tabulated, read_csv
from lamina_design.refine import Target, refine
from lamina_design.stack import Layer, Stack
from lamina_design.substrate import Substrate

from design_stacks import GLASS, HIGH, LOW

TABLES = [name for name in materials.names() if isinstance(materials.get(name), Tabulated)]


@pytest.mark.parametrize("name", TABLES)
def test_a_catalogue_table_prints_as_its_name_and_range(name):
    table = materials.get(name)
    text = repr(table)
    assert len(text) < 200 and repr(name) in text
    lo, hi = table.wavelength_nm[0], table.wavelength_nm[-1]
    assert f"{lo:g}–{hi:g} nm" in text


def test_a_csv_table_prints_short(tmp_path):
    path = tmp_path / "film.csv"
    wl = np.linspace(300.0, 1200.0, 5000)
    np.savetxt(path, np.column_stack([wl, 1.5 + 0 * wl, 1e-4 + 0 * wl]), delimiter=",",
               header="wavelength_nm,n,k", comments="")
    text = repr(read_csv(path))
    assert len(text) < 200 and "'film'" in text and "300–1200 nm" in text and "5000 points" in text


@pytest.mark.parametrize("model, parts", [
    (Cauchy(1.45, 0.0036, name="silica"), ["Cauchy('silica'", "a=1.45", "b=0.0036"]),
    (Sellmeier(((1.03961212, 0.00600069867),), "glass", (300.0, 2500.0)),
     ["Sellmeier('glass'", "(1.03961, 0.0060007)", "300–2500 nm"]),
    (Constant(2.3 + 0.01j, "high"), ["Constant('high'", "(2.3+0.01j)"]),
    (materials.get("Ag"), ["DrudeLorentz('Ag'", "<5 terms>"]),
])
def test_models_print_their_name_and_parameters(model, parts):
    text = repr(model)
    assert len(text) < 150
    for part in parts:
        assert part in text


def test_a_stack_prints_as_a_layer_table():
    stack = Stack(layers=(Layer(HIGH, 80.0), Layer(LOW, 120.5), Layer(GLASS, 2e4, coherent=False)),
                  exit=Constant(1.33, "water"), name="demo")
    lines = repr(stack).splitlines()
    assert lines[0] == "Stack('demo', 3 layers, 20200.50 nm)"
    rows = [re.split(r"\s{2,}", line.strip()) for line in lines[1:]]
    assert rows == [["incidence", "vacuum"], ["1", "high", "80.00 nm"], ["2", "low", "120.50 nm"],
                    ["3", "glass", "20000.00 nm", "incoherent"], ["exit", "water"]]
    assert repr(stack.layers[1]) == "Layer(low, 120.50 nm)"


def test_a_plate_prints_its_substrate_and_back_layers(plate):
    text = repr(plate)
    assert re.search(r"substrate\s+glass\s+100000\.00 nm\s+incoherent", text)
    assert re.search(r"\n  3\s+film\s+99\.00 nm\n  exit\s+water$", text)
    assert repr(plate.substrate) == "Substrate(glass, 100000.00 nm, back layers [Layer(film, 99.00 nm)], back medium water)"


def test_results_and_spectra_stay_short_on_a_long_grid(coating):
    wl = np.linspace(400.0, 800.0, 10_000)
    spectrum = coating.spectrum(wl)
    assert len(repr(spectrum)) < 300 and "float64[10000] 400…800" in repr(spectrum)
    result = refine(coating, [Target("R", wl, 0.0, 0.01)], max_nfev=3)
    text = repr(result)
    assert len(text) < 1000 and len(text.splitlines()) < 25
    assert "float64[10000]" in text and "float64[10000×2]" in text
