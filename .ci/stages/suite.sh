#!/usr/bin/env bash
# The whole suite, every tier: the README's test command plus the heavy checks
# it leaves out (typing, the example scripts, the benchmarks' smoke runs,
# kernel copies in subprocesses, process pools and Dask clusters). These run
# here only, on the machine's default Python.
set -euo pipefail
python3 -m pytest -q -p no:cacheprovider -m "heavy or not heavy" --durations=15
