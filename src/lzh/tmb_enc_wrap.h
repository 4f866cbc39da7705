// Runs an encoder over one file: the frame that the default and the -9
// encoder share.
#pragma once
#include <cstdint>
#include <cstdio>

#include "tmb_codec.h"

struct EncoderCtx;

// Binds a file to the context: reads come from `in`, never more than
// origsize bytes, with their CRC-16 kept and their count told to `prog`;
// packed bytes go to `out` through the output buffer, and at most origsize
// of them are accepted.
void encode_bind(EncoderCtx *ctx, FILE *in, FILE *out, int64_t origsize, const lzh::Progress &prog);

// Packs `in` from its current position to its end into `out` with method
// 5, 6 or 7 (any other number counts as 5); `optimal` picks the -9 encoder,
// or the default one when the memory for -9 cannot be had. Returns 1 when
// packed data was written: the context's origsize, compsize and crc then
// hold the input size, the packed size and the CRC-16 of the input. 0 when
// packing did not pay or could not be done, with nothing left buffered and
// `out` back at its starting position.
int tmb_orig_compress(EncoderCtx *ctx, FILE *in, FILE *out, int method, bool optimal,
                      const lzh::Progress &prog);
