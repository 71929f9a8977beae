"""The classic views of a design: the admittance locus against closed forms and tmm, the index
profile's depths, colour swatches against the CIE whites and greys, and the PNGs of --view."""

from __future__ import annotations

import math

import numpy as np
import pytest

from design_stacks import GLASS, HIGH, LOW
from lamina_design.materials import Constant
from lamina_design.optics.admittance import admittance_locus, index_profile, iso_reflectance_circle
from lamina_design.stack import Layer, Stack

NH, NL, NS = 2.3, 1.46, 1.52
H, L, S = Constant(NH, "H"), Constant(NL, "L"), Constant(NS, "S")
WL = 600.0


def quarter(n, theta=0.0, n0=1.0):
    """A quarter-wave thickness at WL for the angle in the layer (Snell)."""
    return WL / (4.0 * n * math.sqrt(1.0 - (n0 * math.sin(theta) / n) ** 2))


def tilted(n, theta, pol, n0=1.0):
    cos = math.sqrt(1.0 - (n0 * math.sin(theta) / n) ** 2)
    return n * cos if pol == "s" else n / cos


@pytest.mark.parametrize("layers, expected", [
    ([NH], [NH**2 / NS, NS]),
    ([NH, NL], [(NH / NL) ** 2 * NS, NL**2 / NS, NS]),
    ([NH, NL] * 2, [(NH / NL) ** 4 * NS, NL**2 / NS * (NL / NH) ** 2, (NH / NL) ** 2 * NS, NL**2 / NS, NS]),
    ([NH, NL, NH], [(NH / NL) ** 2 * NH**2 / NS, NL**2 / NH**2 * NS, NH**2 / NS, NS]),
])
def test_quarter_waves_end_on_the_real_axis_at_their_closed_forms(layers, expected):
    stack = Stack(layers=tuple(Layer(Constant(n, f"n{n}"), quarter(n)) for n in layers), exit=S)
    locus = admittance_locus(stack, WL)
    np.testing.assert_allclose(locus.boundaries.real, expected, rtol=1e-12)
    np.testing.assert_allclose(locus.boundaries.imag, 0.0, atol=1e-12 * max(expected))
    # Each path runs from the face behind its layer to the face in front of it.
    for i, path in enumerate(locus.paths):
        assert path[0] == pytest.approx(locus.boundaries[i + 1], rel=1e-12)
        assert path[-1] == pytest.approx(locus.boundaries[i], rel=1e-12)


@pytest.mark.parametrize("pol", ["s", "p"])
def test_an_oblique_quarter_wave_ends_at_the_square_of_its_tilted_admittance(pol):
    theta = 0.6
    stack = Stack(layers=(Layer(H, quarter(NH, theta)),), exit=S)
    locus = admittance_locus(stack, WL, theta, pol)
    eta_h, eta_s = tilted(NH, theta, pol), tilted(NS, theta, pol)
    assert locus.incidence == pytest.approx(tilted(1.0, theta, pol), rel=1e-14)
    assert locus.boundaries[-1] == pytest.approx(eta_s, rel=1e-14)
    assert locus.admittance == pytest.approx(eta_h**2 / eta_s, rel=1e-12)


@pytest.mark.parametrize("theta, pol", [(0.0, "s"), (0.5, "s"), (0.5, "p")])
def test_a_half_wave_layer_is_absent(theta, pol):
    stack = Stack(layers=(Layer(L, 2 * quarter(NL, theta)), Layer(H, 2 * quarter(NH, theta))), exit=S)
    locus = admittance_locus(stack, WL, theta, pol)
    start = tilted(NS, theta, pol)
    for path in locus.paths:
        assert path[0] == pytest.approx(start, rel=1e-12) and path[-1] == pytest.approx(start, rel=1e-12)
    # The circle is traced once: it leaves its start.
    assert np.max(np.abs(locus.paths[1] - start)) > 0.5


