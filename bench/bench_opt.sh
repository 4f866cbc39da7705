#!/usr/bin/env bash
# -9 (optimal parsing) against the default encoder of each method and against
# gzip -9, bzip2 -9, xz -6 and zstd -19, side by side in one run.
#   bench/bench_opt.sh [RUNS]
# Per file and tool: packed bytes, the change against the default encoder of
# the same method ("vs def"), packing processor time (user + system, best of
# RUNS, default 1) and speed, "x xz" = xz -6 -T1's packing time / this one's
# (at least 0.5 is the goal for -9), the peak resident memory of packing, and
# the unpacking time (t -q -n for tambrix, -dc to /dev/null for the others;
# ten runs under one timer).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-1}
BUILD="$ROOT/build-bench"
CORPUS="$BUILD/corpus"
TMP=$(mktemp -d /tmp/tmb-opt.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tambrix >/dev/null
TMB="$BUILD/tambrix"
[ -f "$CORPUS/runs.bin" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null

# measure CMD [N]: best processor time of RUNS runs in seconds, each run
# doing CMD N times (default 1) under one timer, per time; and the peak
# resident memory in KB of the best run, as "seconds kb".
measure() {
    local best="" kb="" d m n=${2:-1}
    for ((i = 0; i < RUNS; i++)); do
        /usr/bin/time -f '%U %S %M' -o "$TMP/time" \
            sh -c 'n=$1; while [ "$n" -gt 0 ]; do sh -c "$2"; n=$((n - 1)); done' loop "$n" "$1" >/dev/null 2>&1
        read -r d m < <(awk -v n="$n" '{ printf "%.4f %d\n", ($1 + $2) / n, $3 }' "$TMP/time")
        if [ -z "$best" ] || awk -v d="$d" -v b="$best" 'BEGIN { exit !(d < b) }'; then
            best=$d kb=$m
        fi
    done
    awk -v b="$best" -v k="$kb" 'BEGIN { printf "%.4f %d\n", (b < 0.0001 ? 0.0001 : b), k }'
}

tools=(
    "gzip -9|gzip -9 -c \"\$IN\" >\"\$OUT\"|gzip -dc \"\$OUT\""
    "bzip2 -9|bzip2 -9 -c \"\$IN\" >\"\$OUT\"|bzip2 -dc \"\$OUT\""
    "xz -6|xz -6 -T1 -c \"\$IN\" >\"\$OUT\"|xz -dc \"\$OUT\""
    "zstd -19|zstd -q -19 -c \"\$IN\" >\"\$OUT\"|zstd -q -dc \"\$OUT\""
)
for m in 5 6 7; do
    tools+=("-lh$m|rm -f \"\$OUT\"; \"\$TMB\" a -q -n -lh$m \"\$OUT\" \"\$IN\"|\"\$TMB\" t -q -n \"\$OUT\"")
    tools+=("-lh$m -9|rm -f \"\$OUT\"; \"\$TMB\" a -q -n -lh$m -9 \"\$OUT\" \"\$IN\"|\"\$TMB\" t -q -n \"\$OUT\"")
done

printf '%-11s %-9s %9s %6s %7s %7s %6s %6s %8s %7s\n' \
    file tool bytes ratio "vs def" pack-s MB/s "x xz" "pack-KB" unpk-s
export TMB
for f in text.txt source.tar binary.bin random.bin runs.bin; do
    export IN="$CORPUS/$f"
    size=$(stat -c %s "$IN")
    txz="" def=""
    for t in "${tools[@]}"; do
        IFS='|' read -r name pack unpack <<<"$t"
        export OUT="$TMP/out.tmb"
        rm -f "$OUT"
        read -r tp kb < <(measure "$pack")
        packed=$(stat -c %s "$OUT")
        read -r tu _ < <(measure "$unpack" 10)
        [ "$name" = "xz -6" ] && txz=$tp
        case "$name" in
            -lh?) def=$packed; vs="" ;;
            -lh?\ -9) vs=$(awk -v p="$packed" -v d="$def" 'BEGIN { printf "%+.2f%%", 100 * (p / d - 1) }') ;;
            *) vs="" ;;
        esac
        awk -v f="$f" -v n="$name" -v p="$packed" -v s="$size" -v tp="$tp" -v tu="$tu" \
            -v vs="$vs" -v kb="$kb" -v txz="$txz" 'BEGIN {
            x = txz == "" ? "" : sprintf("%.2f", txz / tp)
            printf "%-11s %-9s %9d %5.1f%% %7s %7.3f %6.2f %6s %8d %7.4f\n",
                   f, n, p, 100 * p / s, vs, tp, s / tp / 1048576, x, kb, tu }'
    done
done
