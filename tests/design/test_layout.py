"""The package's folders by concern, and the flat module paths that still name the moved modules."""

from __future__ import annotations

import importlib
import importlib.util
from pathlib import Path
import pickle
import subprocess
import sys

import pytest

# Old dotted name → where the module lives now; both names give the one module object.
MOVED = [
    ("common", "core.checks"), ("executor", "core.executor"), ("limits", "core.limits"),
    ("results", "core.results"), ("stack", "optics.stack"), ("substrate", "optics.substrate"),
    ("incoherent", "optics.incoherent"), ("fields", "optics.fields"), ("refine", "optimize.refine"),
    ("synthesis", "optimize.synthesis"), ("search", "optimize.search"), ("tolerance", "production.tolerance"),
    ("monitoring", "production.monitoring"), ("ellipsometry", "metrology.ellipsometry"), ("files", "io.files"),
]


@pytest.mark.parametrize("old, new", MOVED)
def test_old_module_path_is_the_moved_module(old, new):
    pytest.importorskip("scipy")
    moved = importlib.import_module(f"lamina_design.{new}")
    assert importlib.import_module(f"lamina_design.{old}") is moved
    assert sys.modules[f"lamina_design.{old}"] is moved
    assert getattr(importlib.import_module("lamina_design"), old) is moved
    assert moved.__spec__.name == f"lamina_design.{new}"  # the module keeps its own identity


def test_monkeypatching_through_the_old_path_reaches_the_callers(monkeypatch):
    import lamina_design.common
    from lamina_design.core import checks

    monkeypatch.setattr(lamina_design.common, "GRAZING_ACCURACY", 0.5)
    assert checks.GRAZING_ACCURACY == 0.5


def test_old_optics_names_and_targets_import():
    pytest.importorskip("scipy")
    from lamina_design.core.targets import Target as CoreTarget
    from lamina_design.optics import C_NM_PER_FS, phase_spectrum
    from lamina_design.optics.phase import phase_spectrum as moved
    from lamina_design.refine import Target

    assert phase_spectrum is moved and C_NM_PER_FS == 299.792458
    assert Target is CoreTarget
    target = Target("R", [500.0, 600.0], 0.1)
    assert pickle.loads(pickle.dumps(target)).arrays()[0].tolist() == [500.0, 600.0]


def test_importing_the_package_loads_no_optimiser_plots_or_engine():
    code = ("import sys, lamina_design; print(' '.join(m for m in sys.modules if m.startswith(("
            "'scipy', 'matplotlib', 'lamina_design.optimize', 'lamina_design.production', 'lamina_design._engine'))))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ""


def test_targets_share_a_group_when_their_polarisations_mix_alike():
    from lamina_design.core.targets import Target, by_incidence

    targets = [Target("R", 500.0, 0.1, polarisation="unpolarised"), Target("T", 600.0, 0.9, polarisation="s"),
               Target("R", 550.0, 0.1, polarisation="unpolarized"), Target("R", 550.0, 0.1, angle_rad=0.3),
               Target("A", 700.0, 0.0, polarisation="s")]
    assert list(by_incidence(targets).values()) == [[0, 2], [1, 4], [3]]


@pytest.mark.parametrize("old, new", MOVED)
def test_old_module_path_types_as_the_moved_module(old, new):
    # Type checkers do not run the import hook: each old path has a stub that re-exports the
    # moved module's public names.
    module = importlib.import_module(f"lamina_design.{new}")
    package = Path(importlib.util.find_spec("lamina_design").origin).parent
    assert f"from lamina_design.{new} import *" in (package / f"{old}.pyi").read_text()
    assert module.__all__
