#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# module must contain none: not in its baseline x86-64 code, and not in the
# AVX2 and AVX-512 copies of the kernel that it carries beside it (their
# 256- and 512-bit registers show that they are there and were scanned).
# The one exception is the section lamina_fused_math: the lane-wide exp that
# follows the C library's FMA variant, with its nine fused operations (the
# reduction's three, the polynomial's four, the scaling and the scaling of
# the special case) in each of the two copies, and nothing else.
set -euo pipefail
module=${1:-$(python3 -c 'import lamina; print(lamina.__file__)')}
listing=$(objdump -d --no-show-raw-insn "$module" | awk '/^Disassembly of section /{section=$4} {print section "\t" $0}')
fma='\b(vfmadd|vfmsub|vfnmadd|vfnmsub|vfmaddsub|vfmsubadd)'
fused=$(grep '^lamina_fused_math:' <<<"$listing" || true)
count=$(grep -v '^lamina_fused_math:' <<<"$listing" | grep -c -E "$fma" || true)
echo "$module: $count fused multiply-add instructions outside lamina_fused_math"
if [ "$(uname -m)" = x86_64 ]; then
  avx2=$(grep -c '%ymm' <<<"$listing" || true)
  avx512=$(grep -c '%zmm' <<<"$listing" || true)
  echo "instructions on ymm registers: $avx2, on zmm registers: $avx512"
  [ "$avx2" -gt 0 ] && [ "$avx512" -gt 0 ] || { echo "a kernel copy is missing" >&2; exit 1; }
  fused_ymm=$(grep -E "$fma" <<<"$fused" | grep -c '%ymm' || true)
  fused_zmm=$(grep -E "$fma" <<<"$fused" | grep -c '%zmm' || true)
  fused_all=$(grep -c -E "$fma" <<<"$fused" || true)
  echo "in lamina_fused_math: $fused_ymm on ymm, $fused_zmm on zmm registers, $fused_all in all"
  [ "$fused_ymm" -eq 9 ] && [ "$fused_zmm" -eq 9 ] && [ "$fused_all" -eq 18 ] ||
    { echo "the fused exp's multiply-adds are not the library's nine per copy" >&2; exit 1; }
fi
[ "$count" -eq 0 ]
