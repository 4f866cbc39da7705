#!/bin/sh
# The library's interface against the codec's own calls, in MB/s:
#   sh bench/bench_api.sh [CORPUS_DIR]
# Builds libtambrix.a in build-bench/ and runs bench_api on every file of
# the shared corpus (made once in CORPUS_DIR, default /tmp/tmb-bench-corpus).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CORPUS=${1:-/tmp/tmb-bench-corpus}
[ -f "$CORPUS/text.txt" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
cmake --build "$ROOT/build-bench" -j2 --target tambrix_static >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -I "$ROOT/src/lib" -I "$ROOT/src/lzh" -I "$ROOT/src/archive" -I "$ROOT/src/fs" "$ROOT/bench/bench_api.cpp" \
    "$ROOT/build-bench/libtambrix.a" -lpthread -o "$ROOT/build-bench/bench_api"
find "$CORPUS" -maxdepth 1 -type f | sort | xargs "$ROOT/build-bench/bench_api"
