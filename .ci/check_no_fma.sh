#!/usr/bin/env bash
# Fused multiply-adds round once where the arithmetic must round twice; the
# built code must contain none: not in the shared engine's baseline x86-64
# code, not in the AVX2 and AVX-512 copies of the kernel that it carries beside
# it (their 256- and 512-bit registers show that they are there and were
# scanned), and not in the two modules that load it. The exceptions are the
# engine's sections listed below, each holding one lane-wide function that
# follows the C library's FMA variant, with as many fused operations in each
# of the two copies as the library has, and nothing else.
set -euo pipefail
# Section, fused operations per copy.
sections=(
  # exp and sincos. exp's nine: the reduction's three, the polynomial's four,
  # the scaling and the scaling of the special case; sincos's 28: the
  # reduction by pi/2's seven, the sine's eight from the table and six from
  # the Taylor polynomial, the cosine's seven.
  "lamina_fused_math 37"
  # atan2: the quotient's product error; the odd polynomial's five and its
  # sum with du; the table index; the expansion's three shared, its last
  # term, the first quadrant's two, and the other quadrants' one.
  "lamina_fused_atan2 15"
)
names=$(for entry in "${sections[@]}"; do echo "${entry%% *}"; done)
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
  count=$(grep -v -F -f <(sed 's/$/:/' <<<"$names") <<<"$listing" | grep -c -E "$fma" || true)
  echo "$binary: $count fused multiply-add instructions outside the sections of fused code"
  [ "$count" -eq 0 ] || status=1
  if [ "$binary" != "$engine" ] && grep -q '^lamina_fused_' <<<"$listing"; then
    echo "  sections of fused code belong in the engine only" >&2
    status=1
  fi
done
if [ "$(uname -m)" = x86_64 ]; then
  listing=$(disassemble "$engine")
  avx2=$(grep -c '%ymm' <<<"$listing" || true)
  avx512=$(grep -c '%zmm' <<<"$listing" || true)
  echo "engine instructions on ymm registers: $avx2, on zmm registers: $avx512"
  [ "$avx2" -gt 0 ] && [ "$avx512" -gt 0 ] || { echo "a kernel copy is missing" >&2; exit 1; }
  for entry in "${sections[@]}"; do
    read -r section expected <<<"$entry"
    fused=$(grep "^$section:" <<<"$listing" | grep -E "$fma" || true)
    fused_ymm=$(grep -c '%ymm' <<<"$fused" || true)
    fused_zmm=$(grep -c '%zmm' <<<"$fused" || true)
    fused_all=$(grep -c . <<<"$fused" || true)
    echo "engine's $section: $fused_ymm on ymm, $fused_zmm on zmm registers, $fused_all in all"
    if ! [ "$fused_ymm" -eq "$expected" ] || ! [ "$fused_zmm" -eq "$expected" ] ||
      ! [ "$fused_all" -eq $((2 * expected)) ]; then
      echo "the multiply-adds of $section are not the library's $expected per copy" >&2
      status=1
    fi
  done
fi
exit "$status"
