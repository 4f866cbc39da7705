// Length-limited canonical Huffman codes for the optimal encoder (-9).
//
// Unlike the default block coder, nothing here depends on heap tie rules:
// the -9 output only has to be small and deterministic, not equal to any
// reference. Pure functions; all work space is on the stack.
#pragma once
#include <cstdint>

namespace tmbopt {

constexpr unsigned HUFF_MAX_SYMS = 510;
constexpr unsigned HUFF_MAX_LEN = 16;

// Code lengths for symbols 0..n-1 (n <= 510) from their frequencies: 0 for
// a symbol that does not occur, otherwise 1..maxlen (maxlen <= 16). When at
// least two symbols occur the code is complete (Kraft sum exactly 1), which
// every decoder of the format can take. One occurring symbol gets length 0
// too: the block format sends such a code as "single symbol, no bits".
void huff_lengths(const uint32_t *freq, unsigned n, unsigned maxlen, uint8_t *len);

// Canonical codes, left-aligned in 16 bits like the format reads them:
// shorter codes first, and within one length in increasing symbol order.
void huff_codes(const uint8_t *len, unsigned n, uint16_t *code);

} // namespace tmbopt
