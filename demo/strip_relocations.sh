#!/bin/sh
# strip_relocations.sh OBJCOPY DLL: takes the base relocation table out of
# DLL and marks the image as having none (IMAGE_FILE_RELOCS_STRIPPED), as a
# linker does for an image that loads at its preferred base only. The MinGW
# linker always writes a DLL's table (demo/CMakeLists.txt).
set -eu
objcopy=$1
dll=$2
# objcopy writes the time into the PE header unless told a fixed one.
SOURCE_DATE_EPOCH=0 "$objcopy" --remove-section=.reloc "$dll"
# The COFF file header follows the PE signature, whose offset is at 0x3C;
# its Characteristics are at +18 of the header.
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
at=$((pe + 4 + 18))
flags=$(od -An -tu2 -j"$at" -N2 "$dll" | tr -d ' ')
flags=$((flags | 1))
printf "$(printf '\\%03o\\%03o' $((flags & 255)) $((flags >> 8)))" |
  dd of="$dll" bs=1 seek="$at" conv=notrunc status=none
