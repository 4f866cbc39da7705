// The head of a block, as both block coders write it: the default one
// (huf.cpp) and the -9 one (tmb_opt_block.cpp), which also runs it to count
// the bits a block would take.
//
// A block starts with its token count in 16 bits, then three code-length
// lists: the t code, the c code's lengths coded with the t code, and the p
// code. A code with a single symbol is sent as a zero count and that
// symbol; reading it then takes no bits at all. The writers here call
// put(nbits, value) for each field, value in the low nbits.
#pragma once
#include <cstdint>

#include "tmb_codec.h"

namespace enc {

// Position class of a position value d (distance - 1): 0 for d = 0,
// otherwise its number of significant bits. A class k of 2 or more is
// followed by k - 1 extra bits: d below its top bit, which the class
// implies.
inline unsigned pos_class(unsigned d)
{
    return d == 0 ? 0 : 32 - (unsigned)__builtin_clz(d);
}

// Count of lengths up to the last nonzero one.
inline int trimmed_count(const uint8_t *len, int n)
{
    while (n > 0 && len[n - 1] == 0)
        n--;
    return n;
}

// A Huffman code as the head describes it.
struct CodeRef {
    const uint8_t *len;
    const uint16_t *code;    // left-aligned in 16 bits
    int single;              // the only symbol of a one-symbol code, else -1
};

// Calls f(symbol, extra bit count, extra value) for each t symbol that
// codes the c lengths up to the last nonzero one. A length k is symbol
// k + 2. Zero runs: 1-2 as that many symbol 0, 3-18 as symbol 1 + 4 bits,
// 19 as symbol 0 then symbol 1 + 4 bits, 20 and more as symbol 2 + 9 bits.
template <class F>
void walk_c_len(const uint8_t *c_len, F f)
{
    int n = trimmed_count(c_len, lzh::NC);
    int i = 0;
    while (i < n) {
        int k = c_len[i++];
        if (k != 0) {
            f(k + 2, 0, 0);
            continue;
        }
        int run = 1;
        while (i < n && c_len[i] == 0) {
            i++;
            run++;
        }
        if (run <= 2) {
            for (int r = 0; r < run; r++)
                f(0, 0, 0);
        } else if (run <= 18) {
            f(1, 4, run - 3);
        } else if (run == 19) {
            f(0, 0, 0);
            f(1, 4, 15);
        } else {
            f(2, lzh::CBIT, run - 20);
        }
    }
}

// A t or p code-length list: the trimmed count in nbit bits, then each
// length in 3 bits, or for 7 and more as (length - 4) one bits and a zero
// bit. In the t list (special 3) the third length is followed by a 2-bit
// count of the zero lengths at indices 3 to 5, which are then skipped;
// pass -1 for none.
template <class Put>
void write_pt_len(const uint8_t *pt_len, int n, int nbit, int special, Put put)
{
    n = trimmed_count(pt_len, n);
    put((unsigned)nbit, (unsigned)n);
    int i = 0;
    while (i < n) {
        unsigned k = pt_len[i++];
        if (k <= 6)
            put(3, k);
        else
            put(k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && pt_len[i] == 0)
                i++;
            put(2, (unsigned)(i - 3));
        }
    }
}

// The token count, the t list and the c lengths.
template <class Put>
void write_c_head(unsigned ntok, const CodeRef &c, const CodeRef &t, Put put)
{
    put(16, ntok);
    if (c.single >= 0) {
        // An empty t list naming symbol 0, an empty c list naming the symbol.
        put(lzh::TBIT, 0);
        put(lzh::TBIT, 0);
        put(lzh::CBIT, 0);
        put(lzh::CBIT, (unsigned)c.single);
        return;
    }
    if (t.single >= 0) {
        put(lzh::TBIT, 0);
        put(lzh::TBIT, (unsigned)t.single);
    } else {
        write_pt_len(t.len, lzh::NT, lzh::TBIT, 3, put);
    }
    put(lzh::CBIT, (unsigned)trimmed_count(c.len, lzh::NC));
    walk_c_len(c.len, [&](int sym, int nbits, int value) {
        put(t.len[sym], t.code[sym] >> (16 - t.len[sym]));
        if (nbits != 0)
            put((unsigned)nbits, (unsigned)value);
    });
}

// The p list.
template <class Put>
void write_p_head(const CodeRef &p, int np, int pbit, Put put)
{
    if (p.single >= 0) {
        put((unsigned)pbit, 0);
        put((unsigned)pbit, (unsigned)p.single);
    } else {
        write_pt_len(p.len, np, pbit, -1, put);
    }
}

} // namespace enc
