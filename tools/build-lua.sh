#!/usr/bin/env bash
# Fetches the Lua 5.1.5 and LuaJIT 2.1 source packages from Debian, checks the
# upstream tarballs against pinned checksums and cross-builds a 32-bit Windows
# lua51.dll from each. Everything lands in a cache outside the work tree:
#
#   $CACHE/lua-5.1.5/            pristine PUC sources (headers, native builds)
#   $CACHE/win32/puc/            lua51.dll, lua.exe
#   $CACHE/win32/luajit/         lua51.dll, luajit.exe
#
# Prints the cache directory. Says in one line as each runtime's build
# starts, with its output in build/logs/lua-puc.log and lua-luajit.log; quick
# and silent when everything is already built.
set -euo pipefail

. "$(dirname "$0")/common.sh"
CACHE=$qv_cache
PUC_TAR=lua5.1_5.1.5.orig.tar.gz
PUC_SHA=2640fc56a795f29d28ef15e13c34a47e223960b0240e8cb0a82d9b0738695333
LJ_TAR='luajit_2.1.0~beta3+git20220320+dfsg.orig.tar.gz'
LJ_SHA=b4d18d2c5e663682bc7f473797e3ceaca8193e112824a5bdfa3e468d98618678
STAMP=v2

mkdir -p "$CACHE/src"
if [ -f "$CACHE/win32/.done-$STAMP" ]; then echo "$CACHE"; exit 0; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)

# PUC Lua 5.1.5, with its own mingw target.
qv_stage lua-puc "building PUC Lua 5.1.5 from Debian's lua5.1 source package (into $CACHE)"
qv_fetch_source build-lua lua5.1 "$PUC_TAR" "$PUC_SHA"
rm -rf "$CACHE/lua-5.1.5"
tar -xzf "$CACHE/src/$PUC_TAR" -C "$CACHE"
cp -r "$CACHE/lua-5.1.5" "$work/puc"
qv_run make -C "$work/puc/src" -j"$jobs" mingw \
  "CC=i686-w64-mingw32-gcc -static-libgcc" "RANLIB=i686-w64-mingw32-strip --strip-unneeded"
mkdir -p "$CACHE/win32/puc"
cp "$work/puc/src/lua51.dll" "$work/puc/src/lua.exe" "$CACHE/win32/puc/"

# LuaJIT 2.1, cross-built; the host-side build tools need a 32-bit gcc.
qv_stage lua-luajit "building LuaJIT 2.1 from Debian's luajit source package"
qv_fetch_source build-lua luajit "$LJ_TAR" "$LJ_SHA"
mkdir -p "$work/lj"
tar -xzf "$CACHE/src/$LJ_TAR" -C "$work/lj"
qv_run make -C "$work/lj/src" -j"$jobs" HOST_CC="gcc -m32" CROSS=i686-w64-mingw32- \
  TARGET_SYS=Windows TARGET_LDFLAGS=-static-libgcc TARGET_SHLDFLAGS=-static-libgcc
mkdir -p "$CACHE/win32/luajit"
cp "$work/lj/src/lua51.dll" "$CACHE/win32/luajit/"
cp "$work/lj/src/luajit.exe" "$CACHE/win32/luajit/"
mkdir -p "$CACHE/win32/luajit/lua/jit"
cp "$work/lj/src/jit/"*.lua "$CACHE/win32/luajit/lua/jit/" 2>/dev/null || true

# A user's machine has no MinGW runtime DLLs: nothing may import them.
for f in "$CACHE"/win32/*/*.dll "$CACHE"/win32/*/*.exe; do
  if i686-w64-mingw32-objdump -p "$f" | grep -iE 'DLL Name: (libgcc|libstdc|libwinpthread)'; then
    echo "build-lua: $f imports a MinGW runtime DLL" >&2; exit 1
  fi
done
touch "$CACHE/win32/.done-$STAMP"
echo "$CACHE"
