#!/bin/sh
# Decoding speed against gzip -dc on the shared corpus, one command:
#   sh bench/bench_decode.sh [CORPUS_DIR]
# Builds the library in build-bench/, the corpus (once) in CORPUS_DIR
# (default /tmp/tmb-bench-corpus), and runs bench_decode on it.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CORPUS=${1:-/tmp/tmb-bench-corpus}
[ -f "$CORPUS/text.txt" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF -DTMB_BENCH=ON >/dev/null
cmake --build "$ROOT/build-bench" -j2 --target bench_decode >/dev/null
"$ROOT/build-bench/bench_decode" "$CORPUS"
