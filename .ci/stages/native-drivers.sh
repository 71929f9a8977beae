#!/usr/bin/env bash
# The pool's native drivers, built as released: the cgroup CPU quota read from
# the fixture trees under tests/native/fixtures/cgroup, and fork() from one
# thread while another runs passes, for several pool sizes.
set -euo pipefail
build=build/ci-native
cmake -S . -B "$build" -DLAMINA_BUILD_TOOLS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target cgroup_quota fork_overlap -j "${CI_JOBS:-2}" >/dev/null
"./$build/cgroup_quota"
for threads in "" 1 8; do
  echo "RAYON_NUM_THREADS=${threads:-<unset>}"
  RAYON_NUM_THREADS="$threads" "./$build/fork_overlap"
done
