"""The lamina-design command on the example files, and its errors for bad files."""

from __future__ import annotations

import csv
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from lamina_design.cli import DesignFileError, load_design, load_targets, main

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "design"
DESIGNS = sorted(p.name for p in EXAMPLES.glob("*.toml") if "targets" not in p.name)


def read_csv(path):
    with path.open() as handle:
        rows = list(csv.reader(handle))
    return rows[0], np.array(rows[1:], dtype=float)


@pytest.mark.parametrize("name", DESIGNS)
def test_spectrum_writes_the_stack_spectra(name, tmp_path, capsys):
    assert main(["spectrum", str(EXAMPLES / name), "--out", str(tmp_path)]) == 0
    design = load_design(EXAMPLES / name)
    header, table = read_csv(tmp_path / name.replace(".toml", ".csv"))
    assert header[0] == "wavelength_nm" and len(header) == 1 + 3 * len(design.angles_deg)
    np.testing.assert_array_equal(table[:, 0], design.wavelength_nm)
    for k, angle in enumerate(design.angles_deg):
        expected = design.stack.spectrum(design.wavelength_nm, math.radians(angle), design.polarisation)
        np.testing.assert_array_equal(table[:, 1 + 3 * k], expected.r)  # repr round-trips exactly
        np.testing.assert_array_equal(table[:, 2 + 3 * k], expected.t)
    png = tmp_path / name.replace(".toml", ".png")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "---" in capsys.readouterr().out


def test_refine_improves_the_example_and_writes_a_loadable_design(tmp_path, capsys):
    pytest.importorskip("scipy")
    code = main(["refine", str(EXAMPLES / "ar_plate.toml"), str(EXAMPLES / "ar_targets.toml"),
                 "--out", str(tmp_path), "--no-plot"])
    assert code == 0
    refined = load_design(tmp_path / "ar_plate_refined.toml")
    start = load_design(EXAMPLES / "ar_plate.toml")
    band = np.linspace(430.0, 670.0, 25)
    assert refined.stack.spectrum(band).r.mean() < 0.01 < start.stack.spectrum(band).r.mean()
    assert [l.material.name for l in refined.stack.all_layers()] == [l.material.name for l in start.stack.all_layers()]
    assert not (tmp_path / "ar_plate_refined.png").exists()
    assert "lamina calls" in capsys.readouterr().out


GOOD = """name = "film"
exit = "N-BK7"

[[layer]]
material = "MgF2"
thickness_nm = 100.0

[[layer]]
material = "TiO2"
thickness_nm = 50.0

[spectrum]
wavelength_nm = [500, 600]
"""


