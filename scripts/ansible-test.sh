#!/bin/sh
# The Ansible role against this machine, with the Linux build installed in a
# scratch prefix, on copies of the example keystore: a first run protects and
# reports changed, a second changes nothing, nor does the same key given with
# a line end; --check changes nothing; a key
# rotation moves every value to the new key while a reader opens the
# keystore in a loop, and one cut off after any step is finished by the next
# run; a keystore that neither key reads fails the host and changes nothing,
# and so do a keystore naming a generation past the role's last and a
# plaintext behind a flag that says YES, on every run; a package is installed
# from a folder of the run's own, checked against the controller's (as
# root), and the project's .debs of the commands and the library are
# installed once, together; a key file for a service
# group is root's, 0640, and read by a member of that group (as root);
# values given to the role are set through orvcred set's standard input,
# read back by the consumer, in no file, set once, and only reported under
# --check; ansible-lint is clean; no secret reaches Ansible's output, -vvv
# included.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d)
trap 'touch "$work/stop"; wait; rm -rf "$work" ${planted:+"$planted"}
  [ -z "${svc:-}" ] || groupdel "$svc" 2>/dev/null || true
  [ -z "${probe:-}" ] || dpkg -P "$probe" >/dev/null 2>&1 || true
  [ -z "${purge:-}" ] || dpkg -P $purge >/dev/null 2>&1 || true' EXIT
cmake --install build/linux --prefix "$work/prefix" >/dev/null
bin=$work/prefix/bin
export ANSIBLE_ROLES_PATH="$root/deploy/ansible/roles" ANSIBLE_NOCOLOR=1 \
  ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_WARNING=false
stamp=$(date +%s)
secrets="s3cret-Pem-Pass channel-one-pass Ld4p-Reader-Pw 123456"

fail() {
  echo "ansible: $*"
  cat "$work/out"
  exit 1
}

# play KEYSTORE KEY_PATH KEY_CONTENT [ansible-playbook options]: the recap's
# "changed=N failed=N" of one run; the whole output in $work/out.
play() {
  keystore=$1 key_path=$2 key_content=$3
  shift 3
  cat > "$work/vars.json" <<VARS
{"orvseal_keystore_path": "$keystore", "orvseal_key_path": "$key_path",
 "orvseal_key_content": "$key_content", "orvseal_install_dir": "${install_dir:-$bin}",
 "orvseal_package": "${package:-}", "orvseal_packages": ${packages:-[]}${more_vars:-}}
VARS
  ansible-playbook -i localhost, -c local -e "@$work/vars.json" "$@" \
    tests/ansible/protect.yml > "$work/out" 2>&1 || true
  grep -o 'changed=[0-9]* *unreachable=[0-9]* *failed=[0-9]*' "$work/out" | tr -s ' ' |
    sed 's/ unreachable=[0-9]*//'
}

expect() {
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
  echo "ansible: $1: $2"
}

