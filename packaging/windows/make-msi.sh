#!/bin/sh
# make-msi.sh TREE VERSION OUT: the Windows installer of TREE (the Windows
# build installed by cmake --install) as version VERSION. The same TREE,
# VERSION and SOURCE_DATE_EPOCH give the same bytes: the product and package
# codes are derived from them, and the times that wixl takes from the clock
# are set to SOURCE_DATE_EPOCH afterwards.
set -eu
here=$(dirname "$0")
tree=$1 version=$2 out=$3
: "${SOURCE_DATE_EPOCH:?}"
code() {
  python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.NAMESPACE_URL, sys.argv[1])).upper())' "$1"
}
# wixl finds the files by paths relative to the .wxs: a copy of it beside a
# link to TREE.
work=$(mktemp -d "${TMPDIR:-/tmp}/orvseal-msi-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$here/orvseal.wxs" "$work/"
ln -s "$(cd "$tree" && pwd)" "$work/tree"
# A new product code for each version, as a major upgrade needs.
TZ=UTC wixl -a x64 -D Version="$version" -D ProductCode="$(code "orvseal:product:$version")" \
  -D SourceDir=tree -o "$out" "$work/orvseal.wxs"
python3 "$here/msi-summary.py" "$out" "$(code "orvseal:package:$version:$SOURCE_DATE_EPOCH")" "$SOURCE_DATE_EPOCH"
