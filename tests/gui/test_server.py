"""The designer's server as the page meets it: the token, the websocket's numbers, coalescing,
the checks on edits and files, refinement with progress and cancel. No browser needed."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES, NEEDED, TOKEN
from lamina_design.core.targets import Target
from lamina_design.io.files import load_design
from lamina_design.optimize.refine import refine

pytestmark = [pytest.mark.browser, pytest.mark.heavy]

for _module in NEEDED:
    pytest.importorskip(_module)

websockets_exceptions = pytest.importorskip("websockets.exceptions")


def status_of(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read()


def engine_spectrum(stack, design, angle_deg=None, polarisation=None):
    """R, T, A of `stack` over the design's grid, by the Python API."""
    angle = design.angles_deg[0] if angle_deg is None else angle_deg
    s = stack.spectrum(design.wavelength_nm, math.radians(angle),
                       design.polarisation if polarisation is None else polarisation)
    return s.r, s.t, s.a


def assert_same_spectrum(message, r, t, a):
    np.testing.assert_array_equal(np.array(message["R"]), r)
    np.testing.assert_array_equal(np.array(message["T"]), t)
    np.testing.assert_array_equal(np.array(message["A"]), a)


# -- the token --------------------------------------------------------------------------------
@pytest.mark.parametrize("path", ["/", "/static/app.js", "/static/plotly.min.js", "/static/nothing"])
@pytest.mark.parametrize("query", ["", "?token=", "?token=wrong", f"?token={TOKEN[:-1]}", f"?tok={TOKEN}"])
def test_requests_without_the_token_are_refused(serve, path, query):
    server = serve()
    code, body = status_of(server.base + path + query)
    assert code == 403
    assert b"token" in body


def test_the_page_and_its_scripts_come_with_the_token(serve):
    import plotly

    server = serve()
    code, page = status_of(server.page)
    assert code == 200 and b"<title>lamina designer</title>" in page
    # The page loads nothing from another host.
    assert b"http://" not in page and b"https://" not in page
    code, script = status_of(f"{server.base}/static/plotly.min.js?token={TOKEN}")
    wheel = Path(plotly.__file__).parent / "package_data" / "plotly.min.js"
    assert code == 200 and script == wheel.read_bytes()
    assert status_of(f"{server.base}/static/app.js?token={TOKEN}")[0] == 200


@pytest.mark.parametrize("url_token, origin", [("", None), ("wrong", None), (TOKEN, "http://evil.example")])
def test_websocket_without_the_token_or_from_another_origin_is_refused(serve, url_token, origin):
    server = serve()
    from websockets.sync.client import connect

    headers = {"Origin": origin} if origin else None
    with pytest.raises(websockets_exceptions.InvalidStatus) as caught:
        connect(f"ws://127.0.0.1:{server.port}/ws?token={url_token}", additional_headers=headers, open_timeout=10)
    assert caught.value.response.status_code == 403


# -- spectra ----------------------------------------------------------------------------------
@pytest.mark.parametrize("name", ["mgf2_on_bk7.toml", "ar_plate.toml", "bragg_mirror.toml"])
def test_websocket_spectrum_is_the_engines(serve, name):
    design = load_design(EXAMPLES / name)
    page = serve(EXAMPLES / name).connect()
    hello = page.wait("hello")
    assert [layer["thickness_nm"] for layer in hello["design"]["layers"]] == \
        [layer.thickness_nm for layer in design.stack.layers]
    assert_same_spectrum(page.wait("spectrum"), *engine_spectrum(design.stack, design))
    # A thickness edit: the answer is the edited stack's spectrum, to the last bit.
    doc = hello["design"]
    doc["layers"][0]["thickness_nm"] = 123.25
    page.send(type="design", seq=1, design=doc)
    reply = page.wait("spectrum", seq=1)
    d = design.stack.thicknesses()
    d[0] = 123.25
    assert_same_spectrum(reply, *engine_spectrum(design.stack.with_thicknesses(d), design))
    page.close()


