#!/bin/sh
# Cross-compiles the self-extractor for the plain 68000.
#
#   stub/build.sh OUTDIR
#
# writes
#   OUTDIR/tmb_stub.elf        the AmigaOS program as an ELF linked with
#                              --emit-relocs: .text (code and constants) at 0,
#                              .data (the 44-byte data block) at 0x40000000,
#                              .bss at 0x80000000, entry at byte 0 of .text;
#                              the input of the conversion to the hunk format
#   OUTDIR/tmb_stub_linux.elf  the same logic over Linux system calls, for
#                              qemu-m68k -cpu m68000 (args: RUNFILE OFFSET),
#                              its BSS (the window) at 0x2000
#   OUTDIR/obj/, OUTDIR/obj-linux/   the object files
# The compiler is m68k-linux-gnu-gcc unless M68K_CC names another.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUTDIR}
cc=${M68K_CC:-m68k-linux-gnu-gcc}
if ! command -v "$cc" >/dev/null 2>&1; then
    echo "build.sh: cross compiler $cc not found (install gcc-m68k-linux-gnu)" >&2
    exit 1
fi
mkdir -p "$out/obj" "$out/obj-linux"
src=$here/src
# -fno-expensive-optimizations: gcc otherwise merges byte loads such as
# p[0] | p[1] << 8 | ... into one 32-bit load (and a byte swap) even at an
# odd address, which a 68000 answers with an address error; qemu-m68k does
# not fault on it, the emulated Amiga does. -fno-store-merging does the same
# for stores: the four byte stores of ".tmp" behind a name of odd length
# became one 32-bit store to an odd address.
cflags="-m68000 -Os -std=gnu99 -Wall -Wextra -Werror -ffreestanding -nostdlib -fno-builtin
 -fomit-frame-pointer -fno-pic -fno-pie -fno-jump-tables -fno-tree-loop-distribute-patterns
 -fno-expensive-optimizations -fno-store-merging
 -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-ident"
lflags="-m68000 -nostdlib -static -no-pie -Wl,--build-id=none -Wl,--gc-sections"

compile() { # dir file...
    dir=$1; shift
    for f in "$@"; do
        # shellcheck disable=SC2086
        "$cc" $cflags -c "$src/$f" -o "$dir/${f%.*}.o"
    done
}

compile "$out/obj" start_amiga.S os_amiga.c sfx.c sfx_read.c sfx_decode.c rt68k.c
# shellcheck disable=SC2086
"$cc" $lflags -Wl,--emit-relocs -Wl,-T,"$here/amiga.ld" -o "$out/tmb_stub.elf" \
    "$out/obj/start_amiga.o" "$out/obj/os_amiga.o" "$out/obj/sfx.o" "$out/obj/sfx_read.o" \
    "$out/obj/sfx_decode.o" "$out/obj/rt68k.o"

compile "$out/obj-linux" start_linux.S os_linux.c sfx.c sfx_read.c sfx_decode.c rt68k.c
# The BSS, and with it the window, below 64 KB: an AmigaOS program may be
# loaded that low (the first one after a boot is), where a pointer stepped
# back across the window's start would wrap below address 0.
# shellcheck disable=SC2086
"$cc" $lflags -Wl,-e,_start -Wl,-Tbss=0x2000 -o "$out/tmb_stub_linux.elf" \
    "$out/obj-linux/start_linux.o" "$out/obj-linux/os_linux.o" "$out/obj-linux/sfx.o" \
    "$out/obj-linux/sfx_read.o" "$out/obj-linux/sfx_decode.o" "$out/obj-linux/rt68k.o"
