// Static Huffman block coder: collects tokens in a block buffer and writes
// each block as the 16-bit token count, the t, c and p code-length lists
// and the coded tokens.
#pragma once
#include <cstdint>

#include "bitio.h"
#include "tmb_enc_block.h"
#include "tmb_enc_ctx.h"

struct EncoderCtx;

namespace enc {

// Allocates the block buffer (32 KB, smaller when memory is short); false
// when not even 4 KB can be had.
bool alloc_buf(EncoderCtx *ctx);

// The three stream operations called by the dictionary encoder.
void encode_start_st1(EncoderCtx *ctx);
void encode_end_st1(EncoderCtx *ctx);

// Codes and writes every buffered token.
void send_block(EncoderCtx *ctx);

// c: a literal byte (0-255) or 256 + length - 3; p: the position value
// (distance - 1) of a match, ignored for literals. Inline: it runs once per
// token.
inline void output_st1(EncoderCtx *ctx, unsigned c, unsigned p)
{
    ctx->output_mask >>= 1;
    if (ctx->output_mask == 0) {
        // A group of up to eight tokens takes at most 25 bytes, so a group
        // starting below bufsiz - 24 always fits.
        ctx->output_mask = 0x80;
        if (ctx->output_pos >= ctx->bufsiz - 24) {
            send_block(ctx);
            if (ctx->unpackable)
                return;
            ctx->output_pos = 0;
        }
        ctx->cpos = ctx->output_pos++;
        ctx->buf[ctx->cpos] = 0;
    }
    ctx->buf[ctx->output_pos++] = (unsigned char)c;
    ctx->c_freq[c]++;
    if (c >= 256) {
        ctx->buf[ctx->cpos] |= (unsigned char)ctx->output_mask;
        ctx->buf[ctx->output_pos++] = (unsigned char)(p >> 8);
        ctx->buf[ctx->output_pos++] = (unsigned char)p;
        ctx->p_freq[pos_class(p)]++;
    }
}

// A match position: the p code of its class, then the class's extra bits.
inline void encode_p(BitRun &w, const uint8_t *p_len, const uint16_t *p_code, unsigned d)
{
    unsigned k = pos_class(d);
    bitrun_code(w, p_len[k], p_code[k]);
    if (k > 1)
        bitrun_bits(w, k - 1, d);
}

// Writes the code-length list in pt_len (see write_pt_len in
// tmb_enc_block.h).
void write_pt_len(EncoderCtx *ctx, int n, int nbit, int special);

} // namespace enc