def test_structural_edits_follow_the_python_api(serve, coating):
    design = load_design(coating)
    page = serve(coating).connect()
    doc = page.wait("hello")["design"]
    doc["layers"] = [{"material": "TiO2", "thickness_nm": 60.0, "coherent": True},
                     {"material": 1.38, "thickness_nm": 99.0, "coherent": True}]
    doc["exit"] = "fused_silica"
    doc["wavelength"] = {"start": 450, "stop": 650, "count": 51}
    doc["angle_deg"] = 30
    doc["polarisation"] = "p"
    page.send(type="design", seq=7, design=doc)
    reply = page.wait("spectrum", seq=7)
    from lamina_design import materials
    from lamina_design.optics.stack import Layer, Stack

    stack = Stack(design.stack.incidence, (Layer(materials.get("TiO2"), 60.0), Layer(materials.Constant(1.38), 99.0)),
                  exit=materials.get("fused_silica"))
    s = stack.spectrum(np.linspace(450, 650, 51), math.radians(30), "p")
    np.testing.assert_array_equal(reply["wavelength_nm"], np.linspace(450, 650, 51))
    assert_same_spectrum(reply, s.r, s.t, s.a)


def test_a_burst_of_edits_is_computed_once_for_the_latest(serve, tmp_path):
    layers = "".join(f'[[layer]]\nmaterial = "{"TiO2" if i % 2 else "SiO2"}"\nthickness_nm = {80 + i}\n' for i in range(30))
    path = tmp_path / "thirty.toml"
    path.write_text(f'exit = "N-BK7"\n{layers}[spectrum]\nwavelength_nm = {{ start = 400, stop = 900, count = 20000 }}\n')
    design = load_design(path)
    page = serve(path).connect()
    doc = page.wait("hello")["design"]
    page.wait("spectrum")
    edits = 25
    for seq in range(1, edits + 1):
        doc["layers"][3]["thickness_nm"] = 50.0 + seq
        page.send(type="design", seq=seq, design=doc)
    last = page.wait("spectrum", seq=edits)
    answered = [m["seq"] for m in page.seen if m["type"] == "spectrum" and m["seq"] is not None]
    # Stale edits are dropped, not queued: far fewer computations than edits, in order.
    assert answered == sorted(answered) and len(answered) < edits / 2
    d = design.stack.thicknesses()
    d[3] = 50.0 + edits
    assert_same_spectrum(last, *engine_spectrum(design.stack.with_thicknesses(d), design))


def test_tabs_have_their_own_sessions(serve, coating):
    server = serve(coating)
    first, second = server.connect(), server.connect()
    doc = first.wait("hello")["design"]
    second.wait("hello")
    start = second.wait("spectrum")
    doc["layers"][0]["thickness_nm"] = 10.0
    first.send(type="design", seq=1, design=doc)
    first.wait("spectrum", seq=1)
    second.send(type="save_design", name="second.toml")
    second.wait("saved")
    assert load_design(server.workdir / "second.toml").stack.layers[0].thickness_nm == 99.6
    assert not np.array_equal(start["R"], first.seen[-1]["R"])


# -- edits that cannot be used ----------------------------------------------------------------
def edited(doc, path, value):
    out = {**doc, "layers": [dict(layer) for layer in doc["layers"]], "wavelength": dict(doc["wavelength"])}
    node = out
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value
    return out


@pytest.mark.parametrize("path, value, words", [
    (("layers", 0, "thickness_nm"), -5.0, "layer 1 thickness must be ≥ 0"),
    (("layers", 0, "thickness_nm"), "thick", "layer 1 thickness must be a finite number"),
    (("layers", 0, "material"), "Unobtainium", "not in the catalogue"),
    (("layers", 0, "material"), "/etc/passwd.csv", "material files are named in the design file"),
    (("layers", 0, "material"), "refractiveindex:main/SiO2/Malitson", "material files are named"),
    (("layers", 0, "material"), -1.5, "finite and > 0"),
    (("layers", 0, "coherent"), "yes", "coherent must be true or false"),
    (("wavelength", "count"), 10**6, "wavelength count must be a whole number from 1 to 20000"),
    (("wavelength", "start"), -400, "wavelengths must be finite and > 0"),
    (("angle_deg",), 95, "angles of incidence must lie in [0, 90)"),
    (("polarisation",), "circular", "polarisation must be"),
    (("layers",), [{"material": "SiO2", "thickness_nm": 1.0, "coherent": True}] * 1001, "at most 1000"),
])
def test_unusable_edits_are_reported_and_the_session_goes_on(serve, coating, path, value, words):
    page = serve(coating).connect()
    doc = page.wait("hello")["design"]
    good = page.wait("spectrum")
    page.send(type="design", seq=1, design=edited(doc, path, value))
    error = page.wait("error")
    assert error["seq"] == 1 and words in error["message"]
    assert "Traceback" not in error["message"] and "/tmp" not in error["message"]
    # The last good design is still there and still answers.
    page.send(type="design", seq=2, design=edited(doc, ("layers", 0, "thickness_nm"), 99.6))
    reply = page.next()
    assert reply["type"] == "unchanged" or np.array_equal(reply["R"], good["R"])