# reads KEYSTORE KEY_FILE: every value of the example reads with the key.
reads() {
  got=$("$bin/orvcred" reveal -f "$1" -sf "$2" pem.password crl.ldap.pass 2>/dev/null) ||
    fail "$1 does not read with $2"
  [ "$got" = "s3cret-Pem-Pass
Ld4p-Reader-Pw" ] || fail "$1 reads as '$got'"
}

# The example names its key file, initial.key beside it: the role keeps it
# and its generations initial.key.1, .2, ...
ks=$work/keystore.conf key=$work/initial.key
cp examples/keystore.conf "$ks"
expect "first run protects" "$(play "$ks" "$key" "key-A-$stamp")" "changed=2 failed=0"
[ "$(stat -c %a "$key")" = 600 ] || fail "the key file is not 0600"
cp "$ks" "$work/protected.conf"
expect "second run changes nothing" "$(play "$ks" "$key" "key-A-$stamp")" "changed=0 failed=0"
cmp -s "$ks" "$work/protected.conf" || fail "the second run changed the file"
# The product reads a key file without its one trailing line end: the same
# key given with one is no new key.
expect "the key with a line end (LF) changes nothing" "$(play "$ks" "$key" "key-A-$stamp\\n")" \
  "changed=0 failed=0"
expect "the key with a line end (CRLF) changes nothing" "$(play "$ks" "$key" "key-A-$stamp\\r\\n")" \
  "changed=0 failed=0"
cmp -s "$ks" "$work/protected.conf" && [ ! -e "$key.1" ] || fail "a key with a line end rotated"

cp examples/keystore.conf "$work/fresh.conf"
expect "--check on plaintext" "$(play "$work/fresh.conf" "$key" "key-A-$stamp" --check)" \
  "changed=1 failed=0"
cmp -s "$work/fresh.conf" examples/keystore.conf || fail "--check changed the file"
mkdir "$work/new"
cp examples/keystore.conf "$work/new/keystore.conf"
expect "--check on a new host, with values" \
  "$(more_vars=", \"orvseal_values\": {\"pem.password\": \"Pem-New-Host\"}"
     play "$work/new/keystore.conf" "$work/new/initial.key" "key-A-$stamp" --check)" "changed=3 failed=0"
[ ! -e "$work/new/initial.key" ] || fail "--check placed the key file"
expect "--check of a rotation" "$(play "$ks" "$key" "key-B-$stamp" --check)" "changed=2 failed=0"
cmp -s "$ks" "$work/protected.conf" && [ ! -e "$key.1" ] || fail "--check rotated"

# Rotations while a reader opens the keystore through the library again and
# again, finding the key through the keystore's orvcred.keyfile line.
libdir=$(dirname "$(find "$work/prefix" -name liborvcred.so)")
cc -o "$work/reader" examples/consumer/consumer.c -I"$work/prefix/include" \
  -L"$libdir" -lorvcred -Wl,-rpath,"$libdir"
(
  while [ ! -e "$work/stop" ]; do
    "$work/reader" "$ks" pem.password >/dev/null 2>>"$work/reader.err" || echo x >>"$work/failures"
    echo . >>"$work/reads"
  done
) &
for round in 1 2 3; do
  expect "rotation $round" "$(play "$ks" "$key" "key-$round-$stamp")" "changed=3 failed=0"
  reads "$ks" "$key.$round"
  [ ! -e "$key.$((round - 1))" ] && [ ! -e "$key" ] || fail "rotation $round left the old key"
  # The example names initial.key relatively: the line stays relative.
  grep -qx "orvcred.keyfile = initial.key.$round" "$ks" || fail "rotation $round: the key file line"
done
touch "$work/stop"
wait
[ ! -e "$work/failures" ] || fail "the reader failed $(wc -l <"$work/failures") times: $(head -n 3 "$work/reader.err")"
echo "ansible: a reader opened the keystore $(wc -l <"$work/reads") times, never failing"
expect "a second run after rotations" "$(play "$ks" "$key" "key-3-$stamp")" "changed=0 failed=0"

# Cut off after each step, as a killed run leaves it: the next run finishes.
printf 'key-4-%s\n' "$stamp" >"$key.4"
chmod 600 "$key.4"
expect "a rotation stopped after the new key was placed" \
  "$(play "$ks" "$key" "key-4-$stamp")" "changed=2 failed=0"
reads "$ks" "$key.4"
printf 'key-5-%s\n' "$stamp" >"$key.5"
chmod 600 "$key.5"
"$bin/orvcred" rekey -f "$ks" -sf "$key.4" -nf "$key.5" 2>/dev/null
expect "a rotation stopped after the values moved" "$(play "$ks" "$key" "key-5-$stamp")" \
  "changed=1 failed=0"
reads "$ks" "$key.5"
[ ! -e "$key.4" ] || fail "the old key was not retired"
expect "an absolute key file line" "$(play "$ks" "$key" "key-6-$stamp")" "changed=3 failed=0"
grep -qx "orvcred.keyfile = $key.6" "$ks" || fail "the absolute key file line became $(grep keyfile "$ks")"
reads "$ks" "$key.6"

