#!/bin/sh
# Installs what the build and the tests need from the Debian archive, when it
# is missing. Safe to run again. With the argument "fuzz" it also installs
# clang and its libFuzzer runtime for the fuzz targets.
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v g++ >/dev/null 2>&1 || need="$need g++"
[ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
# The AmigaOS extractor: its cross build, qemu for its logic, an emulated Amiga.
command -v m68k-linux-gnu-gcc >/dev/null 2>&1 || need="$need gcc-m68k-linux-gnu binutils-m68k-linux-gnu"
command -v qemu-m68k >/dev/null 2>&1 || need="$need qemu-user"
command -v fs-uae >/dev/null 2>&1 || need="$need fs-uae"
if [ "$1" = fuzz ]; then
    command -v clang++-14 >/dev/null 2>&1 || need="$need clang-14"
    ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 ||
        need="$need libclang-rt-14-dev"
fi
if [ -n "$need" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "install-deps: missing:$need (run as root or install them)" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need
fi
