#!/usr/bin/env bash
# Threads against one thread, and against tar + gzip, on a mixed tree: the
# corpus's tree/ (many small files) with text.txt, source.tar and binary.bin
# beside it. In one run, side by side:
#   a -r    tambrix a -r of the tree with -T1 and with the default threads,
#           against tar -czf
#   x       tambrix x of that archive into an empty directory, -T1 and
#           default, against tar -xzf
#   t       tambrix t of that archive, -T1 and default
#   a/x 1   a and x of text.txt alone (one large file), -T1 and default
#   memory  peak resident memory of a -r and x, -T1 and default
# Times are wall time, the median of RUNS runs (default 5), the variants of
# one command taken in turn within each round so that a busy moment of the
# machine falls on all of them alike. Ratios: tar/tambrix above 1 means
# tambrix is faster; -T1/default above 1 means the threads help.
# A tambrix that does not take -T<n> yet runs both columns without it (a
# note says so): the script works before and after threads arrive.
#   bench/bench_parallel.sh [RUNS]
# TMB=path/to/tambrix measures that program instead of the one built here.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export ROOT  # the Python part imports bench/benchlib.py
RUNS=${1:-5}
TMP=$(mktemp -d "${WORK:-/tmp}/tmb-parallel.XXXXXX")
trap 'rm -rf "$TMP"' EXIT INT TERM

. "$ROOT/bench/common.sh"

mkdir "$TMP/mixed"
cp -r "$CORPUS/tree" "$CORPUS/text.txt" "$CORPUS/source.tar" "$CORPUS/binary.bin" "$TMP/mixed/"

# -T1 is taken when a run with it succeeds and says nothing on standard
# error (an unknown option is named there, and the run goes on).
(cd "$TMP" && "$TMB" a -q -n probe.tmb mixed/binary.bin >/dev/null)
T1=-T1
if ! "$TMB" t -q -n -T1 "$TMP/probe.tmb" >/dev/null 2>"$TMP/probe.err" || [ -s "$TMP/probe.err" ]; then
    T1=""
fi
rm -f "$TMP/probe.tmb" "$TMP/probe.err"

# Peak memory: GNU time where there is one, else the probe the tests use.
if [ -x /usr/bin/time ]; then
    RSS=(/usr/bin/time -f %M -o)
else
    c++ -O2 -o "$BUILD/tmb_rss_probe" "$ROOT/tests/helpers/rss_probe.cpp"
    RSS=("$BUILD/tmb_rss_probe")
fi

python3 - "$RUNS" "$TMB" "$TMP" "$T1" "${RSS[@]}" <<'PY'
import os, shutil, statistics, subprocess, sys, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.environ["ROOT"], "bench"))
import benchlib

runs, tmb, tmp, t1 = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
rss_cmd = sys.argv[5:]  # followed by the output file, then the command
mixed = os.path.join(tmp, "mixed")
threads = {"-T1": [t1] if t1 else [], "default": []}

def tmb_cmd(args, opts):
    return [tmb, args[0], "-q", "-n"] + opts + args[1:]

def fresh_dir(path):
    return benchlib.fresh_dir(path, tmp)

def gone(path):
    if os.path.exists(path):
        os.remove(path)

# Each measurement: name -> (prepare, command). prepare() runs untimed
# before every run: an archive to be written must not exist yet, an
# extraction goes into an empty directory.
def cases_for(label, opts):
    arc = os.path.join(tmp, "tree%s.tmb" % label)
    one = os.path.join(tmp, "text%s.tmb" % label)
    out = os.path.join(tmp, "out" + label)
    return {
        "a -r": (lambda: gone(arc), tmb_cmd(["a", "-r", arc, mixed], opts)),
        "x": (lambda: fresh_dir(out), tmb_cmd(["x", arc, out + "/"], opts)),
        "t": (lambda: None, tmb_cmd(["t", arc], opts)),
        "a 1 file": (lambda: gone(one), tmb_cmd(["a", one, os.path.join(mixed, "text.txt")], opts)),
        "x 1 file": (lambda: fresh_dir(out), tmb_cmd(["x", one, out + "/"], opts)),
    }

