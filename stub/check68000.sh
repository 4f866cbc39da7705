#!/bin/sh
# Static checks of a stub build (the output directory of build.sh):
#
#   stub/check68000.sh OUTDIR
#
# 1. Plain 68000 instructions only. The assembler refuses 68020 opcodes
#    under -m68000, but the linker would take a 68020 object without a word,
#    and a 68000 crashes on them. So: every object file must be flagged
#    m68000 in its ELF header, and the linked code, disassembled as 68000
#    code, must show no undecodable word (.short), no scaled index
#    (68020 addressing), no branch to an odd address (a 68020 long
#    branch seen through 68000 eyes), no word or longword access at an
#    odd offset from the stack or frame pointer, and no word or longword
#    store of a constant made of text characters (byte stores of a string
#    merged by the compiler: behind a name of odd length they land on an
#    odd address).
# 2. The image constraints the builder of self-extracting files relies on:
#    entry at byte 0 of the code, code at most 10240 bytes, data exactly 44
#    bytes with DE AD BE EF as its fourth longword, those bytes nowhere in
#    the code, BSS at most 92356 bytes.
# Prints what it found; exits 1 on the first failed rule.
set -eu
out=${1:?usage: check68000.sh OUTDIR}
tools=${M68K_TOOLS:-m68k-linux-gnu-}
for t in readelf objdump objcopy; do
    if ! command -v "$tools$t" >/dev/null 2>&1; then
        echo "check68000: $tools$t not found (install binutils-m68k-linux-gnu)" >&2
        exit 1
    fi
done
fail() { echo "check68000: FAIL: $*" >&2; exit 1; }

objs=$(ls "$out"/obj/*.o "$out"/obj-linux/*.o 2>/dev/null || true)
[ -n "$objs" ] || fail "no object files under $out/obj"
for o in $objs "$out/tmb_stub.elf" "$out/tmb_stub_linux.elf"; do
    [ -f "$o" ] || fail "missing $o"
    "${tools}readelf" -h "$o" | grep -q 'Flags:.*m68000' || fail "$o is not flagged m68000"
done
echo "ELF flags: m68000 on $(echo "$objs" | wc -w) objects and both programs"

for elf in $objs "$out/tmb_stub.elf" "$out/tmb_stub_linux.elf"; do
    # only the instructions: in the AmigaOS image constants follow them in
    # the same section, from __code_end on
    stop=$("${tools}readelf" -s -W "$elf" | awk '$8 == "__code_end" {print "--stop-address=0x" $2; exit}')
    # shellcheck disable=SC2086
    dis=$("${tools}objdump" -d -m m68k:68000 $stop "$elf")
    n=$(printf '%s\n' "$dis" | grep -c '^ *[0-9a-f]*:' || true)
    bad=$(printf '%s\n' "$dis" | grep -E '\.short' || true)
    [ -z "$bad" ] || fail "$elf: undecodable words:
$bad"
    bad=$(printf '%s\n' "$dis" | grep -E ':[wl]:[248]\b' || true)
    [ -z "$bad" ] || fail "$elf: scaled index:
$bad"
    # branch, jump and call targets: "bsrw 1c6 <name>" etc.
    bad=$(printf '%s\n' "$dis" | awk -F'\t' '
        NF >= 3 && $3 ~ /^(b[a-z]*|db[a-z]*|jsr|jmp) +[0-9a-f]+ </ {
            split($3, w, / +/)
            last = substr(w[2], length(w[2]), 1)
            if (index("13579bdf", last)) print
        }')
    [ -z "$bad" ] || fail "$elf: branches to odd addresses:
$bad"
    # word and longword accesses at an odd offset from the stack or frame
    # pointer (always even): an address error on a 68000, though qemu-m68k
    # lets it pass. gcc makes these when it merges byte loads.
    bad=$(printf '%s\n' "$dis" | awk -F'\t' '
        NF >= 3 && $3 ~ /^[a-z]+[wl] / && $3 !~ /^(pea|lea)/ &&
        $3 ~ /%(sp|fp)@\(-?[0-9]*[13579]\)/ { print }')
    [ -z "$bad" ] || fail "$elf: word or longword access at an odd stack offset:
$bad"
    # "movel #779382128,%a1@(2)" is ".tmp" stored at once. A constant counts
    # as text when every byte is 0 or printable and, besides spaces (a fill
    # of spaces is a plain constant), it holds two printable characters in a
    # word, three in a longword (an address in the code, below 64 KB, has two
    # zero bytes).
    bad=$(printf '%s\n' "$dis" | awk -F'\t' '
        NF >= 3 && $3 ~ /^move[wl] #-?[0-9]+,/ && $3 !~ /,%d[0-7]$/ {
            v = substr($3, 8); sub(/,.*/, "", v); v += 0
            if (v < 0) v += 4294967296
            n = substr($3, 5, 1) == "l" ? 4 : 2
            text = 0; other = 0
            for (i = 0; i < n; i++) {
                b = v % 256; v = (v - b) / 256
                if (b > 32 && b < 127) text++
                else if (b != 0 && b != 32) other++
            }
            if (!other && text >= n - 1 && text >= 2) print
        }')
    [ -z "$bad" ] || fail "$elf: word or longword store of text bytes (merged byte stores):
