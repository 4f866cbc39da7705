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

} // namespace enc
