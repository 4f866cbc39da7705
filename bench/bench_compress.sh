#!/usr/bin/env bash
# Compression speed and size of -lh5-, -lh6- and -lh7- against gzip -6 and
# gzip -9 on the benchmark corpus.
#   bench/bench_compress.sh [RUNS]
# Every timing is the best of RUNS runs (default 3) in processor time (user +
# system) of the command, which stays fair on a machine shared with other work.
# "x gz6" / "x gz9": gzip's time divided by ours (above 1: we are faster).
# "-lhN-" rows run the compressor alone (bench_pack, raw packed stream, like
# gzip's output); "a -lhN" rows run the whole add command on one thread
# (temporary file, header, archive). Decoding is bench_decode_cli.sh's.
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
[ -f "$CORPUS/runs.bin" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null

# best_time N CMD... : runs CMD N times in a row and prints the best time
# per run, in seconds, of $RUNS such measurements: processor time (user +
# system) of the children, read with getrusage to the microsecond.
best_time() {
    python3 - "$RUNS" "$@" <<'PY'
import resource, subprocess, sys
runs, n, cmd = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
def cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
best = None
for _ in range(runs):
    t0 = cpu()
    for _ in range(n):
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)
    t = (cpu() - t0) / n
    best = t if best is None or t < best else best
print("%.4f" % best)
PY
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
        t=$(best_time $reps sh -c 'rm -f "$2"; "$1" a -q -n -T1 -lh'$m' "$2" "$3"' a "$TMB" "$arc" "$in")
        row "a -lh$m" "$t" "$(stat -c %s "$arc")"
    done
done

# Decoding against gzip -dc: bench_decode_cli.sh.
