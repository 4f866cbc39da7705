// Bit writer of the encoder. Codes are packed most significant bit first;
// each completed byte is accepted only while the packed data is still
// shorter than the input, otherwise it is dropped and `unpackable` set.
#pragma once
#include <cstdint>

struct EncoderCtx;

namespace enc {

// Resets the writer: no bit pending.
void init_putbits(EncoderCtx *ctx);

// Writes the n (0 to 16) most significant bits of the left-aligned code;
// the bits below them must be zero.
void putcode(EncoderCtx *ctx, unsigned n, unsigned code);

// Writes the low n (0 to 16) bits of x, most significant first.
void putbits(EncoderCtx *ctx, unsigned n, unsigned x);

// The same writer for a long run of codes (a block's tokens): the pending
// bits are kept in a word and handed on four bytes at a time, the cap
// checked per four bytes instead of per byte. Between bitrun_begin and
// bitrun_end nothing else writes through the context; afterwards the bytes
// and the pending bits are exactly those putcode would have left.
struct BitRun {
    EncoderCtx *ctx;
    uint64_t acc; // pending bits, the newest lowest (higher bits are stale)
    unsigned n;   // how many are pending: below 32 between calls
};

BitRun bitrun_begin(EncoderCtx *ctx);
void bitrun_spill(BitRun &w);
void bitrun_end(BitRun &w);

// Code of n (0 to 16) bits, left-aligned in 16 as for putcode.
inline void bitrun_code(BitRun &w, unsigned n, unsigned code)
{
    w.acc = w.acc << n | (code & 0xFFFF) >> (16 - n);
    w.n += n;
    if (w.n >= 32)
        bitrun_spill(w);
}

// The low n (0 to 16) bits of x.
inline void bitrun_bits(BitRun &w, unsigned n, unsigned x)
{
    w.acc = w.acc << n | (x & ((1u << n) - 1));
    w.n += n;
    if (w.n >= 32)
        bitrun_spill(w);
}

} // namespace enc
