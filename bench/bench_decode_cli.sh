#!/bin/bash
# End to end: `tambrix t` on the corpus packed with -lh5, -lh6 and -lh7
# against `gzip -dc >/dev/null` on the same files packed with gzip -9.
#   bash bench/bench_decode_cli.sh [CORPUS_DIR]
# Builds the program in build-bench/ and the corpus (once) in CORPUS_DIR
# (default /tmp/tmb-bench-corpus). Times are processor time (user + system)
# and wall time, best of 5 interleaved runs; ratios are gzip time / t time.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CORPUS=${1:-/tmp/tmb-bench-corpus}
[ -f "$CORPUS/text.txt" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
cmake --build "$ROOT/build-bench" -j2 --target tambrix >/dev/null
TMB="$ROOT/build-bench/tambrix"
WORK=$(mktemp -d /tmp/tmb-bench-cli.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Prints "cpu wall" in seconds for one run of the command.
measure() {
    local t0 t1 c
    t0=$(date +%s.%N)
    c=$( { TIMEFORMAT='%U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    t1=$(date +%s.%N)
    echo "$c" "$t0" "$t1" | awk '{ printf "%.4f %.4f\n", $1 + $2, $4 - $3 }'
}

best() { sort -n | head -1; }

printf '%-11s %6s %9s %9s %9s %9s %8s %8s\n' file method t-cpu gz-cpu t-wall gz-wall cpu-x wall-x
for f in text.txt source.tar binary.bin random.bin runs.bin tree; do
    [ -e "$CORPUS/$f" ] || continue
    if [ -d "$CORPUS/$f" ]; then
        (cd "$CORPUS" && tar cf - "$f") | gzip -9 > "$WORK/$f.gz"
    else
        gzip -9 -c "$CORPUS/$f" > "$WORK/$f.gz"
    fi
    for m in 5 6 7; do
        arc="$WORK/$f.lh$m.tmb"
        (cd "$CORPUS" && "$TMB" a -q -r -lh$m "$arc" "$f" >/dev/null)
        "$TMB" t -q "$arc" >/dev/null || { echo "t failed on $arc"; exit 1; }
        : > "$WORK/t.times"; : > "$WORK/g.times"
        for r in 1 2 3 4 5; do
            measure "$TMB" t -q "$arc" >> "$WORK/t.times"
            measure gzip -dc "$WORK/$f.gz" >> "$WORK/g.times"
        done
        tc=$(cut -d' ' -f1 "$WORK/t.times" | best); tw=$(cut -d' ' -f2 "$WORK/t.times" | best)
        gc=$(cut -d' ' -f1 "$WORK/g.times" | best); gw=$(cut -d' ' -f2 "$WORK/g.times" | best)
        awk -v f="$f" -v m="-lh$m-" -v tc="$tc" -v gc="$gc" -v tw="$tw" -v gw="$gw" 'BEGIN {
            printf "%-11s %6s %9.3f %9.3f %9.3f %9.3f %7.2fx %7.2fx\n", f, m, tc, gc, tw, gw,
                   (tc > 0 ? gc / tc : 0), (tw > 0 ? gw / tw : 0) }'
        echo "$m $tc $gc $tw $gw" >> "$WORK/all"
    done
done
awk '{ tc[$1] += $2; gc[$1] += $3; tw[$1] += $4; gw[$1] += $5 }
     END { for (m = 5; m <= 7; m++)
             printf "%-11s  -lh%d- %9.3f %9.3f %9.3f %9.3f %7.2fx %7.2fx\n", "all", m, tc[m], gc[m], tw[m], gw[m],
                    gc[m] / tc[m], gw[m] / tw[m] }' "$WORK/all"
