#!/bin/sh
# scripts/packages.sh [LINUX_BUILD [WINDOWS_BUILD [OUT]]]: the packages users
# download, from the linux and windows builds (build/linux, build/windows,
# built before), written to OUT (build/packages) with their SHA256SUMS:
#   orvseal_V_amd64.deb, liborvcred1_V_amd64.deb, liborvcred-dev_V_amd64.deb
#   orvseal-V-Linux-x86_64.tar.gz    everything, as cmake --install lays it
#   orvseal-V-win64.zip, orvseal-V-x64.msi
# The same commit gives the same bytes from any build folder: every file
# carries the time of the last commit (SOURCE_DATE_EPOCH, unless set), root
# as owner, modes 0644 or 0755; archives are sorted by name.
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build/linux}
windows=${2:-build/windows}
out=${3:-build/packages}
fail() {
  echo "packages: $*" >&2
  exit 1
}

: "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct 2>/dev/null || true)}"
[ -n "$SOURCE_DATE_EPOCH" ] || fail "not a git checkout: set SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux/CMakeCache.txt")
[ -n "$version" ] || fail "$linux is not a configured build"
[ "$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)" = "$version" ] ||
  fail "packaging/debian/changelog has no entry for $version on top"
arch=$(dpkg --print-architecture)
stage=$(mktemp -d "${TMPDIR:-/tmp}/orvseal-packages-XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.tar.gz "$out"/*.zip "$out"/*.msi "$out/SHA256SUMS"

# normalize TREE: what the packages record of each file but its content.
normalize() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -type f -exec chmod 0644 {} +
  find "$1" -type f -path '*/bin/*' -exec chmod 0755 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# deb PACKAGE COMPONENT: the Debian package of an install component.
deb() {
  root="$stage/$1"
  DESTDIR="$root" cmake --install "$linux" --prefix /usr --component "$2" --strip >/dev/null
  doc="$root/usr/share/doc/$1"
  mkdir -p "$doc"
  # The copyright file states the license; Debian wants no second copy.
  rm -f "$doc/LICENSE"
  cp packaging/debian/copyright "$doc/"
  gzip -9n <packaging/debian/changelog >"$doc/changelog.gz"
  [ ! -d "$root/usr/share/man" ] || find "$root/usr/share/man" -type f -exec gzip -9n {} +
  mkdir "$root/DEBIAN"

  # What its binaries link, as dpkg-shlibdeps finds it (it wants a
  # debian/control to run beside).
  binaries=$(find "$root/usr/bin" "$root/usr/lib" -type f \( -perm -u+x -o -name '*.so.*' \) 2>/dev/null || true)
  depends=""
  if [ -n "$binaries" ]; then
    mkdir -p "$stage/shlibdeps/debian"
    : >"$stage/shlibdeps/debian/control"
    # shellcheck disable=SC2086
    depends=$(cd "$stage/shlibdeps" && dpkg-shlibdeps -O $binaries 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
    [ -n "$depends" ] || fail "dpkg-shlibdeps found no dependency of $1"
  fi
  if [ "$1" = liborvcred1 ]; then
    cp packaging/debian/liborvcred1.symbols "$root/DEBIAN/symbols"
    echo "liborvcred ${version%%.*} liborvcred1 (>= $version)" >"$root/DEBIAN/shlibs"
    echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
  fi
  # Installed-Size as dpkg-gencontrol counts it: KiB a file, rounded up, and
  # one a folder or link; not du, whose count of folders depends on the disk.
  size=$(find "$root/usr" \( -type f -printf '%s\n' \) -o -printf '1024\n' |
    awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
  awk -v package="$1" 'BEGIN { RS = "" } $2 == package { print; exit }' packaging/debian/control |
    sed "s/@VERSION@/$version/; s/@ARCH@/$arch/; s/@SIZE@/$size/; s/@DEPENDS@/$depends/" >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
  normalize "$root"
  # One xz thread: the compressed stream differs between one and more.
  dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "$out/${1}_${version}_$arch.deb" >/dev/null
}

deb orvseal commands
deb liborvcred1 library
deb liborvcred-dev development

# tarball TREE OUT: a gzipped tar of TREE's folder, entries sorted.
tarball() {
  normalize "$1"
  tar -C "$(dirname "$1")" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --format=gnu -cf - "$(basename "$1")" | gzip -9n >"$2"
}

linux_tree="$stage/tgz/orvseal-$version-Linux-x86_64"
cmake --install "$linux" --prefix "$linux_tree" --strip >/dev/null
tarball "$linux_tree" "$out/orvseal-$version-Linux-x86_64.tar.gz"

win_tree="$stage/zip/orvseal-$version-win64"
cmake --install "$windows" --prefix "$win_tree" --strip >/dev/null
normalize "$win_tree"
(cd "$stage/zip" && find . -type f | sed 's|^\./||' | sort) >"$stage/zip.list"
python3 - "$stage/zip" "$stage/zip.list" "$out/orvseal-$version-win64.zip" <<'PY'
import os, sys, time, zipfile
top, names, target = sys.argv[1], open(sys.argv[2]).read().split(), sys.argv[3]
when = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, when)
        entry.create_system = 3
        entry.external_attr = (0o100755 if "/bin/" in name else 0o100644) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(top, name), "rb") as data:
            archive.writestr(entry, data.read())
PY
packaging/windows/make-msi.sh "$win_tree" "$version" "$out/orvseal-$version-x64.msi"

(cd "$out" && sha256sum -- *.deb *.tar.gz *.zip *.msi >SHA256SUMS)
echo "packages: $out"
