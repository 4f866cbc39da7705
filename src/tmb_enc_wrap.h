// Runs the dictionary encoder over one file.
#pragma once
#include <cstdint>
#include <cstdio>

// Packs `in` from its current position to its end into `out` with method
// 5, 6 or 7 (any other number counts as 5). Returns 1 when packed data was
// written, with the three results set; 0 when packing did not pay or could
// not be done, with nothing left buffered, `out` back at its starting
// position and the results untouched.
int tmb_orig_compress(FILE *in, FILE *out, int method,
                      uint64_t *orig_size, uint64_t *comp_size, uint16_t *crc);