@pytest.mark.parametrize("text, words", [
    ("[1, 2", "unreadable message"),
    ('{"type": "design", "design": {"layers": [{"thickness_nm": NaN}]}}', "NaN is not a number"),
    ('["design"]', "JSON object with a type"),
    ('{"type": "launch"}', "unknown message type"),
])
def test_malformed_messages_are_reported(serve, text, words):
    page = serve().connect()
    page.wait("spectrum")
    page.conn.send(text)
    assert words in page.wait("error")["message"]


def test_a_binary_frame_is_reported_and_the_connection_goes_on(serve):
    page = serve().connect()
    doc = page.wait("hello")["design"]
    page.wait("spectrum")
    page.conn.send(b'{"type": "design"}')
    assert "not binary frames" in page.wait("error")["message"]
    doc["layers"][0]["thickness_nm"] = 50.0
    page.send(type="design", seq=1, design=doc)
    page.wait("spectrum", seq=1)


# -- files ------------------------------------------------------------------------------------
def test_saved_design_reads_back_as_the_edited_design(serve):
    server = serve(EXAMPLES / "ar_plate.toml")
    page = server.connect()
    doc = page.wait("hello")["design"]
    doc["layers"][1]["thickness_nm"] = 61.5
    doc["layers"].append({"material": "SiO2", "thickness_nm": 12.0, "coherent": True})
    page.send(type="design", seq=1, design=doc)
    page.wait("spectrum", seq=1)
    page.send(type="save_design", name="out/plate.toml")
    saved = page.wait("saved")
    assert saved["files"]["design"] == "out/plate.toml"
    original, copy = load_design(EXAMPLES / "ar_plate.toml"), load_design(server.workdir / "out" / "plate.toml")
    d = original.stack.thicknesses().tolist()
    assert copy.stack.thicknesses().tolist() == d[:1] + [61.5] + d[2:4] + [12.0] + d[4:]
    assert [layer.material.name for layer in copy.stack.layers] == \
        [layer.material.name for layer in original.stack.layers] + ["SiO2"]
    assert copy.stack.substrate == original.stack.substrate
    # Opening it again gives the same numbers.
    page.send(type="open_design", name="out/plate.toml")
    reopened = page.wait("spectrum")
    assert_same_spectrum(reopened, *engine_spectrum(copy.stack, copy))


@pytest.mark.parametrize("name", ["../escape.toml", "/tmp/escape.toml", "a/../../escape.toml", "~/escape.toml",
                                  ".hidden.toml", "notes.txt", "link/escape.toml", "linked.toml", "a\\..\\x.toml", ""])
def test_files_outside_the_working_directory_are_refused(serve, coating, tmp_path, name):
    server = serve(coating)
    outside = tmp_path / "outside"
    outside.mkdir()
    (server.workdir / "link").symlink_to(outside)
    (server.workdir / "linked.toml").symlink_to(outside / "escape.toml")
    before = sorted(p.name for p in tmp_path.rglob("*"))
    page = server.connect()
    page.wait("spectrum")
    for kind in ("save_design", "save_targets", "open_design", "open_targets"):
        page.send(type=kind, name=name)
        assert page.wait("error")["message"].startswith(("file name", "file name must"))
    assert sorted(p.name for p in tmp_path.rglob("*")) == before
    assert not (outside / "escape.toml").exists()


def test_the_files_named_on_the_command_line_are_writable_by_name(serve, coating):
    design = coating
    page = serve(design).connect()
    doc = page.wait("hello")["design"]
    doc["layers"][0]["thickness_nm"] = 90.0
    page.send(type="design", seq=1, design=doc)
    page.wait("spectrum", seq=1)
    page.send(type="save_design", name=str(design))
    page.wait("saved")
    assert load_design(design).stack.layers[0].thickness_nm == 90.0


