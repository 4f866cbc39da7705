// Canonical Huffman codes for the block coders.
#pragma once
#include <cstdint>

namespace enc {

// Builds a length-limited code for symbols 0..n-1 (n at most 510) from
// freq; freq must have room for 2n-1 entries, the inner nodes' frequencies
// go above n. Sets len (0 for absent symbols, otherwise 1 to 16) and the
// left-aligned 16-bit codes. Returns the root node (n or more), or, when
// fewer than two symbols occur, that symbol (0 when none) with every
// length 0 and its code 0.
int make_tree(int n, uint16_t *freq, uint8_t *len, uint16_t *code);

// The canonical code of given lengths (at most 16, Kraft sum at most 1),
// left-aligned in 16 bits as the bit writer's putcode takes it: shorter
// codes first, and within one length in increasing symbol order. Symbols
// of length 0 get code 0.
void make_code(int n, const uint8_t *len, uint16_t *code);

} // namespace enc
