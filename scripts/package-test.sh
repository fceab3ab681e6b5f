#!/bin/sh
# The packages as users get them, made by scripts/packages.sh from the linux
# and windows builds (built before):
# - each .deb lintian-clean and holding the files of tests/package/; all
#   three installed on this machine with apt (root, or sudo), the commands
#   run, the consumer example built with find_package and with pkg-config
#   against the installed library; then removed, leaving the machine as found;
# - the .tar.gz and the zip hold the files of tests/package/; the consumer
#   built with the cross toolchain against the zip, run under Wine;
# - under Wine, the MSI installed over an older version, its commands run,
#   then removed without a trace;
# - a second build of what the packages hold, in another folder, gives the
#   same bytes; SHA256SUMS verifies.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs="orvseal liborvcred1 liborvcred-dev"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvseal-package-XXXXXX")
: "${ORV_WINEPREFIX:=${TMPDIR:-/tmp}/orvseal-wineprefix-$(id -u)}"
export ORV_WINEPREFIX
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
installed_debs=""
installed_msi=""

fail() {
  echo "package test: $*" >&2
  exit 1
}

# remove_debs: purges our packages and whatever apt brought in with them.
remove_debs() {
  installed_debs=""
  # shellcheck disable=SC2086
  $sudo apt-get purge -y -qq $debs >/dev/null
  dpkg-query -W -f '${Package}\n' | LC_ALL=C sort >"$scratch/after"
  added=$(LC_ALL=C comm -13 "$scratch/before" "$scratch/after" | tr '\n' ' ')
  # shellcheck disable=SC2086
  [ -z "$added" ] || $sudo apt-get purge -y -qq $added >/dev/null
}

