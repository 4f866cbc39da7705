// Fuzz target: tmb_extract on arbitrary packed data with every method.
//
// Input: byte 0 chooses the method (bits 0-2) and the output buffer sizes
// (bits 3-5); bytes 1-3 give the original size, 16 bits of it, or 20 when
// bit 6 of byte 0 is set (enough to make the output buffer slide its
// window back, yet never more than 1 MB per input, to keep runs fast);
// the rest is the packed data.
//
// Each input is unpacked twice: from memory into a file with one output
// buffer size, and streamed from the file with another buffer size and no
// output (testing). Both must agree on the result and the CRC-16, and a
// success must produce exactly the original size.
#include "fuzz_common.h"
#include "tmb_decode.h"
#include "tmb_method.h"

namespace {

const int METHODS[8] = {0, 1, 4, 5, 6, 7, 9, -1};
const uint64_t OUTBUFS[8] = {256, 1000, 4096, 65536, 300, 8192, 32768, 1 << 20};

struct Run {
    int rc;
    uint16_t crc;
};

Run unpack(FILE *arc, FILE *out, const EntryHeader &h, bool memory, uint64_t outbuf)
{
    // A fresh context per run: tables start empty, limits as asked.
    ExtractCtx *ctx = tmb_extract_new(memory ? 1 << 24 : 0, outbuf);
    if (!ctx)
        fuzz::fail("no context");
    rewind(arc);
    if (out)
        fuzz::reset(out, nullptr, 0);
    uint16_t crc = 0xDEAD;
    int rc = tmb_extract(ctx, arc, out, &h, &crc);
    tmb_extract_free(ctx);
    if (rc != TMB_EXTRACT_OK && rc != TMB_EXTRACT_FAILED && rc != TMB_EXTRACT_DAMAGED &&
        rc != TMB_EXTRACT_UNSUPPORTED)
        fuzz::fail("tmb_extract returned none of its results");
    if (rc != 0 && crc != 0xDEAD)
        fuzz::fail("CRC changed by a failed extraction");
    return {rc, crc};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *arc = fuzz::mem_file("packed");
    static FILE *out = fuzz::mem_file("unpacked");
    if (size < 4)
        return 0;
    EntryHeader h = {};
    h.method = METHODS[data[0] & 7];
    h.orig_size = (data[1] | data[2] << 8 | data[3] << 16) & (data[0] & 0x40 ? 0xFFFFF : 0xFFFF);
    h.comp_size = size - 4;
    fuzz::reset(arc, data + 4, size - 4);

    Run a = unpack(arc, out, h, true, OUTBUFS[(data[0] >> 3) & 7]);
    if (a.rc == 0) {
        fflush(out);
        if ((uint64_t)ftello(out) != h.orig_size)
            fuzz::fail("unpacked size differs from the original size");
    }
    Run b = unpack(arc, nullptr, h, false, OUTBUFS[((data[0] >> 3) + 3) & 7]);
    if (a.rc != b.rc || (a.rc == 0 && a.crc != b.crc))
        fuzz::fail("memory and stream mode disagree");
    return 0;
}
