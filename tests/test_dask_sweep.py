"""The Dask design sweep gives, candidate for candidate, what a plain loop gives."""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

pytestmark = pytest.mark.heavy

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def sweep():
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module("dask_sweep")


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    # Worker processes, as in real use: the tasks, this module's code and the arrays are pickled.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            yield client


@pytest.mark.parametrize("count, chunk", [(600, 64), (50, 1000), (0, 10)])
def test_cluster_matches_local_loop(sweep, client, count, chunk):
    thicknesses = sweep.candidates(count, seed=7)
    merits = sweep.run_sweep(client, thicknesses, chunk=chunk, show_progress=False, timeout=120)
    # The spectra do not depend on which thread or process computed them: equal to the bit.
    np.testing.assert_array_equal(merits, sweep.run_local(thicknesses))
    assert merits.shape == (count,)


def test_progress_bar_reaches_the_end(sweep, client, capsys):
    thicknesses = sweep.candidates(40, seed=1)
    sweep.run_sweep(client, thicknesses, chunk=10, show_progress=True, timeout=120)
    assert "100% Completed" in capsys.readouterr().out


def test_script_on_process_cluster_reports_best_stack(sweep, tmp_path):
    count, seed = 400, 11
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "dask_sweep.py"), "--candidates", str(count), "--chunk", "100",
         "--workers", "2", "--seed", str(seed), "--no-progress", "--top", "3"],
        cwd=tmp_path, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"),
        capture_output=True, text=True, timeout=180,
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    table = lines[lines.index(next(line for line in lines if line.lstrip().startswith("rank"))) + 1:]
    assert len(table) == 3
    best_percent, *thickness_nm = (float(cell) for cell in table[0].split()[1:])

    thicknesses = sweep.candidates(count, seed)
    merits = sweep.run_local(thicknesses)
    best = int(np.argmin(merits))
    assert best_percent == pytest.approx(100 * merits[best], abs=5e-5)
    np.testing.assert_allclose(thickness_nm, thicknesses[best], atol=0.05)
