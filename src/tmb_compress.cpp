// Compression driver: packs one file with "-lh5-", "-lh6-" or "-lh7-", or
// stores it ("-lh0-") when packing would not make it smaller.
#include <sys/types.h>

#include "tmb_enc_wrap.h"
#include "tmb_header.h"
#include "tmb_method.h"
#include "tmb_opt_wrap.h"

namespace {

unsigned char s_rawbuf[4096];

} // namespace

int tmb_compress(FILE *in, FILE *out, EntryHeader *h, int method, bool optimal)
{
    off_t p = ftello(out);

    uint64_t orig = 0, comp = 0;
    uint16_t crc = 0;
    // The optimal encoder falls back to the default one only when it cannot
    // get its memory.
    int packed = optimal ? tmb_opt_compress(in, out, method, &orig, &comp, &crc) : -1;
    if (packed < 0)
        packed = tmb_orig_compress(in, out, method, &orig, &comp, &crc);
    if (packed) {
        h->orig_size = orig;
        h->comp_size = comp;
        h->crc = crc;
        return 1;
    }

    // Stored copy. It is as long as the input, so it covers whatever the
    // encoder had flushed before it gave up.
    if (fseeko(in, 0, SEEK_SET) != 0 || fseeko(out, p < 0 ? 0 : p, SEEK_SET) != 0)
        return 0;
    clearerr(in);
    uint16_t sum = 0;
    uint64_t total = 0;
    size_t n;
    while ((n = fread(s_rawbuf, 1, sizeof s_rawbuf, in)) > 0) {
        sum = tmb_crc16(s_rawbuf, n, sum);
        if (fwrite(s_rawbuf, 1, n, out) != n)
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
