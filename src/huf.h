// Static Huffman block coder: collects tokens in a block buffer and writes
// each block as the 16-bit token count, the t, c and p code-length lists
// and the coded tokens.
#pragma once
#include <cstdint>

namespace enc {

constexpr int NC = 510;   // c alphabet: 256 literals + lengths 3..256
constexpr int NT = 19;    // t alphabet: codes the c code lengths
constexpr int TBIT = 5;   // width of the t list count
constexpr int CBIT = 9;   // width of the c list count

// Allocates the block buffer (32 KB, smaller when memory is short).
void alloc_buf();
unsigned huf_bufsiz();

// The three stream operations called by the dictionary encoder.
void encode_start_st1();
// c: a literal byte (0-255) or 256 + length - 3; p: the position value
// (distance - 1) of a match, ignored for literals.
void output_st1(unsigned c, unsigned p);
void encode_end_st1();

// Codes and writes every buffered token.
void send_block();

// Code lengths of the t code (while the c lengths are written), then of
// the p code.
extern uint8_t pt_len[128];

// Writes a code-length list from pt_len: the count of lengths up to the
// last nonzero one in nbit bits, then the lengths; after index special - 1
// a 2-bit count of the zero lengths that follow (t list only, special 3;
// pass -1 for none).
void write_pt_len(int n, int nbit, int special);

} // namespace enc
