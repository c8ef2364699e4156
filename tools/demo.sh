#!/usr/bin/env bash
# Builds Quorvane, the demo and the profile probe (build/win32/quorvane-probe.exe)
# and runs demo/example.lua under Wine, once with PUC Lua 5.1.5 and once with
# LuaJIT 2.1 as the host's lua51.dll.
#
# On a fresh Debian 12 machine this installs the packages, builds both Lua
# runtimes and the win32 build (build/win32) first; when all of that is in
# place it only brings the build up to date and runs the demo.
#
# Extra arguments go to the script (the first one is an address profile to
# use instead of demo/example-profile.ini).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/win32

echo "demo: building (what is missing is installed first)" >&2
if ! log=$("$root/tools/build.sh" win32 --target Quorvane sample_app sample_host quorvane-probe 2>&1); then
  printf '%s\n' "$log" >&2
  echo "demo: the build failed" >&2
  exit 1
fi


# Run from the work tree, so that the script's path, which the host makes
# absolute, lies on Wine's drive for /.
cd "$root"
status=0
for rt in puc luajit; do
  case $rt in
    puc) title="PUC Lua 5.1.5" ;;
    luajit) title="LuaJIT 2.1" ;;
  esac
  echo "=== $title: sample_host.exe demo/example.lua"
  "$root/tools/wine.sh" "$build/$rt/sample_host.exe" demo/example.lua "$@" || status=1
  echo
done
exit $status
