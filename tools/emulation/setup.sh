#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 Linux programs: LuaJIT's build
# tools and Wine are such programs. Where the kernel runs them itself, this
# does nothing. Where it cannot (a kernel built or booted without 32-bit
# emulation), it
#   - installs qemu's user-mode emulator, version 8 or later, from the
#     backports suite of the machine's own Debian source entry (7.2 takes
#     most of a minute to start each Wine process);
#   - registers it with binfmt_misc for i386 ELF executables and shared
#     objects, with flag F, so that it also runs inside other mount namespaces;
#   - installs 64-bit Wine's wineserver, which Debian's wine starts in place
#     of the 32-bit one: qemu has no ptrace, and wineserver reads another
#     process's memory (ReadProcessMemory, module lists) through it;
#   - builds the library that Wine needs preloaded under the emulator
#     (page_fault_trapno.c says why), used by tools/wine.sh.
# Says in one line what it does and why as it starts, with the output of
# what it installs in build/logs/emulation.log; quick and silent when all is
# in place.
set -euo pipefail
. "$(dirname "$0")/../common.sh"

dir=$qv_cache/emulation
mkdir -p "$dir"
fail() { echo "emulation: $*" >&2; exit 1; }

# A static 32-bit program that exits 0: it runs wherever 32-bit programs run.
probe=$dir/probe-i386
if [ ! -x "$probe" ]; then
  printf 'int main(void) { return 0; }\n' >"$dir/probe-i386.c"
  gcc -m32 -static -o "$probe" "$dir/probe-i386.c"
fi
runs_32bit() { "$probe" 2>/dev/null; }

if ! qv_emulated && runs_32bit; then
  exit 0  # the kernel runs 32-bit programs itself: nothing to add
fi

qemu_major() {
  /usr/bin/qemu-i386 --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\).*/\1/p'
}
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }
# The entry keeps the qemu binary that was opened when it was written: after
# an upgrade it must be written again. The stamp records which file that was;
# like the entry, it is the machine's, not a user's.
stamp=/run/quorvane-i386.interpreter
interpreter_id() { stat -L -c '%d:%i:%Y' /usr/bin/qemu-i386 2>/dev/null; }

root_ok=0
qv_can_be_root && root_ok=1
need_qemu=0 need_wineserver=0 need_entry=0
[ "$(qemu_major || true)" -ge 8 ] 2>/dev/null || need_qemu=1
installed wine64 || need_wineserver=1
# Our entry, written for the qemu binary installed now. Without root, an
# entry that runs 32-bit programs already is left as the administrator made it.
if [ "$(head -n 1 "$qv_binfmt_entry" 2>/dev/null)" != enabled ]; then
  need_entry=1
elif [ "$(cat "$stamp" 2>/dev/null)" != "$(interpreter_id)" ]; then
  [ $root_ok = 0 ] && runs_32bit || need_entry=1
fi
if [ $need_qemu = 1 ] || [ $need_wineserver = 1 ] || [ $need_entry = 1 ]; then
  [ $root_ok = 1 ] ||
    fail "this machine cannot run 32-bit x86 programs (LuaJIT's build tools, Wine), and" \
         "making it run them under qemu needs root: run tools/install-deps.sh as root, or" \
         "have an administrator run tools/emulation/setup.sh (it says what it installs)."
  qv_stage emulation "setting up 32-bit emulation: this kernel cannot run 32-bit x86 programs," \
    "so they run under qemu-i386 (binfmt_misc entry ${qv_binfmt_entry##*/}; 64-bit wineserver;" \
    "Wine's page-fault fix preloaded by tools/wine.sh)"
  export DEBIAN_FRONTEND=noninteractive
fi

if [ $need_qemu = 1 ]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || fail "cannot tell this machine's Debian release from /etc/os-release"
  qv_run "$qv_root/tools/apt-source.sh" backports deb "$codename-backports"
  qv_run qv_as_root apt-get update -q
  qv_run qv_as_root apt-get install -y -q --no-install-recommends -t "$codename-backports" qemu-user ||
    fail "could not install qemu-user from $codename-backports"
  [ "$(qemu_major || true)" -ge 8 ] 2>/dev/null ||
    fail "qemu-user from $codename-backports is older than version 8"
fi
if [ $need_wineserver = 1 ]; then
  qv_run qv_as_root apt-get install -y -q --no-install-recommends wine64 ||
    fail "could not install wine64 (64-bit Wine's wineserver)"
fi
if [ $need_entry = 1 ]; then
  if [ ! -e "$qv_binfmt_dir/register" ]; then
    qv_as_root mount -t binfmt_misc binfmt_misc "$qv_binfmt_dir" 2>/dev/null ||
      fail "binfmt_misc is not mounted on $qv_binfmt_dir and could not be mounted" \
           "(a container without that privilege?): mount it there, or use a machine that can."
  fi
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if [ -e "$qv_binfmt_entry" ]; then
    echo -1 | qv_as_root tee "$qv_binfmt_entry" >/dev/null
  fi
  printf '%s' ":${qv_binfmt_entry##*/}:M::$magic:$mask:/usr/bin/qemu-i386:F" |
    qv_as_root tee "$qv_binfmt_dir/register" >/dev/null 2>&1 ||
    fail "could not write $qv_binfmt_dir/register (read-only here?): register" \
         "/usr/bin/qemu-i386 there for i386 ELF with flag F, or use a machine that can."
  interpreter_id | qv_as_root tee "$stamp" >/dev/null
fi
trapno_source=$qv_root/tools/emulation/page_fault_trapno.c
if [ ! -f "$qv_trapno_lib" ] || [ "$trapno_source" -nt "$qv_trapno_lib" ]; then
  gcc -m32 -shared -fPIC -O2 -Wall -Wextra -o "$qv_trapno_lib.new" "$trapno_source" -ldl
  mv "$qv_trapno_lib.new" "$qv_trapno_lib"
fi
runs_32bit || fail "32-bit programs still do not run after registering qemu-i386 in binfmt_misc"
