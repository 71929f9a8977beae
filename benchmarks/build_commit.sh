#!/usr/bin/env bash
# Build the lamina module as it was at a commit, for timing it beside this build:
#
#   benchmarks/build_commit.sh 5ed722e            # prints the directory, /tmp/lamina-5ed722e
#   python benchmarks/compare.py --against /tmp/lamina-5ed722e
#
# The commit's tree is exported (no checkout, no worktree) and built by pip with
# the commit's own build settings into DEST; nothing else is installed.
set -euo pipefail
commit=${1:?usage: benchmarks/build_commit.sh COMMIT [DEST]}
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
short=$(git -C "$root" rev-parse --short "$commit^{commit}")
dest=${2:-/tmp/lamina-$short}
python=${PYTHON:-python3}
src=$(mktemp -d "${TMPDIR:-/tmp}/lamina-src-XXXXXX")
trap 'rm -rf "$src"' EXIT
git -C "$root" archive "$short" | tar -x -C "$src"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$python" -m pip install --quiet --no-deps --upgrade --target "$dest" "$src" >&2
ls "$dest"/lamina*.so >/dev/null
echo "$dest"