$bad"
    total=$((total + n))
done
echo "disassembly of the objects and both programs ($total instructions): no .short, no scaled index,"
echo "  no odd branch target, no word or longword access at an odd stack offset,"
echo "  no word or longword store of text bytes"

elf=$out/tmb_stub.elf
entry=$("${tools}readelf" -h "$elf" | awk '/Entry point/ {print $4}')
[ "$((entry))" -eq 0 ] || fail "entry point is $entry, not byte 0 of the code"
size_of() {
    "${tools}readelf" -S -W "$elf" | awk -v s="$1" '$2 == s {print $6} $3 == s {print $7}' | head -1
}
text=$((0x$(size_of .text)))
data=$((0x$(size_of .data)))
bss=$((0x$(size_of .bss)))
[ "$text" -le 10240 ] || fail "code is $text bytes, more than 10240"
[ "$data" -eq 44 ] || fail "initialised data is $data bytes, not 44"
[ "$bss" -le 92356 ] || fail "BSS is $bss bytes, more than 92356"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${tools}objcopy" -O binary -j .text "$elf" "$tmp/text"
"${tools}objcopy" -O binary -j .data "$elf" "$tmp/data"
# offsets of every DE AD BE EF in a file, one per line
find_marker() {
    od -An -v -tx1 "$1" | tr -s ' ' '\n' | grep . | awk '
        { b[NR - 1] = $1 }
        END { for (i = 0; i + 3 < NR; i++)
                  if (b[i] == "de" && b[i+1] == "ad" && b[i+2] == "be" && b[i+3] == "ef") print i }'
}
[ -z "$(find_marker "$tmp/text")" ] || fail "DE AD BE EF occurs in the code"
[ "$(find_marker "$tmp/data" | head -1)" = 12 ] || fail "DE AD BE EF is not the fourth longword of the data"
relocs=$("${tools}readelf" -r "$elf" | awk '/^Relocation section/ {sec = $3} / R_68K_32 / {n[sec]++}
    END {printf "%d in the code, %d in the data", n["'"'"'.rela.text'"'"'"], n["'"'"'.rela.data'"'"'"]}')
other=$("${tools}readelf" -r "$elf" | grep -E ' R_68K_' | grep -vE ' R_68K_(32|PC16|PC8|PC32) ' || true)
[ -z "$other" ] || fail "unexpected relocation types:
$other"
echo "image: code $text bytes, data $data bytes (placeholder at 12), BSS $bss bytes, entry 0"
echo "32-bit relocations: $relocs"
echo "check68000: OK"
