#!/bin/sh
# The main job on the sample tree kept in the repository: pack it, list it,
# test it, unpack it elsewhere and compare with the original.
set -e
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/tambrix-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT

cp -R "$root/sample/tree" "$work/tree"
mkdir -p "$work/tree/empty"       # git keeps no empty directories
cd "$work"

step() { printf '\n$ tambrix %s\n' "$*"; "$bin" "$@"; }

step a -r -n demo.tmb tree
step l demo.tmb
step v -q demo.tmb
step t -n demo.tmb
step x -n demo.tmb out/
printf '\n$ diff -r tree out\n'
diff -r tree out && echo "identical: the unpacked tree matches the original"
