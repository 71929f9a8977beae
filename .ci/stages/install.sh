#!/usr/bin/env bash
# The package with the test and bench extras, as the README installs it, and
# ccache for every build after it.
set -euo pipefail
if ! command -v ccache >/dev/null; then
  apt-get update -qq && apt-get install -y -qq ccache >/dev/null
fi
# The designer's page is tested in Debian's Chromium, driven through its chromedriver.
if ! command -v chromium >/dev/null || ! command -v chromedriver >/dev/null; then
  apt-get update -qq && apt-get install -y -qq chromium chromium-driver >/dev/null
fi
# bench adds tmm-faster (NumPy 2 only), so the benchmark scripts' smoke run is part of the suite;
# gui brings the designer's server, whose page the browser tests drive through selenium.
python3 -m pip install -q '.[test,bench,gui]' selenium
# The stages after this one configure both modules with CMake outside pip's
# isolated build, so they need the binding library's CMake package here too.
python3 -m pip install -q 'nanobind>=2.0'
