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
# Wine's server, and the system processes that the first program starts, are
# started here, detached from our standard streams, and kept for a few
# seconds after the last program: otherwise those processes would inherit a
# caller's pipes and hold them open until the server ends.
wineserver -p10 >/dev/null 2>&1 </dev/null || true
wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
exec wine "$@"
