// The bit writer: fills one byte from its top bit down and hands every
// completed byte to the output buffer, refusing bytes beyond the input size.
#include "bitio.h"

#include "tmb_enc_ctx.h"

namespace enc {

namespace {

// A completed byte. Packed data may be exactly as long as the input but
// never longer: the first byte beyond that is dropped and the encoder
// told to give up.
inline void emit_byte(EncoderCtx *ctx, unsigned b)
{
    if (ctx->compsize < ctx->origsize) {
        encio_put_byte(ctx, (unsigned char)b);
        ctx->compsize++;
    } else {
        ctx->unpackable = 1;
    }
}

} // namespace

void init_putbits(EncoderCtx *ctx)
{
    ctx->bitcount = 8;
    ctx->subbitbuf = 0;
}

void putcode(EncoderCtx *ctx, unsigned n, unsigned code)
{
    unsigned sub = ctx->subbitbuf;
    unsigned free = ctx->bitcount;
    code &= 0xFFFF;
    while (n >= free) {
        n -= free;
        sub += code >> (16 - free);
        code = (code << free) & 0xFFFF;
        emit_byte(ctx, sub);
        sub = 0;
        free = 8;
    }
    ctx->subbitbuf = sub + (code >> (16 - free));
    ctx->bitcount = free - n;
}

void putbits(EncoderCtx *ctx, unsigned n, unsigned x)
{
    putcode(ctx, n, (x << (16 - n)) & 0xFFFF);
}

BitRun bitrun_begin(EncoderCtx *ctx)
{
    // The partly filled byte holds 8 - bitcount bits at its top.
    return BitRun{ctx, ctx->subbitbuf >> ctx->bitcount, 8 - ctx->bitcount};
}

void bitrun_spill(BitRun &w)
{
    EncoderCtx *ctx = w.ctx;
    w.n -= 32;
    uint32_t v = (uint32_t)(w.acc >> w.n);
    if (ctx->origsize - ctx->compsize >= 4 && EncoderCtx::ENCIO_BUFSIZE - ctx->encio_n >= 4) {
        unsigned char *o = ctx->encio_buf + ctx->encio_n;
        o[0] = (unsigned char)(v >> 24);
        o[1] = (unsigned char)(v >> 16);
        o[2] = (unsigned char)(v >> 8);
        o[3] = (unsigned char)v;
        ctx->encio_n += 4;
        ctx->compsize += 4;
        return;
    }
    for (int k = 24; k >= 0; k -= 8)
        emit_byte(ctx, (v >> k) & 0xFF);
}

void bitrun_end(BitRun &w)
{
    while (w.n >= 8) {
        w.n -= 8;
        emit_byte(w.ctx, (unsigned)(w.acc >> w.n) & 0xFF);
    }
    w.ctx->subbitbuf = (unsigned)(w.acc << (8 - w.n)) & 0xFF;
    w.ctx->bitcount = 8 - w.n;
}

} // namespace enc