# -- targets and refinement -------------------------------------------------------------------
AR_TARGET = {"quantity": "R", "wavelength_nm": {"start": 450, "stop": 650, "count": 21}, "max": 0.005,
             "tolerance": 0.002, "weight": 1.0, "angle_deg": 0.0, "polarisation": "unpolarised"}


@pytest.mark.parametrize("change, words", [
    ({"min": 0.5, "max": 0.1}, "must not exceed max"),
    ({"quantity": "psi"}, "R, T and A targets"),
    ({"tolerance": 0.0}, "tolerances must be > 0"),
    ({"value": 0.1}, "either value or min/max"),
    ({"color": "red"}, "unknown field"),
    ({"wavelength_nm": {"start": 400, "stop": 500}}, "count"),
])
def test_unusable_targets_are_reported(serve, coating, change, words):
    page = serve(coating).connect()
    page.wait("spectrum")
    page.send(type="targets", targets=[{**AR_TARGET, **change}])
    assert words in page.wait("error")["message"]


def test_refine_reports_progress_and_lands_where_the_python_api_does(serve, tmp_path):
    page = serve(EXAMPLES / "ar_plate.toml").connect()
    page.wait("spectrum")
    page.send(type="targets", targets=[AR_TARGET, {**AR_TARGET, "quantity": "T", "max": None, "min": 0.99}],
              refine={"max_evaluations": 60})
    bands = page.wait("targets")["bands"]
    assert bands[0]["upper"][0] == 0.005 and bands[0]["lower"][0] is None and bands[1]["lower"][0] == 0.99
    page.send(type="refine")
    assert page.wait("refine_started")["max"] == 60
    done = page.wait("refined", timeout=300)
    progress = [m for m in page.seen if m["type"] == "progress"]
    assert progress and all(0 < m["nfev"] <= 60 for m in progress)
    # The page resets its progress when the job starts: none may come before.
    kinds = [m["type"] for m in page.seen]
    assert kinds.index("refine_started") < kinds.index("progress")
    design = load_design(EXAMPLES / "ar_plate.toml")
    targets = [Target("R", np.linspace(450, 650, 21), upper=0.005, tolerance=0.002),
               Target("T", np.linspace(450, 650, 21), lower=0.99, tolerance=0.002)]
    expected = refine(design.stack, targets, max_nfev=60, progress=False)
    result = done["result"]
    assert result["thicknesses"] == expected.stack.thicknesses().tolist()
    assert result["merit"] == expected.merit
    for report, target in zip(result["targets"], targets):
        s = expected.stack.spectrum(target.wavelength_nm, 0.0)
        computed = {"R": s.r, "T": s.t}[target.quantity]
        assert report["met"] == np.mean(target.within(computed))
    # The page's design now has the refined thicknesses, and its spectrum follows them.
    after = page.wait("spectrum")
    assert [layer["thickness_nm"] for layer in after["design"]["layers"]] == result["thicknesses"][:4]
    assert after["seq"] is None
    assert_same_spectrum(after, *engine_spectrum(expected.stack, design))


def test_refine_can_be_cancelled_and_edits_wait_for_it(serve, tmp_path):
    layers = "".join(f'[[layer]]\nmaterial = "{"TiO2" if i % 2 else "SiO2"}"\nthickness_nm = {60 + 3 * i}\n'
                     for i in range(24))
    path = tmp_path / "long.toml"
    path.write_text(f'exit = "N-BK7"\n{layers}')
    server = serve(path)
    page = server.connect()
    doc = page.wait("hello")["design"]
    page.send(type="targets", targets=[{**AR_TARGET, "wavelength_nm": {"start": 400, "stop": 900, "count": 2000},
                                        "max": 0.0001, "tolerance": 1e-4}],
              refine={"max_evaluations": 100000})
    page.wait("targets")
    page.send(type="refine")
    page.wait("progress", timeout=120)
    page.send(type="design", seq=5, design=doc)
    assert "refinement is running" in page.wait("error", seq=5)["message"]
    started = time.monotonic()
    page.send(type="cancel")
    assert page.wait("refined", timeout=120).get("cancelled") is True
    assert time.monotonic() - started < 60
    doc["layers"][0]["thickness_nm"] = 70.0
    page.send(type="design", seq=6, design=doc)
    page.wait("spectrum", seq=6)
    page.send(type="save_design", name="after.toml")
    page.wait("saved")
    assert load_design(server.workdir / "after.toml").stack.layers[0].thickness_nm == 70.0


