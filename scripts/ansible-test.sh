#!/bin/sh
# The Ansible role against this machine, with the Linux build installed in a
# scratch prefix, on copies of the example keystore: a first run protects and
# reports changed, a second changes nothing; --check reports what a run would
# change and changes nothing; a wrong key fails the host with orvcred's
# message, and so does a plaintext behind a flag that says YES, the same on
# every run; no secret reaches Ansible's output, -vvv included.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install build/linux --prefix "$work/prefix" >/dev/null
export ANSIBLE_ROLES_PATH="$root/deploy/ansible/roles" ANSIBLE_NOCOLOR=1 \
  ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_WARNING=false
secret_key="ansible-test-key-$(date +%s)"

# play KEYSTORE KEY_PATH KEY_CONTENT [ansible-playbook options]: the recap's
# "changed=N failed=N" of one run; the whole output in $work/out.
play() {
  keystore=$1 key_path=$2 key_content=$3
  shift 3
  cat > "$work/vars.json" <<VARS
{"orvseal_keystore_path": "$keystore", "orvseal_key_path": "$key_path",
 "orvseal_key_content": "$key_content", "orvseal_install_dir": "$work/prefix/bin"}
VARS
  ansible-playbook -i localhost, -c local -e "@$work/vars.json" "$@" \
    tests/ansible/protect.yml > "$work/out" 2>&1 || true
  grep -o 'changed=[0-9]* *unreachable=[0-9]* *failed=[0-9]*' "$work/out" | tr -s ' ' |
    sed 's/ unreachable=[0-9]*//'
}

expect() {
  if [ "$2" != "$3" ]; then
    echo "ansible: $1: got '$2', expected '$3'"
    cat "$work/out"
    exit 1
  fi
  echo "ansible: $1: $2"
}

cp examples/keystore.conf "$work/keystore.conf"
expect "first run protects" "$(play "$work/keystore.conf" "$work/key" "$secret_key")" \
  "changed=2 failed=0"
[ "$(stat -c %a "$work/key")" = 600 ] || { echo "ansible: the key file is not 0600"; exit 1; }
cp "$work/keystore.conf" "$work/protected.conf"
expect "second run changes nothing" "$(play "$work/keystore.conf" "$work/key" "$secret_key")" \
  "changed=0 failed=0"
cmp -s "$work/keystore.conf" "$work/protected.conf" || { echo "ansible: second run changed the file"; exit 1; }

cp examples/keystore.conf "$work/fresh.conf"
expect "--check on plaintext" "$(play "$work/fresh.conf" "$work/key" "$secret_key" --check)" \
  "changed=1 failed=0"
cmp -s "$work/fresh.conf" examples/keystore.conf || { echo "ansible: --check changed the file"; exit 1; }
expect "--check on a protected keystore" \
  "$(play "$work/keystore.conf" "$work/key" "$secret_key" --check)" "changed=0 failed=0"
expect "--check on a new host" "$(play "$work/fresh.conf" "$work/new.key" "$secret_key" --check)" \
  "changed=2 failed=0"
[ ! -e "$work/new.key" ] || { echo "ansible: --check placed the key file"; exit 1; }

expect "a wrong key fails" "$(play "$work/keystore.conf" "$work/other.key" "another key")" \
  "changed=1 failed=1"
grep -q "ORV9201E" "$work/out" || { echo "ansible: no orvcred message"; cat "$work/out"; exit 1; }
cmp -s "$work/keystore.conf" "$work/protected.conf" || { echo "ansible: a failed run changed the file"; exit 1; }

# A password typed in below a flag that says YES: never "changed", the same
# clear failure every run, naming the line and its flag line.
printf 'pem.encrypted = YES\npem.password = typed-in\n' > "$work/held.conf"
cp "$work/held.conf" "$work/held.orig"
for round in first second; do
  expect "a plaintext behind YES fails the host ($round run)" \
    "$(play "$work/held.conf" "$work/key" "$secret_key")" "changed=0 failed=1"
  grep -q "Line 2 of '$work/held.conf' holds a plaintext 'pem.password' after the flag line 1" \
    "$work/out" || { echo "ansible: no line and flag line named"; cat "$work/out"; exit 1; }
done
cmp -s "$work/held.conf" "$work/held.orig" || { echo "ansible: the held keystore changed"; exit 1; }

cp examples/keystore.conf "$work/verbose.conf"
play "$work/verbose.conf" "$work/key" "$secret_key" -vvv >/dev/null
for secret in "$secret_key" s3cret-Pem-Pass channel-one-pass Ld4p-Reader-Pw 123456; do
  if grep -q -- "$secret" "$work/out"; then
    echo "ansible: '$secret' in the output of a -vvv run"
    exit 1
  fi
done
echo "ansible: no secret in the -vvv output"
