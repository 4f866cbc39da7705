#include "pack_kit.h"

#include <gtest/gtest.h>

#include "tmb_method.h"

namespace testkit {

EncoderPtr new_encoder()
{
    EncoderPtr p(tmb_encoder_new(), tmb_encoder_free);
    if (!p)
        ADD_FAILURE() << "no memory for an encoder context";
    return p;
}

EncoderCtx *shared_encoder()
{
    static EncoderPtr ctx = new_encoder();
    return ctx.get();
}

Packed pack(const Bytes &input, int method, bool optimal)
{
    return pack(shared_encoder(), input, method, optimal);
}

Packed pack(EncoderCtx *ctx, const Bytes &input, int method, bool optimal)
{
    Packed r;
    FILE *in = tmpfile_with(input);
    FILE *out = tmpfile();
    r.h.method = method;
    r.ok = tmb_compress(ctx, in, out, &r.h, method, optimal, {});
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
