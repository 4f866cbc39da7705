// Length-limited Huffman code lengths for the optimal encoder (-9); the
// codes of the lengths come from enc::make_code, as for the default coder.
//
// Unlike the default block coder, nothing here depends on heap tie rules:
// the -9 output only has to be small and deterministic, not equal to any
// reference. Pure functions; all work space is on the stack.
#pragma once
#include <cstdint>

#include "tmb_codec.h"

namespace tmbopt {

// Code lengths for symbols 0..n-1 (n <= lzh::NC) from their frequencies: 0 for
// a symbol that does not occur, otherwise 1..maxlen (maxlen <= lzh::MAXCODELEN). When at
// least two symbols occur the code is complete (Kraft sum exactly 1), which
// every decoder of the format can take. One occurring symbol gets length 0
// too: the block format sends such a code as "single symbol, no bits".
void huff_lengths(const uint32_t *freq, unsigned n, unsigned maxlen, uint8_t *len);

} // namespace tmbopt
