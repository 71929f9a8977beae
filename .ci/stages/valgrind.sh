#!/usr/bin/env bash
# valgrind's memcheck on a script that walks every road through the module
# (.ci/valgrind_script.py), with PYTHONMALLOC=malloc so that every Python
# object is a heap block of its own. The module is built with debug
# information for readable stacks. The stage fails on any definite leak that
# .ci/valgrind.supp does not explain, and on any memcheck error with a frame
# of lamina's code in its stacks (where the value was made included). The
# interpreter's own reports (CPython 3.11 reads an unset digit of zero ints
# made by int.from_bytes) are counted but are not lamina's.
set -euo pipefail
if ! command -v valgrind >/dev/null; then
  apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi
build=build/ci-valgrind
python=$(python3 -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DLAMINA_BUILD_MODULE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target lamina -j "${CI_JOBS:-2}" >/dev/null
xml="$build/memcheck.xml"

PYTHONPATH="$PWD/$build" PYTHONMALLOC=malloc valgrind --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes --num-callers=50 \
  --suppressions=.ci/valgrind.supp --xml=yes --xml-file="$xml" \
  "$python" .ci/valgrind_script.py 5

"$python" - "$xml" <<'PY'
import collections, re, sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
ours_suppressed = set(re.findall(r"^\{\n\s*(\S+)", open(".ci/valgrind.supp").read(), re.M))


def frames(error):
    for frame in error.iter("frame"):  # the report's stack and, for unset values, their origin's
        yield frame.findtext("obj", ""), frame.findtext("fn", ""), frame.findtext("file", "")


def in_lamina(error):
    return any("/lamina." in obj or "lamina::" in fn or "strata::" in fn for obj, fn, _ in frames(error))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    stack = [f"    {fn or '???'} ({obj.rsplit('/', 1)[-1]}{':' + file if file else ''})" for obj, fn, file in frames(error)]
    return "\n".join([f"{error.findtext('kind')}: {what}", *stack])


errors = root.findall("error")
kinds = collections.Counter(error.findtext("kind") for error in errors)
explained = {pair.findtext("name"): int(pair.findtext("count")) for pair in root.iter("pair")
             if pair.findtext("name") in ours_suppressed}
leaks = [error for error in errors if error.findtext("kind") == "Leak_DefinitelyLost"]
lamina = [error for error in errors if in_lamina(error) and error not in leaks]
print(f"memcheck: {len(errors)} reports {dict(kinds)}; explained by .ci/valgrind.supp: {explained}")
print(f"memcheck: {len(leaks)} unexplained definite leaks, {len(lamina)} other reports in lamina's code")
for error in leaks + lamina:
    print(describe(error), end="\n\n")
sys.exit(1 if leaks or lamina else 0)
PY
