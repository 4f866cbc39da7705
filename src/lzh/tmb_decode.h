// The decoder of "-lh4-" to "-lh7-" and the copier of stored data, with
// all their state in one context. The decoder knows nothing of files: it
// reads packed bytes from a source it is given and hands the bytes it
// produces to a sink. The extraction driver (tmb_method.cpp) owns the
// streams and builds both.
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

// Receives the bytes produced, in order, in pieces of at most the flush
// size given to decoder_new. With `keep` false (testing) the bytes are not
// needed: `p` is then null and only the count is passed. `put` returns
// false when writing failed; decoding then stops.
struct Sink {
    bool (*put)(void *user, const uint8_t *p, size_t n) = nullptr;
    void *user = nullptr;
    bool keep = true;
};

struct Decoder;

// A decoder whose output is handed on `flush_size` bytes at a time (0 means
// 65536; at least 256). nullptr when memory is short. The output buffer
// doubles as the sliding window, so one decoder takes about
// max(flush_size, 128 KB) + 250 KB.
Decoder *decoder_new(uint64_t flush_size);
void decoder_free(Decoder *d);

// Results of decode and copy_stored.
enum : int {
    DECODE_OK = 0,
    DECODE_SINK_FAILED = -1, // the sink refused the bytes
    DECODE_CUT = -2,         // the packed data ended before the entry did
};

// Unpacks `n` bytes of method 4 to 7 from `src` into `sink`, leaving the
// CRC-16 of those bytes in *crc. Damaged data still yields n bytes for the
// CRC to judge; only data that runs out is DECODE_CUT.
int decode(Decoder *d, const Source &src, const Sink &sink, int method, uint64_t n, uint16_t *crc);

// Copies `n` stored bytes from `src` to `sink`, with their CRC-16.
int copy_stored(Decoder *d, const Source &src, const Sink &sink, uint64_t n, uint16_t *crc);

// Clears every code table and tree node. The tables normally carry over
// from entry to entry (damaged data can reach old tree nodes); tests use
// this to start from a known state.
void decode_tables_reset(Decoder *d);

} // namespace lzh