@pytest.mark.parametrize(
    "old, new, line, message",
    [
        ("thickness_nm = 50.0", "thickness_nm = -50.0", 10, r"layer\[2\]\.thickness_nm: thickness must be"),
        ('material = "TiO2"', 'material = "unobtainium"', 9, r"layer\[2\]\.material: .*unobtainium"),
        ('material = "TiO2"', 'material = "missing.csv"', 9, r"layer\[2\]\.material: .*no such file"),
        ('material = "TiO2"', "material = true", 9, r"layer\[2\]\.material: must be"),
        ('material = "TiO2"', "colour = 1", 9, r"layer\[2\]\.colour: unknown key"),
        ("thickness_nm = 100.0", 'thickness_nm = "thick"', 6, r"layer\[1\]\.thickness_nm: must be a number"),
        ("wavelength_nm = [500, 600]", "wavelength_nm = []", 13, "empty"),
        ("wavelength_nm = [500, 600]", "wavelength_nm = { start = 400, stop = 500, count = 0 }", 13,
         r"spectrum\.wavelength_nm\.count"),
        ("wavelength_nm = [500, 600]", "wavelength_nm = { start = 400, stop = 500, count = inf }", 13,
         r"spectrum\.wavelength_nm\.count: must be a whole number"),
        ("wavelength_nm = [500, 600]", "wavelength_nm = { start = 400, stop = 500, count = nan }", 13,
         r"spectrum\.wavelength_nm\.count: must be a whole number"),
        ("wavelength_nm = [500, 600]", "wavelength_nm = [500, 600]\nangle_deg = 90", 14, r"\[0, 90\)"),
        ("wavelength_nm = [500, 600]", 'wavelength_nm = [500, 600]\npolarisation = "circular"', 14, "polarisation"),
        ('exit = "N-BK7"', 'exit = "N-BK7"\n[substrate]\nmaterial = "N-BK7"\nthickness_mm = 1', 2, "not both"),
        ('exit = "N-BK7"', '[substrate]\nmaterial = "N-BK7"', 2, "exactly one of thickness_mm"),
        ("thickness_nm = 50.0", "thickness_nm = 50.0 50", 10, r"invalid TOML: .*line 10"),
    ],
)
def test_bad_design_files_name_line_and_key(tmp_path, old, new, line, message, capsys):
    path = tmp_path / "bad.toml"
    assert old in GOOD
    path.write_text(GOOD.replace(old, new, 1))
    with pytest.raises(DesignFileError, match=message) as caught:
        load_design(path)
    assert str(caught.value).startswith(f"{path}:{line}:")
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--no-plot"]) == 2
    assert "lamina-design: error:" in capsys.readouterr().err
    assert not (tmp_path / "bad.csv").exists()


@pytest.mark.parametrize(
    "text, line, message",
    [
        ('[[target]]\nquantity = "Q"\nwavelength_nm = [500]\nvalue = 0\n', 2, r"target\[1\]\.quantity"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500, 600]\nvalue = [0, 1, 2]\n', 4, "one number per"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = 0\ntolerance = 0\n', 5, "> 0"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\n', 1, r"target\[1\]\.value: missing"),
        ('[refine]\nvary = [1]\n', None, "no \\[\\[target\\]\\] tables"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = nan\n', 4, r"target\[1\]\.value: must be finite"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500, 600]\nvalue = 0\ntolerance = [0.1, inf]\n', 5,
         r"target\[1\]\.tolerance: must be finite"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = 0\n[refine]\nmax_evaluations = inf\n', 6,
         r"refine\.max_evaluations: must be a whole number"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = 0\n[refine]\nvary = [3]\n', 6, "layer 3 does not"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = 0\n[refine]\nvary = [2, 2]\n', 6, "listed twice"),
        ('[[target]]\nquantity = "R"\nwavelength_nm = [500]\nvalue = 0\n[refine]\nvary = []\n', 6, "no layers"),
    ],
)
def test_bad_targets_files(tmp_path, text, line, message):
    pytest.importorskip("scipy")
    path = tmp_path / "targets.toml"
    path.write_text(text)
    with pytest.raises(DesignFileError, match=message) as caught:
        load_targets(path, layer_count=2)
    assert str(caught.value).startswith(f"{path}:{line}:" if line else f"{path}: ")


def test_missing_file_is_an_error_not_a_traceback(tmp_path, capsys):
    assert main(["spectrum", str(tmp_path / "none.toml")]) == 2
    assert "cannot read" in capsys.readouterr().err


# -- what a person reads -------------------------------------------------------------------------
def test_refine_stopped_by_its_budget_says_so_and_exits_3(tmp_path, capsys):
    pytest.importorskip("scipy")
    targets = tmp_path / "targets.toml"
    targets.write_text((EXAMPLES / "ar_targets.toml").read_text().replace("max_evaluations = 1000",
                                                                          "max_evaluations = 3"))
    assert main(["refine", str(EXAMPLES / "ar_plate.toml"), str(targets), "--out", str(tmp_path), "--no-plot"]) == 3
    assert "not converged" in capsys.readouterr().err
    load_design(tmp_path / "ar_plate_refined.toml")  # the best so far is still written


