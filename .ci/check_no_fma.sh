#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# built code must contain none: not in the shared engine's baseline x86-64
# code, not in the AVX2 and AVX-512 copies of the kernel that it carries beside
# it (their 256- and 512-bit registers show that they are there and were
# scanned), and not in the two modules that load it.
set -euo pipefail
read -r lamina_module engine_module < <(python3 -c '
import lamina
from lamina_design import _engine
print(lamina.__file__, _engine.__file__)')
engine=$(dirname "$lamina_module")/lamina.libs/liblamina_strata.so
status=0
for binary in "$lamina_module" "$engine_module" "$engine"; do
  listing=$(objdump -d --no-show-raw-insn "$binary")
  count=$(grep -c -E '\b(vfmadd|vfmsub|vfnmadd|vfnmsub|vfmaddsub|vfmsubadd)' <<<"$listing" || true)
  echo "$binary: $count fused multiply-add instructions"
  [ "$count" -eq 0 ] || status=1
done
if [ "$(uname -m)" = x86_64 ]; then
  listing=$(objdump -d --no-show-raw-insn "$engine")
  avx2=$(grep -c '%ymm' <<<"$listing" || true)
  avx512=$(grep -c '%zmm' <<<"$listing" || true)
  echo "engine instructions on ymm registers: $avx2, on zmm registers: $avx512"
  [ "$avx2" -gt 0 ] && [ "$avx512" -gt 0 ] || { echo "a kernel copy is missing" >&2; exit 1; }
fi
exit "$status"