# A keystore that names no key file: the key stays at its one name, the new
# one beside it until the values have moved.
grep -v '^orvcred.keyfile' examples/keystore.conf >"$work/option.conf"
opt=$work/option.key
expect "protected by option" "$(play "$work/option.conf" "$opt" "key-A-$stamp")" "changed=2 failed=0"
expect "rotation by option" "$(play "$work/option.conf" "$opt" "key-B-$stamp")" "changed=3 failed=0"
reads "$work/option.conf" "$opt"
printf 'key-C-%s\n' "$stamp" >"$opt.next"
chmod 600 "$opt.next"
"$bin/orvcred" rekey -f "$work/option.conf" -sf "$opt" -nf "$opt.next" 2>/dev/null
expect "a rotation by option stopped after the values moved" \
  "$(play "$work/option.conf" "$opt" "key-C-$stamp")" "changed=1 failed=0"
reads "$work/option.conf" "$opt"
[ ! -e "$opt.next" ] || fail "the new key is still beside the old one"

# Values given to the role: orvcred set reads them on its standard input,
# and the module that runs it is piped to the host even when Ansible keeps
# its files there; the consumer reads them back, and the keystore's folder
# and Ansible's temporary folder hold none of them.
mkdir "$work/values"
vks=$work/values/keystore.conf vkey=$work/values/initial.key
cp examples/keystore.conf "$vks"
given=Pem-Given-$stamp added="[Chan 3, added $stamp]"
values=", \"orvseal_values\": {\"pem.password\": \"$given\", \"pem.password.channel3\": \"$added\"}"
expect "values set" \
  "$(export ANSIBLE_KEEP_REMOTE_FILES=1 ANSIBLE_REMOTE_TMP="$work/remote-tmp"
     more_vars=$values play "$vks" "$vkey" "key-A-$stamp")" "changed=3 failed=0"
[ "$("$work/reader" "$vks" pem.password pem.password.channel3 crl.ldap.pass)" = "pem.password=$given
pem.password.channel3=$added
crl.ldap.pass=Ld4p-Reader-Pw" ] || fail "the consumer does not read the values set"
[ -n "$(ls -A "$work/remote-tmp")" ] && ! grep -rqF -e "$given" -e "$added" "$work/values" "$work/remote-tmp" ||
  fail "a value set is in a file: $(grep -rlF -e "$given" -e "$added" "$work/values" "$work/remote-tmp")"
cp "$vks" "$work/values.conf"
expect "values set again change nothing" "$(more_vars=$values play "$vks" "$vkey" "key-A-$stamp")" \
  "changed=0 failed=0"
expect "--check of a value" "$(more_vars=", \"orvseal_values\": {\"pem.password\": \"Pem-Next-$stamp\"}"
  play "$vks" "$vkey" "key-A-$stamp" --check)" "changed=1 failed=0"
grep -q "$vks: pem.password would be set." "$work/out" || fail "no report naming the value"
cmp -s "$vks" "$work/values.conf" || fail "--check of a value changed the keystore"
# Refused before anything is done, naming keys alone.
expect "values refused" "$(more_vars=", \"orvseal_values\": {\"crl.ldap.user\": \"Not-Secret-$stamp\",
  \"pem.password\": \"Two\\nLines-$stamp\"}" play "$vks" "$vkey" "key-A-$stamp")" "changed=0 failed=1"
grep -q "orvseal_values: crl.ldap.user are no credential keys .* pem.password: each value must be" "$work/out" ||
  fail "no message naming the keys refused"
! grep -q -e "Not-Secret-$stamp" -e "Lines-$stamp" "$work/out" || fail "a value refused is in the output"
cmp -s "$vks" "$work/values.conf" || fail "values refused changed the keystore"

