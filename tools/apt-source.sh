#!/usr/bin/env bash
# Adds an apt source entry derived from the machine's own Debian entry (the
# one for its release, e.g. "bookworm"): the same URIs, components and
# options, with the given types and suite. The project never names a mirror
# of its own.
#
#   tools/apt-source.sh NAME TYPES SUITE     e.g. src deb-src bookworm
#
# Writes /etc/apt/sources.list.d/quorvane-NAME.sources (or .list, where the
# machine's entry is a one-line one); does nothing when that file exists.
set -euo pipefail
. "$(dirname "$0")/common.sh"
name=$1 types=$2 suite=$3
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
out=/etc/apt/sources.list.d/quorvane-$name
[ -e "$out.sources" ] || [ -e "$out.list" ] && exit 0

# deb822 files: the first stanza of type deb whose suites include the
# release, with its Types and Suites fields (and their continuation lines)
# replaced. Comments are dropped.
derive_deb822() {
  awk -v codename="$codename" -v types="$types" -v suite="$suite" '
    function flush() {
      if (!done && is_deb && has_suite) { printf "%s", stanza; done = 1 }
      stanza = ""; is_deb = 0; has_suite = 0; skipping = 0
    }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    /^[ \t]/ { if (!skipping) stanza = stanza $0 "\n"; next }
    {
      field = tolower($1); skipping = 0
      if (field == "types:") {
        for (i = 2; i <= NF; ++i) if ($i == "deb") is_deb = 1
        stanza = stanza "Types: " types "\n"; skipping = 1; next
      }
      if (field == "suites:") {
        for (i = 2; i <= NF; ++i) if ($i == codename) has_suite = 1
        stanza = stanza "Suites: " suite "\n"; skipping = 1; next
      }
      stanza = stanza $0 "\n"
    }
    END { flush() }' "$@"
}
# One-line entries: "deb [options] URI SUITE COMPONENTS...".
derive_one_line() {
  awk -v codename="$codename" -v types="$types" -v suite="$suite" '
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while ($i !~ /\]$/) ++i; ++i }
      if ($(i + 1) != codename) next
      line = types
      for (j = 2; j <= NF; ++j) line = line " " ((j == i + 1) ? suite : $j)
      print line; exit
    }' "$@"
}

entry=
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  entry=$(derive_deb822 "$f")
  [ -z "$entry" ] || { ext=sources; break; }
done
if [ -z "$entry" ]; then
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    entry=$(derive_one_line "$f")
    [ -z "$entry" ] || { ext=list; break; }
  done
fi
if [ -z "$entry" ]; then
  echo "apt-source: no apt source entry for Debian \"$codename\" found in /etc/apt:" \
       "add a $types entry for suite $suite by hand" >&2
  exit 1
fi
printf '%s\n' "$entry" | qv_as_root tee "$out.$ext" >/dev/null
