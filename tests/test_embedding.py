"""lamina inside an application that embeds the interpreter.

The C++ driver tests/native/embed_interpreter.cpp is compiled against the Python that runs
this suite (the flags `python3-config --embed` would give) and run with this process's
search path, so it loads the same lamina and NumPy.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import lamina

DRIVER = Path(__file__).resolve().parent / "native" / "embed_interpreter.cpp"


def embed_flags() -> tuple[list[str], list[str]]:
    """Compile and link flags for a program that embeds this interpreter."""
    var = sysconfig.get_config_var
    include = [f"-I{sysconfig.get_paths()['include']}", f"-I{sysconfig.get_paths()['platinclude']}"]
    libdir = var("LIBDIR")
    link = [f"-L{libdir}", f"-Wl,-rpath,{libdir}"]
    if not var("Py_ENABLE_SHARED"):
        link.append(f"-L{var('LIBPL')}")
    link.append(f"-lpython{var('LDVERSION')}")
    for name in ("LIBS", "SYSLIBS", "LINKFORSHARED"):
        link += shlex.split(var(name) or "")
    return include, link


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    var = sysconfig.get_config_var
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").exists():
        pytest.skip("no Python.h for this interpreter")
    libraries = [Path(var("LIBDIR")) / var("LDLIBRARY"), Path(var("LIBPL") or var("LIBDIR")) / var("LIBRARY")]
    if not any(library.exists() for library in libraries):
        pytest.skip("no libpython to embed this interpreter")
    include, link = embed_flags()
    binary = tmp_path_factory.mktemp("embed") / "embed_interpreter"
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    done = subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", *include, str(DRIVER),
                           "-o", str(binary), *link], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "warning" not in done.stderr, done.stderr
    return binary


def run_driver(binary, mode):
    # The embedded interpreter starts from its installation, not from this
    # virtual environment: hand it this process's search path.
    path = [str(Path(lamina.__file__).parent), *(entry for entry in sys.path if entry)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONHOME", None)
    return subprocess.run([str(binary), mode], capture_output=True, text=True, env=env, timeout=120)


def test_reinitialized_interpreter_is_refused_cleanly(driver):
    done = run_driver(driver, "reinit")
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    assert "FAILED" not in output
    refusals = [line for line in done.stdout.splitlines() if line.startswith("import ")]
    assert len(refusals) == 2 and all("lamina" in line and "finalized" in line for line in refusals), output


def test_pending_exception_survives_deallocation_untouched(driver):
    done = run_driver(driver, "pending")
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    assert "FAILED" not in output
    assert output.count("ok: ") >= 6, output  # DataPy's and Simulation's checks all ran
    assert "lamina: internal failure" not in output
