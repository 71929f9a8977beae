#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# module is built for the baseline x86-64 target and must contain none.
set -euo pipefail
module=$(python3 -c 'import lamina; print(lamina.__file__)')
count=$(objdump -d --no-show-raw-insn "$module" | grep -c -E '\b(vfmadd|vfmsub|vfnmadd|vfnmsub|vfmaddsub|vfmsubadd)' || true)
echo "$module: $count fused multiply-add instructions"
[ "$count" -eq 0 ]
