#!/usr/bin/env bash
# The wheel on every CPython from 3.9 to 3.13 that this machine has, each in a
# fresh virtual environment. The main stage covers the machine's default
# Python with every tier; here the oldest Python with the oldest NumPy we
# support and the newest Python with the NumPy pip resolves for it run the
# contributor's suite (every test but the heavy tier), and the others run a
# smoke set: the module's surface, its exactness and the amplitude face, with
# the NumPy pip resolves and with NumPy 1.23.5 on 3.11. Each Python builds its
# own wheel from this checkout (the 3.12+ code paths are compiled only there);
# ccache hands every wheel the engine compiled once. Interpreters are looked up
# the way the machine provides them: pyenv's versions, then python3.X on PATH;
# a missing one is skipped, never downloaded. Every cell runs even after a
# failure; the table at the end says which failed.
set -uo pipefail
root=build/ci-pythons
rm -rf "$root" && mkdir -p "$root"
checkout=$PWD

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

# run_suite LABEL VENV SETUP_SECONDS [TESTS...]: the contributor's suite (the
# heavy tier is left out by the project's settings), or the tests named;
# records the counts.
run_suite() {
  local label=$1 venv=$2 setup=$3 log="$root/${1%% *}.log" start status versions summary passed skipped
  shift 3
  start=$(date +%s)
  versions=$("$venv/bin/python" -c 'import platform, numpy; print(f"CPython {platform.python_version()}, NumPy {numpy.__version__}")')
  echo "-- $label: $versions"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" >"$log" 2>&1
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
  table+=("$(printf '%-24s %-31s %6s %7s %5ss %5ss  %s' "$label" "$versions" "${passed:-0}" "${skipped:-0}" \
    "$setup" "$(( $(date +%s) - start ))" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)")")
}

# Python, NumPy ("-" for pip's choice), tests.
cells=(
  "3.9 1.23.5 full"
  "3.13 - full"
  "3.9 - smoke"
  "3.10 - smoke"
  "3.11 1.23.5 smoke"
  "3.12 - smoke"
)
smoke_tests="tests/test_module.py tests/test_simulation.py tests/test_datapy.py tests/test_exact.py
  tests/test_amplitudes.py tests/design/test_stack.py"
smoke_packages="pytest>=7 mpmath>=1.3 tmm==0.2.0"

# build_wheel MINOR PYTHON: the wheel of this checkout for that Python, built once.
build_wheel() {
  local minor=$1 python=$2 dist="$root/dist-$1"
  if ! ls "$dist"/lamina-*.whl >/dev/null 2>&1; then
    "$python" -m venv "$root/build-env-$minor" &&
      pip_quietly "$root/build-env-$minor/bin/python" wheel -q --no-deps -w "$dist" \
        --config-settings=build-dir="$root/build-$minor" "$checkout" >&2 || return 1
  fi
  ls "$dist"/lamina-*.whl
}

newest_venv=
for cell in "${cells[@]}"; do
  read -r minor numpy tests <<<"$cell"
  label="py$minor"
  [ "$numpy" = - ] || label="py$minor-numpy$numpy"
  [ "$tests" = smoke ] && label="$label (smoke)"
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "-- $label: Python $minor is not on this machine, skipped"
    table+=("$(printf '%-24s %s' "$label" "not on this machine: skipped")")
    continue
  fi
  echo "-- $label: $python"
  start=$(date +%s)
  if ! wheel=$(build_wheel "$minor" "$python"); then
    echo "-- $label: the wheel did not build"
    table+=("$(printf '%-24s %s' "$label" "wheel build FAILED")")
    failed=1
    continue
  fi
  venv="$root/${label%% *}"
  "$python" -m venv "$venv"
  constraints=()
  if [ "$numpy" != - ]; then
    echo "numpy==$numpy" >"$venv/constraints.txt"
    constraints=(--only-binary numpy -c "$venv/constraints.txt")
  fi
  if [ "$tests" = full ]; then
    requirement=("$wheel[test]")
  else
    # shellcheck disable=SC2206
    requirement=("$wheel" $smoke_packages)
  fi
  if pip_quietly "$venv/bin/python" install -q "${constraints[@]}" "${requirement[@]}"; then
    if [ "$tests" = full ]; then
      run_suite "$label" "$venv" "$(( $(date +%s) - start ))"
      [ "$numpy" = - ] && newest_venv=$venv
    else
      # shellcheck disable=SC2086
      run_suite "$label" "$venv" "$(( $(date +%s) - start ))" $smoke_tests
    fi
  else
    table+=("$(printf '%-24s %s' "$label" "install FAILED")")
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
printf '%-24s %-31s %6s %7s %6s %6s  %s\n' run versions passed skipped set-up tests result
printf '%s\n' "${table[@]}"
exit "$failed"
