"""The package passes mypy --strict, against the source tree's stubs of the lamina module."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# mypy over the whole package: run once, in CI's main stage.
pytestmark = pytest.mark.heavy

ROOT = Path(__file__).resolve().parents[2]


def test_package_is_strictly_typed(tmp_path):
    pytest.importorskip("mypy")
    stubs = tmp_path / "stubs" / "lamina"
    stubs.mkdir(parents=True)
    shutil.copy(ROOT / "stubs" / "lamina-stubs" / "__init__.pyi", stubs / "__init__.pyi")
    env = dict(os.environ, MYPYPATH=str(stubs.parent))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), "-p", "lamina_design"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_distribution_ships_the_package_and_command():
    from importlib import metadata

    try:
        files = {str(f) for f in metadata.files("lamina") or ()}
    except metadata.PackageNotFoundError:
        pytest.skip("lamina is not installed as a distribution")
    for needed in ("lamina_design/py.typed", "lamina_design/optics/stack.py", "lamina_design/materials/__init__.py",
                   "lamina_design/data/cie1931_2deg_cmf.csv"):
        assert needed in files, needed
    scripts = {e.name: e.value for e in metadata.distribution("lamina").entry_points if e.group == "console_scripts"}
    assert scripts.get("lamina-design") == "lamina_design.cli:main"


def test_engine_functions_type_check_from_the_public_module(tmp_path):
    pytest.importorskip("mypy")
    snippet = tmp_path / "use_engine.py"
    snippet.write_text(
        "import numpy as np\n"
        "from numpy.typing import NDArray\n"
        "from lamina_design.engine import amplitudes, power_jacobian, spectra\n"
        "d = np.zeros((1, 1))\n"
        "n = np.ones((3, 2), dtype=np.complex128)\n"
        "wl = np.array([500.0, 600.0])\n"
        "theta = np.zeros(1)\n"
        "r, t = amplitudes(d, n, wl, theta)\n"
        "R: NDArray[np.float64] = spectra(d, n, wl, theta)[0]\n"
        "jac: NDArray[np.float64] = power_jacobian(d, n, wl, theta)[2]\n"
        "bad: NDArray[np.float64] = r\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--follow-imports=silent",
         "--cache-dir", str(tmp_path / "cache"), str(snippet)],
        cwd=ROOT, capture_output=True, text=True, timeout=300)
    # The one line that assigns complex amplitudes to a float array is the only error.
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "use_engine.py:11:" in errors[0], done.stdout + done.stderr
