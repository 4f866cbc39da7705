// The sliding-dictionary encoder: hash chains over three-byte prefixes,
// lazy matching with one position of look-ahead, tokens handed to the
// block coder through encode_set.
#pragma once
#include <cstdint>
#include <cstdio>

namespace enc {

// One file handed to encode(): the driver fills the first three fields.
struct EncodeRequest {
    FILE *in;
    FILE *out;
    int64_t origsize;    // input bytes
    int64_t packed;      // packed bytes, set by encode
};

// The three stream operations of the block coder.
struct EncodeSet {
    void (*output)(unsigned c, unsigned p);
    void (*encode_start)();
    void (*encode_end)();
};
extern EncodeSet encode_set;

// Window bits of the current method (13, 15 or 16).
extern int dicbit;

// Sets the window for method 5, 6 or 7 (any other number counts as 5) and
// allocates the buffers on the first call. Returns the method number.
int encode_alloc(int method);

// Packs the whole input; returns the CRC-16 of every byte read.
// Reads never go past req->origsize bytes in all.
unsigned encode(EncodeRequest *req);

// Input bytes read by the last encode().
int64_t encode_bytes_read();

} // namespace enc
