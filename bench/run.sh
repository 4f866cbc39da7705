#!/usr/bin/env bash
# Every benchmark in one command. They build their own release tree under
# build-bench and the corpus beside it; nothing here is a test.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
echo "== against gzip, bzip2, xz and zstd";           bash "$here/peers.sh"
echo; echo "== -9 against the default and the peers";   bash "$here/bench_opt.sh"
echo; echo "== unpacking -9 archives against default ones"; bash "$here/bench_opt_decode.sh"
echo; echo "== compression against gzip";              bash "$here/bench_compress.sh"
echo; echo "== decoding against gzip, one thread";      bash "$here/bench_decode_cli.sh"
echo; echo "== add and extract against tar";           bash "$here/bench_add.sh"
echo; echo "== split and join against split and cat";  bash "$here/bench_split.sh"
echo; echo "== listing and CRC-16";                    bash "$here/bench_list.sh"; bash "$here/bench_crc.sh"
echo; echo "== threads against one thread and tar";    bash "$here/bench_parallel.sh"
