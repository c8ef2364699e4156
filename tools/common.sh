# Sourced by the scripts in tools/: where things live, decided once.

# Built Lua runtimes, downloaded sources and the emulation helper library:
# outside the work tree, so that every clone shares them.
# The Lua cache: QUORVANE_LUA_CACHE, the name CMake takes it by too
# (QUORVANE_CACHE, its former name, is still read).
qv_cache=${QUORVANE_LUA_CACHE:-${QUORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvane}}

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
