// An entry's input as the encoder reads it: bytes in memory or a regular
// file read with pread, seen through a stdio stream that the encoder can
// measure and rewind, and that fails as soon as the caller cancels.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "tmb_lib.h"

struct LibInput {
    const uint8_t *mem = nullptr; // the bytes, or
    int fd = -1;                  // a descriptor of our own (closed with us)
    uint64_t base = 0;            // the input's first byte in the file
    uint64_t size = 0;
    uint64_t pos = 0;
    const LibSettings *set = nullptr;
    const std::atomic<bool> *abandon = nullptr; // the handle is going away
    bool cancelled = false;

    LibInput() = default;
    ~LibInput();
    LibInput(const LibInput &) = delete;
    LibInput &operator=(const LibInput &) = delete;
};

// A stream reading `in` from its first byte; nullptr when memory is short.
// `in` must outlive it.
FILE *lib_input_open(LibInput *in);