def test_tables_count_align_and_never_print_negative_zero(tmp_path, capsys):
    pytest.importorskip("scipy")
    long_name = "a-tabulated-film-with-a-long-name"
    (tmp_path / f"{long_name}.csv").write_text("wavelength_nm,n\n300,1.38\n900,1.38\n")
    (tmp_path / "one.toml").write_text(f'exit = "N-BK7"\n[[layer]]\nmaterial = "{long_name}.csv"\n'
                                       "thickness_nm = 90\n[spectrum]\nwavelength_nm = [500, 600]\n")
    (tmp_path / "targets.toml").write_text('[[target]]\nquantity = "R"\nwavelength_nm = [550]\nvalue = 0\n')
    assert main(["spectrum", str(EXAMPLES / "bragg_mirror.toml"), "--out", str(tmp_path), "--no-plot"]) == 0
    assert main(["refine", str(tmp_path / "one.toml"), str(tmp_path / "targets.toml"), "--out", str(tmp_path),
                 "--no-plot"]) == 0
    out = capsys.readouterr().out
    assert "-0.0" not in out
    assert "one: 1 layer, 2 wavelengths" in out
    rows = out[out.index("layer  material"):].splitlines()[:3]
    assert long_name in rows[2]
    assert len({len(row) for row in rows}) == 1  # every column lines up


