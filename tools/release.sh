#!/usr/bin/env bash
# Builds the release package dist/Quorvane-<version>-win32.zip: the DLL, the
# profile probe, the README for Windows users (release/README.txt), the API
# reference, the signature file's format, the changelog, an example profile
# and an example script, the text files with Windows (CRLF) line endings. Building it twice gives the
# same bytes: the binaries carry no timestamps or build paths, and the
# archive fixes names, order, times and permissions.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$qv_root/tools/build.sh" win32 --target Quorvane quorvane-probe >/dev/null
version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' "$qv_root/CMakeLists.txt")
name=Quorvane-$version-win32
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp "$qv_root/build/win32/Quorvane.dll" "$qv_root/build/win32/quorvane-probe.exe" "$stage/$name/"
# Text files: CRLF line endings, and the version filled in.
for f in release/README.txt docs/API.md docs/SIGNATURES.md CHANGELOG.md demo/example-profile.ini \
    demo/example.lua; do
  sed -e "s/@VERSION@/$version/g" -e 's/\r*$/\r/' "$qv_root/$f" >"$stage/$name/$(basename "$f")"
done
chmod 0644 "$stage/$name"/*
chmod 0755 "$stage/$name"
# 2026-01-01 00:00 UTC for every entry.
find "$stage/$name" -exec touch -h -d @1767225600 {} +
mkdir -p "$qv_root/dist"
rm -f "$qv_root/dist/$name.zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q "$qv_root/dist/$name.zip" -@)
echo "$qv_root/dist/$name.zip"
