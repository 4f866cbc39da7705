#!/bin/bash
# Decoding end to end, one thread, side by side with gzip in one run:
#   t -T1       `tambrix t -T1` of the file packed with -lh5, -lh6 and -lh7,
#               against `gzip -dc >/dev/null` of the file packed with gzip -9
#   x -T1       `tambrix x -T1` of the same archive into an empty directory,
#               against `gzip -dc >file` in that directory
# for text.txt, source.tar and binary.bin of the corpus. Times are wall time
# and processor time (user + system), the median of RUNS runs (default 7)
# taken in turn, each after a sync; ratios are gzip's time over ours (above
# 1: we are faster). The whole process is timed, start-up included.
#   bash bench/bench_decode_cli.sh [RUNS]
# TMB=path/to/tambrix measures that program instead of the one built here.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export ROOT  # the Python part imports bench/benchlib.py
RUNS=${1:-7}
. "$ROOT/bench/common.sh"
WORK=$(mktemp -d "${WORK:-/tmp}/tmb-bench-cli.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

python3 - "$RUNS" "$TMB" "$CORPUS" "$WORK" <<'PY'
import os, resource, statistics, subprocess, sys, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.environ["ROOT"], "bench"))
import benchlib

runs, tmb, corpus, work = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
files = ["text.txt", "source.tar", "binary.bin"]

def run(cmd, cwd=None, out=subprocess.DEVNULL):
    """Wall and processor seconds of one run of cmd."""
    c0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, stdout=out, check=True)
    t = time.perf_counter() - t0
    c1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return t, (c1.ru_utime - c0.ru_utime) + (c1.ru_stime - c0.ru_stime)

def empty_dir(name):
    return benchlib.fresh_dir(os.path.join(work, name), work)

cases = []  # (file, label, ours, gzip): each a function giving (wall, cpu)
for f in files:
    src = os.path.join(corpus, f)
    gz = os.path.join(work, f + ".gz")
    with open(gz, "wb") as o:
        subprocess.run(["gzip", "-9", "-c", src], stdout=o, check=True)
    for m in (5, 6, 7):
        arc = os.path.join(work, "%s.lh%d.tmb" % (f, m))
        subprocess.run([tmb, "a", "-q", "-n", "-lh%d" % m, arc, f], cwd=corpus,
                       stdout=subprocess.DEVNULL, check=True)
        subprocess.run([tmb, "t", "-q", "-n", arc], stdout=subprocess.DEVNULL, check=True)

        def t_ours(arc=arc):
            return run([tmb, "t", "-q", "-n", "-T1", arc])

        def t_gzip(gz=gz):
            return run(["gzip", "-dc", gz])

        def x_ours(arc=arc):
            return run([tmb, "x", "-q", "-n", "-T1", arc, empty_dir("x-ours") + "/"])

        def x_gzip(gz=gz, f=f):
            d = empty_dir("x-gzip")
            with open(os.path.join(d, f), "wb") as o:
                return run(["gzip", "-dc", gz], out=o)

        cases.append((f, "t -lh%d" % m, t_ours, t_gzip))
        cases.append((f, "x -lh%d" % m, x_ours, x_gzip))

# The unpacked file must be the original.
for f, label, ours, _ in cases:
    if label.startswith("x"):
        ours()
        with open(os.path.join(work, "x-ours", f), "rb") as a, open(os.path.join(corpus, f), "rb") as b:
            if a.read() != b.read():
                sys.exit("%s %s: the unpacked file differs from the original" % (f, label))

times = {}
for _ in range(runs):
    for f, label, ours, gzip in cases:
        for who, fn in (("ours", ours), ("gzip", gzip)):
            os.sync()
            times.setdefault((f, label, who), []).append(fn())

print("one thread; median of %d runs; seconds; ratio = gzip / tambrix" % runs)
print("%-11s %-7s %8s %8s %7s %8s %8s %7s" % ("file", "case", "wall", "gz wall", "x gz", "cpu", "gz cpu", "x gz"))
worst = {}
for f, label, _, _ in cases:
    o = times[(f, label, "ours")]
    g = times[(f, label, "gzip")]
    ow, gw = statistics.median(w for w, _ in o), statistics.median(w for w, _ in g)
    oc, gc = statistics.median(c for _, c in o), statistics.median(c for _, c in g)
    print("%-11s %-7s %8.4f %8.4f %7.2f %8.4f %8.4f %7.2f" % (f, label, ow, gw, gw / ow, oc, gc, gc / oc))
    kind = label[0]
    worst[kind] = min(worst.get(kind, 99), gw / ow)
print("worst wall ratio: t %.2f, x %.2f" % (worst["t"], worst["x"]))
PY
