#include "pack_kit.h"

#include <gtest/gtest.h>

#include "tmb_method.h"

namespace testkit {

Packed pack(const Bytes &input, int method, bool optimal)
{
    Packed r;
    FILE *in = tmpfile_with(input);
    FILE *out = tmpfile();
    r.h.method = method;
    r.ok = tmb_compress(in, out, &r.h, method, optimal);
    EXPECT_EQ((uint64_t)ftell(out), r.h.comp_size) << "output must stand after the packed data";
    r.data = whole_stream(out);
    fclose(in);
    fclose(out);
    return r;
}

Bytes extract(const Packed &p)
{
    FILE *arc = tmpfile_with(p.data);
    FILE *out = tmpfile();
    EntryHeader h = p.h;
    ExtractCtx *ctx = tmb_extract_new(1u << 30, 0);
    uint16_t crc = 0;
    EXPECT_EQ(tmb_extract(ctx, arc, out, &h, &crc), 0);
    EXPECT_EQ(crc, p.h.crc);
    tmb_extract_free(ctx);
    Bytes b = whole_stream(out);
    fclose(arc);
    fclose(out);
    return b;
}

} // namespace testkit
