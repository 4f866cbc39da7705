// Entry of the dictionary encoder: measures the input, binds the output
// buffer, runs encode() and decides whether the packed data is usable.
#include "tmb_enc_wrap.h"

#include <sys/types.h>

#include "crcio.h"
#include "slide_opt.h"
#include "tmb_enc_globals.h"

using namespace enc;

namespace {

int crc_ready = 0;

// Forgets the buffered bytes and puts the output back where packing began.
void abandon(FILE *out, off_t q)
{
    encio_n = 0;
    encio_fp = nullptr;
    fseeko(out, q < 0 ? 0 : q, SEEK_SET);
}

} // namespace

int tmb_orig_compress(FILE *in, FILE *out, int method,
                      uint64_t *orig_size, uint64_t *comp_size, uint16_t *crc)
{
    if (!crc_ready) {
        make_crctable();
        crc_ready = 1;
    }

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

    origsize = size;
    infile = in;
    outfile = out;
    compsize = 0;
    unpackable = 0;
    encode_alloc(method == 6 || method == 7 ? method : 5);
    encio_fp = out;
    encio_n = 0;
    encio_error = 0;

    EncodeRequest req = {in, out, size, 0};
    uint16_t sum = (uint16_t)encode(&req);

    // A file that shrank while it was read would leave the header claiming
    // bytes that were never packed: let the stored copy handle it.
    if (unpackable || encode_bytes_read() != size) {
        abandon(out, q);
        return 0;
    }

    size_t n = encio_n;
    size_t written = fwrite(encio_buf, 1, n, out);
    encio_n = 0;
    // Packed bytes that did not reach the file (disk full) must not be
    // reported as a finished entry.
    if (written != n || encio_error) {
        abandon(out, q);
        return 0;
    }
    encio_fp = nullptr;

    *orig_size = (uint64_t)size;
    *comp_size = (uint64_t)req.packed;
    *crc = sum;
    return 1;
}