def test_a_lossless_layer_traces_a_circle_centred_on_the_real_axis():
    # The clear layer starts from the complex admittance of an absorbing one; its circle passes
    # through Y and η²/Y*, so its centre is (|Y|² + η²) / (2 Re Y).
    stack = Stack(layers=(Layer(LOW, 140.0), Layer(HIGH, 55.0)), exit=GLASS)
    locus = admittance_locus(stack, WL)
    y = locus.boundaries[1]
    assert abs(y.imag) > 0.05
    centre = (abs(y) ** 2 + 1.46**2) / (2 * y.real)
    np.testing.assert_allclose(np.abs(locus.paths[0] - centre), abs(y - centre), rtol=1e-10)


@pytest.mark.parametrize("theta, pol", [(0.0, "s"), (0.7, "s"), (0.7, "p")])
def test_reflectance_from_the_final_admittance_is_tmm_s(theta, pol):
    tmm = pytest.importorskip("tmm")
    film = Constant(1.38 + 0.002j, "film")
    stack = Stack(layers=(Layer(HIGH, 80.0), Layer(film, 120.0), Layer(LOW, 33.0)), exit=GLASS)
    locus = admittance_locus(stack, WL, theta, pol)
    reference = tmm.coh_tmm(pol, [1.0, 2.3 + 0.01j, 1.38 + 0.002j, 1.46, 1.52], [np.inf, 80.0, 120.0, 33.0, np.inf],
                            theta, WL)
    assert locus.reflectance == pytest.approx(reference["R"], rel=1e-11)
    assert abs(locus.r) ** 2 == pytest.approx(float(stack.spectrum([WL], theta, pol).r[0]), rel=1e-11)


@pytest.mark.parametrize("eta0", [1.0, 1.33, 1.0 + 0.2j])
@pytest.mark.parametrize("level", [0.0, 0.04, 0.5, 0.9])
def test_iso_reflectance_circles_hold_admittances_of_that_reflectance(eta0, level):
    centre, radius = iso_reflectance_circle(eta0, level)
    y = centre + radius * np.exp(1j * np.linspace(0.0, 2 * math.pi, 37))
    np.testing.assert_allclose(np.abs((eta0 - y) / (eta0 + y)) ** 2, level, atol=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda s: admittance_locus(s, WL, 0.3, "unpolarised"), "'s' or 'p'"),
    (lambda s: admittance_locus(s, [500.0, 600.0]), "one wavelength"),
    (lambda s: admittance_locus(s, WL, samples=1), "samples"),
    (lambda s: admittance_locus(Stack(layers=(Layer(H, 10.0, coherent=False),)), WL), "layer 1 is incoherent"),
])
def test_admittance_locus_refusals_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call(Stack(layers=(Layer(H, 50.0),), exit=S))


def test_profile_depths_are_cumulative_physical_and_optical_thicknesses(plate):
    profile = index_profile(plate, 550.0)
    d = [80.0, 120.0, 1e5, 99.0]
    n = [1.0, 2.3 + 0.01j, 1.46, 1.52, 1.38 + 0.002j, 1.33]
    np.testing.assert_array_equal(profile.index, n)
    np.testing.assert_allclose(profile.boundaries_nm, [0, 80, 200, 200 + 1e5, 299 + 1e5], rtol=1e-15)
    optical = [0, 2.3 * 80, 2.3 * 80 + 1.46 * 120, 2.3 * 80 + 1.46 * 120 + 1.52e5,
               2.3 * 80 + 1.46 * 120 + 1.52e5 + 1.38 * 99]
    np.testing.assert_allclose(profile.optical_boundaries_nm, optical, rtol=1e-14)
    np.testing.assert_allclose(profile.optical_depth([-50.0, 40.0, 150.0, 299 + 1e5 + 10]),
                               [-50.0, 2.3 * 40, 2.3 * 80 + 1.46 * 70, optical[-1] + 13.3], rtol=1e-14)


MIRROR = Stack(exit=Constant(1000j, "perfect mirror"), name="mirror")
BARE = Stack(exit=Constant(1.52, "flat glass"), name="glass")


