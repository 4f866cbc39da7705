// Reading the encoder's input with its CRC-16 and its progress.
#include "crcio.h"

#include "tmb_crc.h"
#include "tmb_enc_ctx.h"

namespace enc {

int fread_crc(unsigned *crc, unsigned char *p, int n, FILE *fp)
{
    if (n <= 0)
        return 0;
    size_t got = fread(p, 1, (size_t)n, fp);
    *crc = tmb_crc16(p, got, (uint16_t)*crc);
    return (int)got;
}

unsigned read_input(EncoderCtx *ctx, unsigned char *p, unsigned n)
{
    // The size was measured before packing began; a file that grows while
    // it is read must not put more bytes into the entry than its header
    // will claim.
    int64_t left = ctx->origsize - ctx->bytes_read;
    if (left < 0)
        left = 0;
    if ((int64_t)n > left)
        n = (unsigned)left;
    int got = fread_crc(&ctx->crc, p, (int)n, ctx->infile);
    ctx->bytes_read += got;
    ctx->prog.add((uint64_t)got);
    return (unsigned)got;
}

} // namespace enc
