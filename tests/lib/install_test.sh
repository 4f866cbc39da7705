#!/bin/sh
# Installs the library below a temporary DESTDIR and builds the two examples
# against it the way a user would: with the C compiler and pkg-config, and
# with CMake's find_package. Their results are checked against the program:
# the packing example must write the bytes `tambrix a` writes for the same
# files, and the printing example must print what `tambrix p` prints.
#   install_test.sh BUILD_DIR TAMBRIX_BIN SOURCE_DIR
set -eu
build=$1 prog=$2 src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=/opt/tambrix-test
DESTDIR="$tmp/dest" cmake --install "$build" --prefix "$prefix" --component lib >/dev/null
root="$tmp/dest$prefix"
pc=$(find "$root" -name tambrix.pc)
[ -n "$pc" ] || fail "tambrix.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$root/include/tambrix.h" "$libdir/libtambrix.a" "$libdir/libtambrix.so.1" \
         "$libdir/cmake/tambrix/tambrixConfig.cmake"; do
    [ -e "$f" ] || fail "$f not installed"
done
# Only the interface is exported.
if nm -D --defined-only "$libdir/libtambrix.so.1" | awk '$2 ~ /[TDBRW]/ {print $3}' | grep -v '^tambrix_'; then
    fail "symbols other than tambrix_* exported"
fi

# The .pc file finds the prefix relative to itself, wherever DESTDIR put it.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc=${CC:-cc}
# shellcheck disable=SC2046
$cc -Wall -Wextra -Werror -o "$tmp/cat" "$src/examples/tambrix_cat.c" $(pkg-config --cflags --libs tambrix)
# shellcheck disable=SC2046
$cc -Wall -Wextra -Werror -o "$tmp/pack" "$src/examples/tambrix_pack.c" $(pkg-config --cflags --libs tambrix)
export LD_LIBRARY_PATH="$libdir"

# Inputs: text that packs, bytes that do not (stored), and an empty file.
mkdir "$tmp/in"
i=0
while [ $i -lt 400 ]; do echo "line $i of a text that repeats itself"; i=$((i + 1)); done >"$tmp/in/text.txt"
head -c 5000 /dev/urandom >"$tmp/in/noise.bin"
: >"$tmp/in/empty"
touch -d @1700000000 "$tmp/in/text.txt" "$tmp/in/noise.bin" "$tmp/in/empty"
set -- "$tmp/in/text.txt" "$tmp/in/noise.bin" "$tmp/in/empty"

"$tmp/pack" "$tmp/api.lzh" "$@"
"$prog" a -q "$tmp/prog.lzh" "$@" >/dev/null
cmp "$tmp/api.lzh" "$tmp/prog.lzh" || fail "-lh5- archive differs from the program's"
"$tmp/pack" -9 -T 2 "$tmp/api9.lzh" "$@"
"$prog" a -q -9 "$tmp/prog9.lzh" "$@" >/dev/null
cmp "$tmp/api9.lzh" "$tmp/prog9.lzh" || fail "-9 archive differs from the program's"
"$prog" t "$tmp/api9.lzh" >/dev/null || fail "the program does not pass the library's archive"

for name in text.txt noise.bin empty; do
    "$tmp/cat" "$tmp/api9.lzh" "$name" >"$tmp/out.lib"
    "$prog" p "$tmp/api9.lzh" "$name" >"$tmp/out.prog"
    cmp "$tmp/out.lib" "$tmp/out.prog" || fail "$name printed differently"
    cmp "$tmp/out.lib" "$tmp/in/$name" || fail "$name does not round-trip"
done
if "$tmp/cat" "$tmp/api.lzh" missing 2>/dev/null; then fail "a missing entry printed"; fi

# find_package(tambrix), linking the static library into a C program.
mkdir "$tmp/cm"
cat >"$tmp/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(user C)
find_package(tambrix 1.0 REQUIRED)
add_executable(cat_static "$src/examples/tambrix_cat.c")
target_link_libraries(cat_static PRIVATE tambrix::tambrix_static)
CMAKE
cmake -S "$tmp/cm" -B "$tmp/cm/build" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$tmp/cm/build" >/dev/null
"$tmp/cm/build/cat_static" "$tmp/api.lzh" text.txt | cmp - "$tmp/in/text.txt" || fail "static example"
echo "install test passed"
