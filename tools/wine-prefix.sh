#!/usr/bin/env bash
# Sets up the Wine prefix once (its first start takes ~15 s), without the
# Mono and Gecko installers, so no test or demo run pays for it.
set -euo pipefail
export WINEDEBUG=-all
prefix=${WINEPREFIX:-$HOME/.wine}
if [ ! -f "$prefix/system.reg" ]; then
  echo "setting up the Wine prefix $prefix (once)" >&2
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
