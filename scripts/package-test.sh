#!/bin/sh
# The packages as users get them, from the linux and windows builds (built
# before): builds the .deb, .tar.gz and zip; installs the Linux build into a
# scratch prefix and builds the consumer example against it with find_package
# and with pkg-config; builds it with the cross toolchain against the unpacked
# zip and runs it under Wine; unpacks the .deb and runs its commands; checks
# every package's files against tests/package/*.txt.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvseal-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "package test: $*" >&2
  exit 1
}

# check_files TREE LIST [PREFIX]: TREE holds exactly the files of LIST (with
# PREFIX before each), and none of them names this source tree.
check_files() {
  sed "s|@VERSION@|$version|; s|^|${3:-}|" "tests/package/$2" | LC_ALL=C sort >"$scratch/expected"
  (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | LC_ALL=C sort >"$scratch/actual"
  diff -u "$scratch/expected" "$scratch/actual" || fail "$1: other files than tests/package/$2"
  ! grep -rlF "$top" "$1" || fail "$1: the files above hold a build path"
}

# check_version DIR [RUNNER]: DIR's commands report this version.
check_version() {
  got=$(${2:-} "$1/orvcred$exe" version 2>/dev/null | tr -d '\r')
  [ "$got" = "$version" ] || fail "$1/orvcred version: '$got'"
  line=$(${2:-} "$1/orvseal$exe" -f missing.conf 2>/dev/null | head -n 1)
  case "$line" in
    "orvseal $version - "*Copyright*) ;;
    *) fail "$1/orvseal: copyright line '$line'" ;;
  esac
}

# read_example [RUNNER] CONSUMER: the consumer reads the protected example.
read_example() {
  got=$(cd "$scratch/example" && "$@" keystore.conf pem.password crl.ldap.pass | tr -d '\r')
  [ "$got" = "pem.password=s3cret-Pem-Pass
crl.ldap.pass=Ld4p-Reader-Pw" ] || fail "$*: '$got'"
  status=0
  (cd "$scratch/example" && "$@" keystore.conf missing >/dev/null 2>&1) || status=$?
  [ "$status" = 4 ] || fail "$*: a missing key gave exit $status, not 4"
}

echo "== packages: build"
for build in linux windows; do
  (cd "build/$build" && cpack >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack in build/$build"; }
done
deb=build/linux/packages/orvseal_${version}_amd64.deb
tgz=build/linux/packages/orvseal-$version-Linux-x86_64.tar.gz
zip=build/windows/packages/orvseal-$version-win64.zip

echo "== packages: installed Linux tree, consumer by find_package and pkg-config"
prefix="$scratch/prefix"
cmake --install build/linux --prefix "$prefix" --strip >/dev/null
check_files "$prefix" linux.txt
for page in man1/orvseal.1 man1/orvcred.1 man3/orvcred.3; do
  warnings=$(groff -ww -t -man -z "$prefix/share/man/$page" 2>&1)
  [ -z "$warnings" ] || fail "manual page $page: $warnings"
done
exe=""
check_version "$prefix/bin"
mkdir "$scratch/example"
cp examples/keystore.conf examples/initial.key "$scratch/example/"
chmod 600 "$scratch/example/initial.key"
(cd "$scratch/example" && "$prefix/bin/orvseal" -f keystore.conf >/dev/null)
grep -q "^pem.password = <ORV>2!" "$scratch/example/keystore.conf" || fail "example not protected"

symbols=$(nm -D --defined-only "$prefix/lib/liborvcred.so.$version" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$symbols" = "orvcred_close orvcred_error_text orvcred_free_value orvcred_get orvcred_open orvcred_uses_default_key " ] ||
  fail "liborvcred.so exports: $symbols"
soname=$(objdump -p "$prefix/lib/liborvcred.so.$version" | awk '/SONAME/ {print $2}')
[ "$soname" = "liborvcred.so.${version%%.*}" ] || fail "soname '$soname'"

cmake -S examples/consumer -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$scratch/consumer" >/dev/null
ldd "$scratch/consumer/orvcred_consumer" | grep -qF "$prefix/lib/liborvcred.so.1" ||
  fail "the consumer does not use the installed library"
read_example "$scratch/consumer/orvcred_consumer"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion orvcred)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -o "$scratch/consumer-pc" examples/consumer/consumer.c $(pkg-config --cflags --libs orvcred)
LD_LIBRARY_PATH="$prefix/lib" read_example "$scratch/consumer-pc"
# The static library, as pkg-config --static lists what it needs.
cc -c -o "$scratch/consumer.o" examples/consumer/consumer.c $(pkg-config --cflags orvcred)
# shellcheck disable=SC2046
cc -o "$scratch/consumer-static" "$scratch/consumer.o" "$prefix/lib/liborvcred.a" \
  $(pkg-config --static --libs-only-l orvcred | sed 's/-lorvcred//')
read_example "$scratch/consumer-static"

echo "== packages: .tar.gz and .deb"
mkdir "$scratch/tgz" "$scratch/deb"
tar -xzf "$tgz" -C "$scratch/tgz"
check_files "$scratch/tgz/orvseal-$version-Linux-x86_64" linux.txt
dpkg-deb -x "$deb" "$scratch/deb"
check_files "$scratch/deb" linux.txt usr/
depends=$(dpkg-deb -f "$deb" Depends)
names=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
[ "$names" = "libc6 libssl3 " ] || fail "the .deb depends on: $depends"
check_version "$scratch/deb/usr/bin"

echo "== packages: Windows zip, consumer by the cross toolchain, under Wine"
mkdir "$scratch/zip"
(cd "$scratch/zip" && cmake -E tar xf "$top/$zip")
win="$scratch/zip/orvseal-$version-win64"
check_files "$win" windows.txt
exe=".exe"
check_version "$win/bin" cmake/wine-run.sh
cmake -S examples/consumer -B "$scratch/consumer-win" -G Ninja \
  --toolchain "$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$win" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$scratch/consumer-win" >/dev/null
read_example "$top/cmake/wine-run.sh" "$scratch/consumer-win/orvcred_consumer.exe"
[ -f "$scratch/consumer-win/orvcred.dll" ] || fail "orvcred.dll not beside the consumer"
echo "== packages: all checks passed"
