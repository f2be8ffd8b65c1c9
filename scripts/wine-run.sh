#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine: the build's own Wine
# prefix (made at first use), no Wine debug output, and the cross-built DLLs
# (OpenSSL, MariaDB Connector/C, libcurl) on the program's search path.
# CTest runs every Windows test program through this script.
#
# Environment: DIRAVID_WINE_PREFIX (default: build-windows/wine in the
# source tree), DIRAVID_WINDOWS_DLLS (default: the bin folder of
# scripts/windows-deps.sh's prefix).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${DIRAVID_WINE_PREFIX:-$ROOT/build-windows/wine}
export WINEDEBUG=-all
export WINEARCH=win64
# No desktop integration, no Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
dlls=${DIRAVID_WINDOWS_DLLS:-$("$ROOT/scripts/windows-deps.sh" --prefix)/bin}
export WINEPATH="Z:${dlls//\//\\}${WINEPATH:+;$WINEPATH}"

# The prefix is made once; parallel test programs wait for the first.
if [[ ! -f $WINEPREFIX/.diravid-ready ]]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [[ ! -f $WINEPREFIX/.diravid-ready ]]; then
      wineboot --init >/dev/null 2>&1
      wineserver --wait
      touch "$WINEPREFIX/.diravid-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The Wine server and the system programs it boots (services, the desktop)
# outlive the program that starts them and keep its output open; started
# by a test, they would make ctest wait for them. So they are started here,
# detached, and kept for a while after the last program, which saves the
# next test the boot.
# Neither may keep the lock's descriptor: the lock would stay held as long
# as the server lives.
(
  flock 9
  if wineserver -p 60 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

exec wine "$@"
