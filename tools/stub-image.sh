#!/bin/sh
# Rebuilds the AmigaOS extractor image from its sources:
#
#   tools/stub-image.sh ELF2HUNK OUTDIR
#
# cross-compiles stub/ (stub/build.sh OUTDIR) and converts the linked ELF
# into OUTDIR/tmb_stub.bin with the converter ELF2HUNK, padded to the layout
# the builder of self-extracting files documents for the embedded image:
#
#   byte      0  HUNK_HEADER, 3 hunks: 2560, 11 and 23089 longwords
#   byte     32  HUNK_CODE, 10240 bytes (the code, then zero longwords)
#   byte  10280  its HUNK_RELOC32, 1656 bytes (filler entries point into the
#                zero longwords), then HUNK_END
#   byte 11940  HUNK_DATA, 44 bytes; the placeholder at 11960
#   byte 11992  its HUNK_RELOC32, 40 bytes, HUNK_END, HUNK_BSS, HUNK_END
#   12048 bytes in all
#
# `cmake --build build --target stub_image` runs this and refreshes the
# committed stub/tmb_stub.bin.
set -eu
conv=${1:?usage: stub-image.sh ELF2HUNK OUTDIR}
out=${2:?usage: stub-image.sh ELF2HUNK OUTDIR}
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/stub/build.sh" "$out"
"$conv" --code-longs 2560 --code-reloc-bytes 1656 \
        --data-longs 11 --data-reloc-bytes 40 --bss-longs 23089 \
        "$out/tmb_stub.elf" "$out/tmb_stub.bin"
