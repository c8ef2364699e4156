#!/usr/bin/env bash
# Builds Quorvane, the demo and the profile probe (build/win32/quorvane-probe.exe)
# and runs demo/example.lua under Wine, once with PUC Lua 5.1.5 and once with
# LuaJIT 2.1 as the host's lua51.dll.
#
# On a fresh Debian 12 machine this installs the packages, builds both Lua
# runtimes and the win32 build (build/win32) first, each stage said in one
# line as it starts, with its output in build/logs/; when all of that is in
# place it only brings the build up to date and runs the demo.
#
# Extra arguments go to the script (the first one is an address profile to
# use instead of demo/example-profile.ini).
set -euo pipefail
. "$(dirname "$0")/common.sh"
build=$qv_root/build/win32

"$qv_root/tools/build.sh" win32 --target Quorvane sample_app sample_host quorvane-probe

# Run from the work tree, so that the script's path, which the host makes
# absolute, lies on Wine's drive for /.
cd "$qv_root"
qv_say "running the demo: demo/example.lua in the sample host, under each Lua runtime"
status=0
for rt in puc luajit; do
  case $rt in
    puc) title="PUC Lua 5.1.5" ;;
    luajit) title="LuaJIT 2.1" ;;
  esac
  echo "=== $title: sample_host.exe demo/example.lua"
  "$qv_root/tools/wine.sh" "$build/$rt/sample_host.exe" demo/example.lua "$@" || status=1
  echo
done
exit $status
