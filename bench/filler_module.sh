#!/bin/sh
# Makes one object of at least MIB MiB of compiled code, for the update
# benchmark's module: bench/filler.awk writes the C source, CC compiles it
# once, and LD links as many copies of it into one relocatable object as
# the size takes (its symbols are all static, so the copies do not meet).
#
#   filler_module.sh CC LD OBJDUMP FILLER_AWK OUT MIB
set -eu
cc=$1 ld=$2 objdump=$3 awk_script=$4 out=$5 mib=$6
dir=$(dirname "$out")
awk -v n=800 -f "$awk_script" > "$dir/filler.c"
"$cc" -O2 -fno-asynchronous-unwind-tables -Wall -Wextra -c "$dir/filler.c" -o "$dir/filler.o"
text=$(printf '%d' "0x$("$objdump" -h "$dir/filler.o" | awk '$2 == ".text" { print $3 }')")
copies=$(( (mib * 1048576 + text - 1) / text ))
set --
while [ "$#" -lt "$copies" ]; do set -- "$@" "$dir/filler.o"; done
"$ld" -r -o "$out" "$@"
