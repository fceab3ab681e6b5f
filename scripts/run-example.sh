#!/bin/sh
# Protects a copy of examples/keystore.conf with the native build (built
# first if needed) and shows the file before and after. The copy lives in
# build/example; the shipped example is never changed.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh --native
if [ ! -f build/linux/build.ninja ]; then
  cmake --preset linux >/dev/null
fi
cmake --build --preset linux --target orvseal orvseal_reveal -j 2 >/dev/null

work=build/example
rm -rf "$work"
mkdir -p "$work"
cp examples/keystore.conf examples/initial.key "$work/"
chmod 600 "$work/initial.key"

echo "== examples/keystore.conf before"
cat "$work/keystore.conf"
echo
echo "== orvseal -f keystore.conf   (in $work; the key file comes from orvcred.keyfile)"
status=0
(cd "$work" && ../linux/cmd/orv/orvseal -f keystore.conf) || status=$?
echo "(exit code $status)"
echo
echo "== keystore.conf after"
cat "$work/keystore.conf"
echo
echo "== the protected values read back with the initial key"
(cd "$work" && ../linux/tests/orvseal_reveal -sf initial.key keystore.conf)
exit "$status"