tgz = os.path.join(tmp, "tree.tgz")
tar_out = os.path.join(tmp, "out-tar")
tar = {
    "a -r": (lambda: gone(tgz), ["tar", "-czf", tgz, "-C", tmp, "mixed"]),
    "x": (lambda: fresh_dir(tar_out), ["tar", "-xzf", tgz, "-C", tar_out]),
}
variants = {label: cases_for(label, opts) for label, opts in threads.items()}
variants["tar"] = tar
order = ["a -r", "x", "t", "a 1 file", "x 1 file"]

def run(cmd):
    subprocess.run(cmd, cwd=tmp, check=True, stdout=subprocess.DEVNULL)

def same_tree(got, want):
    return subprocess.run(["diff", "-r", got, want], stdout=subprocess.DEVNULL).returncode == 0

# Every variant must give back what it packed before anything is timed.
for label, cases in variants.items():
    for name in ["a -r", "x"]:
        cases[name][0]()
        run(cases[name][1])
    got = os.path.join(tar_out, "mixed") if label == "tar" else os.path.join(tmp, "out" + label)
    if not same_tree(got, mixed):
        sys.exit("%s: the unpacked tree differs from the original" % label)
    if label != "tar":
        for name in ["a 1 file", "x 1 file"]:
            cases[name][0]()
            run(cases[name][1])
        if not same_tree(os.path.join(got, "text.txt"), os.path.join(mixed, "text.txt")):
            sys.exit("%s: the unpacked text.txt differs from the original" % label)

times = {(label, name): [] for label, cases in variants.items() for name in cases}
for _ in range(runs):
    for name in order:
        for label, cases in variants.items():
            if name not in cases:
                continue
            prepare, cmd = cases[name]
            prepare()
            # Dirty pages of the run before would otherwise be written back
            # during this one, whoever it is.
            os.sync()
            t0 = time.perf_counter()
            run(cmd)
            times[(label, name)].append(time.perf_counter() - t0)
med = {k: statistics.median(v) for k, v in times.items()}

def peak_kb(prepare, cmd):
    prepare()
    out = os.path.join(tmp, "rss")
    # The probe runs the program by its path, without a search.
    run(rss_cmd + [out, shutil.which(cmd[0]) or cmd[0]] + cmd[1:])
    with open(out) as f:
        return int(f.read().split()[-1])

files = sum(len(f) for _, _, f in os.walk(mixed))
size = sum(os.path.getsize(os.path.join(d, n)) for d, _, f in os.walk(mixed) for n in f)
print("mixed tree: %d files, %.1f MB; text.txt %.1f MB; %d cores" % (
    files, size / 1e6, os.path.getsize(os.path.join(mixed, "text.txt")) / 1e6, os.cpu_count()))
print("wall time in seconds, median of %d runs" % runs)
if not t1:
    print("note: this tambrix does not take -T<n>; the -T1 and default columns run the same")
    print("      program without it, so their ratio shows only the noise of the machine")
print()
print("%-9s %8s %8s %11s %8s %8s %8s" % (
    "command", "-T1", "default", "-T1/default", "tar", "tar/-T1", "tar/def"))
for name in order:
    a, b = med[("-T1", name)], med[("default", name)]
    row = "%-9s %8.3f %8.3f %11.2f" % (name, a, b, a / b)
    if ("tar", name) in med:
        t = med[("tar", name)]
        row += " %8.3f %8.2f %8.2f" % (t, t / a, t / b)
    else:
        row += " %8s %8s %8s" % ("-", "-", "-")
    print(row)

print()
print("peak resident memory in MB")
print("%-9s %8s %8s %8s" % ("command", "-T1", "default", "tar"))
for name in ["a -r", "x"]:
    kb = {label: peak_kb(*variants[label][name]) for label in variants}
    print("%-9s %8.1f %8.1f %8.1f" % (name, kb["-T1"] / 1024, kb["default"] / 1024, kb["tar"] / 1024))
PY