# Neither the host's key nor the one given reads the keystore.
printf 'not-the-key\n' >"$key.6"
cp "$ks" "$work/before.conf"
expect "a keystore that neither key reads fails" "$(play "$ks" "$key" "key-7-$stamp")" \
  "changed=0 failed=1"
grep -q "orvcred check with the key file $key.6 says: ORV9201E: .* Nothing was changed." "$work/out" ||
  fail "no message naming the key that reads nothing"
cmp -s "$ks" "$work/before.conf" && [ "$(cat "$key.6")" = not-the-key ] && [ ! -e "$key.7" ] ||
  fail "a failed rotation changed a file"

# A keystore that names a generation past the role's last (100000) fails the
# host before anything is written, at once: under a memory limit, counting up
# to its number would fail instead of eating the machine's memory. From the
# last generation itself no rotation starts.
mkdir "$work/far"
sed "s|^orvcred.keyfile = .*|orvcred.keyfile = $work/far/initial.key.10000000000|" examples/keystore.conf \
  >"$work/far/keystore.conf"
cp "$work/far/keystore.conf" "$work/far.orig"
expect "a keystore naming generation 10000000000 fails" \
  "$( (ulimit -v 1500000; play "$work/far/keystore.conf" "$work/far/initial.key" "key-A-$stamp") )" \
  "changed=0 failed=1"
grep -q "names the key file $work/far/initial.key.10000000000 in its orvcred.keyfile line; the role's generations end at $work/far/initial.key.100000. Nothing was changed." \
  "$work/out" || fail "no message naming the generation"
cmp -s "$work/far/keystore.conf" "$work/far.orig" && [ "$(ls "$work/far")" = keystore.conf ] ||
  fail "a keystore naming a generation past the last changed a file"
sed -i "s|^orvcred.keyfile = .*|orvcred.keyfile = $work/far/initial.key.100000|" "$work/far/keystore.conf"
expect "the last generation protects" "$(play "$work/far/keystore.conf" "$work/far/initial.key" "key-A-$stamp")" \
  "changed=2 failed=0"
cp "$work/far/keystore.conf" "$work/far.orig"
expect "no rotation from the last generation" \
  "$(play "$work/far/keystore.conf" "$work/far/initial.key" "key-B-$stamp")" "changed=0 failed=1"
grep -q "its key file $work/far/initial.key.100000 is the role's last generation. Nothing was changed." "$work/out" ||
  fail "no message naming the last generation"
cmp -s "$work/far/keystore.conf" "$work/far.orig" && [ ! -e "$work/far/initial.key.100001" ] ||
  fail "a rotation from the last generation changed a file"

# A password typed in below a flag that says YES: never "changed", the same
# clear failure every run, naming the line and its flag line.
printf 'pem.encrypted = YES\npem.password = typed-in\n' > "$work/held.conf"
cp "$work/held.conf" "$work/held.orig"
for round in first second; do
  expect "a plaintext behind YES fails the host ($round run)" \
    "$(play "$work/held.conf" "$opt" "key-C-$stamp")" "changed=0 failed=1"
  grep -q "Line 2 of '$work/held.conf' holds a plaintext 'pem.password' after the flag line 1" \
    "$work/out" || fail "no line and flag line named"
done
cmp -s "$work/held.conf" "$work/held.orig" || fail "the held keystore changed"

# What orvseal warns of reaches the play's output as a warning.
mkdir "$work/linked"
cp examples/keystore.conf "$work/linked/keystore.conf"
ln "$work/linked/keystore.conf" "$work/linked/other-name.conf"
expect "orvseal's warning" \
  "$(play "$work/linked/keystore.conf" "$work/linked/initial.key" "key-A-$stamp")" "changed=2 failed=0"
grep -q "\[WARNING\]: ORV9114W: The keystore file" "$work/out" || fail "no warning shown"