@pytest.mark.parametrize("stack, quantity, lab", [
    (MIRROR, "R", (100.0, 0.0, 0.0)),                        # the illuminant's white
    (MIRROR, "T", (0.0, 0.0, 0.0)),
    (Stack(), "T", (100.0, 0.0, 0.0)),
    (BARE, "R", (116.0 * ((0.52 / 2.52) ** 2) ** (1 / 3) - 16.0, 0.0, 0.0)),  # Y/Yn = R, CIE L*
])
def test_swatches_of_flat_spectra_are_neutral_with_the_cie_lightness(stack, quantity, lab):
    pytest.importorskip("matplotlib")
    from lamina_design.plotting import swatches

    (swatch,) = swatches(stack, quantities=[quantity])
    np.testing.assert_allclose(swatch.colour.Lab, lab, atol=2e-3)
    grey = swatch.colour.sRGB
    assert max(grey) - min(grey) < 2e-3
    if lab[0] == 100.0:
        np.testing.assert_allclose(grey, 1.0, atol=1e-3)


def test_swatches_come_per_stack_angle_and_quantity():
    pytest.importorskip("matplotlib")
    from lamina_design.plotting import swatches

    made = swatches([BARE, MIRROR], angles=[0.0, 0.5])
    assert [(s.label, s.angle_rad, s.quantity) for s in made] == [
        (name, a, q) for name in ("glass", "mirror") for a in (0.0, 0.5) for q in ("R", "T")]
    with pytest.raises(ValueError, match="quantities"):
        swatches(BARE, quantities=["A"])


def test_figures_draw_one_curve_per_layer_and_both_depth_axes(coating):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from lamina_design.plotting import plot_admittance, plot_field, plot_profile, plot_swatches, swatches

    for ax in (plot_admittance(admittance_locus(coating, WL), circles=[0.1, 0.5]),
               plot_admittance(coating, WL, 0.3, "p", circles=False)):
        labels = [line.get_label() for line in ax.lines]
        assert "1: high" in labels and "2: low" in labels
    with pytest.raises(ValueError, match="wavelength_nm"):
        plot_admittance(coating)
    ax = plot_field(coating, wavelength_nm=WL)
    assert ax.get_xlim()[0] < 0.0 < 200.0 < ax.get_xlim()[1]  # the coating and a margin either side
    fig = plot_profile(coating, WL, [0.0, 0.4])
    assert len(fig.axes) == 4  # physical and optical depth, each with its |E|² axis
    assert fig.axes[1].get_xlabel().startswith("optical")
    ax = plot_swatches([BARE, MIRROR])
    assert len(ax.patches) == 4
    # Two stacks of one name keep a row each.
    ax = plot_swatches([BARE, BARE], quantities=["R"])
    assert [t.get_text() for t in ax.get_yticklabels()] == ["glass (1), 0°", "glass (2), 0°"]
    computed = swatches(BARE)
    assert len(plot_swatches(computed).patches) == 2
    with pytest.raises(TypeError, match="quantities"):
        plot_swatches(computed, quantities=["R"])
    plt.close("all")


