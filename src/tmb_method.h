// Unpacking entries and the compression driver.
#pragma once
#include <cstdint>
#include <cstdio>
#include "tmb_header.h"

// CRC-16 of the bytes produced by the last successful tmb_extract.
extern uint16_t g_extract_crc;

// Unpacks the entry whose packed data starts at the current position of
// `arc` into `out` (nullptr: decode and compute the CRC only).
// 0 on success, -1 on failure.
int tmb_extract(FILE *arc, FILE *out, const EntryHeader *h);

// Packs `in` into `out` with method 5, 6 or 7, falling back to a stored
// copy (method 0) when packing does not pay. Fills orig_size, comp_size,
// crc and method of `h`. 1 on success, 0 on failure. `optimal` (-9) picks
// the encoder that chooses tokens and blocks by their cost.
int tmb_compress(FILE *in, FILE *out, EntryHeader *h, int method, bool optimal = false);
