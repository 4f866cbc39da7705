#!/bin/bash
# Unpacking -9 archives against default ones, one thread: `tambrix t -q -n
# -T1` of text.txt, source.tar and binary.bin packed with -lh5, -lh6 and
# -lh7, with and without -9. Each run times TESTS tests of one archive under
# one process clock (user + system of the children, read with wait4 to the
# microsecond); RUNS runs (default 15) are taken in turn, default then -9,
# and the table gives the medians and the median of the per-run ratios
# (-9 over default: at most 1 means -9 archives unpack no slower).
#   bash bench/bench_opt_decode.sh [RUNS] [TESTS]
# TMB=path/to/tambrix measures that program instead of the one built here.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-15}
TESTS=${2:-10}
. "$ROOT/bench/common.sh"
WORK=$(mktemp -d "${WORK:-/tmp}/tmb-bench-opt-decode.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

python3 - "$RUNS" "$TESTS" "$TMB" "$CORPUS" "$WORK" <<'PY'
import os, statistics, subprocess, sys

runs, tests, tmb, corpus, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]

def cpu(arc):
    """Processor seconds of one test of arc, averaged over `tests` tests."""
    total = 0.0
    for _ in range(tests):
        pid = os.posix_spawn(tmb, [tmb, "t", "-q", "-n", "-T1", arc], os.environ,
                             file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
        _, status, ru = os.wait4(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("%s: the test failed" % arc)
        total += ru.ru_utime + ru.ru_stime
    return total / tests

print("one thread; %d runs in turn of %d tests each; milliseconds per test" % (runs, tests))
print("%-11s %-6s %9s %9s %7s %8s %8s %7s %7s" %
      ("file", "method", "bytes", "-9 bytes", "size", "default", "-9", "-9/def", "spread"))
worst = 0.0
for f in ("text.txt", "source.tar", "binary.bin"):
    for m in (5, 6, 7):
        arcs = []
        for opt in ([], ["-9"]):
            arc = os.path.join(work, "%s.lh%d%s.tmb" % (f, m, ".9" if opt else ""))
            subprocess.run([tmb, "a", "-q", "-n", "-lh%d" % m] + opt + [arc, f], cwd=corpus,
                           stdout=subprocess.DEVNULL, check=True)
            arcs.append(arc)
        d, o, r = [], [], []
        for _ in range(runs):
            a, b = cpu(arcs[0]), cpu(arcs[1])
            d.append(a)
            o.append(b)
            r.append(b / a)
        sd, so = os.path.getsize(arcs[0]), os.path.getsize(arcs[1])
        ratio = statistics.median(r)
        worst = max(worst, ratio)
        print("%-11s -lh%d   %9d %9d %+6.2f%% %8.2f %8.2f %7.3f %3.2f-%3.2f" %
              (f, m, sd, so, 100.0 * (so / sd - 1), 1e3 * statistics.median(d),
               1e3 * statistics.median(o), ratio, min(r), max(r)))
        for arc in arcs:
            os.unlink(arc)
print("highest -9/default: %.3f" % worst)
PY
