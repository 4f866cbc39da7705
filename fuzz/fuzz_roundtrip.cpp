// Fuzz target: a round trip. The input (after its first byte, which picks
// -lh5-, -lh6- or -lh7-, and the default encoder or -9) is packed with
// tmb_compress, unpacked with tmb_extract, and must come back byte for
// byte with the CRC-16 the packer recorded. Packing never makes an entry
// bigger than its data: it falls back to a stored copy.
#include <cstring>

#include "fuzz_common.h"
#include "tmb_compress.h"
#include "tmb_decode.h"
#include "tmb_method.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *in = fuzz::mem_file("input");
    static FILE *packed = fuzz::mem_file("packed");
    static FILE *out = fuzz::mem_file("output");
    static EncoderCtx *encoder = tmb_encoder_new();
    if (!encoder)
        fuzz::fail("no memory for an encoder context");
    if (size < 1)
        return 0;
    const int method = 5 + data[0] % 3;
    const bool optimal = (data[0] / 3) & 1;
    data++;
    size--;
    fuzz::reset(in, data, size);
    fuzz::reset(packed, nullptr, 0);
    fuzz::reset(out, nullptr, 0);

    EntryHeader h = {};
    h.method = method;
    if (!tmb_compress(encoder, in, packed, &h, method, optimal, {}))
        fuzz::fail("tmb_compress failed on a readable file");
    if (h.orig_size != size)
        fuzz::fail("orig_size is not the input size");
    if (h.comp_size > h.orig_size)
        fuzz::fail("packed data bigger than the input");
    if (h.method != method && h.method != 0)
        fuzz::fail("unexpected method");
    if (h.method == 0 && h.comp_size != size)
        fuzz::fail("stored copy of the wrong size");

    fflush(packed);
    rewind(packed);
    ExtractCtx *ctx = tmb_extract_new(1 << 24, 0);
    uint16_t crc = 0;
    int rc = ctx ? tmb_extract(ctx, packed, out, &h, &crc) : -1;
    tmb_extract_free(ctx);
    if (rc != 0)
        fuzz::fail("tmb_extract failed on packed data");
    if (crc != h.crc)
        fuzz::fail("CRC-16 differs");
    std::vector<uint8_t> back = fuzz::contents(out);
    if (back.size() != size || (size && memcmp(back.data(), data, size) != 0))
        fuzz::fail("round trip changed the data");
    return 0;
}
