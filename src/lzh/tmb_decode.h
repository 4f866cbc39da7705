// The decoder of "-lh4-" to "-lh7-" and the copier of stored data, with
// all their state in one context. The decoder knows nothing of files: it
// reads packed bytes from a source it is given, and its caller pulls the
// bytes it produces a piece at a time, straight out of its output buffer.
// The extraction driver (tmb_method.cpp) owns the streams.
#pragma once
#include <cstddef>
#include <cstdint>

namespace lzh {

// The packed bytes of one entry: all of them in memory, or streamed
// through `read`, which returns how many bytes it put at `dst` (fewer than
// asked only at the end of the entry's packed data).
struct Source {
    const uint8_t *mem = nullptr;
    size_t mem_size = 0;
    size_t (*read)(void *user, uint8_t *dst, size_t n) = nullptr;
    void *user = nullptr;
};

struct Decoder;

// A decoder whose output comes in pieces of at most `flush_size` bytes (0
// means 65536; at least 256). nullptr when memory is short. The output
// buffer doubles as the sliding window, so one decoder takes about
// max(flush_size, 128 KB) + 250 KB.
Decoder *decoder_new(uint64_t flush_size);
void decoder_free(Decoder *d);

// Results of decode_start and decode_next.
enum : int {
    DECODE_MORE = 1, // a piece of output is ready
    DECODE_OK = 0,   // the entry is complete
    DECODE_CUT = -2, // the packed data ended before the entry did
};

// Starts unpacking `n` bytes of method 4 to 7 from `src` (DECODE_OK), or
// DECODE_CUT for any other method. `keep` false (testing): the bytes are
// not wanted, only their count and CRC. Damaged data still yields n bytes
// for the CRC to judge; only data that runs out is DECODE_CUT.
int decode_start(Decoder *d, const Source &src, int method, uint64_t n, bool keep);
// Starts copying `n` stored bytes from `src`.
void copy_start(Decoder *d, const Source &src, uint64_t n, bool keep);

// Runs the started entry on until its next piece: DECODE_MORE with the
// piece in *p (nullptr when the bytes are not kept) and *n, valid until the
// next call on `d`; otherwise how the entry ended, which every later call
// repeats. The caller pulls at its own pace: the decoder keeps where it
// stopped, and a piece is never copied inside the decoder to hand it out.
int decode_next(Decoder *d, const uint8_t **p, size_t *n);
// The CRC-16 of every byte produced so far; the entry's after DECODE_OK.
uint16_t decode_crc(const Decoder *d);

// Clears every code table and tree node. The tables normally carry over
// from entry to entry (damaged data can reach old tree nodes); tests use
// this to start from a known state.
void decode_tables_reset(Decoder *d);

} // namespace lzh
