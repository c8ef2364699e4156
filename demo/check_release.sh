#!/bin/sh
# check_release.sh OBJDUMP DLL BASE LIST DATA BUFFER RELOCATIONS EXPORTED
#
# Checks that a release of sample_app.dll carries what it is meant to
# (demo/CMakeLists.txt): code that uses each of its profile's three offsets
# (LIST, DATA, BUFFER, from the image base BASE) in at least two places, the
# record pointer's displacement in the size its value needs (one byte up to
# 0x7F, four above), a relocation table or none (RELOCATIONS yes or no), and
# its readers exported or not (EXPORTED yes or no). Prints what it found,
# and every reference, then exits 1 if something is missing.
set -eu
[ $# -eq 8 ] || { echo "usage: $0 OBJDUMP DLL BASE LIST DATA BUFFER RELOCATIONS EXPORTED" >&2; exit 2; }
objdump=$1 dll=$2 base=$3 list=$4 data=$5 buffer=$6 relocations=$7 exported=$8
here=$(cd "$(dirname "$0")" && pwd)
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

headers=$("$objdump" -p "$dll")

# The relocation table: the data directory's entry 5 and the file header's
# "relocations stripped" flag.
table=$(printf '%s\n' "$headers" | awk '/Base Relocation Directory/ { print ($3 == "00000000") ? "no" : "yes" }')
stripped=$(printf '%s\n' "$headers" | awk '$1 == "Characteristics" { print ($2 ~ /[13579bdfBDF]$/) ? "yes" : "no" }')
echo "relocation table: $table (relocations stripped flag: $stripped)"
[ "$table" = "$relocations" ] || fail "relocation table: expected $relocations"
if [ "$relocations" = no ] && [ "$stripped" != yes ]; then fail "no relocation table, but the image is not marked so"; fi

# The readers in the export table, and the idle work the sample host calls.
exports=$(printf '%s\n' "$headers" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^\t\[/ { print $NF } on && !/^\t\[/ { on = 0 }')
echo "exports:" $exports
case " $(echo $exports) " in *" SampleAppIdle "*) ;; *) fail "SampleAppIdle is not exported" ;; esac
case " $(echo $exports) " in
  *" SampleAppCurrentRecord "*) found=yes ;;
  *) found=no ;;
esac
[ "$found" = "$exported" ] || fail "readers exported: expected $exported, found $found"

"$objdump" -d -M intel --insn-width=16 "$dll" |
  awk -v base="$base" -v list="$list" -v data="$data" -v buffer="$buffer" \
      -f "$here/release_references.awk" || status=1
exit $status
