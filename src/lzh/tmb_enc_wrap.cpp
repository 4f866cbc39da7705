// Entry of both encoders: measures the input, binds it and the output to
// the context, runs the encoder and decides whether the packed data is
// usable.
#include "tmb_enc_wrap.h"

#include <sys/types.h>

#include <algorithm>

#include "slide_opt.h"
#include "tmb_enc_ctx.h"
#include "tmb_opt_parse.h"

namespace {

// Forgets the buffered bytes and puts the output back where packing began.
void abandon(EncoderCtx *ctx, FILE *out, off_t q)
{
    ctx->encio_n = 0;
    fseeko(out, q < 0 ? 0 : q, SEEK_SET);
}

} // namespace

void encode_bind(EncoderCtx *ctx, FILE *in, FILE *out, int64_t origsize, const lzh::Progress &prog)
{
    ctx->infile = in;
    ctx->outfile = out;
    ctx->origsize = origsize;
    ctx->compsize = 0;
    ctx->unpackable = 0;
    ctx->bytes_read = 0;
    ctx->crc = 0;
    ctx->prog = prog;
    ctx->encio_n = 0;
    ctx->encio_error = 0;
}

int tmb_orig_compress(EncoderCtx *ctx, FILE *in, FILE *out, int method, bool optimal,
                      const lzh::Progress &prog)
{
    ctx->opt_fell_back = 0;
    off_t s = ftello(in);
    if (s < 0)
        s = 0;
    if (fseeko(in, 0, SEEK_END) != 0)
        return 0;
    off_t e = ftello(in);
    if (fseeko(in, s, SEEK_SET) != 0 || e < 0 || s > e)
        return 0;
    int64_t size = (int64_t)(e - s);
    if (size == 0)
        return 0;

    off_t q = ftello(out);
    encode_bind(ctx, in, out, size, prog);
    // A small file needs no -9 region larger than itself.
    tmbopt::OptParams prm;
    prm.region = (uint32_t)std::min<int64_t>(prm.region, size);
    if (optimal && tmbopt::opt_prepare(ctx, method, prm)) {
        tmbopt::opt_encode(ctx);
    } else {
        ctx->opt_fell_back = optimal;
        if (!enc::encode_alloc(ctx, method))
            return 0;
        enc::encode(ctx);
    }

    // A file that shrank while it was read would leave the header claiming
    // bytes that were never packed: let the stored copy handle it.
    if (ctx->unpackable || ctx->bytes_read != size) {
        abandon(ctx, out, q);
        return 0;
    }

    // Packed bytes that did not reach the file (disk full) must not be
    // reported as a finished entry.
    size_t n = ctx->encio_n;
    size_t written = fwrite(ctx->encio_buf, 1, n, out);
    ctx->encio_n = 0;
    if (written != n || ctx->encio_error) {
        abandon(ctx, out, q);
        return 0;
    }
    return 1;
}
