#!/usr/bin/env bash
# Packs the release zip OUT/Quorvane-<version>-win32.zip from a built win32
# tree, and prints its path. tools/release.sh builds the tree first; the
# release test (tests/examples/) packs it twice and compares the bytes.
#
#   tools/pack-release.sh BUILD_DIR OUT_DIR
#
# The zip holds one folder, Quorvane-<version>-win32, with:
#   Quorvane.dll, quorvane-probe.exe   as built
#   README.txt, API.md, SIGNATURES.md, CHANGELOG.md   the version filled in
#   sample\                            the sample host to try it all on:
#     sample_host.exe, sample_app.dll  the demo's host with release 1.4 of
#     sample-app-X\sample_app.dll        its module, and the releases of
#                                        $sample_releases
#     lua51.dll, lua51-license.txt     PUC Lua 5.1.5 as the host runs it, with
#                                        Lua's licence (COPYRIGHT of its source)
#     Quorvane.dll                     the same file again, where the host's
#                                        Lua looks for modules
#     example.lua, example-profile.ini, run.bat
# Text files get Windows (CRLF) line endings. Packing the same tree twice,
# from any folder, gives the same bytes: the binaries carry no timestamps or
# build paths (lua51.dll carries the time the Lua cache was built), and the
# archive fixes its entries' order, times and permissions.
set -euo pipefail
. "$(dirname "$0")/common.sh"
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

# The module's releases besides 1.4 (sample_host.exe --app X): the ones the
# docs' examples use, and the rest of the main line to practise updates on.
sample_releases="1.5 1.6 1.7 1.8"

version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' "$qv_root/CMakeLists.txt")
name=Quorvane-$version-win32
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir -p "$top/sample"

# Text files: CRLF line endings, and the version filled in.
text() {
  sed -e "s/@VERSION@/$version/g" -e 's/\r*$/\r/' "$1" >"$2"
}

cp "$build/Quorvane.dll" "$build/quorvane-probe.exe" "$top/"
for f in release/README.txt docs/API.md docs/SIGNATURES.md CHANGELOG.md; do
  text "$qv_root/$f" "$top/$(basename "$f")"
done

cp "$build/puc/sample_host.exe" "$build/puc/sample_app.dll" "$build/puc/lua51.dll" \
  "$build/Quorvane.dll" "$top/sample/"
for x in $sample_releases; do
  mkdir "$top/sample/sample-app-$x"
  cp "$build/puc/sample-app-$x/sample_app.dll" "$top/sample/sample-app-$x/"
done
text "$qv_cache/lua-5.1.5/COPYRIGHT" "$top/sample/lua51-license.txt"
for f in release/run.bat demo/example.lua demo/example-profile.ini; do
  text "$qv_root/$f" "$top/sample/$(basename "$f")"
done

find "$top" -type d -exec chmod 0755 {} +
find "$top" -type f -exec chmod 0644 {} +
# 2026-01-01 00:00 UTC for every entry.
find "$top" -exec touch -h -d @1767225600 {} +
rm -f "$out/$name.zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q "$out/$name.zip" -@)
echo "$out/$name.zip"