# What the test installed goes again, on failure too.
cleanup() {
  [ -z "$installed_msi" ] || cmake/wine-run.sh msiexec /x "$installed_msi" /qn >/dev/null 2>&1 || true
  [ -z "$installed_debs" ] || remove_debs || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# windows_path FILE: FILE as Windows programs under Wine name it.
windows_path() {
  printf 'Z:%s' "$1" | tr / '\\'
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

# new_example: a fresh copy of the example keystore and its key.
new_example() {
  rm -rf "$scratch/example"
  mkdir "$scratch/example"
  cp examples/keystore.conf examples/initial.key "$scratch/example/"
  chmod 600 "$scratch/example/initial.key"
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
scripts/packages.sh >/dev/null
out=build/packages
tgz=$out/orvseal-$version-Linux-x86_64.tar.gz
zip=$out/orvseal-$version-win64.zip
msi=$out/orvseal-$version-x64.msi
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"

echo "== packages: the .debs, lintian and their files"
for package in $debs; do
  deb=$out/${package}_${version}_amd64.deb
  # Info tags are advice; an error or a warning fails.
  lintian --fail-on error,warning "$deb" ||
    fail "lintian: $deb"
  dpkg-deb -x "$deb" "$scratch/$package"
  check_files "$scratch/$package" "$package.txt"
done
depends=$(dpkg-deb -f "$out/orvseal_${version}_amd64.deb" Depends)
names=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
[ "$names" = "libc6 libssl3 " ] || fail "orvseal depends on: $depends"

echo "== packages: installed with apt, consumer by find_package and pkg-config"
for package in $debs; do
  ! dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q "installed" ||
    fail "$package is installed on this machine already; the test would replace it"
done
dpkg-query -W -f '${Package}\n' | LC_ALL=C sort >"$scratch/before"
installed_debs=yes
# shellcheck disable=SC2046
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
  $(for package in $debs; do echo "./$out/${package}_${version}_amd64.deb"; done) >/dev/null
exe=""
check_version /usr/bin
for page in man1/orvseal.1 man1/orvcred.1 man3/orvcred.3; do
  warnings=$(zcat "/usr/share/man/$page.gz" | groff -ww -t -man -z 2>&1)
  [ -z "$warnings" ] || fail "manual page $page: $warnings"
done
new_example
(cd "$scratch/example" && orvseal -f keystore.conf >/dev/null)
grep -q "^pem.password = <ORV>2!" "$scratch/example/keystore.conf" || fail "example not protected"

libdir=/usr/lib/$multiarch
symbols=$(nm -D --defined-only "$libdir/liborvcred.so.$version" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$symbols" = "orvcred_close orvcred_error_text orvcred_free_value orvcred_get orvcred_open orvcred_uses_default_key " ] ||
  fail "liborvcred.so exports: $symbols"
soname=$(objdump -p "$libdir/liborvcred.so.$version" | awk '/SONAME/ {print $2}')
[ "$soname" = "liborvcred.so.${version%%.*}" ] || fail "soname '$soname'"

cmake -S examples/consumer -B "$scratch/consumer" -G Ninja -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
grep -qx "orvcred_DIR:PATH=$libdir/cmake/orvcred" "$scratch/consumer/CMakeCache.txt" ||
  fail "find_package did not find the installed library"
cmake --build "$scratch/consumer" >/dev/null
# The loader finds it through its cache, which the package's trigger renews.
ldd "$scratch/consumer/orvcred_consumer" | grep -qE "liborvcred\.so\.1 => (/usr)?/lib/$multiarch/liborvcred\.so\.1" ||
  fail "the consumer does not use the installed library"
read_example "$scratch/consumer/orvcred_consumer"

unset PKG_CONFIG_PATH
[ "$(pkg-config --modversion orvcred)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -o "$scratch/consumer-pc" examples/consumer/consumer.c $(pkg-config --cflags --libs orvcred)
read_example "$scratch/consumer-pc"
# The static library, as pkg-config --static lists what it needs.
# shellcheck disable=SC2046
cc -o "$scratch/consumer-static" examples/consumer/consumer.c $(pkg-config --cflags orvcred) \
  "$libdir/liborvcred.a" $(pkg-config --static --libs-only-l orvcred | sed 's/-lorvcred//')
read_example "$scratch/consumer-static"

remove_debs
[ ! -e "$libdir/liborvcred.so.1" ] && [ ! -e /usr/share/doc/orvseal ] || fail "files left after apt purge"
! ldconfig -p | grep -q liborvcred || fail "the loader's cache still lists liborvcred after removal"

echo "== packages: .tar.gz"
mkdir "$scratch/tgz"
tar -xzf "$tgz" -C "$scratch/tgz"
check_files "$scratch/tgz/orvseal-$version-Linux-x86_64" linux.txt
check_version "$scratch/tgz/orvseal-$version-Linux-x86_64/bin"

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

echo "== packages: Windows zip, consumer linked with orvcred.lib, under Wine"
# orvcred.lib holds the functions of orvcred.h, no fewer, no others.
header_api=$(sed -n 's/^ORVCRED_API [^(]*[^A-Za-z0-9_]\([A-Za-z0-9_]*\)(.*/\1/p' lib/orvcred/include/orvcred.h | sort)
lib_api=$(x86_64-w64-mingw32-nm "$win/lib/orvcred.lib" | sed -n 's/.* __imp_//p' | sort)
[ -n "$header_api" ] && [ "$lib_api" = "$header_api" ] || fail "orvcred.lib holds: $lib_api"
# The CMake package gives it to every Windows toolchain but MinGW's: a
# project without a compiler stands for one here.
mkdir "$scratch/implib"
cat >"$scratch/implib/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.21)
project(implib NONE)
find_package(orvcred CONFIG REQUIRED)
get_target_property(implib orvcred::orvcred IMPORTED_IMPLIB_RELWITHDEBINFO)
file(WRITE ${CMAKE_BINARY_DIR}/implib.txt ${implib})
EOF
cmake -S "$scratch/implib" -B "$scratch/implib/build" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_PREFIX_PATH="$win" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
implib=$(cat "$scratch/implib/build/implib.txt")
[ "$implib" = "$win/lib/orvcred.lib" ] || fail "the CMake package names '$implib' for MSVC"
# MinGW's linker reads the import format of MSVC's. The program finds
# orvcred.dll only in the zip's bin folder, so a library that names another
# DLL fails here.
mkdir "$scratch/consumer-lib"
x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Werror -I"$win/include" -o "$scratch/consumer-lib/orvcred_consumer.exe" \
  examples/consumer/consumer.c "$implib"
read_example env WINEPATH="$(windows_path "$win/bin")" "$top/cmake/wine-run.sh" "$scratch/consumer-lib/orvcred_consumer.exe"

echo "== packages: MSI under Wine, over an older version, then removed"
installed="$ORV_WINEPREFIX/drive_c/Program Files/orvseal"
# products FILE: the installed products that the prefix had not before.
products() {
  cmake/wine-run.sh reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' |
    grep '{' | LC_ALL=C sort >"$scratch/now"
  LC_ALL=C comm -13 "$scratch/products-before" "$scratch/now" >"$1"
}
: >"$scratch/products-before"
products "$scratch/products-before"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) packaging/windows/make-msi.sh "$win" 0.9.0 "$scratch/old.msi"
installed_msi=$(windows_path "$scratch/old.msi")
cmake/wine-run.sh msiexec /i "$installed_msi" /qn || fail "msiexec /i old.msi"
products "$scratch/old-product"
[ "$(wc -l <"$scratch/old-product")" = 1 ] || fail "the older MSI registered no single product"
installed_msi=$(windows_path "$top/$msi")
cmake/wine-run.sh msiexec /i "$installed_msi" /qn || fail "msiexec /i $msi"
products "$scratch/product"
[ "$(wc -l <"$scratch/product")" = 1 ] && ! cmp -s "$scratch/old-product" "$scratch/product" ||
  fail "the MSI did not replace the older version: $(cat "$scratch/product")"
check_files "$installed" windows.txt
check_version "$installed/bin" cmake/wine-run.sh
new_example
(cd "$scratch/example" && "$top/cmake/wine-run.sh" "$installed/bin/orvseal.exe" -f keystore.conf >/dev/null 2>&1)
got=$(cd "$scratch/example" && "$top/cmake/wine-run.sh" "$installed/bin/orvcred.exe" reveal -f keystore.conf \
  pem.password 2>/dev/null | tr -d '\r')
[ "$got" = "s3cret-Pem-Pass" ] || fail "the installed orvcred.exe read '$got'"
grep -q "^pem.password = <ORV>2!" "$scratch/example/keystore.conf" || fail "example not protected under Wine"
cmake/wine-run.sh msiexec /x "$installed_msi" /qn || fail "msiexec /x $msi"
installed_msi=""
[ ! -e "$installed" ] || fail "files left after msiexec /x: $(find "$installed")"
products "$scratch/product"
[ ! -s "$scratch/product" ] || fail "a product still registered after msiexec /x"

echo "== packages: a second build in another folder, the same bytes"
# The presets' settings, another folder, only what the packages hold.
cmake --preset linux -B "$scratch/linux" -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$scratch/linux" -j 2 --target orvseal orvcred orvcred_shared orvcred_static >/dev/null
cmake --preset windows -B "$scratch/windows" -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$scratch/windows" -j 2 --target orvseal orvcred orvcred_shared >/dev/null
scripts/packages.sh "$scratch/linux" "$scratch/windows" "$scratch/packages" >/dev/null
for file in "$out"/*; do
  cmp "$file" "$scratch/packages/${file##*/}" || fail "$file differs in a second build"
done
echo "== packages: all checks passed"
