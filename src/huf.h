// Static Huffman block coder: collects tokens in a block buffer and writes
// each block as the 16-bit token count, the t, c and p code-length lists
// and the coded tokens.
#pragma once

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

} // namespace enc