def _figures(monkeypatch):
    """The figures write_plot saves, kept open for inspection."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    saved = []
    real = Figure.savefig
    monkeypatch.setattr(Figure, "savefig", lambda self, *a, **k: (saved.append(self), real(self, *a, **k))[1])
    return saved


@pytest.mark.parametrize("name, options, panels", [
    ("bragg_mirror.toml", [], ["R (%)", "T (%)"]),
    ("bragg_mirror.toml", ["--log", "--band", "600", "700"], ["R (%)", "T (%)"]),
    ("metal.toml", [], ["R (%)", "T (%)", "A (%)"]),
])
def test_plots_show_percentages_and_a_only_when_light_is_absorbed(tmp_path, monkeypatch, name, options, panels):
    saved = _figures(monkeypatch)
    path = EXAMPLES / name
    if name == "metal.toml":
        path = tmp_path / name
        path.write_text('exit = "N-BK7"\n[[layer]]\nmaterial = "Ag"\nthickness_nm = 20\n'
                        "[spectrum]\nwavelength_nm = { start = 400, stop = 800, count = 81 }\n")
    assert main(["spectrum", str(path), "--out", str(tmp_path)] + options) == 0
    (figure,) = saved
    axes = figure.get_axes()
    assert [ax.get_ylabel() for ax in axes] == panels
    design = load_design(path)
    result = design.stack.spectrum(design.wavelength_nm, 0.0, design.polarisation)
    wl, r_percent = (np.asarray(v) for v in axes[0].get_lines()[0].get_data())
    np.testing.assert_allclose(r_percent, 100 * np.interp(wl, design.wavelength_nm, result.r), rtol=1e-12)
    if "--band" in options:
        assert wl.min() >= 600 and wl.max() <= 700 and axes[0].get_xlim() == (600, 700)
    assert axes[0].get_yscale() == ("log" if "--log" in options else "linear")


def test_help_and_version_lead_to_the_file_reference(capsys):
    for argv in (["--help"], ["spectrum", "--help"], ["refine", "--help"]):
        with pytest.raises(SystemExit) as stop:
            main(argv)
        assert stop.value.code == 0
        text = capsys.readouterr().out
        assert "docs/design-files.md" in text and "exit status" in text and "3  refine stopped" in text
    assert "design file (TOML)" in text and "targets file (TOML)" in text
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("lamina-design ")


def test_the_file_reference_names_every_key_the_reader_accepts(tmp_path):
    docs = (EXAMPLES.parents[1] / "docs" / "design-files.md").read_text(encoding="utf-8")
    probes = {"design": ["zz = 1\n", "[[layer]]\nzz = 1\n", "[substrate]\nzz = 1\n", "[spectrum]\nzz = 1\n",
                         "[spectrum]\nwavelength_nm = { zz = 1 }\n"],
              "targets": ["[[target]]\nzz = 1\n", "[[target]]\nquantity='R'\nwavelength_nm=[500]\nvalue=0\n"
                                                  "[refine]\nzz = 1\n"]}
    keys = set()
    for kind, texts in probes.items():
        for text in texts:
            path = tmp_path / "probe.toml"
            path.write_text(text)
            with pytest.raises(DesignFileError, match="unknown key") as caught:
                load_design(path) if kind == "design" else load_targets(path, 1)
            keys.update(k.strip() for k in str(caught.value).split("expected")[1].split(":")[-1].split(","))
    assert {"thickness_mm", "back_medium", "max_evaluations", "count"} <= keys
    for key in keys:
        assert f"`{key}`" in docs, key


@pytest.mark.parametrize("command", ["spectrum", "refine"])
def test_range_warnings_name_the_layer_and_the_line_of_the_design(tmp_path, capsys, command):
    path = tmp_path / "uv.toml"
    path.write_text('exit = "N-BK7"\n[[layer]]\nmaterial = "MgF2"\nthickness_nm = 90\n[[layer]]\nmaterial = "SiO2"\n'
                    "thickness_nm = 90\n[spectrum]\nwavelength_nm = [400, 500]\n")
    targets = tmp_path / "targets.toml"
    targets.write_text('[[target]]\nquantity = "R"\nwavelength_nm = [200, 300]\nvalue = 0\n')
    argv = [command, str(path)] + ([str(targets)] if command == "refine" else [])
    if command == "spectrum":
        path.write_text(path.read_text().replace("[400, 500]", "[200, 500]"))
    else:
        pytest.importorskip("scipy")
    assert main(argv + ["--out", str(tmp_path), "--no-plot"]) in (0, 3)
    err = capsys.readouterr().err.splitlines()
    located = [line for line in err if line.startswith(f"lamina-design: warning: {path}:6: layer[2].material: ")]
    assert located and "SiO2" in located[0], err
    assert command == "spectrum" or f"target[1] at {targets}:1" in located[0]
    assert not any(".py:" in line for line in err)


def test_spectrum_phase_columns_carry_psi_delta_and_delays(tmp_path):
    tmm = pytest.importorskip("tmm")
    path = tmp_path / "film.toml"
    path.write_text(GOOD.replace("wavelength_nm = [500, 600]", "wavelength_nm = [500, 600]\nangle_deg = [0, 60]"))
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--no-plot", "--phase"]) == 0
    header, table = read_csv(tmp_path / "film.csv")
    assert len(header) == 1 + 2 * (3 + 14)
    design = load_design(path)
    n_of = lambda m, lam: complex(m.index(np.array([lam]))[0])  # noqa: E731
    for i, lam in enumerate(design.wavelength_nm):
        media = [design.stack.incidence, *(l.material for l in design.stack.layers), design.stack.exit]
        n, d = [n_of(m, lam) for m in media], [np.inf, 100.0, 50.0, np.inf]
        e = tmm.ellips(n, d, math.radians(60), lam)
        assert table[i, header.index("psi_deg@60deg")] == pytest.approx(math.degrees(e["psi"]), abs=1e-9)
        assert table[i, header.index("delta_deg@60deg")] == pytest.approx(math.degrees(e["Delta"]), abs=1e-9)
        r_p = tmm.coh_tmm("p", n, d, math.radians(60), lam)["r"]
        assert table[i, header.index("phase_r_p_deg@60deg")] == pytest.approx(math.degrees(np.angle(r_p)), abs=1e-9)
    # A thin stack delays by a fraction of a femtosecond; GD of t ≈ optical path / c.
    gd_t = table[:, header.index("GD_t_s_fs@0deg")]
    assert np.all((gd_t > 0.3) & (gd_t < 1.0))


NEW_TARGETS = """[[target]]
quantity = "GDD_r"
wavelength_nm = [500, 600]
value = -10.0
tolerance = 2.0
polarisation = "p"
angle_deg = 20

