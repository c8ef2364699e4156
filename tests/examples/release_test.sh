#!/usr/bin/env bash
# The release zip's tests (tests/examples/CMakeLists.txt).
#
#   release_test.sh package BUILD_DIR WORK_DIR
#     Packs the zip twice from BUILD_DIR (tools/pack-release.sh), each time
#     into a folder of its own, and compares the bytes; checks that both
#     Quorvane.dll in it are the build's and that README.txt names every
#     file in it. Leaves the zip in WORK_DIR/zip/.
#   release_test.sh examples BUILD_DIR WORK_DIR RUN_EXAMPLES_EXE
#     Unpacks that zip into an empty folder per doc and runs the doc's
#     examples there (RUN_EXAMPLES_EXE, under Wine): the zip's README.txt,
#     README.md, docs/API.md, and docs/API.md once more with LuaJIT's
#     lua51.dll in sample\.
set -euo pipefail
. "$(dirname "$0")/../../tools/common.sh"
usage="usage: $0 package BUILD_DIR WORK_DIR | examples BUILD_DIR WORK_DIR RUN_EXAMPLES_EXE"
[ $# -ge 3 ] || { echo "$usage" >&2; exit 2; }
what=$1
build=$(cd "$2" && pwd)
mkdir -p "$3"
work=$(cd "$3" && pwd)

fail() {
  echo "release_test: $*" >&2
  exit 1
}

package() {
  rm -rf "$work"
  mkdir -p "$work/zip" "$work/again"
  local zip again top
  zip=$("$qv_root/tools/pack-release.sh" "$build" "$work/zip")
  again=$(cd /tmp && "$qv_root/tools/pack-release.sh" "$build" "$work/again")
  cmp "$zip" "$again" || fail "packing twice gave different bytes: $zip, $again"
  rm -rf "$work/again"
  echo "$(basename "$zip"): $(stat -c %s "$zip") bytes, the same twice"
  mkdir "$work/look"
  unzip -q "$zip" -d "$work/look"
  top=$work/look/$(basename "$zip" .zip)
  cmp "$build/Quorvane.dll" "$top/Quorvane.dll" || fail "Quorvane.dll is not the build's"
  cmp "$build/Quorvane.dll" "$top/sample/Quorvane.dll" || fail "sample/Quorvane.dll is not the build's"
  local file name unnamed=
  while read -r file; do
    name=${file##*/}
    grep -qF "$name" "$top/README.txt" || unnamed="$unnamed $file"
  done < <(cd "$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [ -z "$unnamed" ] || fail "README.txt does not name:$unnamed"
  rm -rf "$work/look"
}

# unpack NAME: an empty folder WORK/NAME with the zip unpacked in it; prints
# the release folder.
unpack() {
  local zip
  zip=$(ls "$work"/zip/*.zip)
  rm -rf "${work:?}/$1"
  mkdir "$work/$1"
  unzip -q "$zip" -d "$work/$1"
  echo "$work/$1/$(basename "$zip" .zip)"
}

examples() {
  local txt md api api_luajit
  txt=$(unpack readme-txt)
  md=$(unpack readme-md)
  api=$(unpack api-md)
  api_luajit=$(unpack api-md-luajit)
  cp "$build/luajit/lua51.dll" "$api_luajit/sample/lua51.dll"
  "$qv_root/tools/wine.sh" "$1" \
    --session=release/README.txt --doc="$txt/README.txt" --release="$txt" \
    --session=README.md --doc="$qv_root/README.md" --release="$md" \
    --session=docs/API.md --doc="$qv_root/docs/API.md" --release="$api" \
    --session="docs/API.md (LuaJIT)" --doc="$qv_root/docs/API.md" --release="$api_luajit"
}

case $what in
  package) package ;;
  examples) [ $# -eq 4 ] || { echo "$usage" >&2; exit 2; }; examples "$4" ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
