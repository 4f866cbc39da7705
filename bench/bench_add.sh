#!/bin/sh
# Adding and extracting side by side with tar + gzip on the shared corpus:
# `a -r` of tree/ and of each large file (default method -lh5), then `x` of
# the result, against `tar -czf` and `tar -xzf` of the same input.
# For each command the best of N runs is taken, as wall time and as CPU time
# (user + system, children included, so gzip counts for tar); CPU time is the
# steadier figure on a shared machine. Ratios are tar / tambrix: above 1
# means tambrix is faster.
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

python3 - "$BIN" "$RUNS" "$WORK" <<'PY'
import os, resource, shutil, subprocess, sys, time, filecmp

tmb, runs, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
corpus = os.path.join(work, "corpus")

def best(cmd, before=None):
    wall, cpu = None, None
    for _ in range(runs):
        if before:
            before()
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(cmd, cwd=corpus, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        w = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        c = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        wall = w if wall is None else min(wall, w)
        cpu = c if cpu is None else min(cpu, c)
    return wall, cpu

def fresh(d):
    def f():
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    return f

def same_tree(a, b):
    c = filecmp.dircmp(a, b)
    if c.left_only or c.right_only or c.diff_files or c.funny_files:
        return False
    return all(same_tree(os.path.join(a, s), os.path.join(b, s)) for s in c.common_dirs)

arc, tgz = os.path.join(work, "a.tmb"), os.path.join(work, "a.tgz")
xt, xz = os.path.join(work, "x_tmb"), os.path.join(work, "x_tar")
print("%-11s | %-27s | %-27s | %-27s | %-27s | %s" % ("", "a: wall s  tmb / tar = ratio",
      "a: cpu s  tmb / tar = ratio", "x: wall s  tmb / tar = ratio",
      "x: cpu s  tmb / tar = ratio", "bytes tmb / tgz"))
for name in ["tree", "text.txt", "source.tar", "binary.bin", "random.bin", "runs.bin"]:
    aw, ac = best([tmb, "a", "-q", "-r", arc, name], lambda: os.path.exists(arc) and os.remove(arc))
    tw, tc = best(["tar", "-czf", tgz, name])
    xw, xc = best([tmb, "x", "-q", "-o", "-d", xt + "/", arc], fresh(xt))
    zw, zc = best(["tar", "-xzf", tgz, "-C", xz], fresh(xz))
    src = os.path.join(corpus, name)
    ok = same_tree(src, xt) if os.path.isdir(src) else filecmp.cmp(src, os.path.join(xt, name), False)
    if not ok:
        print("MISMATCH after x:", name, file=sys.stderr)
    cell = lambda a, b: "%7.3f / %7.3f = %5.2f" % (a, b, b / a if a > 0 else float("inf"))
    print("%-11s | %s | %s | %s | %s | %d / %d" % (name, cell(aw, tw), cell(ac, tc), cell(xw, zw),
          cell(xc, zc), os.path.getsize(arc), os.path.getsize(tgz)))
print("goals: a ratio >= 1 (tree and large files, -lh5); x ratio >= 1.5")
PY
