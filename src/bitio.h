// Bit writer of the encoder. Codes are packed most significant bit first;
// each completed byte is accepted only while the packed data is still
// shorter than the input, otherwise it is dropped and `unpackable` set.
#pragma once
#include <cstdint>

namespace enc {

// Resets the writer: no bit pending.
void init_putbits();

// Writes the n (0 to 16) most significant bits of the left-aligned code;
// the bits below them must be zero.
void putcode(unsigned n, unsigned code);

// Writes the low n (0 to 16) bits of x, most significant first.
void putbits(unsigned n, unsigned x);

// Pending state, for tests: free bit positions (8 = none pending) and the
// partly filled byte.
unsigned putbits_bitcount();
unsigned putbits_subbitbuf();

} // namespace enc
