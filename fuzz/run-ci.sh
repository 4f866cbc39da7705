#!/bin/sh
# CI entry for fuzzing: builds every target and runs each in turn for a short
# bounded time on its seed corpus (and on what earlier runs found, if the
# build directory is kept). Exit status 1 on any finding.
#   fuzz/run-ci.sh [SECONDS per target, default 45]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-45}}
sh "$root/scripts/install-deps.sh" fuzz
make -s -C "$root/fuzz" -j2 all
make -s -C "$root/fuzz" run FUZZ_SECONDS="$seconds"
echo "fuzz: all targets clean"
