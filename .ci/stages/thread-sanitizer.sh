#!/usr/bin/env bash
# The engine's parallel path under ThreadSanitizer. A stock interpreter is not
# built for TSan, so C++ drivers call the engine directly: engine_check (the
# pooled sweep against the one-index form, failures on the workers) and
# pool_stress (four threads sharing the pool, workers caught spinning and
# asleep) and fork_overlap (a thread forks while another runs passes; the
# children start pools of their own, which TSan allows only with
# die_after_fork=0). Any report ends the driver with exit code 66 and fails
# the stage.
set -euo pipefail
build=build/ci-tsan
cmake -S . -B "$build" -DLAMINA_BUILD_TOOLS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" --target engine_check pool_stress fork_overlap -j "${CI_JOBS:-2}" >/dev/null
# report_thread_leaks=0: a child forked while another thread runs inherits that
# thread's record, which it can never join; TSan would report it as leaked.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 die_after_fork=0 report_thread_leaks=0"
for threads in "" 1 8; do
  echo "RAYON_NUM_THREADS=${threads:-<unset>}"
  RAYON_NUM_THREADS="$threads" "./$build/engine_check"
  RAYON_NUM_THREADS="$threads" "./$build/pool_stress"
  # Without its forks during a first sweep: about one such child in two
  # thousand hangs on ThreadSanitizer's own allocator lock, which its runtime
  # does not take around fork(), so a child can inherit it held. That is TSan's,
  # not the engine's: the native-drivers stage runs those forks without TSan.
  LAMINA_FIRST_SWEEP_FORKS=0 RAYON_NUM_THREADS="$threads" "./$build/fork_overlap"
done
