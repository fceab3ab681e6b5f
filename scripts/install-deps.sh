#!/bin/sh
# Installs, from Debian 12's archive, whatever the builds and tests need and is
# not installed yet. Needs root (or sudo) only when something is missing.
set -eu

# With --native: only what the native build of the command needs.
native="cmake ninja-build g++ libssl-dev googletest python3"
packages="$native libbenchmark-dev clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 llvm dpkg-dev pkg-config ansible ansible-lint python3-apt lintian wixl msitools python3-jsonschema pre-commit"
[ "${1:-}" = "--native" ] && packages="$native"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
else
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
