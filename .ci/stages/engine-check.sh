#!/usr/bin/env bash
# The engine built as released, without an interpreter: the pooled sweep
# against the one-index form, every kernel copy this CPU runs, failures on the
# workers.
set -euo pipefail
build=build/ci-native
cmake -S . -B "$build" -DLAMINA_BUILD_TOOLS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target engine_check -j "${CI_JOBS:-2}" >/dev/null
"./$build/engine_check"
