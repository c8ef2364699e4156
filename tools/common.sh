# Sourced by the scripts in tools/: where things live, decided once.

# The work tree: the folder above tools/.
qv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Built Lua runtimes, downloaded sources and the emulation helper library:
# outside the work tree, so that every clone shares them.
# The Lua cache: QUORVANE_LUA_CACHE, the name CMake takes it by too
# (QUORVANE_CACHE, its former name, is still read).
qv_cache=${QUORVANE_LUA_CACHE:-${QUORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvane}}

# Downloads a Debian source package into $qv_cache/src (once) and checks its
# upstream tarball against a pinned SHA-256; a tarball that does not match is
# deleted. apt-get's output goes to the current stage's log (qv_stage).
# Usage: qv_fetch_source WHO PACKAGE TARBALL SHA256 (WHO names the script in
# messages).
qv_fetch_source() {
  local who=$1 pkg=$2 tar=$3 sha=$4
  mkdir -p "$qv_cache/src"
  if [ ! -f "$qv_cache/src/$tar" ]; then
    (cd "$qv_cache/src" && qv_run apt-get source --download-only -q "$pkg") || {
      echo "$who: could not download the $pkg source package (is a deb-src entry configured?)" >&2
      exit 1; }
  fi
  echo "$sha  $qv_cache/src/$tar" | sha256sum -c --quiet - || {
    echo "$who: checksum mismatch for $tar" >&2; rm -f "$qv_cache/src/$tar"; exit 1; }
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

# Runs a command as root: directly when this is root, through sudo otherwise.
qv_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
# Whether qv_as_root can run anything here.
qv_can_be_root() { [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null; }

# Configures the win32 build tree DIR (the MinGW toolchain, the Lua runtimes
# of the cache); further arguments go to cmake.
qv_configure_win32() {
  local dir=$1
  shift
  cmake -S "$qv_root" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$qv_root/cmake/i686-w64-mingw32.cmake" \
    -DQUORVANE_LUA_CACHE="$qv_cache" "$@"
}

# Stages: the long steps of a fresh machine (installing packages, setting up
# 32-bit emulation, building a Lua runtime, building the project) each say
# in one line that they start, and keep what their commands print in a log
# of their own, build/logs/NAME.log, replaced each time the stage runs.
qv_log_dir=$qv_root/build/logs

# qv_say TEXT...: says in one line, on standard error, that a stage starts.
qv_say() { echo "quorvane: $*" >&2; }

# qv_stage NAME TEXT...: says that stage NAME starts and starts its log.
qv_stage() {
  local name=$1
  shift
  qv_say "$@"
  mkdir -p "$qv_log_dir"
  qv_log=$qv_log_dir/$name.log
  : >"$qv_log"
}

# qv_run COMMAND...: runs a command of the current stage, its output added to
# the stage's log. When it fails, shows the end of the log (without ninja's
# progress lines) and says where the whole log is.
qv_run() {
  "$@" >>"$qv_log" 2>&1 && return 0
  local status=$?
  echo "--- the end of $qv_log:" >&2
  { grep -v '^\[[0-9]*/[0-9]*\] ' "$qv_log" || true; } | tail -n 60 >&2
  qv_say "failed with status $status: $*"
  qv_say "the whole log is $qv_log"
  return "$status"
}
