#!/bin/sh
# Checks the layering at link level. The arguments are the layers' static
# libraries from the lowest up. A symbol that one library needs and only a
# library above it defines is a call upward: reported, and the check fails.
set -eu
fail=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
for lib in "$@"; do
    i=$((i + 1))
    nm --defined-only -g "$lib" 2>/dev/null | awk 'NF >= 3 { print $3 }' | sort -u >"$tmp/def.$i"
    nm -u "$lib" 2>/dev/null | awk '{ print $NF }' | sort -u >"$tmp/undef.$i"
done
n=$i
i=1
while [ "$i" -le "$n" ]; do
    j=$((i + 1))
    while [ "$j" -le "$n" ]; do
        up=$(comm -12 "$tmp/undef.$i" "$tmp/def.$j")
        if [ -n "$up" ]; then
            eval "low=\${$i}"
            eval "high=\${$j}"
            echo "$(basename "$low") needs symbols of $(basename "$high"):"
            echo "$up" | sed 's/^/    /'
            fail=1
        fi
        j=$((j + 1))
    done
    i=$((i + 1))
done
# The check must have seen the libraries it guards.
[ "$n" -ge 2 ] || { echo "no libraries given"; exit 1; }
exit $fail
