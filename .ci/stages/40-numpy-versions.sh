#!/usr/bin/env bash
# One wheel, built once against NumPy 2's headers, tested in fresh virtual
# environments under the oldest NumPy 1.x we support and under the newest 2.x.
# They get what the module's own tests need, matplotlib for the example
# scripts and PyYAML for lamina_design's material files; the tests that need
# Dask, mypy or SciPy (a cluster, typing against NumPy's stubs, refinement) run
# in the main suite and skip here.
set -euo pipefail
root=build/ci-numpy
rm -rf "$root" && mkdir -p "$root"
python3 -m pip wheel -q --no-deps -w "$root/dist" -Cbuild-dir="$root/build" .
wheel=$(ls "$root"/dist/lamina-*.whl)
for pair in "oldest numpy==1.23.5" "newest numpy>=2,<3"; do
  read -r name numpy <<<"$pair"
  venv="$root/venv-$name"
  python3 -m venv "$venv"
  echo "$numpy" >"$venv/constraints.txt"
  "$venv/bin/python" -m pip install -q -c "$venv/constraints.txt" "$wheel" pytest hypothesis tmm==0.2.0 matplotlib mpmath pyyaml
  "$venv/bin/python" -c 'import lamina, numpy; print(f"\nNumPy {numpy.__version__}, lamina from {lamina.__file__}")'
  "$venv/bin/python" -m pytest -q -p no:cacheprovider
done

# The wheel's stub package describes the module it ships with.
"$root/venv-newest/bin/python" -m pip install -q mypy
"$root/venv-newest/bin/python" -m mypy.stubtest lamina
echo "stubtest: the wheel's lamina-stubs match the built module"