@pytest.mark.parametrize("view", ["admittance", "profile", "field", "swatch"])
def test_spectrum_view_writes_a_png(view, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from lamina_design.cli import main

    path = tmp_path / "pair.toml"
    path.write_text('exit = 1.52\n[[layer]]\nmaterial = 2.3\nthickness_nm = 65.2\n'
                    '[[layer]]\nmaterial = 1.46\nthickness_nm = 102.7\n'
                    '[spectrum]\nwavelength_nm = { start = 400, stop = 800, count = 41 }\nangle_deg = [0, 30]\n')
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--no-plot", "--view", f"{view}@600"]) == 0
    png = tmp_path / f"pair_{view}.png"
    assert str(png) in capsys.readouterr().out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_bad_view_is_named(tmp_path, capsys):
    from lamina_design.cli import main

    path = tmp_path / "pair.toml"
    path.write_text("exit = 1.52\n")
    for bad, shown in (("smith", "'smith'"), ("field@-3", "'-3'")):
        with pytest.raises(SystemExit):
            main(["spectrum", str(path), "--view", bad])
        err = capsys.readouterr().err
        assert "--view" in err and shown in err


@pytest.mark.parametrize("incidence, layers, exit_medium, theta", [
    (Constant(1.52, "glass"), ((1.38, 100.0), (2.3, 50.0)), Constant(1.0, "air"), 1.0),   # total reflection
    (Constant(1.0, "air"), ((1.46, 90.0), (0.05 + 4j, 40.0)), Constant(1.52, "glass"), 0.6),   # a metal
    (Constant(1.5 + 0.1j, "lossy"), ((1.46, 90.0),), Constant(1.52, "glass"), 0.3),  # complex in-plane index
])
@pytest.mark.parametrize("pol", ["s", "p"])
def test_the_locus_starts_at_the_exit_admittance_and_ends_at_the_engine_s_reflectance(incidence, layers,
                                                                                   exit_medium, theta, pol):
    stack = Stack(incidence, tuple(Layer(Constant(n, str(n)), d) for n, d in layers), exit=exit_medium)
    locus = admittance_locus(stack, WL, theta, pol)
    assert locus.paths[-1][0] == pytest.approx(locus.boundaries[-1], rel=1e-12, abs=1e-12)
    assert locus.reflectance == pytest.approx(float(stack.spectrum([WL], theta, pol).r[0]), rel=1e-10)


def test_the_profile_draws_the_media_of_its_window_as_flat_steps(plate):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from lamina_design.plotting import plot_profile

    # The window ends inside the 0.1 mm plate: its back layer and back medium stay out of sight.
    fig = plot_profile(plate, 550.0, depth_nm=np.linspace(-50.0, 400.0, 200))
    (line,) = [line for line in fig.axes[0].lines if line.get_label() == "n"]
    x, y = line.get_data()
    assert x[0] == -50.0 and x[-1] == 400.0
    np.testing.assert_array_equal(y[0::2], y[1::2])  # horizontal segments only
    assert list(y[0::2]) == [1.0, 2.3, 1.46, 1.52]
    plt.close(fig)


@pytest.mark.parametrize("pol", ["s", "p"])
def test_a_long_mirror_s_locus_costs_the_engine_work_linear_in_its_samples(pol, monkeypatch):
    from lamina_design import _engine
    from lamina_design.optics import admittance

    work = []
    amplitudes = _engine.amplitudes

    def counting(d, *args, **kwargs):
        work.append(np.asarray(d).size)  # rows × layers of the call
        return amplitudes(d, *args, **kwargs)

    monkeypatch.setattr(_engine, "amplitudes", counting)
    # The interfaces in blocks of 25, as thousands of layers would be.
    monkeypatch.setattr(admittance, "_BLOCK", 5000)
    # 200 layers away from their quarter-wave: deep in the stop band, Y nearly imaginary inside.
    stack = Stack(layers=(Layer(H, 65.2), Layer(L, 102.7)) * 100, exit=S)
    locus = admittance_locus(stack, WL, 0.5, pol, samples=101)
    assert sum(work) <= 200 * 200 + 2 * 200 * 101
    assert locus.reflectance == pytest.approx(float(stack.spectrum([WL], 0.5, pol).r[0]), rel=1e-12)
    for i, path in enumerate(locus.paths):
        assert path[0] == pytest.approx(locus.boundaries[i + 1], rel=1e-11)
        assert path[-1] == pytest.approx(locus.boundaries[i], rel=1e-11)


def test_a_view_the_design_cannot_have_is_a_located_usage_error(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from lamina_design.cli import main

    path = tmp_path / "thick.toml"
    path.write_text("exit = 1.52\n[[layer]]\nmaterial = 1.46\nthickness_nm = 1e5\ncoherent = false\n")
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--no-plot", "--view", "admittance@550"]) == 2
    err = capsys.readouterr().err
    assert str(path) in err and "admittance view at 550 nm" in err and "incoherent" in err
    assert not (tmp_path / "thick_admittance.png").exists()


def test_a_mirror_of_many_layers_has_one_legend_entry_per_material():
    from lamina_design.plotting import plot_admittance

    high, low = Constant(2.3, "high"), Constant(1.46, "low")
    mirror = Stack(Constant(1.0, "air"), tuple(Layer(high if i % 2 == 0 else low, 80.0) for i in range(30)),
                   exit=Constant(1.52, "glass"))
    ax = plot_admittance(mirror, 700.0, circles=False)
    entries = [text.get_text() for text in ax.get_legend().get_texts()]
    assert entries[:2] == ["low (layers 2, 4, … 30)", "high (layers 1, 3, … 29)"]
    assert len(entries) == 4  # and the exit medium and the coating's admittance
