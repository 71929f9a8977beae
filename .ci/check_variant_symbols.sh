#!/usr/bin/env bash
# The AVX2 and AVX-512 copies of the kernel must define nothing that baseline
# code could also define: every global or weak symbol of a copy's object lies
# in its instruction-set namespace (strata::avx2::..., strata::avx512::...),
# except its kernel table. Otherwise the linker may keep the wider copy of an
# inline function (at -O0 std::clamp, the arrays' accessors, ...) for code that
# must run on any x86-64. Checked unoptimised and as released.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(uname -m)" = x86_64 ] || { echo "no kernel copies on $(uname -m)"; exit 0; }

status=0
for config in "Debug build/ci-variants-O0 -O0 -g" "Release build/ci-native -O3 -DNDEBUG"; do
  read -r type build flags <<<"$config"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="$type" "-DCMAKE_CXX_FLAGS_${type^^}=$flags" >/dev/null
  cmake --build "$build" --target strata_avx2 strata_avx512 strata_math_avx2 strata_math_avx512 -j "${CI_JOBS:-2}" >/dev/null
  for isa in avx2 avx512; do
    # The kernel copy and its lane-wide exp and hypot.
    object=$(find "$build/CMakeFiles/strata_$isa.dir" "$build/CMakeFiles/strata_math_$isa.dir" -name '*.cpp.o')
    namespace="6strata${#isa}${isa}"  # strata::<isa> in a mangled name
    table="_ZN6strata$((7 + ${#isa}))kernel_${isa}E"
    # shellcheck disable=SC2086
    # DW.ref.__gxx_personality_v0 is no code: the one pointer to the C++
    # unwinder's personality routine that every object with unwind tables may carry.
    outside=$(nm -g --defined-only $object | awk '/:$/ {next} {print $NF}' |
      grep -v -e "$namespace" -e "^$table\$" -e '^DW.ref.__gxx_personality_v0$' -e '^$' || true)
    count=$(grep -c . <<<"$outside" || true)
    echo "$type $isa: $count symbols outside strata::$isa"
    if [ "$count" -gt 0 ]; then
      c++filt <<<"$outside" | sed 's/^/  /' >&2
      status=1
    fi
  done
done
exit $status
