#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine: the one way the tests, the demo,
# the benchmarks and the release checks start Wine.
#
#   tools/wine.sh PROGRAM [ARGS...]    runs it (Wine's own messages off)
#   tools/wine.sh --prepare            only sets up the Wine prefix
#
# The prefix is set up once (its first start takes ~15 s), without the Mono
# and Gecko installers. Where 32-bit programs run under qemu (see
# tools/emulation/setup.sh), Wine gets its page-fault fix preloaded; qemu
# puts it into the emulated processes only.
set -euo pipefail
. "$(dirname "$0")/common.sh"

export WINEDEBUG=${WINEDEBUG:--all}
if qv_emulated; then
  [ -f "$qv_trapno_lib" ] || {
    echo "wine.sh: 32-bit programs run under qemu here, but $qv_trapno_lib is missing: run tools/install-deps.sh" >&2
    exit 1; }
  export QEMU_SET_ENV=LD_PRELOAD=$qv_trapno_lib
fi

prefix=${WINEPREFIX:-$HOME/.wine}
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      qv_say "setting up the Wine prefix $prefix (once)"
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
[ "${1:-}" = --prepare ] && exit 0
exec wine "$@"
