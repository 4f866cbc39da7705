// Unpacks a raw packed stream made by bench_pack with the extraction driver:
//   bench_unpack METHOD ORIGSIZE INPUT
// The bytes are decoded, checked (CRC) and written to /dev/null.
#include <cstdio>
#include <cstdlib>

#include "tmb_header.h"
#include "tambrix.h"
#include "tmb_method.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s METHOD ORIGSIZE INPUT\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[3], "rb");
    if (!in) {
        perror("open");
        return 1;
    }
    fseek(in, 0, SEEK_END);
    EntryHeader h = {};
    h.method = atoi(argv[1]);
    h.orig_size = strtoull(argv[2], nullptr, 10);
    h.comp_size = (uint64_t)ftell(in);
    rewind(in);
    // Written to /dev/null, as gzip -dc is in the comparison.
    FILE *out = fopen("/dev/null", "wb");
    ExtractCtx *ctx = tmb_extract_new(g_inbuf_max, g_outbuf_max);
    uint16_t crc = 0;
    int rc = ctx ? tmb_extract(ctx, in, out, &h, &crc) : -1;
    tmb_extract_free(ctx);
    if (out)
        fclose(out);
    fclose(in);
    printf("%d %04x\n", rc, crc);
    return rc == 0 ? 0 : 1;
}
