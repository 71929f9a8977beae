#!/usr/bin/env bash
# The suite on every CPython from 3.9 to 3.13 that this machine has, each in a
# fresh virtual environment with the NumPy that pip resolves for it, and the
# oldest NumPy we support under the oldest and newest Python it has wheels for.
# Each Python builds its own wheel from this checkout (the 3.12+ code paths are
# compiled only there) and installs it with the test extra. The heavy checks
# (hypothesis properties, soak, threads, a Dask cluster) ran once in the main
# suite and are deselected here. Interpreters are looked up the way the machine
# provides them: pyenv's versions, then python3.X on PATH; a missing one is
# skipped, never downloaded. Every version runs even after a failure; the table
# at the end says which failed.
set -uo pipefail
root=build/ci-pythons
rm -rf "$root" && mkdir -p "$root"
checkout=$PWD

minors="3.9 3.10 3.11 3.12 3.13"
oldest_numpy=1.23.5
oldest_numpy_pythons="3.9 3.11"  # 1.23.5's wheels stop at 3.11

pyenv_root=$( (pyenv root) 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")

# The newest patch release of Python $1 the machine has, or nothing.
find_python() {
  local minor=$1 candidate
  for candidate in $(ls -d "$pyenv_root"/versions/"$minor".[0-9]*/bin/python"$minor" 2>/dev/null | sort -V -r) \
      $(command -v "python$minor"); do
    if "$candidate" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$minor')" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

# pip quietly, its output shown only when it fails.
pip_quietly() {
  local python=$1 log
  shift
  log=$(mktemp)
  if ! "$python" -m pip "$@" >"$log" 2>&1; then
    grep -v "is ignored: it is neither a file nor a directory" "$log" | tail -n 40
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

# One line per run: label, versions, passed, skipped, set-up and test seconds, result.
table=()
failed=0

# run_suite LABEL VENV SETUP_SECONDS: the suite without the heavy checks;
# records the counts.
run_suite() {
  local label=$1 venv=$2 setup=$3 log="$root/$1.log" start status versions summary passed skipped
  start=$(date +%s)
  versions=$("$venv/bin/python" -c 'import platform, numpy; print(f"CPython {platform.python_version()}, NumPy {numpy.__version__}")')
  echo "-- $label: $versions"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not heavy" >"$log" 2>&1
  status=$?
  summary=$(grep -E "^=*\s*[0-9]+ (passed|failed|skipped|error)" "$log" | tail -n 1 | tr -d '=')
  passed=$(grep -oE "[0-9]+ passed" <<<"$summary" | cut -d' ' -f1)
  skipped=$(grep -oE "[0-9]+ skipped" <<<"$summary" | cut -d' ' -f1)
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    failed=1
  fi
  grep -E "^SKIPPED" "$log" | sed 's/^/   /'
  echo "   ${summary:-no summary line} (exit $status)"
  table+=("$(printf '%-18s %-31s %6s %7s %5ss %5ss  %s' "$label" "$versions" "${passed:-0}" "${skipped:-0}" \
    "$setup" "$(( $(date +%s) - start ))" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)")")
}

newest_venv=
for minor in $minors; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "-- Python $minor: not on this machine, skipped"
    table+=("$(printf '%-18s %s' "py$minor" "not on this machine: skipped")")
    continue
  fi
  echo "-- Python $minor: $python"
  start=$(date +%s)
  dist="$root/dist-$minor"
  venv="$root/py$minor"
  "$python" -m venv "$venv"
  if ! pip_quietly "$venv/bin/python" wheel -q --no-deps -w "$dist" --config-settings=build-dir="$root/build-$minor" \
      "$checkout"; then
    echo "-- Python $minor: the wheel did not build"
    table+=("$(printf '%-18s %s' "py$minor" "wheel build FAILED")")
    failed=1
    continue
  fi
  wheel=$(ls "$dist"/lamina-*.whl)
  if pip_quietly "$venv/bin/python" install -q "$wheel[test]"; then
    run_suite "py$minor" "$venv" "$(( $(date +%s) - start ))"
    newest_venv=$venv
  else
    table+=("$(printf '%-18s %s' "py$minor" "install FAILED")")
    failed=1
  fi

  case " $oldest_numpy_pythons " in *" $minor "*) ;; *) continue ;; esac
  venv="$root/py$minor-numpy$oldest_numpy"
  start=$(date +%s)
  "$python" -m venv "$venv"
  echo "numpy==$oldest_numpy" >"$venv/constraints.txt"
  if pip_quietly "$venv/bin/python" install -q --only-binary numpy -c "$venv/constraints.txt" "$wheel[test]"; then
    run_suite "py$minor-numpy$oldest_numpy" "$venv" "$(( $(date +%s) - start ))"
  else
    table+=("$(printf '%-18s %s' "py$minor-numpy$oldest_numpy" "install FAILED")")
    failed=1
  fi
done

# The stub package inside the wheel describes the module it ships with.
if [ -n "$newest_venv" ]; then
  (cd "$root" && "$checkout/$newest_venv/bin/python" -m mypy.stubtest lamina) || failed=1
  echo "stubtest: the wheel's lamina-stubs match the built module ($newest_venv)"
  # The stub of the nanobind module: its functions are allowlisted (stubtest
  # cannot inspect them; tests/test_engine_pool.py compares them), the rest of
  # the stub is checked.
  (cd "$root" && "$checkout/$newest_venv/bin/python" -m mypy.stubtest lamina_design._engine \
    --allowlist "$checkout/.ci/stubtest_engine.allowlist") || failed=1
  echo "stubtest: lamina_design/_engine.pyi matches the built module ($newest_venv)"
fi

echo
printf '%-18s %-31s %6s %7s %6s %6s  %s\n' run versions passed skipped set-up tests result
printf '%s\n' "${table[@]}"
exit "$failed"
