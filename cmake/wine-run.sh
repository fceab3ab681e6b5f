#!/bin/sh
# Runs a Windows executable under Wine in a private prefix (ORV_WINEPREFIX, by
# default one per user under the temporary directory), so that test runs never
# touch the user's own Wine setup. The first run creates the prefix; a lock
# keeps parallel test runs from creating it twice.
: "${ORV_WINEPREFIX:=${TMPDIR:-/tmp}/orvseal-wineprefix-$(id -u)}"
export WINEPREFIX="$ORV_WINEPREFIX"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  flock "$WINEPREFIX" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1; wineserver -w' || true
fi
exec wine "$@"
