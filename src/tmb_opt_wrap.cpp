// Glue between the archive side and the optimal encoder: the input with
// its CRC-16 and progress, the output stream, and the no-growth rule.
#include "tmb_opt_wrap.h"

#include <sys/types.h>

#include <algorithm>
#include <memory>

#include "tmb_header.h"
#include "tmb_opt_parse.h"
#include "tmb_progress.h"

namespace {

struct Streams {
    FILE *in;
    FILE *out;
    uint64_t left;     // input bytes still to read: never past the measured size
    uint16_t crc;
};

size_t read_in(void *user, uint8_t *dst, size_t n)
{
    Streams *s = static_cast<Streams *>(user);
    n = (size_t)std::min<uint64_t>(n, s->left);
    size_t got = n ? fread(dst, 1, n, s->in) : 0;
    s->crc = tmb_crc16(dst, got, s->crc);
    s->left -= got;
    tmb_prog_add(got);
    return got;
}

bool write_out(void *user, const uint8_t *src, size_t n)
{
    return fwrite(src, 1, n, static_cast<Streams *>(user)->out) == n;
}

} // namespace

int tmb_opt_compress(FILE *in, FILE *out, int method,
                     uint64_t *orig_size, uint64_t *comp_size, uint16_t *crc)
{
    off_t s = ftello(in);
    if (s < 0)
        s = 0;
    if (fseeko(in, 0, SEEK_END) != 0)
        return 0;
    off_t e = ftello(in);
    if (fseeko(in, s, SEEK_SET) != 0 || e < 0 || s > e)
        return 0;
    uint64_t size = (uint64_t)(e - s);
    if (size == 0)
        return 0;

    // A small file needs no region larger than itself.
    tmbopt::OptParams prm;
    prm.region = (uint32_t)std::min<uint64_t>(prm.region, size);
    auto enc = std::make_unique<tmbopt::OptEncoder>();
    if (!tmbopt::opt_init(enc.get(), method == 6 || method == 7 ? method : 5, prm))
        return -1;

    off_t q = ftello(out);
    Streams st = {in, out, size, 0};
    tmbopt::OptIo io = {&st, read_in, write_out};
    uint64_t packed = 0;
    tmbopt::OptResult r = tmbopt::opt_encode(enc.get(), io, size, &packed);
    uint64_t got = enc->bytes_in;
    tmbopt::opt_free(enc.get());

    // A file that shrank while it was read would leave the header claiming
    // bytes that were never packed: let the stored copy handle it.
    if (r != tmbopt::OPT_PACKED || got != size) {
        fseeko(out, q < 0 ? 0 : q, SEEK_SET);
        return 0;
    }
    *orig_size = size;
    *comp_size = packed;
    *crc = st.crc;
    return 1;
}
