// Packs one file with tmb_compress and reports the packed size:
//   bench_pack METHOD INPUT OUTPUT
// METHOD is 5, 6 or 7. OUTPUT receives the raw packed bytes (no header).
#include <cstdio>
#include <cstdlib>

#include "tmb_compress.h"
#include "tmb_header.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s METHOD INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    int method = atoi(argv[1]);
    FILE *in = fopen(argv[2], "rb");
    FILE *out = fopen(argv[3], "wb");
    if (!in || !out) {
        perror("open");
        return 1;
    }
    static char ibuf[65536], obuf[65536];
    setvbuf(in, ibuf, _IOFBF, sizeof ibuf);
    setvbuf(out, obuf, _IOFBF, sizeof obuf);
    EncoderCtx *ctx = tmb_encoder_new();
    if (!ctx) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    EntryHeader h = {};
    h.method = method;
    if (!tmb_compress(ctx, in, out, &h, method, false, {})) {
        fprintf(stderr, "compression failed\n");
        return 1;
    }
    tmb_encoder_free(ctx);
    fclose(in);
    if (fclose(out) != 0) {
        perror("close");
        return 1;
    }
    printf("%d %llu %llu %04x\n", h.method, (unsigned long long)h.orig_size,
           (unsigned long long)h.comp_size, h.crc);
    return 0;
}