# A rotation that sets values at -vvv: neither key, nor its digest, nor a
# value in the output. The values are set under the new key.
mkdir "$work/verbose"
cp examples/keystore.conf "$work/verbose/keystore.conf"
play "$work/verbose/keystore.conf" "$work/verbose/initial.key" "key-V-$stamp" >/dev/null
expect "a rotation with values at -vvv" \
  "$(more_vars=", \"orvseal_values\": {\"pem.password\": \"Pem-Verbose-$stamp\", \"pkcs11.token_pin\": \"98-$stamp\"}"
     play "$work/verbose/keystore.conf" "$work/verbose/initial.key" "key-W-$stamp" -vvv)" "changed=4 failed=0"
[ "$("$bin/orvcred" reveal -f "$work/verbose/keystore.conf" -sf "$work/verbose/initial.key.1" pem.password \
  pkcs11.token_pin 2>/dev/null)" = "Pem-Verbose-$stamp
98-$stamp" ] || fail "the values set in a rotation do not read with the new key"
secrets="$secrets key-V-$stamp key-W-$stamp Pem-Verbose-$stamp 98-$stamp"
for digest in sha1sum sha256sum; do
  secrets="$secrets $(printf 'key-W-%s\n' "$stamp" | $digest | awk '{print $1}')"
done
for secret in $secrets; do
  ! grep -q -- "$secret" "$work/out" || fail "'$secret' in the output of a -vvv run"
done
echo "ansible: no secret in the -vvv output"

ansible-lint --offline --nocolor --profile production deploy/ansible >"$work/out" 2>&1 || fail "ansible-lint"
for playbook in deploy/ansible/site.yml tests/ansible/windows-syntax.yml; do
  ansible-playbook --syntax-check -i "localhost," "$playbook" >"$work/out" 2>&1 ||
    fail "syntax check of $playbook"
done
echo "ansible: ansible-lint (production profile) and the syntax check are clean"

# A package of nothing, installed by the role from a folder made for the run
# (in TMPDIR) and removed after it (as root). A file that another account put
# beforehand where packages once went, /var/tmp, with the same bytes, is
# neither used nor changed; a copy changed between its copy and its install
# (by tests/ansible/callback_plugins, the moment the copy task reports) fails
# the host, and nothing is installed.
if [ "$(id -u)" = 0 ]; then
  probe=orvseal-role-probe
  dpkg -P "$probe" >/dev/null 2>&1 || true
  mkdir -p "$work/probe/DEBIAN" "$work/tmp"
  printf 'Package: %s\nVersion: 0.0.1\nArchitecture: all\nMaintainer: orvseal <orvseal@localhost>\nDescription: %s\n' \
    "$probe" "a package of nothing, for the role's test" >"$work/probe/DEBIAN/control"
  package=$work/${probe}_0.0.1_all.deb
  dpkg-deb --root-owner-group --build "$work/probe" "$package" >/dev/null
  mkdir "$work/installing"
  cp examples/keystore.conf "$work/installing/keystore.conf"
  expect "a package changed after its copy fails the host" \
    "$(export TMPDIR="$work/tmp" ORVSEAL_TAMPER_TASK="Copy the packages to the host" \
       ANSIBLE_CALLBACK_PLUGINS="$root/tests/ansible/callback_plugins" ANSIBLE_CALLBACKS_ENABLED=orvseal_tamper
       play "$work/installing/keystore.conf" "$work/installing/initial.key" "key-A-$stamp")" "changed=2 failed=1"
  grep -q "on the host is not the package $package on the controller" "$work/out" ||
    fail "no message on the changed copy"
  ! dpkg -s "$probe" >/dev/null 2>&1 || fail "a changed copy was installed"
  [ -z "$(ls -A "$work/tmp")" ] || fail "the package's folder was left: $(ls "$work/tmp")"
  planted=/var/tmp/${probe}_0.0.1_all.deb
  cp "$package" "$planted"
  chown 1234:1234 "$planted"
  chmod 664 "$planted"
  was=$(stat -c '%u %a %Y' "$planted")
  expect "a package installed beside a file planted at its old path" \
    "$(export TMPDIR="$work/tmp"; play "$work/installing/keystore.conf" "$work/installing/initial.key" "key-A-$stamp")" "changed=5 failed=0"
  dpkg -s "$probe" 2>/dev/null | grep -qx "Status: install ok installed" || fail "the package was not installed"
  [ "$(stat -c '%u %a %Y' "$planted" 2>/dev/null)" = "$was" ] && cmp -s "$planted" "$package" ||
    fail "the file planted at /var/tmp was used or changed"
  [ -z "$(ls -A "$work/tmp")" ] || fail "the package's folder was left: $(ls "$work/tmp")"
  dpkg -P "$probe" >/dev/null
  rm -f "$planted"
  package=
