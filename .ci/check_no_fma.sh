#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# built code must contain none: not in the shared engine's baseline x86-64
# code, not in the AVX2 and AVX-512 copies of the kernel that it carries beside
# it (their 256- and 512-bit registers show that they are there and were
# scanned), and not in the two modules that load it. The one exception is the
# engine's section lamina_fused_math: the lane-wide exp and sincos that follow
# the C library's FMA variants, with their 37 fused operations in each of the
# two copies, and nothing else: exp's nine (the reduction's three, the
# polynomial's four, the scaling and the scaling of the special case) and
# sincos's 28 (the reduction by pi/2's seven; the sine's eight from the table
# and six from the Taylor polynomial; the cosine's seven).
set -euo pipefail
read -r lamina_module engine_module < <(python3 -c '
import lamina
from lamina_design import _engine
print(lamina.__file__, _engine.__file__)')
engine=${LAMINA_ENGINE_LIBRARY:-$(dirname "$lamina_module")/lamina.libs/liblamina_strata.so}
fma='\b(vfmadd|vfmsub|vfnmadd|vfnmsub|vfmaddsub|vfmsubadd)'
# Each instruction line prefixed by its section's name.
disassemble() { objdump -d --no-show-raw-insn "$1" | awk '/^Disassembly of section /{section=$4} {print section "\t" $0}'; }
status=0
for binary in "$lamina_module" "$engine_module" "$engine"; do
  listing=$(disassemble "$binary")
  count=$(grep -v '^lamina_fused_math:' <<<"$listing" | grep -c -E "$fma" || true)
  echo "$binary: $count fused multiply-add instructions outside lamina_fused_math"
  [ "$count" -eq 0 ] || status=1
  if [ "$binary" != "$engine" ] && grep -q '^lamina_fused_math:' <<<"$listing"; then
    echo "  lamina_fused_math belongs in the engine only" >&2
    status=1
  fi
done
if [ "$(uname -m)" = x86_64 ]; then
  listing=$(disassemble "$engine")
  avx2=$(grep -c '%ymm' <<<"$listing" || true)
  avx512=$(grep -c '%zmm' <<<"$listing" || true)
  echo "engine instructions on ymm registers: $avx2, on zmm registers: $avx512"
  [ "$avx2" -gt 0 ] && [ "$avx512" -gt 0 ] || { echo "a kernel copy is missing" >&2; exit 1; }
  fused=$(grep '^lamina_fused_math:' <<<"$listing" | grep -E "$fma" || true)
  fused_ymm=$(grep -c '%ymm' <<<"$fused" || true)
  fused_zmm=$(grep -c '%zmm' <<<"$fused" || true)
  fused_all=$(grep -c . <<<"$fused" || true)
  echo "engine's lamina_fused_math: $fused_ymm on ymm, $fused_zmm on zmm registers, $fused_all in all"
  if ! [ "$fused_ymm" -eq 37 ] || ! [ "$fused_zmm" -eq 37 ] || ! [ "$fused_all" -eq 74 ]; then
    echo "the fused exp's and sincos's multiply-adds are not the library's 9 + 28 per copy" >&2
    status=1
  fi
fi
exit "$status"
