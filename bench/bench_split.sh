#!/bin/sh
# Split then join of the corpus file source.tar into 880 KB parts with
# tambrix (s, then j with CRC-16 verification against the sidecar), side by
# side with plain copying of the same bytes into parts of the same size
# (GNU split -b, then cat).
#
#   sh bench/bench_split.sh            build if needed, make the corpus, run
#   BENCH_CORPUS=dir sh bench/...      reuse a corpus made earlier
#   TAMBRIX=path  RUNS=n               program to time, repetitions
#
# Reports, for each side, the best wall time of RUNS runs and the processor
# time (user + system) per run, and the ratios copy / tambrix (1.0 = as fast
# as plain copying; the goal is at least 0.5). On a busy shared machine the
# processor-time ratio is the steadier figure.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${TAMBRIX:-$ROOT/build/tambrix}
RUNS=${RUNS:-9}

if [ ! -x "$BIN" ]; then
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$ROOT/build" -j 2 --target tambrix >/dev/null
fi

WORK=$(mktemp -d /tmp/tmb_bench_split.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
CORPUS=${BENCH_CORPUS:-$WORK/corpus}
if [ ! -f "$CORPUS/source.tar" ]; then
    # The corpus script needs bash (pipefail).
    bash "$ROOT/../shared/bench/make-corpus.sh" "$CORPUS" >/dev/null
fi

python3 - "$BIN" "$CORPUS/source.tar" "$WORK" "$RUNS" <<'PY'
import filecmp, glob, os, resource, shutil, subprocess, sys, time

binary, source, work, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
KB = 880
size = os.path.getsize(source)

def tambrix(d):
    subprocess.run([binary, "s", "-q", f"{d}/source.tar", str(KB)], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([binary, "j", "-q", f"{d}/source.tar.001", f"{d}/joined.tar"], check=True,
                   stdout=subprocess.DEVNULL)

def plain_copy(d):
    subprocess.run(["split", "-a", "3", "-d", "-b", f"{KB}K", f"{d}/source.tar",
                    f"{d}/source.tar."], check=True)
    parts = sorted(glob.glob(f"{d}/source.tar.[0-9][0-9][0-9]"))
    with open(f"{d}/joined.tar", "wb") as out:
        subprocess.run(["cat"] + parts, check=True, stdout=out)

def once(case, name):
    d = os.path.join(work, name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    shutil.copyfile(source, f"{d}/source.tar")
    os.sync()
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    case(d)
    wall = time.perf_counter() - t0
    r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
    if not filecmp.cmp(source, f"{d}/joined.tar", shallow=False):
        sys.exit(f"{name}: joined file differs")
    return wall, cpu

# The two sides alternate so that both meet the same load.
res = {"tmb": [], "copy": []}
for _ in range(runs):
    res["tmb"].append(once(tambrix, "tmb"))
    res["copy"].append(once(plain_copy, "copy"))

nparts = len(glob.glob(f"{work}/tmb/source.tar.[0-9][0-9][0-9]"))
def summary(v):
    return min(w for w, _ in v), sum(c for _, c in v) / len(v)
tw, tc = summary(res["tmb"])
cw, cc = summary(res["copy"])
print(f"source.tar: {size} bytes, {nparts} parts of {KB} KB, {runs} runs each")
print(f"  tambrix s + j (CRC-16, sidecar, verify): best wall {tw:.3f} s "
      f"({2 * size / tw / 1e6:.0f} MB/s), cpu {tc * 1000:.1f} ms/run")
print(f"  split -b + cat (plain copy):             best wall {cw:.3f} s "
      f"({2 * size / cw / 1e6:.0f} MB/s), cpu {cc * 1000:.1f} ms/run")
print(f"  ratio copy/tambrix: wall {cw / tw:.2f}, cpu {cc / tc:.2f}  (goal >= 0.50)")
PY
