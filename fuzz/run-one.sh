#!/bin/sh
# Runs one fuzz target for a bounded time on its seed corpus and on what it
# found before.   run-one.sh BUILD TARGET SECONDS [libFuzzer flags...]
# Exit status 0 when the run ended without a finding.
set -e
build=$1 target=$2 seconds=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
name=${target#fuzz_}
work="$build/corpus/$name"
mkdir -p "$work" "$build/artifacts"
case $name in
roundtrip) opts="-max_len=70000" ;;
extract) opts="-max_len=16384" ;;
*) opts="-max_len=8192 -dict=$here/lzh.dict" ;;
esac
echo "== $target: $seconds s"
# -timeout: no single input may take more than 10 s (a hang is a finding).
"$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
    $opts "$@" "$work" "$here/corpus/$name" 2>"$build/$target.log" || {
    tail -n 60 "$build/$target.log" >&2
    echo "== $target: FINDING (log $build/$target.log)" >&2
    exit 1
}
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|^Done' "$build/$target.log" || true