[[target]]
quantity = "delta"
wavelength_nm = [500]
value = 120
angle_deg = 70

[[target]]
quantity = "colour"
wavelength_nm = { start = 380, stop = 780, count = 41 }
lab = [50, 1, -2]
of = "T"
illuminant = "A"
"""


@pytest.mark.parametrize(
    "old, new, line, message",
    [
        (None, None, None, None),
        ("lab = [50, 1, -2]", "lab = [50, 1]", 18, r"target\[3\]\.lab: must be three numbers"),
        ("lab = [50, 1, -2]", "value = 1", 18, r"target\[3\]\.value: a colour target takes lab"),
        ('of = "T"', 'of = "A"', 19, r"target\[3\]\.of: must be 'R' or 'T'"),
        ('polarisation = "p"', 'polarisation = "unpolarised"', 1, r"target\[1\]: a GDD_r target needs polarisation"),
        ("value = 120", "value = 120\nlab = [1, 2, 3]", 13, r"target\[2\]\.lab: belongs to colour targets only"),
        ('quantity = "delta"', 'quantity = "Delta"', 10, r"target\[2\]\.quantity: must be one of"),
    ],
)
def test_targets_files_take_phase_ellipsometric_and_colour_targets(tmp_path, old, new, line, message):
    pytest.importorskip("scipy")
    from lamina_design.refine import ColourTarget, Target

    path = tmp_path / "targets.toml"
    path.write_text(NEW_TARGETS if old is None else NEW_TARGETS.replace(old, new, 1))
    if old is None:
        gdd, delta, colour = load_targets(path, layer_count=2).targets
        assert isinstance(gdd, Target) and gdd.quantity == "GDD_r" and gdd.polarisation == "p"
        assert gdd.angle_rad == pytest.approx(math.radians(20)) and list(gdd.value) == [-10.0, -10.0]
        assert delta.quantity == "delta" and list(delta.tolerance) == [0.01]
        assert isinstance(colour, ColourTarget) and colour.quantity == "T" and colour.lab == (50.0, 1.0, -2.0)
        assert colour.illuminant == "A" and list(colour.tolerance) == [1.0, 1.0, 1.0]
        return
    with pytest.raises(DesignFileError, match=message) as caught:
        load_targets(path, layer_count=2)
    assert str(caught.value).startswith(f"{path}:{line}:")


INCOHERENT = """name = "cover"
exit = 1.5

[[layer]]
material = 2.0
thickness_nm = 90.0
[[layer]]
material = 1.45
thickness_nm = 5e4
coherent = false
[[layer]]
material = 2.3
thickness_nm = 60.0

