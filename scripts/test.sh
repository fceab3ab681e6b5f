#!/bin/sh
# The whole test suite: installs missing build dependencies, builds the three
# configurations (Linux, Linux with sanitizers, Windows x64 under Wine) and
# runs every test of each.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in linux sanitize windows; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  echo "== $preset: test"
  ctest --preset "$preset"
done
echo "== all tests passed"
