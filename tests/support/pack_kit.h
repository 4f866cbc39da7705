// One file through the compression driver and back through the extraction
// driver, for the encoder tests.
#pragma once
#include "testkit.h"
#include "tmb_header.h"

namespace testkit {

struct Packed {
    int ok = 0;
    EntryHeader h{};
    Bytes data; // the output stream from the packed data on
};

// Packs `input` as `a` packs a file (with -9 when `optimal`).
Packed pack(const Bytes &input, int method, bool optimal = false);

// Unpacks with the archiver's own extraction driver; checks its result and
// CRC too.
Bytes extract(const Packed &p);

} // namespace testkit
