// Block coding for the optimal encoder (-9): the three Huffman codes of a
// block, the exact size of a block in bits, and writing it. The layout of
// the block's head is the one of the default coder (tmb_enc_block.h), and
// the bits go through the same bit writer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tmb_codec.h"

struct EncoderCtx;

namespace tmbopt {

constexpr unsigned MIN_MATCH = lzh::THRESHOLD;
constexpr unsigned MAX_MATCH = lzh::MAXMATCH;
constexpr unsigned MAX_BLOCK_TOKENS = 65535;   // the 16-bit count

// A token: length << 16 | value. Length 1 is a literal and the value its
// byte; length 3..256 is a match and the value its position (distance - 1).
constexpr uint32_t token(unsigned len, unsigned value) { return (uint32_t)len << 16 | value; }
constexpr unsigned tok_len(uint32_t t) { return t >> 16; }
constexpr unsigned tok_value(uint32_t t) { return t & 0xFFFF; }

// The c symbol of a match length, and the extra bits that follow the p
// code of a position class (enc::pos_class).
constexpr unsigned len_sym(unsigned len) { return 256 + len - MIN_MATCH; }
constexpr unsigned class_extra(unsigned k) { return k > 1 ? k - 1 : 0; }

// The codes of one block, built from its symbol counts.
struct BlockCode {
    uint32_t cfreq[lzh::NC];
    uint32_t pfreq[lzh::NPMAX];
    uint32_t ntok;
    uint8_t clen[lzh::NC];
    uint16_t ccode[lzh::NC];
    uint8_t plen[lzh::NPMAX];
    uint16_t pcode[lzh::NPMAX];
    uint8_t tlen[lzh::NT];
    uint16_t tcode[lzh::NT];
    int csingle, psingle, tsingle;   // the one symbol of a one-symbol code, or -1
};

// Counts the symbols of tokens[0..n) into bc (clearing it first).
void block_count(BlockCode *bc, const uint32_t *tokens, size_t n);
// Builds the c, p and t codes from the counts.
void block_build(BlockCode *bc, const lzh::Params &m);
// Bits the block takes: head and tokens, extra bits included.
uint64_t block_bits(const BlockCode *bc, const lzh::Params &m);
// Writes the block through the context's bit writer: head, then the
// tokens, stopping at the first byte refused at the cap (unpackable).
void block_write(EncoderCtx *ctx, const BlockCode *bc, const lzh::Params &m, const uint32_t *tokens,
                 size_t n);

} // namespace tmbopt
