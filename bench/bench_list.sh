#!/bin/sh
# Listing speed: `tambrix l` over an archive of 100,000 small entries made
# by the test byte builder, side by side with `tar tvf` over a tar of the
# same names and contents. Reports entries per second and the ratio.
#   sh bench/bench_list.sh [COUNT]
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
COUNT=${1:-100000}
[ -x "$BUILD/tambrix" ] || { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null; cmake --build "$BUILD" -j2 --target tambrix >/dev/null; }
TMP=$(mktemp -d /tmp/tmbbench.XXXXXX)
trap 'rm -rf "$TMP"' EXIT INT TERM

g++ -O2 -std=c++20 -I"$ROOT/src/lzh" -I"$ROOT/src/archive" -I"$ROOT/tests/support" -DTAMBRIX_BIN="\"$BUILD/tambrix\"" \
    "$ROOT/bench/make_many.cpp" "$ROOT/tests/support/lzh_builder.cpp" \
    "$ROOT/tests/support/testkit.cpp" "$ROOT/src/lzh/tmb_crc.cpp" -o "$TMP/make_many"
"$TMP/make_many" "$TMP/many.lzh" "$TMP/many.tar" "$COUNT"

now() { date +%s%N; }
# Best of three runs, in nanoseconds.
best() {
    b=0
    for _ in 1 2 3; do
        t0=$(now); "$@" >/dev/null; t1=$(now)
        d=$((t1 - t0))
        if [ "$b" -eq 0 ] || [ "$d" -lt "$b" ]; then b=$d; fi
    done
    echo "$b"
}
LISTED=$("$BUILD/tambrix" lq "$TMP/many.lzh" | tail -1)
T_TMB=$(best "$BUILD/tambrix" lq "$TMP/many.lzh")
T_TAR=$(best tar tvf "$TMP/many.tar")
awk -v n="$COUNT" -v a="$T_TMB" -v b="$T_TAR" -v listed="$LISTED" 'BEGIN {
    printf "archive: %d entries (levels 0/1/2 in turn), totals line:%s\n", n, listed
    printf "%-22s %10.3f s %12.0f entries/s\n", "tambrix l", a / 1e9, n / (a / 1e9)
    printf "%-22s %10.3f s %12.0f entries/s\n", "tar tvf (same entries)", b / 1e9, n / (b / 1e9)
    printf "ratio tambrix/tar speed: %.2f\n", b / a
}'
