"""Reports of a design against its targets, checked on a quarter-wave film whose R has a closed
form, and as the command line prints and plots them."""
from __future__ import annotations

import math

import numpy as np
import pytest

from lamina_design.cli import main
from lamina_design.core.report import report
from lamina_design.core.targets import Target
from lamina_design.materials import Constant
from lamina_design.stack import Layer, Stack

N0, N1, NS, LAMBDA0 = 1.0, 1.38, 1.52, 550.0
BAND = np.linspace(450.0, 650.0, 21)
FILM = Stack(Constant(N0, "air"), (Layer(Constant(N1, "film"), LAMBDA0 / (4 * N1)),), exit=Constant(NS, "glass"))


def film_r(wl):
    """R of a lossless film at normal incidence (Airy summation of the two interfaces)."""
    r01, r12 = (N0 - N1) / (N0 + N1), (N1 - NS) / (N1 + NS)
    c = np.cos(4 * math.pi * N1 * (LAMBDA0 / (4 * N1)) / np.asarray(wl))
    return (r01**2 + r12**2 + 2 * r01 * r12 * c) / (1 + (r01 * r12) ** 2 + 2 * r01 * r12 * c)


R_QW = ((N0 * NS - N1**2) / (N0 * NS + N1**2)) ** 2  # at the quarter-wave wavelength


def via_tolerance(targets):
    pytest.importorskip("scipy")
    from lamina_design.tolerance import Errors, tolerance

    return tolerance(FILM, targets, Errors(thickness_rel=0.01), 4, executor="serial").report()


SOURCES = {"stack": lambda targets: report(targets, FILM), "tolerance": via_tolerance}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("kwargs, quantity_of, worst_at, wanted", [
    # R ≤ 2 %: met everywhere; the worst point is the highest R, at a band edge
    (dict(quantity="R", upper=0.02), film_r, np.argmax, "≤ 2 %"),
    # R ≤ 1.3 %: only the middle of the band is below
    (dict(quantity="R", upper=0.013), film_r, np.argmax, "≤ 1.3 %"),
    # T ≥ 98.7 % (lossless: T = 1 − R), the worst point the lowest T
    (dict(quantity="T", lower=0.987), lambda wl: 1 - film_r(wl), np.argmin, "≥ 98.7 %"),
    # R = 1.3 % ± 0.1 %: the worst point the furthest from 1.3 %
    (dict(quantity="R", value=0.013, tolerance=0.001), film_r, lambda r: np.argmax(np.abs(r - 0.013)),
     "1.3 ± 0.1 %"),
])
def test_a_quarter_wave_film_against_its_closed_form(source, kwargs, quantity_of, worst_at, wanted):
    target = Target(wavelength_nm=BAND, **kwargs)
    expected = quantity_of(BAND)
    row = SOURCES[source]([target])[0]
    k = int(worst_at(expected))
    assert (row.start_nm, row.stop_nm, row.angle_deg, row.points) == (450.0, 650.0, 0.0, 21)
    assert row.worst_nm == BAND[k]
    assert row.worst == pytest.approx(expected[k], rel=1e-9)
    assert row.mean == pytest.approx(expected.mean(), rel=1e-9)
    lower, upper = kwargs.get("lower", -1.0), kwargs.get("upper", 2.0)
    if "value" in kwargs:
        lower, upper = kwargs["value"] - kwargs["tolerance"], kwargs["value"] + kwargs["tolerance"]
    failing = int(np.count_nonzero((expected < lower) | (expected > upper)))
    assert row.failing == failing and row.passed == (failing == 0)
    assert row.wanted == wanted
    assert (row.margin > 0) == (failing > 0)
    assert row.excess == pytest.approx(max(expected[k] - upper, lower - expected[k]), abs=1e-12)


def test_the_quarter_wave_point_and_the_printed_table():
    targets = [Target("R", [LAMBDA0], value=R_QW, tolerance=1e-6),
               Target("R", BAND, upper=0.013, angle_rad=0.0, polarisation="s"),
               Target("T", [500.0, 600.0], lower=0.999)]
    result = report(targets, FILM)
    assert result[0].worst == pytest.approx(R_QW, rel=1e-12) and result[0].passed
    assert [row.passed for row in result] == [True, False, False] and not result.passed
    lines = str(result).splitlines()
    assert lines[0].endswith("1 of 3 met") and len(lines) == 3 + 3
    assert "450-650" in lines[4] and " s " in lines[4] and "FAIL" in lines[4]
    assert repr(result) == str(result)


# -- the command line --------------------------------------------------------------------------
DESIGN = f"""name = "quarter wave"
exit = {NS}
[[layer]]
material = {N1}
thickness_nm = {LAMBDA0 / (4 * N1)!r}
[spectrum]
wavelength_nm = {{ start = 400, stop = 800, count = 81 }}
"""
TARGETS = """[[target]]
quantity = "R"
wavelength_nm = { start = 450, stop = 650, count = 21 }
max = 0.013
tolerance = 0.001
"""


def files(tmp_path):
    (tmp_path / "d.toml").write_text(DESIGN)
    (tmp_path / "t.toml").write_text(TARGETS)
    return str(tmp_path / "d.toml"), str(tmp_path / "t.toml")


def test_tolerance_prints_the_nominal_design_against_its_targets(tmp_path, capsys):
    pytest.importorskip("scipy")
    design, targets = files(tmp_path)
    assert main(["tolerance", design, targets, "--thickness-rel", "0.01", "--samples", "8", "--workers", "1",
                 "--out", str(tmp_path), "--no-plot"]) == 0
    out = capsys.readouterr().out
    assert "nominal design against the targets: 0 of 1 met" in out
    row = next(line for line in out.splitlines() if line.startswith("1  R"))
    failing = int(np.count_nonzero(film_r(BAND) > 0.013))
    over = 100 * (film_r(BAND).max() - 0.013)  # how far the worst point is above the bound, in %
    assert f"{100 * film_r(BAND).max():.4g} %" in row and f"FAIL ({failing}/21 points, {over:.2g} % out)" in row


@pytest.mark.parametrize("command", [["refine"], ["synthesize", "--max-layers", "3"]])
def test_refine_and_synthesize_report_on_the_targets_band(tmp_path, capsys, monkeypatch, command):
    pytest.importorskip("scipy")
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    saved = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, *args, **kwargs: saved.append(fig))
    design, targets = files(tmp_path)
    main([command[0], design, targets, "--out", str(tmp_path)] + command[1:])
    out = capsys.readouterr().out
    assert "design against the targets" in out
    # The summary covers the targets' 450-650 nm, not the 400-800 nm sweep.
    assert "41 wavelengths 450-650 nm" in out and "400-800 nm" not in out
    r_axis = saved[0].get_axes()[0]
    bound = [line for line in r_axis.get_lines() if line.get_label() == "target"]
    assert len(bound) == 1
    np.testing.assert_allclose(bound[0].get_xdata(), BAND)
    np.testing.assert_allclose(bound[0].get_ydata(), 1.3)
    shaded = [p.get_extents() for p in r_axis.patches]
    assert len(shaded) == 1
