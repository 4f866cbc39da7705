#!/bin/sh
# Split then join of the corpus file source.tar into 880 KB parts with
# tambrix (s, then j with verification), side by side with plain copying of
# the same bytes into parts of the same size (split -b, then cat).
#
#   sh bench/bench_split.sh            build if needed, make the corpus, run
#   BENCH_CORPUS=dir sh bench/...      reuse a corpus made earlier
#   TAMBRIX=path  RUNS=n               program to time, repetitions (best of n)
#
# Reports best times and the ratio copy time / tambrix time (1.0 = as fast
# as plain copying; the goal is at least 0.5).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${TAMBRIX:-$ROOT/build/tambrix}
RUNS=${RUNS:-5}
KB=880

if [ ! -x "$BIN" ]; then
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$ROOT/build" -j 2 --target tambrix >/dev/null
fi

WORK=$(mktemp -d /tmp/tmb_bench_split.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
CORPUS=${BENCH_CORPUS:-$WORK/corpus}
if [ ! -f "$CORPUS/source.tar" ]; then
    sh "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
fi
SIZE=$(wc -c <"$CORPUS/source.tar")

now() { date +%s.%N; }

# Prints the best wall time of RUNS runs of "$@" (a shell function).
best_of() {
    best=""
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        "$1" setup
        t0=$(now)
        "$1" run
        t1=$(now)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
        i=$((i + 1))
    done
    echo "$best"
}

tmb_case() {
    d=$WORK/tmb
    case $1 in
    setup)
        rm -rf "$d" && mkdir -p "$d" && cp "$CORPUS/source.tar" "$d/source.tar"
        sync ;;
    run)
        "$BIN" s -q "$d/source.tar" "$KB" >/dev/null
        "$BIN" j -q "$d/source.tar.001" "$d/joined.tar" >/dev/null ;;
    esac
}

copy_case() {
    d=$WORK/copy
    case $1 in
    setup)
        rm -rf "$d" && mkdir -p "$d" && cp "$CORPUS/source.tar" "$d/source.tar"
        sync ;;
    run)
        split -a 3 -d -b "${KB}K" "$d/source.tar" "$d/source.tar."
        cat "$d"/source.tar.[0-9][0-9][0-9] >"$d/joined.tar" ;;
    esac
}

t_tmb=$(best_of tmb_case)
cmp "$CORPUS/source.tar" "$WORK/tmb/joined.tar"
parts=$(ls "$WORK/tmb" | grep -c '^source\.tar\.[0-9][0-9][0-9]$')
t_copy=$(best_of copy_case)
cmp "$CORPUS/source.tar" "$WORK/copy/joined.tar"

echo "source.tar: $SIZE bytes, $parts parts of ${KB} KB, best of $RUNS runs"
printf '  tambrix s + j (CRC-16, sidecar, verify): %.3f s  %.1f MB/s\n' "$t_tmb" \
    "$(echo "2 * $SIZE / $t_tmb / 1000000" | bc -l)"
printf '  split -b + cat (plain copy):             %.3f s  %.1f MB/s\n' "$t_copy" \
    "$(echo "2 * $SIZE / $t_copy / 1000000" | bc -l)"
printf '  ratio copy/tambrix: %.2f  (goal >= 0.50)\n' "$(echo "$t_copy / $t_tmb" | bc -l)"
