// Unpacks a raw packed stream made by bench_pack with the extraction driver:
//   bench_unpack METHOD ORIGSIZE INPUT
// The bytes are decoded, checked (CRC) and written to /dev/null.
#include <cstdio>
#include <cstdlib>

#include "tmb_header.h"
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
    int rc = tmb_extract(in, out, &h);
    if (out)
        fclose(out);
    fclose(in);
    printf("%d %04x\n", rc, g_extract_crc);
    return rc == 0 ? 0 : 1;
}
