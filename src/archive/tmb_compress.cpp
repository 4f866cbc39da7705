// Compression driver: packs one file with "-lh5-", "-lh6-" or "-lh7-", or
// stores it ("-lh0-") when packing would not make it smaller.
#include "tmb_compress.h"

#include <sys/types.h>

#include "tmb_enc_ctx.h"
#include "tmb_enc_wrap.h"

bool tmb_compress_fell_back(const EncoderCtx *ctx) { return ctx->opt_fell_back != 0; }

int tmb_compress(EncoderCtx *ctx, FILE *in, FILE *out, EntryHeader *h, int method, bool optimal,
                 const lzh::Progress &prog)
{
    off_t p = ftello(out);
    if (tmb_orig_compress(ctx, in, out, method, optimal, prog)) {
        h->orig_size = (uint64_t)ctx->origsize;
        h->comp_size = (uint64_t)ctx->compsize;
        h->crc = (uint16_t)ctx->crc;
        return 1;
    }

    // Stored copy. It is as long as the input, so it covers whatever the
    // encoder had flushed before it gave up. The output buffer is free
    // again and serves as the copy's buffer. The copy reports no progress:
    // the sink has seen what the encoder read before it gave up.
    if (fseeko(in, 0, SEEK_SET) != 0 || fseeko(out, p < 0 ? 0 : p, SEEK_SET) != 0)
        return 0;
    clearerr(in);
    unsigned char *chunk = ctx->encio_buf;
    uint16_t sum = 0;
    uint64_t total = 0;
    size_t n;
    while ((n = fread(chunk, 1, EncoderCtx::ENCIO_BUFSIZE, in)) > 0) {
        sum = tmb_crc16(chunk, n, sum);
        if (fwrite(chunk, 1, n, out) != n)
            return 0;
        total += n;
    }
    // A read error must not pass for the end of the file: the entry would
    // silently lose the rest of it.
    if (ferror(in))
        return 0;

    h->method = 0;
    h->crc = sum;
    h->orig_size = total;
    h->comp_size = total;
    return 1;
}
