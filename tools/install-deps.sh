#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need: the i686 MinGW
# cross compiler, 32-bit Wine, CMake and GoogleTest sources, clang with
# libFuzzer (the fuzz targets, tools/fuzz.sh; and the demo's sample module
# releases built with clang), plus a deb-src
# entry so the Lua runtimes can be fetched as source packages. On a machine
# that cannot run 32-bit programs, tools/emulation/setup.sh then makes them
# run under qemu. Quick and silent when everything is already there.
set -euo pipefail
. "$(dirname "$0")/common.sh"

packages=(
  g++ g++-mingw-w64-i686 gcc-multilib cmake ninja-build make
  googletest dpkg-dev xz-utils zip unzip ca-certificates
  wine wine32:i386
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
have_src=0
grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && have_src=1
grep -qs '^deb-src' /etc/apt/sources.list && have_src=1
if [ ${#missing[@]} -gt 0 ] || [ $have_src -eq 0 ]; then
  qv_stage packages "installing packages: ${missing[*]:-(none; adding a deb-src entry for the Lua sources)}"
  export DEBIAN_FRONTEND=noninteractive
  qv_run qv_as_root dpkg --add-architecture i386
  if [ $have_src -eq 0 ]; then
    qv_run "$qv_root/tools/apt-source.sh" src deb-src "$(. /etc/os-release && echo "$VERSION_CODENAME")"
  fi
  qv_run qv_as_root apt-get update -q
  qv_run qv_as_root apt-get install -y -q --no-install-recommends "${missing[@]:-${packages[@]}}"
fi
"$qv_root/tools/emulation/setup.sh"
