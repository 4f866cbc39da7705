# Sourced by the benchmarks that time the program end to end, after they
# set ROOT. Sets BUILD and CORPUS, builds the release program into BUILD
# unless TMB names another one (TMB=path/to/tambrix measures that program),
# leaves TMB as an absolute path, and makes the corpus once.
BUILD="$ROOT/build-bench"
CORPUS="$BUILD/corpus"
if [ -z "${TMB:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
    cmake --build "$BUILD" -j 2 --target tambrix >/dev/null
    TMB="$BUILD/tambrix"
fi
TMB=$(readlink -f "$TMB")
[ -f "$CORPUS/runs.bin" ] || bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
