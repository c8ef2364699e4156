#!/usr/bin/env bash
# Builds the release package dist/Quorvane-<version>-win32.zip: the DLL, the
# profile probe, the README for Windows users (release/README.txt), the API
# reference, the signature file's format, the changelog, and the sample host
# to try them on (sample\: the demo's host and releases 1.4 to 1.8 of its module,
# PUC Lua's lua51.dll with its licence, the example script and profile,
# run.bat). tools/pack-release.sh says what goes where; building it twice
# gives the same bytes.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$qv_root/tools/build.sh" win32 --target Quorvane quorvane-probe sample_host >/dev/null
"$qv_root/tools/pack-release.sh" "$qv_root/build/win32" "$qv_root/dist"
