#!/usr/bin/env bash
# Side by side with the usual compressors on the benchmark corpus: size,
# packing speed and unpacking speed of tambrix -lh5/-lh6/-lh7 against gzip,
# bzip2, xz and zstd, in one run.
#   bench/peers.sh [RUNS]
# Times are processor time (user + system), best of RUNS (default 3), so the
# figures hold up on a shared machine. Every figure is a ratio:
#   size     packed size / original size
#   pack     gzip -6's packing time / this tool's (above 1: faster than gzip -6)
#   unpack   gzip -dc's time / this tool's unpacking time (t for tambrix)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-3}
BUILD="$ROOT/build-bench"
CORPUS="$BUILD/corpus"
TMP=$(mktemp -d /tmp/tmb-peers.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tambrix >/dev/null
TMB="$BUILD/tambrix"
[ -f "$CORPUS/runs.bin" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null

# best N CMD: best processor time per run of RUNS measurements, each running
# the shell command CMD N times in a row (fast commands need several runs to
# rise above the clock's 10 ms steps), in seconds.
best() {
    local n=$1 best="" d
    shift
    for ((i = 0; i < RUNS; i++)); do
        /usr/bin/time -f '%U %S' -o "$TMP/time" \
            sh -c 'n=$1; c=$2; while [ "$n" -gt 0 ]; do sh -c "$c"; n=$((n - 1)); done' \
            loop "$n" "$1" >/dev/null 2>&1
        d=$(awk -v n="$n" '{ printf "%.5f", ($1 + $2) / n }' "$TMP/time")
        if [ -z "$best" ] || awk -v d="$d" -v b="$best" 'BEGIN { exit !(d < b) }'; then
            best=$d
        fi
    done
    # Never divide by zero.
    awk -v b="$best" 'BEGIN { printf "%.5f", (b < 0.0001 ? 0.0001 : b) }'
}

# Tools as "name|pack command|unpack command"; $IN, $OUT are set per file.
tools=(
    "gzip -6|gzip -6 -c \"\$IN\" >\"\$OUT\"|gzip -dc \"\$OUT\""
    "gzip -9|gzip -9 -c \"\$IN\" >\"\$OUT\"|gzip -dc \"\$OUT\""
    "bzip2 -9|bzip2 -9 -c \"\$IN\" >\"\$OUT\"|bzip2 -dc \"\$OUT\""
    "xz -6|xz -6 -T1 -c \"\$IN\" >\"\$OUT\"|xz -dc \"\$OUT\""
    "zstd -3|zstd -q -3 -c \"\$IN\" >\"\$OUT\"|zstd -q -dc \"\$OUT\""
    "zstd -19|zstd -q -19 -c \"\$IN\" >\"\$OUT\"|zstd -q -dc \"\$OUT\""
    "tambrix -lh5|rm -f \"\$OUT\"; \"\$TMB\" a -q -n -lh5 \"\$OUT\" \"\$IN\"|\"\$TMB\" t -q -n \"\$OUT\""
    "tambrix -lh6|rm -f \"\$OUT\"; \"\$TMB\" a -q -n -lh6 \"\$OUT\" \"\$IN\"|\"\$TMB\" t -q -n \"\$OUT\""
    "tambrix -lh7|rm -f \"\$OUT\"; \"\$TMB\" a -q -n -lh7 \"\$OUT\" \"\$IN\"|\"\$TMB\" t -q -n \"\$OUT\""
)

printf '%-11s %-13s %7s %7s %7s\n' file tool size pack unpack
export TMB
for f in text.txt source.tar binary.bin random.bin runs.bin; do
    export IN="$CORPUS/$f"
    size=$(stat -c %s "$IN")
    base_pack="" base_unpack=""
    for t in "${tools[@]}"; do
        IFS='|' read -r name pack unpack <<<"$t"
        export OUT="$TMP/out.tmb"
        tp=$(best 1 "$pack")
        tu=$(best 10 "$unpack")
        packed=$(stat -c %s "$OUT")
        [ -n "$base_pack" ] || { base_pack=$tp; base_unpack=$tu; }
        awk -v f="$f" -v n="$name" -v p="$packed" -v s="$size" -v tp="$tp" -v tu="$tu" \
            -v bp="$base_pack" -v bu="$base_unpack" 'BEGIN {
            printf "%-11s %-13s %6.1f%% %7.2f %7.2f\n", f, n, 100 * p / s, bp / tp, bu / tu }'
    done
done
