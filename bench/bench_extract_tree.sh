#!/bin/sh
# Extracting a tree of many small files: `tambrix x -q -n` of an archive of
# the corpus tree (the Linux kernel headers, ~760 files) side by side with
# `tar -xzf` of the same tree. Measures processor time (user + system) of
# each, REPS extractions per measurement into fresh directories, best of
# ROUNDS, interleaved; reports milliseconds per extraction and the ratio.
# The file system under WORK (default /tmp) weighs heavily on the system
# time: run it on tmpfs (WORK=/dev/shm) to see the programs' own costs.
#   sh bench/bench_extract_tree.sh [ROUNDS] [REPS]
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
ROUNDS=${1:-5}
REPS=${2:-10}
[ -x "$BUILD/tambrix" ] || { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null; cmake --build "$BUILD" -j2 --target tambrix >/dev/null; }
TMP=$(mktemp -d "${WORK:-/tmp}/tmbbench.XXXXXX")
trap 'rm -rf "$TMP"' EXIT INT TERM

bash "$ROOT/../shared/bench/make-corpus.sh" "$TMP/corpus" >/dev/null 2>&1
(cd "$TMP" && "$BUILD/tambrix" a -q -r t.tmb "$TMP/corpus/tree" >/dev/null)
tar -czf "$TMP/t.tgz" -C "$TMP/corpus" tree
FILES=$(find "$TMP/corpus/tree" -type f | wc -l)

# Both must give the same tree before anything is timed.
mkdir "$TMP/check"
"$BUILD/tambrix" x -q -n "$TMP/t.tmb" "$TMP/check/" >/dev/null
diff -r "$TMP/check" "$TMP/corpus/tree" >/dev/null || { echo "x gave a different tree" >&2; exit 1; }
rm -rf "$TMP/check"

cd "$TMP"
python3 - "$ROUNDS" "$REPS" "$BUILD/tambrix" "$FILES" <<'PY'
import os, resource, shutil, subprocess, sys
rounds, reps, tmb, files = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
tools = {
    "tambrix x -q -n": lambda d: [tmb, "x", "-q", "-n", "t.tmb", d + "/"],
    "tar -xzf": lambda d: ["tar", "-xzf", "t.tgz", "-C", d],
}
best = {}
for _ in range(rounds):
    for name, cmd in tools.items():
        dirs = ["out%d" % i for i in range(reps)]
        for d in dirs:
            os.mkdir(d)
        os.sync()
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        for d in dirs:
            subprocess.run(cmd(d), stdout=subprocess.DEVNULL, check=True)
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        u = (r1.ru_utime - r0.ru_utime) / reps
        s = (r1.ru_stime - r0.ru_stime) / reps
        if name not in best or u + s < sum(best[name]):
            best[name] = (u, s)
        for d in dirs:
            shutil.rmtree(d)
print("tree: %d files; processor time per extraction, best of %d (x%d each)" % (files, rounds, reps))
for name, (u, s) in best.items():
    print("%-18s user %7.1f ms  sys %7.1f ms  total %7.1f ms" % (name, u * 1e3, s * 1e3, (u + s) * 1e3))
a, b = sum(best["tambrix x -q -n"]), sum(best["tar -xzf"])
print("ratio tar/tambrix processor time: %.2f" % (b / a if a else float("inf")))
PY
