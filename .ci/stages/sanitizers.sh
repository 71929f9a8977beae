#!/usr/bin/env bash
# The test suite (the contributor's tier, and the kernel copies' checks of the
# heavy tier) against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (engine and both modules alike). The interpreter is the
# stock one: the ASan runtime is preloaded, with libstdc++ so that ASan finds
# the __cxa_throw it intercepts. ASan writes its reports to files, those of
# the tests' subprocesses included; UBSan (which ignores log_path beside ASan)
# writes to stderr and ends the process. Any report fails the stage. Tests
# that cannot run under ASan skip themselves (they look for libasan in their
# own process).
set -euo pipefail
build=build/ci-asan
reports="$PWD/$build/reports"
python=$(python3 -c 'import sys; print(sys.executable)')

cmake -S . -B "$build" -DLAMINA_BUILD_MODULE=ON -DLAMINA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target lamina _engine -j "${CI_JOBS:-2}" >/dev/null
rm -rf "$reports" && mkdir -p "$reports"

export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc  # every Python allocation through ASan's allocator

"$python" -c "
import lamina
from lamina_design import _engine
for module in (lamina, _engine):
    assert '$build' in module.__file__, module.__file__
    print('module:', module.__file__)"
status=0
# The contributor's tier of the engine's tests and of the design tests that
# drive its native calls (every argument road, fields, derivatives, batches);
# the design package's pure-Python tests (files, command line, materials,
# reports, the designer's server) reach no native code of their own, and they
# run in the suite stage. Then the kernel copies' bit checks of the heavy tier
# (lane-wide loads and stores over whole and partial lane groups).
native_design_tests=()
for name in engine_face stack stack_fields optics incoherent substrate refine synthesis tolerance \
            ellipsometry monitoring views; do
  native_design_tests+=("tests/design/test_$name.py")
done
{ s=0
  "$python" -m pytest -s -q -p no:cacheprovider tests/test_*.py "${native_design_tests[@]}" || s=$?
  "$python" -m pytest -s -q -p no:cacheprovider -m heavy tests/test_kernels.py || s=$?
  exit "$s"
} 2>&1 | tee "$reports/pytest.log" || status=$?
if compgen -G "$reports/asan.*" >/dev/null; then
  cat "$reports"/asan.*
  echo "AddressSanitizer reports above" >&2
  exit 1
fi
if grep -q "runtime error: " "$reports/pytest.log"; then
  grep -A20 "runtime error: " "$reports/pytest.log"
  echo "UndefinedBehaviorSanitizer reports above" >&2
  exit 1
fi
echo "no sanitizer report"
exit "$status"
