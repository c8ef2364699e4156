# Sourced by the scripts in tools/: where things live, decided once.

# Built Lua runtimes, downloaded sources and the emulation helper library:
# outside the work tree, so that every clone shares them.
# The Lua cache: QUORVANE_LUA_CACHE, the name CMake takes it by too
# (QUORVANE_CACHE, its former name, is still read).
qv_cache=${QUORVANE_LUA_CACHE:-${QUORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvane}}

# Downloads a Debian source package into $qv_cache/src (once) and checks its
# upstream tarball against a pinned SHA-256; a tarball that does not match is
# deleted. Usage: qv_fetch_source WHO PACKAGE TARBALL SHA256 (WHO names the
# script in messages).
qv_fetch_source() {
  local who=$1 pkg=$2 tar=$3 sha=$4
  mkdir -p "$qv_cache/src"
  if [ ! -f "$qv_cache/src/$tar" ]; then
    (cd "$qv_cache/src" && apt-get source --download-only -qq "$pkg" >/dev/null 2>&1) || {
      echo "$who: could not download the $pkg source package (is a deb-src entry configured?)" >&2
      exit 1; }
  fi
  echo "$sha  $qv_cache/src/$tar" | sha256sum -c --quiet - || {
    echo "$who: checksum mismatch for $tar" >&2; rm -f "$qv_cache/src/$tar"; exit 1; }
}

# Runs a build step, showing its output only when it fails.
qv_quiet() {
  local log
  log=$(mktemp)
  "$@" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
  rm -f "$log"
}

# The binfmt_misc entry that runs 32-bit x86 Linux programs under qemu on a
# machine that cannot run them itself, and the library preloaded into those
# programs there (tools/emulation/setup.sh makes both).
qv_binfmt_dir=/proc/sys/fs/binfmt_misc
qv_binfmt_entry=$qv_binfmt_dir/quorvane-i386
qv_trapno_lib=$qv_cache/emulation/page_fault_trapno.so

# True when 32-bit programs, Wine among them, run on an emulated CPU here:
# an enabled binfmt_misc entry (ours or another) takes i386 ELF files.
qv_emulated() {
  local entry
  for entry in "$qv_binfmt_dir"/*; do
    [ -f "$entry" ] && [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] &&
      grep -qx 'magic 7f454c4601010100000000000000000002000300' "$entry" && return 0
  done
  return 1
}

# For the benchmarks: figures taken on an emulated CPU are the emulator's.
qv_say_if_emulated_figures() {
  if qv_emulated; then
    echo "NOTE: this machine runs 32-bit programs under qemu-i386, an emulated CPU: every figure"
    echo "below is the emulator's, not hardware's (bench/README.md keeps figures from hardware)."
  fi
}
