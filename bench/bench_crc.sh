#!/bin/sh
# CRC-16 throughput of tmb_crc16 (eight bytes per step) beside the plain
# byte-per-step table loop, and beside `cksum` (CRC-32) and `gzip -1` over
# the same number of bytes. Reports MB/s and ratios.
#   sh bench/bench_crc.sh [MB]
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MB=${1:-64}
TMP=$(mktemp -d /tmp/tmbbench.XXXXXX)
trap 'rm -rf "$TMP"' EXIT INT TERM

g++ -O2 -std=c++20 -I"$ROOT/src/lzh" -I"$ROOT/src/archive" "$ROOT/bench/crc_speed.cpp" "$ROOT/src/lzh/tmb_crc.cpp" -o "$TMP/crc_speed"
set -- $("$TMP/crc_speed" "$MB")
FAST=$1 SLOW=$2

head -c $((MB * 1048576)) /dev/urandom >"$TMP/data"
now() { date +%s%N; }
best() {
    b=0
    for _ in 1 2 3; do
        t0=$(now); "$@" <"$TMP/data" >/dev/null; t1=$(now)
        d=$((t1 - t0))
        if [ "$b" -eq 0 ] || [ "$d" -lt "$b" ]; then b=$d; fi
    done
    echo "$b"
}
T_CKSUM=$(best cksum)
T_GZIP=$(best gzip -1 -c)
awk -v mb="$MB" -v f="$FAST" -v s="$SLOW" -v c="$T_CKSUM" -v g="$T_GZIP" 'BEGIN {
    size = mb * 1048576 / 1e6
    ck = size / (c / 1e9); gz = size / (g / 1e9)
    printf "%d MB of data\n", mb
    printf "%-28s %9.1f MB/s\n", "tmb_crc16 (8 bytes/step)", f
    printf "%-28s %9.1f MB/s\n", "byte-per-step table loop", s
    printf "%-28s %9.1f MB/s\n", "cksum (CRC-32, whole tool)", ck
    printf "%-28s %9.1f MB/s\n", "gzip -1 (whole tool)", gz
    printf "ratio tmb_crc16 / byte loop: %.2f\n", f / s
    printf "ratio tmb_crc16 / cksum:     %.2f\n", f / ck
    printf "ratio tmb_crc16 / gzip -1:   %.2f\n", f / gz
}'
