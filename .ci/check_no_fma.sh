#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# module must contain none: not in its baseline x86-64 code, and not in the
# AVX2 and AVX-512 copies of the kernel that it carries beside it (their
# 256- and 512-bit registers show that they are there and were scanned).
set -euo pipefail
module=$(python3 -c 'import lamina; print(lamina.__file__)')
listing=$(objdump -d --no-show-raw-insn "$module")
count=$(grep -c -E '\b(vfmadd|vfmsub|vfnmadd|vfnmsub|vfmaddsub|vfmsubadd)' <<<"$listing" || true)
echo "$module: $count fused multiply-add instructions"
if [ "$(uname -m)" = x86_64 ]; then
  avx2=$(grep -c '%ymm' <<<"$listing" || true)
  avx512=$(grep -c '%zmm' <<<"$listing" || true)
  echo "instructions on ymm registers: $avx2, on zmm registers: $avx512"
  [ "$avx2" -gt 0 ] && [ "$avx512" -gt 0 ] || { echo "a kernel copy is missing" >&2; exit 1; }
fi
[ "$count" -eq 0 ]
