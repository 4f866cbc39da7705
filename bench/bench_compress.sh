#!/usr/bin/env bash
# Compression speed and size of -lh5-, -lh6- and -lh7- against gzip -6 and
# gzip -9 on the benchmark corpus, and decoding speed against gzip -dc.
#   bench/bench_compress.sh [RUNS]
# Every timing is the best of RUNS runs (default 3) in processor time (user +
# system) of the command, which stays fair on a machine shared with other work.
# "x gz6" / "x gz9": gzip's time divided by ours (above 1: we are faster).
# "-lhN-" rows run the compressor alone (bench_pack, raw packed stream, like
# gzip's output); "a -lhN" rows run the whole add command (temporary file,
# header, archive). Decoding: the extraction driver alone (bench_unpack) and
# the test command t on the archive, against gzip -dc to /dev/null.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-3}
BUILD="$ROOT/build-bench"
CORPUS="$BUILD/corpus"
TMP=$(mktemp -d /tmp/tmb-bench.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTMB_BENCH=ON -DTMB_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target bench_pack tambrix >/dev/null
TMB="$BUILD/tambrix"
HAVE_UNPACK=0
if cmake --build "$BUILD" -j 2 --target bench_unpack >/dev/null 2>&1; then
    HAVE_UNPACK=1
fi
[ -f "$CORPUS/runs.bin" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null

# best_time N CMD... : runs CMD N times in a row under one timer (fast cases
# need several runs to rise above the clock's 10 ms steps) and prints the
# best time per run, in seconds, of $RUNS such measurements.
best_time() {
    local n=$1 best="" d
    shift
    for ((i = 0; i < RUNS; i++)); do
        /usr/bin/time -f '%U %S' -o "$TMP/time" \
            sh -c 'n=$1; shift; while [ "$n" -gt 0 ]; do "$@" >/dev/null; n=$((n - 1)); done' \
            loop "$n" "$@"
        d=$(awk -v n="$n" '{ printf "%.4f", ($1 + $2) / n }' "$TMP/time")
        if [ -z "$best" ] || awk -v d="$d" -v b="$best" 'BEGIN { exit !(d < b) }'; then
            best=$d
        fi
    done
    echo "$best"
}

printf '%-11s %-7s %10s %7s %8s %8s %7s %7s\n' file method bytes ratio seconds MB/s "x gz6" "x gz9"
for f in text.txt source.tar binary.bin runs.bin; do
    in="$CORPUS/$f"
    size=$(stat -c %s "$in")
    reps=1
    [ "$f" = runs.bin ] && reps=5
    t6=$(best_time $reps sh -c 'gzip -6 -c "$1" >"$2"' gz "$in" "$TMP/g6")
    t9=$(best_time $reps sh -c 'gzip -9 -c "$1" >"$2"' gz "$in" "$TMP/g9")
    row() { # name seconds bytes
        awk -v f="$f" -v m="$1" -v t="$2" -v b="$3" -v s="$size" -v t6="$t6" -v t9="$t9" 'BEGIN {
            printf "%-11s %-7s %10d %6.1f%% %8.4f %8.1f %7.2f %7.2f\n",
                   f, m, b, 100 * b / s, t, s / t / 1048576, t6 / t, t9 / t }'
    }
    row "gzip -6" "$t6" "$(stat -c %s "$TMP/g6")"
    row "gzip -9" "$t9" "$(stat -c %s "$TMP/g9")"
    for m in 5 6 7; do
        t=$(best_time $reps "$BUILD/bench_pack" $m "$in" "$TMP/p$m")
        read -r meth _ comp _ < <("$BUILD/bench_pack" $m "$in" "$TMP/p$m")
        row "-lh$m-$([ "$meth" = 0 ] && echo '(0)')" "$t" "$comp"
    done
    for m in 5 6 7; do
        arc="$TMP/a$m.tmb"
        t=$(best_time $reps sh -c 'rm -f "$2"; "$1" a -q -n -lh'$m' "$2" "$3"' a "$TMB" "$arc" "$in")
        row "a -lh$m" "$t" "$(stat -c %s "$arc")"
    done
done

if [ "$HAVE_UNPACK" = 1 ]; then
    echo
    printf '%-11s %-9s %8s %8s %7s\n' file decoder seconds MB/s "x gz -d"
    for f in text.txt source.tar binary.bin runs.bin; do
        in="$CORPUS/$f"
        size=$(stat -c %s "$in")
        gzip -6 -c "$in" >"$TMP/g6.gz"
        td=$(best_time 5 sh -c 'gzip -dc "$1" >/dev/null' gz "$TMP/g6.gz")
        awk -v f="$f" -v t="$td" -v s="$size" 'BEGIN {
            printf "%-11s %-9s %8.4f %8.1f %7.2f\n", f, "gzip -dc", t, s / t / 1048576, 1 }'
        for m in 5 6 7; do
            read -r meth orig comp _ < <("$BUILD/bench_pack" $m "$in" "$TMP/p$m")
            [ "$meth" = 0 ] && continue
            t=$(best_time 5 "$BUILD/bench_unpack" $m "$orig" "$TMP/p$m")
            awk -v f="$f" -v m="-lh$m-" -v t="$t" -v s="$size" -v td="$td" 'BEGIN {
                printf "%-11s %-9s %8.4f %8.1f %7.2f\n", f, m, t, s / t / 1048576, td / t }'
        done
        for m in 5 6 7; do
            arc="$TMP/a$m.tmb"
            rm -f "$arc"
            (cd "$CORPUS" && "$TMB" a -q -n -lh$m "$arc" "$f" >/dev/null)
            t=$(best_time 5 "$TMB" t -q -n "$arc")
            awk -v f="$f" -v m="t -lh$m" -v t="$t" -v s="$size" -v td="$td" 'BEGIN {
                printf "%-11s %-9s %8.4f %8.1f %7.2f\n", f, m, t, s / t / 1048576, td / t }'
        done
    done
else
    echo
    echo "(decoder not built yet: no decoding figures)"
fi
