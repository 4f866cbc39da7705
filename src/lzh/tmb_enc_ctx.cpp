// Making and freeing encoder contexts, and the output buffer.
#include "tmb_enc_ctx.h"

#include <new>

#include "slide_opt.h"
#include "tmb_encoder.h"
#include "tmb_opt_parse.h"

namespace enc {

size_t ctx_bytes(const EncoderCtx *ctx)
{
    size_t n = sizeof *ctx + ctx->mem;
    if (ctx->opt)
        n += sizeof *ctx->opt + ctx->opt->mem;
    return n;
}

void encio_flush(EncoderCtx *ctx)
{
    if (ctx->encio_n != 0 && fwrite(ctx->encio_buf, 1, ctx->encio_n, ctx->outfile) != ctx->encio_n)
        ctx->encio_error = 1;
    ctx->encio_n = 0;
}

} // namespace enc

EncoderCtx *tmb_encoder_new()
{
    EncoderCtx *ctx = new (std::nothrow) EncoderCtx();
    if (ctx == nullptr)
        return nullptr;
    // The default encoder's buffers are taken now, so that packing a file
    // never fails for want of memory: -9, which needs far more, falls back
    // to the default encoder when its own cannot be had.
    if (!enc::encode_alloc(ctx, 5)) {
        tmb_encoder_free(ctx);
        return nullptr;
    }
    return ctx;
}

void tmb_encoder_free(EncoderCtx *ctx)
{
    if (ctx == nullptr)
        return;
    tmbopt::opt_free(ctx);
    enc::encode_free(ctx);
    delete ctx;
}
