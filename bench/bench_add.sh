#!/bin/sh
# Adding and extracting side by side with tar + gzip on the shared corpus:
# `a -r` of tree/ and of each large file (default method -lh5), then `x` of
# the result, against `tar -czf` and `tar -xzf` of the same input. Prints
# best-of-N wall times and the ratios tar/tambrix (above 1: tambrix faster).
#   sh bench/bench_add.sh [path/to/tambrix] [runs]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/tambrix}
RUNS=${2:-3}
[ -x "$BIN" ] || { echo "build first: make build (or pass the program path)" >&2; exit 1; }
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
WORK=$(mktemp -d /tmp/bench_add.XXXXXX)
trap 'rm -rf "$WORK"' EXIT INT TERM
bash "$ROOT/../shared/bench/make-corpus.sh" "$WORK/corpus" >/dev/null

# Best wall time of $RUNS runs of a command, in seconds.
best() {
    b=""
    i=0
    while [ $i -lt "$RUNS" ]; do
        s=$(date +%s.%N)
        sh -c "$1" >/dev/null 2>&1 || { echo "failed: $1" >&2; exit 1; }
        e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l)
        if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
        i=$((i + 1))
    done
    printf '%.3f' "$b"
}

cd "$WORK/corpus"
printf '%-12s %10s %10s %8s %12s %10s %10s %8s %12s %12s\n' input tmb_a tar_czf a_ratio \
    "" tmb_x tar_xzf x_ratio tmb_bytes gz_bytes
for input in tree text.txt source.tar binary.bin random.bin runs.bin; do
    rm -rf "$WORK/x_tmb" "$WORK/x_tar" && mkdir -p "$WORK/x_tmb" "$WORK/x_tar"
    ta=$(best "rm -f '$WORK/a.tmb'; '$BIN' a -q -r '$WORK/a.tmb' $input")
    tc=$(best "tar -czf '$WORK/a.tgz' $input")
    tx=$(best "'$BIN' x -q -o -d '$WORK/x_tmb/' '$WORK/a.tmb'")
    tz=$(best "tar -xzf '$WORK/a.tgz' -C '$WORK/x_tar'")
    # The extracted bytes must match the input.
    if [ -d "$input" ]; then
        diff -r "$input" "$WORK/x_tmb" >/dev/null || echo "MISMATCH: $input" >&2
    else
        cmp -s "$input" "$WORK/x_tmb/$input" || echo "MISMATCH: $input" >&2
    fi
    printf '%-12s %10s %10s %8.2f %12s %10s %10s %8.2f %12s %12s\n' "$input" "$ta" "$tc" \
        "$(echo "$tc / $ta" | bc -l)" "" "$tx" "$tz" "$(echo "$tz / $tx" | bc -l)" \
        "$(wc -c <"$WORK/a.tmb")" "$(wc -c <"$WORK/a.tgz")"
done
echo "a_ratio = tar -czf time / tambrix a time; x_ratio = tar -xzf time / tambrix x time"
