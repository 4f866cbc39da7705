// Block coding for the optimal encoder (-9): the bit sink with the
// no-growth cap, the three Huffman codes of a block, the exact size of a
// block in bits, and writing it.
//
// A block is: its token count in 16 bits; the t code lengths (a list that
// codes the c code lengths); the c code lengths coded with the t code; the
// p code lengths; then every token: a literal as its c code, a match as the
// c code of its length, the p code of its position class and the class's
// extra bits. A code of one symbol is sent as a zero count and the symbol;
// reading it then takes no bits at all.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tmbopt {

constexpr unsigned NC = 510;          // c alphabet: 256 literals + lengths 3..256
constexpr unsigned NT = 19;           // t alphabet
constexpr unsigned NP_MAX = 17;       // largest p alphabet (-lh7-)
constexpr unsigned MIN_MATCH = 3;
constexpr unsigned MAX_MATCH = 256;
constexpr unsigned MAX_BLOCK_TOKENS = 65535;   // the 16-bit count

// A token: length << 16 | value. Length 1 is a literal and the value its
// byte; length 3..256 is a match and the value its position (distance - 1).
constexpr uint32_t token(unsigned len, unsigned value) { return (uint32_t)len << 16 | value; }
constexpr unsigned tok_len(uint32_t t) { return t >> 16; }
constexpr unsigned tok_value(uint32_t t) { return t & 0xFFFF; }

// The c symbol of a match length, and the position class of a position:
// 0 for 0, otherwise its number of significant bits; classes of 2 and more
// are followed by (class - 1) extra bits, the value below its top bit.
constexpr unsigned len_sym(unsigned len) { return 256 + len - MIN_MATCH; }
inline unsigned pos_class(unsigned d) { return d == 0 ? 0 : 32 - (unsigned)__builtin_clz(d); }
constexpr unsigned class_extra(unsigned k) { return k > 1 ? k - 1 : 0; }

// Per method: the window, its position alphabet and the width of the p
// list count.
struct Method {
    unsigned window;
    unsigned np;
    unsigned pbit;
};
constexpr Method method_params(int method)
{
    return method == 7 ? Method{65536, 17, 5} : method == 6 ? Method{32768, 16, 5} : Method{8192, 14, 4};
}

// Where packed bytes go. Bytes collect in `buf` and leave through `write`.
// The packed data may become exactly as long as the input but never
// longer: the first byte beyond `limit` is dropped and `over` set, and the
// encoder gives up (the caller stores the input instead).
struct BitSink {
    uint8_t *buf;
    size_t cap;
    size_t n;
    uint64_t bits;      // pending bits, the oldest highest
    unsigned nbits;     // how many (0..7 between calls)
    uint64_t total;     // bytes accepted so far
    uint64_t limit;
    bool over;
    bool failed;        // a write failed
    void *user;
    bool (*write)(void *user, const uint8_t *p, size_t n);
};

void sink_init(BitSink *s, uint8_t *buf, size_t cap, uint64_t limit, void *user,
               bool (*write)(void *, const uint8_t *, size_t));
// Writes the low n (0..16) bits of v, most significant first.
void sink_put(BitSink *s, unsigned n, unsigned v);
// Completes the last byte with zero bits and hands on every held byte.
void sink_finish(BitSink *s);

// The codes of one block, built from its symbol counts.
struct BlockCode {
    uint32_t cfreq[NC];
    uint32_t pfreq[NP_MAX];
    uint32_t ntok;
    uint8_t clen[NC];
    uint16_t ccode[NC];
    uint8_t plen[NP_MAX];
    uint16_t pcode[NP_MAX];
    uint8_t tlen[NT];
    uint16_t tcode[NT];
    int csingle, psingle, tsingle;   // the one symbol of a one-symbol code, or -1
};

// Counts the symbols of tokens[0..n) into bc (clearing it first).
void block_count(BlockCode *bc, const uint32_t *tokens, size_t n);
// Builds the c, p and t codes from the counts.
void block_build(BlockCode *bc, unsigned np);
// Bits the block takes: header and tokens, extra bits included.
uint64_t block_bits(const BlockCode *bc, const Method &m);
// Writes the block: header, then the tokens.
void block_write(BitSink *s, const BlockCode *bc, const Method &m, const uint32_t *tokens,
                 size_t n);

} // namespace tmbopt
