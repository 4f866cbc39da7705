// Block coder of "-lh5-", "-lh6-" and "-lh7-".
//
// Tokens are buffered in groups of up to eight behind one flag byte (bit 7
// for the group's first token, a set bit marks a match). A literal takes one
// byte; a match three: length - 3, then the position value high and low.
// When a new group would start within 24 bytes of the end, the block is
// coded with Huffman codes built for exactly its tokens.
#include "huf.h"

#include <cstdint>
#include <cstdlib>

#include "bitio.h"
#include "maketree.h"
#include "slide_opt.h"
#include "tmb_enc_globals.h"

namespace enc {

namespace {

constexpr int NPMAX = 17;

unsigned char *buf = nullptr;
unsigned bufsiz = 0;
uint16_t output_pos = 0;
uint16_t output_mask = 0;
uint16_t cpos = 0;

uint16_t c_freq[2 * NC - 1];
uint16_t p_freq[2 * NPMAX - 1];
uint16_t t_freq[2 * NT - 1];
uint8_t c_len[NC];
uint16_t c_code[NC];
uint16_t pt_code[128];
int np = 14;
int pbit = 4;

// Position class of a position value: its number of significant bits.
inline unsigned pos_class(unsigned d)
{
    return d == 0 ? 0 : 32 - (unsigned)__builtin_clz(d);
}

// Index one past the last nonzero c length.
int trimmed_c_count()
{
    int n = NC;
    while (n > 0 && c_len[n - 1] == 0)
        n--;
    return n;
}

// Calls f(symbol) for each t symbol that codes the c lengths, and
// f(symbol, extra bits, value) where a zero run carries a count.
// Zero runs: 1-2 as that many symbol 0, 3-18 as symbol 1 + 4 bits,
// 19 as symbol 0 then symbol 1 + 4 bits, 20 and more as symbol 2 + 9 bits.
template <class F>
void walk_c_len(F f)
{
    int n = trimmed_c_count();
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
            f(2, CBIT, run - 20);
        }
    }
}

void count_t_freq()
{
    for (int i = 0; i < NT; i++)
        t_freq[i] = 0;
    walk_c_len([](int sym, int, int) { t_freq[sym]++; });
}

void write_c_len()
{
    putbits(CBIT, (unsigned)trimmed_c_count());
    walk_c_len([](int sym, int nbits, int value) {
        putcode(pt_len[sym], pt_code[sym]);
        if (nbits != 0)
            putbits((unsigned)nbits, (unsigned)value);
    });
}

} // namespace

uint8_t pt_len[128];

// A code-length list from pt_len: the trimmed count, then each length in
// 3 bits, or for 7 and more as (length - 4) one bits and a zero bit. In the
// t list the third length is followed by a 2-bit count of the zero lengths
// at indices 3 to 5, which are then skipped.
void write_pt_len(int n, int nbit, int special)
{
    while (n > 0 && pt_len[n - 1] == 0)
        n--;
    putbits((unsigned)nbit, (unsigned)n);
    int i = 0;
    while (i < n) {
        unsigned k = pt_len[i++];
        if (k <= 6)
            putbits(3, k);
        else
            putbits(k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && pt_len[i] == 0)
                i++;
            putbits(2, (unsigned)(i - 3));
        }
    }
}

namespace {

inline void encode_c(unsigned c)
{
    putcode(c_len[c], c_code[c]);
}

inline void encode_p(unsigned d)
{
    unsigned k = pos_class(d);
    putcode(pt_len[k], pt_code[k]);
    if (k > 1)
        putbits(k - 1, d & ((1u << (k - 1)) - 1));
}

} // namespace

void alloc_buf()
{
    // Ask for 32 KB; when that fails, 10 % less each time down to 4 KB.
    bufsiz = 32768;
    while ((buf = static_cast<unsigned char *>(malloc(bufsiz))) == nullptr) {
        bufsiz = (bufsiz / 10) * 9;
        if (bufsiz <= 4095)
            fatal_error("Not enough memory");
    }
}

unsigned huf_bufsiz() { return bufsiz; }

void encode_start_st1()
{
    if (dicbit <= 13) {
        np = 14;
        pbit = 4;
    } else {
        np = dicbit + 1;
        pbit = 5;
    }
    for (int i = 0; i < NC; i++)
        c_freq[i] = 0;
    for (int i = 0; i < np; i++)
        p_freq[i] = 0;
    output_pos = 0;
    output_mask = 0;
    init_putbits();
}

void send_block()
{
    int root = make_tree(NC, c_freq, c_len, c_code);
    unsigned size = c_freq[root];
    putbits(16, size);
    if (root >= NC) {
        count_t_freq();
        root = make_tree(NT, t_freq, pt_len, pt_code);
        if (root >= NT) {
            write_pt_len(NT, TBIT, 3);
        } else {
            putbits(TBIT, 0);
            putbits(TBIT, (unsigned)root);
        }
        write_c_len();
    } else {
        // One c symbol: an empty t list with symbol 0, an empty c list
        // naming the symbol; its tokens then cost no c bits at all.
        putbits(TBIT, 0);
        putbits(TBIT, 0);
        putbits(CBIT, 0);
        putbits(CBIT, (unsigned)root);
    }

    root = make_tree(np, p_freq, pt_len, pt_code);
    if (root >= np) {
        write_pt_len(np, pbit, -1);
    } else {
        putbits((unsigned)pbit, 0);
        putbits((unsigned)pbit, (unsigned)root);
    }

    unsigned pos = 0;
    unsigned flags = 0;
    for (unsigned i = 0; i < size; i++) {
        if (i % 8 == 0)
            flags = buf[pos++];
        else
            flags <<= 1;
        if (flags & 0x80) {
            encode_c(buf[pos] + 256u);
            encode_p(((unsigned)buf[pos + 1] << 8) | buf[pos + 2]);
            pos += 3;
        } else {
            encode_c(buf[pos++]);
        }
        if (unpackable)
            return;
    }

    for (int i = 0; i < NC; i++)
        c_freq[i] = 0;
    for (int i = 0; i < np; i++)
        p_freq[i] = 0;
}

void output_st1(unsigned c, unsigned p)
{
    output_mask >>= 1;
    if (output_mask == 0) {
        // A group of up to eight tokens takes at most 25 bytes, so a group
        // starting below bufsiz - 24 always fits.
        output_mask = 0x80;
        if (output_pos >= bufsiz - 24) {
            send_block();
            if (unpackable)
                return;
            output_pos = 0;
        }
        cpos = output_pos++;
        buf[cpos] = 0;
    }
    buf[output_pos++] = (unsigned char)c;
    c_freq[c]++;
    if (c >= 256) {
        buf[cpos] |= (unsigned char)output_mask;
        buf[output_pos++] = (unsigned char)(p >> 8);
        buf[output_pos++] = (unsigned char)p;
        p_freq[pos_class(p)]++;
    }
}

void encode_end_st1()
{
    if (!unpackable) {
        send_block();
        putbits(7, 0);
    }
}

} // namespace enc
