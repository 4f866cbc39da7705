// One file through the compression driver and back through the extraction
// driver, for the encoder tests.
#pragma once
#include <memory>

#include "testkit.h"
#include "tmb_compress.h"
#include "tmb_header.h"

namespace testkit {

struct Packed {
    int ok = 0;
    EntryHeader h{};
    Bytes data; // the output stream from the packed data on
};

// An encoder context that frees itself.
using EncoderPtr = std::unique_ptr<EncoderCtx, void (*)(EncoderCtx *)>;
EncoderPtr new_encoder();

// The context of this test process, reused from file to file as `a` does.
EncoderCtx *shared_encoder();

// Packs `input` as `a` packs a file (with -9 when `optimal`), with the
// shared context or the one given.
Packed pack(const Bytes &input, int method, bool optimal = false);
Packed pack(EncoderCtx *ctx, const Bytes &input, int method, bool optimal = false);

// Unpacks with the archiver's own extraction driver; checks its result and
// CRC too.
Bytes extract(const Packed &p);

} // namespace testkit
