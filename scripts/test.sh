#!/bin/sh
# The whole test suite: installs missing build dependencies, builds the three
# configurations (Linux, Linux with sanitizers, Windows x64 under Wine) and
# runs every test of each; then builds the fuzz targets, replays their seed
# corpora and fuzzes each for ORV_FUZZ_SECONDS (default 60). Between the
# two, the packages of the Linux and Windows builds are made and tested, and
# the Ansible role is run against this machine.
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
scripts/package-test.sh
echo "== ansible: the role against this machine"
scripts/ansible-test.sh
echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2
echo "== fuzz: seed corpora replayed"
ctest --preset fuzz
echo "== fuzz: ${ORV_FUZZ_SECONDS:-60} s per target, two at a time"
scripts/fuzz.sh
echo "== all tests passed"
