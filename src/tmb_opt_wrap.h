// Runs the optimal encoder (-9) over one file: the counterpart of
// tmb_orig_compress for the default encoder.
#pragma once
#include <cstdint>
#include <cstdio>

// Packs `in` from its current position to its end into `out` with method
// 5, 6 or 7 (any other number counts as 5), choosing tokens and blocks by
// their cost. Returns 1 when packed data was written, with the three
// results set; 0 when packing did not pay or failed, with `out` back at its
// starting position and the results untouched; -1 when the encoder could
// not be set up (memory), with nothing read or written.
int tmb_opt_compress(FILE *in, FILE *out, int method,
                     uint64_t *orig_size, uint64_t *comp_size, uint16_t *crc);
