// The sliding-dictionary encoder: hash chains over three-byte prefixes,
// lazy matching with one position of look-ahead, tokens handed to the
// block coder through encode_set.
#pragma once

struct EncoderCtx;

namespace enc {

// The three stream operations that receive the tokens.
struct EncodeSet {
    void (*output)(EncoderCtx *ctx, unsigned c, unsigned p);
    void (*encode_start)(EncoderCtx *ctx);
    void (*encode_end)(EncoderCtx *ctx);
};

// The static Huffman block coder of huf.cpp.
extern const EncodeSet st1_set;

// Sets the window and the block coder's parameters for method 5, 6 or 7
// (any other number counts as 5), and encode_set to st1_set. The first
// call on a context allocates its buffers, sized for every method. Returns
// the method number, or 0 when memory is short (nothing is kept then).
int encode_alloc(EncoderCtx *ctx, int method);

// Frees what encode_alloc allocated.
void encode_free(EncoderCtx *ctx);

// Packs the bound input (see tmb_enc_wrap.cpp) to its end, never reading
// past origsize bytes: compsize, crc and bytes_read tell the outcome.
void encode(EncoderCtx *ctx);

} // namespace enc
