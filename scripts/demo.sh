#!/bin/sh
# Runs the program's main job on the sample kept in the repository.
set -e
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/.."
echo "== usage"
"$bin" ? | head -5