# -- the command ------------------------------------------------------------------------------
def test_serve_prints_a_tokened_address_that_works(tmp_path):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-m", "lamina_design.cli", "serve", str(EXAMPLES / "mgf2_on_bk7.toml"),
                             "--port", "0"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env)
    try:
        line = proc.stdout.readline()
        assert line.startswith("lamina-design serve: open http://127.0.0.1:")
        url = line.split()[-1]
        assert "?token=" in url and len(url.split("?token=")[1]) >= 24
        assert status_of(url)[0] == 200
        assert status_of(url.split("?")[0])[0] == 403
    finally:
        proc.terminate()
        proc.communicate(timeout=30)


def test_serve_refuses_a_broken_design_with_one_located_line(tmp_path):
    bad = tmp_path / "bad.toml"
    bad.write_text('[[layer]]\nmaterial = "SiO2"\nthickness_nm = -1\n')
    proc = subprocess.run([sys.executable, "-m", "lamina_design.cli", "serve", str(bad), "--port", "0"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stderr.strip().splitlines() == [f"lamina-design: error: {bad}:3: layer[1].thickness_nm: thickness "
                                                f"must be finite and ≥ 0, got -1.0"]


def test_material_files_stay_found_after_edits_and_saves(serve, tmp_path):
    # The design lives in another directory and names its materials by relative paths.
    home = tmp_path / "designs"
    (home / "tables").mkdir(parents=True)
    (home / "tables" / "film.csv").write_text("wavelength,n,k\n300,1.90,0.01\n1000,1.80,0.0\n")
    (home / "tables" / "plate.csv").write_text("wavelength,n\n300,1.55\n1000,1.50\n")
    design = home / "d.toml"
    design.write_text('[[layer]]\nmaterial = "tables/film.csv"\nthickness_nm = 80\n\n'
                      '[substrate]\nmaterial = "tables/plate.csv"\nthickness_mm = 1\n'
                      '[[substrate.layer]]\nmaterial = "tables/film.csv"\nthickness_nm = 40\n')
    server = serve(design)
    page = server.connect()
    doc = page.wait("hello")["design"]
    doc["layers"].append({"material": "tables/film.csv", "thickness_nm": 20.0, "coherent": True})
    doc["layers"].append({"material": "MgF2", "thickness_nm": 90.0, "coherent": True})
    page.send(type="design", seq=1, design=doc)
    reply = page.wait("spectrum", seq=1)
    page.send(type="save_design", name="moved/copy.toml")
    page.wait("saved")
    copy = load_design(server.workdir / "moved" / "copy.toml")
    assert [layer.thickness_nm for layer in copy.stack.all_layers()] == [80.0, 20.0, 90.0, 40.0]
    assert_same_spectrum(reply, *engine_spectrum(copy.stack, copy))
    # A file the design does not name cannot be brought in from the page.
    (home / "tables" / "other.csv").write_text("wavelength,n\n300,2.0\n1000,2.0\n")
    doc["layers"][0]["material"] = "tables/other.csv"
    page.send(type="design", seq=2, design=doc)
    assert "material files are named in the design file" in page.wait("error", seq=2)["message"]


# -- synthesis, tolerance, undo ---------------------------------------------------------------
def ar_targets():
    """AR_TARGET as the Python API writes it."""
    return [Target("R", np.linspace(450, 650, 21), upper=0.005, tolerance=0.002)]


@pytest.mark.parametrize("method, options, kwargs", [
    ("needle", {"material": "TiO2", "max_layers": 6}, {"max_layers": 6}),
    ("gradual", {"material": "TiO2", "max_total_nm": 400.0}, {"max_total_nm": 400.0, "rounds": 20}),
])
def test_synthesis_reports_progress_and_lands_where_the_python_api_does(serve, coating, method, options, kwargs):
    from lamina_design import materials
    from lamina_design.optimize.synthesis import gradual_evolution, needle

    page = serve(coating).connect()
    page.wait("spectrum")
    page.send(type="targets", targets=[AR_TARGET], refine={"max_evaluations": 40})
    page.wait("targets")
    page.send(type="synthesize", method=method, options=options)
    assert page.wait("job_started")["job"] == "synthesis"
    done = page.wait("job_done", timeout=300)
    progress = [m for m in page.seen if m["type"] == "progress"]
    assert progress and progress[0]["unit"] == "steps"
    assert [m["done"] for m in progress] == sorted(m["done"] for m in progress)
    design = load_design(coating)
    run = needle if method == "needle" else gradual_evolution
    expected = run(design.stack, ar_targets(), [materials.get("MgF2"), materials.get("TiO2")], max_nfev=40,
                   executor="serial", progress=False, **kwargs)
    result = done["result"]
    assert done["cancelled"] is False and result["merit"] == expected.merit
    assert len(expected.stack.layers) > 1  # the synthesis did build something
    assert result["report"] == str(expected.report())
    after = page.wait("spectrum")
    assert after["seq"] is None
    assert [layer["thickness_nm"] for layer in after["design"]["layers"]] == expected.stack.thicknesses().tolist()
    assert [materials.get(layer["material"]).name for layer in after["design"]["layers"]] == \
        [layer.material.name for layer in expected.stack.layers]
    assert_same_spectrum(after, *engine_spectrum(expected.stack, design))
    # The synthesized design replaced the table as one step: undo brings the single layer back.
    page.send(type="undo")
    back = page.wait("spectrum")
    assert back["design"]["layers"] == [{"material": "MgF2", "thickness_nm": 99.6, "coherent": True}]
    assert_same_spectrum(back, *engine_spectrum(design.stack, design))


def test_tolerance_yield_is_the_python_apis(serve, coating):
    from lamina_design.production.tolerance import Errors, tolerance

    page = serve(coating).connect()
    page.wait("spectrum")
    target = {**AR_TARGET, "max": 0.02, "tolerance": 0.005}
    page.send(type="targets", targets=[target])
    page.wait("targets")
    page.send(type="tolerance", options={"thickness_rel": 0.05, "samples": 300})
    done = page.wait("job_done", timeout=300)
    assert any(m["type"] == "progress" and m["unit"] == "samples" for m in page.seen)
    design = load_design(coating)
    expected = tolerance(design.stack, [Target("R", np.linspace(450, 650, 21), upper=0.02, tolerance=0.005)],
                         Errors(thickness_rel=0.05), 300, executor="serial", progress=False)
    result = done["result"]
    assert 0 < expected.yield_fraction < 1  # a yield that tells something
    assert result["yield"] == expected.yield_fraction and result["samples"] == 300
    assert result["report"] == str(expected.report())
    # A tolerance run does not change the design: nothing to undo.
    page.send(type="undo", seq=3)
    assert page.wait("history", seq=3) == {"type": "history", "seq": 3, "undo": 0, "redo": 0}


def test_a_long_tolerance_run_cancels_quickly_with_its_samples_so_far(serve, coating):
    page = serve(coating).connect()
    doc = page.wait("hello")["design"]
    page.send(type="targets", targets=[{**AR_TARGET, "wavelength_nm": {"start": 400, "stop": 900, "count": 2000}}])
    page.wait("targets")
    page.send(type="tolerance", options={"thickness_rel": 0.02, "samples": 100000})
    page.wait("progress", timeout=120)
    page.send(type="design", seq=4, design=doc)
    assert "tolerance run is running" in page.wait("error", seq=4)["message"]
    started = time.monotonic()
    page.send(type="cancel")
    done = page.wait("job_done", timeout=120)
    assert time.monotonic() - started < 30
    result = done["result"]
    assert done["cancelled"] is True and 0 < result["samples"] < 100000 and result["asked"] == 100000
    assert result["yield"] >= 0 and not result["success"]
    # The worker is free again: an edit is answered.
    doc["layers"][0]["thickness_nm"] = 101.0
    page.send(type="design", seq=5, design=doc)
    page.wait("spectrum", seq=5)


@pytest.mark.parametrize("material, words", [
    ("unobtainium", "not in the catalogue"),
    (-1.5, "finite and > 0"),
    ("tables/x.csv", "material files are named in the design file"),
])
def test_unusable_synthesis_options_are_reported(serve, coating, material, words):
    page = serve(coating).connect()
    page.wait("spectrum")
    page.send(type="targets", targets=[AR_TARGET])
    page.wait("targets")
    page.send(type="synthesize", method="needle", options={"material": material}, seq=9)
    assert words in page.wait("error", seq=9)["message"]


def test_undo_and_redo_restore_the_exact_designs(serve, coating):
    design = load_design(coating)
    server = serve(coating)
    page = server.connect()
    first = page.wait("hello")["design"]
    assert page.seen[-1]["history"] == {"undo": 0, "redo": 0}
    states = [first]
    # A structural edit, a thickness edit of another layer, and a change of the medium.
    doc = {**first, "layers": first["layers"] + [{"material": "TiO2", "thickness_nm": 12.5, "coherent": True}]}
    edits = [doc, {**doc, "layers": [doc["layers"][0], {**doc["layers"][1], "thickness_nm": 30.25}]}]
    edits.append({**edits[1], "exit": "fused_silica", "angle_deg": 20.0})
    spectra = [page.wait("spectrum")]
    for seq, edit in enumerate(edits, 1):
        page.send(type="design", seq=seq, design=edit)
        spectra.append(page.wait("spectrum", seq=seq))
        states.append(edit)
    for k in (2, 1, 0):
        page.send(type="undo")
        back = page.wait("spectrum")
        assert back["design"] == states[k] and back["history"] == {"undo": k, "redo": 3 - k}
        assert_same_spectrum(back, spectra[k]["R"], spectra[k]["T"], spectra[k]["A"])
    assert_same_spectrum(back, *engine_spectrum(design.stack, design))
    for k in (1, 2):
        page.send(type="redo")
        again = page.wait("spectrum")
        assert again["design"] == states[k]
        assert_same_spectrum(again, spectra[k]["R"], spectra[k]["T"], spectra[k]["A"])
    # A new edit drops what could be redone; the saved file is the design the page shows.
    page.send(type="design", seq=9, design={**states[2], "name": "edited"})
    assert page.wait("spectrum", seq=9)["history"] == {"undo": 3, "redo": 0}
    page.send(type="redo", seq=10)
    assert page.wait("history", seq=10)["redo"] == 0
    page.send(type="undo")
    page.wait("spectrum")
    page.send(type="save_design", name="undone.toml")
    page.wait("saved")
    saved = load_design(server.workdir / "undone.toml")
    assert saved.stack.thicknesses().tolist() == [99.6, 30.25] and saved.stack.name == "one layer on glass"
    assert [layer.material.name for layer in saved.stack.layers] == ["MgF2", "TiO2"]


def test_a_cancelled_synthesis_applies_its_best_design_so_far(serve, coating):
    page = serve(coating).connect()
    page.wait("spectrum")
    page.send(type="targets", targets=[{**AR_TARGET, "wavelength_nm": {"start": 400, "stop": 900, "count": 2000},
                                        "max": 0.0001, "tolerance": 1e-4}], refine={"max_evaluations": 100000})
    page.wait("targets")
    page.send(type="synthesize", method="gradual", options={"material": 2.35, "max_layers": 1000})
    page.wait("progress", timeout=120)
    started = time.monotonic()
    page.send(type="cancel")
    done = page.wait("job_done", timeout=120)
    assert time.monotonic() - started < 30
    result = done["result"]
    assert done["cancelled"] is True and "best design so far" in result["message"] and not result["success"]
    shown = page.wait("spectrum")["design"]["layers"]
    assert [(layer["material"], layer["thickness_nm"]) for layer in shown] == [tuple(row[:2]) for row in result["layers"]]
    assert {layer["material"] for layer in shown} <= {"MgF2", 2.35}


def test_a_refinement_applied_is_one_undo_step(serve, coating):
    page = serve(coating).connect()
    start = page.wait("hello")["design"]
    page.send(type="targets", targets=[AR_TARGET], refine={"max_evaluations": 20})
    page.wait("targets")
    page.send(type="refine")
    refined = page.wait("refined", timeout=300)["result"]["thicknesses"]
    assert refined != [99.6]
    page.wait("spectrum")
    page.send(type="undo")
    assert page.wait("spectrum")["design"] == start
    page.send(type="redo")
    assert [layer["thickness_nm"] for layer in page.wait("spectrum")["design"]["layers"]] == refined
