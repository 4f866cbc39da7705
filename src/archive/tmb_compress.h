// Packing one file into an entry's data: "-lh5-", "-lh6-" or "-lh7-", or a
// stored copy ("-lh0-") when packing does not make it smaller.
//
// Everything the encoder changes while it packs lives in an EncoderCtx, so
// any number of threads may pack at once, each with a context of its own.
// A context keeps its buffers from one file to the next.
#pragma once
#include <cstdio>

#include "tmb_codec.h"
#include "tmb_encoder.h"
#include "tmb_header.h"


// Packs `in` into `out` with method 5, 6 or 7, falling back to a stored copy
// (method 0) when packing does not pay. Fills orig_size, comp_size, crc and
// method of `h`. 1 on success, 0 on failure. `optimal` (-9) picks the
// cost-driven encoder. Input bytes consumed are reported to `prog`.
//
// `in` must stand at its first byte; `out` receives the data at its current
// position and is left standing at the end of it. Failure means a read
// error, a short write or a stream that cannot be positioned; nothing is
// printed.
int tmb_compress(EncoderCtx *ctx, FILE *in, FILE *out, EntryHeader *h, int method, bool optimal,
                 const lzh::Progress &prog);

// True when the last tmb_compress on `ctx` was asked for -9 but packed with
// the default encoder, because the memory for -9 could not be had. The
// output is as sound, only larger; the caller decides whether to say so.
bool tmb_compress_fell_back(const EncoderCtx *ctx);
