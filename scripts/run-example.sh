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
cmake --build --preset linux --target orvseal orvcred -j 2 >/dev/null

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
echo "== orvcred check, and the protected values read back with orvcred reveal"
(cd "$work" && ../linux/cmd/orvcred/orvcred check -f keystore.conf 2>/dev/null &&
  for key in pem.password pem.password.channel pem.password.channel2 crl.ldap.pass \
             pkcs11.token_pin; do
    printf '%s = ' "$key"
    ../linux/cmd/orvcred/orvcred reveal -f keystore.conf "$key" 2>/dev/null
  done)
exit "$status"
