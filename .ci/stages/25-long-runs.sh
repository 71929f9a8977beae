#!/usr/bin/env bash
# The reliability checks at full length: 200,000 mixed calls with memory
# measured flat, 8 threads sharing objects for 20 seconds, and 2,000
# hypothesis examples per hostile-input property (the same examples on every
# run).
set -euo pipefail
LAMINA_SOAK_CALLS=200000 LAMINA_THREAD_SECONDS=20 LAMINA_HYPOTHESIS_EXAMPLES=2000 CI=true \
  python3 -m pytest -q -p no:cacheprovider tests/test_reliability.py tests/test_hostile.py \
  -k "soak or threads or hostile" --hypothesis-show-statistics
# The lane-wide exp, hypot, sincos and atan2 of each kernel copy against the
# C library: 25 million arguments per distribution, 10^8 and more per function
# and copy (2.5 x 10^8 for sincos, both of its results compared).
build=build/ci-native
cmake -S . -B "$build" -DLAMINA_BUILD_TOOLS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target exact_math_check -j 2 >/dev/null
"./$build/exact_math_check" 25000000
# glibc told not to use FMA loads its other exp, sincos and atan2: the lane-wide ones
# follow them.
GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA "./$build/exact_math_check" 5000000