"""


def test_incoherent_layers_in_files_survive_refinement_output(tmp_path):
    from lamina_design.files import design_toml

    path = tmp_path / "cover.toml"
    path.write_text(INCOHERENT)
    design = load_design(path)
    assert [layer.coherent for layer in design.stack.layers] == [True, False, True]
    again = tmp_path / "again.toml"
    again.write_text(design_toml(design.data, [91.0, 6e4, 61.0]))
    assert [layer.coherent for layer in load_design(again).stack.layers] == [True, False, True]
    path.write_text(INCOHERENT.replace("coherent = false", 'coherent = "no"'))
    with pytest.raises(DesignFileError, match=r":10: layer\[2\]\.coherent: must be true or false"):
        load_design(path)


def test_field_option_writes_the_standing_wave_in_front_of_a_mirror(tmp_path, capsys):
    # Air on a half-space of index 2 at normal incidence: |E|² = |1 + r e^(−2ikz)|² in front of it.
    path = tmp_path / "half.toml"
    path.write_text('exit = 2.0\n[spectrum]\nwavelength_nm = [500, 600]\npolarisation = "s"\n')
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--field", "550", "--depth", "-400", "100"]) == 0
    header, table = read_csv(tmp_path / "half_field.csv")
    assert header == ["depth_nm", "E2", "absorption_per_nm"]
    z = table[:, 0]
    assert z[0] == -400.0 and z[-1] == 100.0
    r = (1 - 2.0) / (1 + 2.0)
    front = z < 0
    np.testing.assert_allclose(table[front, 1], 1 + r**2 + 2 * r * np.cos(4 * math.pi * z[front] / 550.0),
                               rtol=1e-12)
    np.testing.assert_allclose(table[~front, 1], (1 + r) ** 2, rtol=1e-12)
    assert "half_field.png" in capsys.readouterr().out
    if (tmp_path / "half_field.png").exists():
        assert (tmp_path / "half_field.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(SystemExit):
        main(["spectrum", str(path), "--depth", "0", "10"])
    assert "--field" in capsys.readouterr().err



def run_cli(args, code="from lamina_design.cli import main; raise SystemExit(main(sys.argv[1:]))",
            reader_closed=False, buffered=True):
    """The command in a fresh interpreter on this checkout; with reader_closed, stdout is a pipe
    whose reading end is gone before the command writes anything."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    process = subprocess.Popen([sys.executable, "-c", "import sys; " + code, *args], cwd=EXAMPLES.parents[1],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if reader_closed:
        process.stdout.close()
        _, err = process.communicate(timeout=120)
        return process.returncode, "", err
    out, err = process.communicate(timeout=120)
    return process.returncode, out, err


# Buffered, the write fails only at the final flush; unbuffered, at the first print.
@pytest.mark.parametrize("buffered", [True, False])
@pytest.mark.parametrize("args", [
    ["spectrum", "bragg_mirror.toml", "--no-plot"],
    ["refine", "ar_plate.toml", "ar_targets.toml", "--no-plot"],
    ["--help"],
])
def test_a_closed_stdout_ends_the_command_quietly(args, buffered, tmp_path):
    if args[0] == "refine":
        pytest.importorskip("scipy")
    args = [str(EXAMPLES / a) if a.endswith(".toml") else a for a in args]
    if args[0] != "--help":
        args += ["--out", str(tmp_path)]
    status, _, err = run_cli(args, reader_closed=True, buffered=buffered)
    assert err == ""
    # argparse itself ignores a failed write of the help
    assert status in ((0, 1) if args == ["--help"] else (1,))


def test_version_without_an_installed_distribution():
    hide = ("import importlib.metadata as m\n"
            "def missing(name): raise m.PackageNotFoundError(name)\n"
            "m.version = missing\n"
            "from lamina_design.cli import main; main(['--version'])")
    assert run_cli([], code=hide) == (0, "lamina-design 0.1.0\n", "")


# -- options: the message blames what was typed, and counts are capped before any work -------------
TARGETS = '[[target]]\nquantity = "R"\nwavelength_nm = [500, 600]\nvalue = 0\n'


@pytest.mark.parametrize("args, option, shown", [
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--seed", "-1"], "--seed", "-1"),
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--max-merit", "-1"], "--max-merit", "-1"),
    (["synthesize", "D", "T", "--min-thickness", "nan"], "--min-thickness", "nan"),
    (["monitor", "D", "--wavelength", "550", "--angle-deg", "95"], "--angle-deg", "95"),
    (["monitor", "D", "--wavelength", "550", "--angle-deg", "89.9999"], "--angle-deg", "89.9999"),
    (["synthesize", "D", "T", "--max-layers", "20000"], "--max-layers", "20000"),
])
def test_a_bad_option_is_named_with_its_value_not_blamed_on_a_file(tmp_path, capsys, args, option, shown):
    (tmp_path / "d.toml").write_text(GOOD)
    (tmp_path / "t.toml").write_text(TARGETS)
    files = {"D": str(tmp_path / "d.toml"), "T": str(tmp_path / "t.toml")}
    with pytest.raises(SystemExit) as caught:
        main([files.get(a, a) for a in args] + ["--out", str(tmp_path), "--no-plot"])
    assert caught.value.code == 2
    error = capsys.readouterr().err.splitlines()[-1]
    assert f"argument {option}: " in error and repr(shown) in error
    assert "toml" not in error and "rad" not in error