else
  echo "ansible: the install from a folder of the run's own is left out (not root)"
fi

# A key file for a service group: root's, 0640, and a service in that group
# (nobody, with the group as its one group) reads a value through it.
if [ "$(id -u)" = 0 ]; then
  svc=orvseal-test-$$
  groupadd "$svc"
  mkdir -m 755 "$work/service"
  chmod 711 "$work"
  cp examples/keystore.conf "$work/service/keystore.conf"
  expect "a key file for a service group" \
    "$(more_vars=", \"orvseal_key_group\": \"$svc\""
       play "$work/service/keystore.conf" "$work/service/initial.key" "key-S-$stamp")" "changed=2 failed=0"
  [ "$(stat -c '%U:%G %a' "$work/service/initial.key")" = "root:$svc 640" ] ||
    fail "the key file is $(stat -c '%U:%G %a' "$work/service/initial.key")"
  "$bin/orvcred" check -f "$work/service/keystore.conf" >/dev/null 2>&1 || fail "the keystore is not protected"
  got=$(setpriv --reuid=65534 --regid=65534 --groups="$(getent group "$svc" | cut -d: -f3)" \
    "$bin/orvcred" reveal -f "$work/service/keystore.conf" pem.password 2>"$work/out") ||
    fail "a member of $svc cannot read a value"
  [ "$got" = s3cret-Pem-Pass ] || fail "a member of $svc reads '$got'"
  expect "a key file of another owner for a group is refused" \
    "$(more_vars=", \"orvseal_key_group\": \"$svc\", \"orvseal_key_owner\": \"nobody\""
       play "$work/service/keystore.conf" "$work/service/initial.key" "key-T-$stamp")" "changed=0 failed=1"
  grep -q "a key file that its group reads (0640) must be root's" "$work/out" || fail "no message on the owner"
  groupdel "$svc"
  svc=
  echo "ansible: a member of the key file's group read a value"
else
  echo "ansible: the key file for a service group is left out (not root)"
fi

# The project's .debs of the commands and the library, installed by the role
# into this machine in one transaction, and removed.
deb=$(ls build/packages/orvseal_*_amd64.deb 2>/dev/null | head -n 1)
lib=$(ls build/packages/liborvcred1_*_amd64.deb 2>/dev/null | head -n 1)
if [ "$(id -u)" = 0 ] && [ -n "$deb" ] && [ -n "$lib" ] && ! dpkg -s orvseal >/dev/null 2>&1 &&
  ! dpkg -s liborvcred1 >/dev/null 2>&1; then
  cp examples/keystore.conf "$work/installed.conf"
  packages="[\"$root/$deb\", \"$root/$lib\"]" install_dir=/usr/bin purge="orvseal liborvcred1"
  expect "the packages installed" "$(play "$work/installed.conf" "$key" "key-5-$stamp")" \
    "changed=5 failed=0"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
  for name in $purge; do
    [ "$(dpkg-query -W -f '${db:Status-Status} ${Version}' "$name")" = "installed $version" ] ||
      fail "$name $version is not installed"
  done
  expect "installed once" "$(play "$work/installed.conf" "$key" "key-5-$stamp")" \
    "changed=0 failed=0"
  # shellcheck disable=SC2086
  dpkg -P $purge >/dev/null
  purge=
else
  echo "ansible: the package install is left out (not root, no .debs, or orvseal installed)"
fi
