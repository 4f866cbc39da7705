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

} // namespace enc