def run_bounded(args, seconds):
    """The command in a fresh interpreter, killed if it outlives `seconds`: (status, stderr)."""
    process = subprocess.Popen([sys.executable, "-m", "lamina_design.cli", *args], cwd=EXAMPLES.parents[1],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        _, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        pytest.fail(f"{args} still running after {seconds} s")
    return process.returncode, err


@pytest.mark.parametrize("args, option", [
    (["monitor", "D", "--wavelength", "550", "--steps", "100000000"], "--steps"),
    (["monitor", "D", "--wavelength", "550", "--steps", "1000000000000"], "--steps"),
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--samples", "1000000000000"], "--samples"),
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--workers", "1000000"], "--workers"),
    (["synthesize", "D", "T", "--workers", "1000000"], "--workers"),
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--samples", "10000000", "--chunk", "1"], "--chunk"),
])
def test_counts_beyond_their_limits_are_refused_before_the_work(tmp_path, args, option):
    (tmp_path / "d.toml").write_text(GOOD)
    (tmp_path / "t.toml").write_text(TARGETS)
    files = {"D": str(tmp_path / "d.toml"), "T": str(tmp_path / "t.toml")}
    status, err = run_bounded([files.get(a, a) for a in args] + ["--out", str(tmp_path), "--no-plot"], 60)
    assert status == 2
    assert (f"argument {option}: at most " in err or f"error: {option} 1: cuts" in err) and "Traceback" not in err


def test_depth_takes_negative_numbers_in_any_notation(tmp_path):
    path = tmp_path / "half.toml"
    path.write_text('exit = 2.0\n[spectrum]\nwavelength_nm = [550]\n')
    assert main(["spectrum", str(path), "--out", str(tmp_path), "--no-plot", "--field", "550",
                 "--depth", "-1e3", "-2.5E2"]) == 0
    _, table = read_csv(tmp_path / "half_field.csv")
    assert table[0, 0] == -1000.0 and table[-1, 0] == -250.0


@pytest.mark.parametrize("args, last", [
    (["tolerance", "D", "T", "--thickness-rel", "0.01", "--samples", "8", "--chunk", "2", "--workers", "1"],
     "8/8 samples"),
    (["monitor", "D", "--wavelength", "550", "--steps", "5"], "2/2 layers"),
])
def test_progress_bars_end_on_their_full_count_and_a_new_line(tmp_path, capsys, args, last):
    pytest.importorskip("scipy")
    (tmp_path / "d.toml").write_text(GOOD)
    (tmp_path / "t.toml").write_text(TARGETS)
    files = {"D": str(tmp_path / "d.toml"), "T": str(tmp_path / "t.toml")}
    assert main([files.get(a, a) for a in args] + ["--progress", "--out", str(tmp_path), "--no-plot"]) == 0
    err = capsys.readouterr().err
    # Drawn faster than the bar's refresh, the last count still shows, full, before the new line.
    assert err.endswith("\n") and err.rstrip("\n").split("\r")[-1].endswith(f"[{'#' * 30}] {last}")


def test_time_budget_and_growth_options_reach_synthesis(tmp_path, capsys):
    pytest.importorskip("scipy")
    design, targets = EXAMPLES / "needle_start.toml", EXAMPLES / "ar_targets.toml"
    args = ["synthesize", str(design), str(targets), "--out", str(tmp_path), "--no-plot"]
    assert main(args + ["--time-budget", "0.001"]) == 0
    assert "time budget of 0.001 s ran out" in capsys.readouterr().out
    assert main(args + ["--method", "gradual", "--grow", "none"]) == 2
    assert "--grow none" in capsys.readouterr().err
    with pytest.raises(SystemExit, match="2"):
        main(args + ["--time-budget", "0"])
    assert "--time-budget" in capsys.readouterr().err
