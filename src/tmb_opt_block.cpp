// Block coding for the optimal encoder: codes from counts, exact sizes,
// and the bit layout of a block.
#include "tmb_opt_block.h"

#include <cstring>

#include "tmb_opt_huff.h"

namespace tmbopt {

// ------------------------------------------------------------ bit sink

namespace {

void sink_flush(BitSink *s)
{
    if (s->n != 0 && !s->write(s->user, s->buf, s->n))
        s->failed = true;
    s->n = 0;
}

inline void sink_byte(BitSink *s, unsigned b)
{
    if (s->total >= s->limit) {
        s->over = true;
        return;
    }
    s->buf[s->n++] = (uint8_t)b;
    s->total++;
    if (s->n == s->cap)
        sink_flush(s);
}

} // namespace

void sink_init(BitSink *s, uint8_t *buf, size_t cap, uint64_t limit, void *user,
               bool (*write)(void *, const uint8_t *, size_t))
{
    s->buf = buf;
    s->cap = cap;
    s->n = 0;
    s->bits = 0;
    s->nbits = 0;
    s->total = 0;
    s->limit = limit;
    s->over = false;
    s->failed = false;
    s->user = user;
    s->write = write;
}

void sink_put(BitSink *s, unsigned n, unsigned v)
{
    s->bits = s->bits << n | v;
    s->nbits += n;
    while (s->nbits >= 8) {
        s->nbits -= 8;
        sink_byte(s, (unsigned)(s->bits >> s->nbits) & 0xFF);
    }
}

void sink_finish(BitSink *s)
{
    if (s->nbits != 0)
        sink_byte(s, (unsigned)(s->bits << (8 - s->nbits)) & 0xFF);
    s->nbits = 0;
    if (!s->over)
        sink_flush(s);
}

// ------------------------------------------------------- block header

namespace {

// The t symbols that carry the c lengths up to the last nonzero one: a
// length k as symbol k + 2; zero runs of 1-2 as that many symbol 0, of 3-18
// as symbol 1 with (run - 3) in 4 bits, of 19 as symbol 0 then symbol 1
// with 15, of 20 and more as symbol 2 with (run - 20) in 9 bits.
// f(symbol, extra bit count, extra value) for each.
template <class F>
void walk_c_lengths(const uint8_t *clen, unsigned n, F f)
{
    unsigned i = 0;
    while (i < n) {
        unsigned k = clen[i++];
        if (k != 0) {
            f(k + 2, 0, 0);
            continue;
        }
        unsigned run = 1;
        while (i < n && clen[i] == 0) {
            i++;
            run++;
        }
        if (run <= 2) {
            for (unsigned r = 0; r < run; r++)
                f(0, 0, 0);
        } else if (run <= 18) {
            f(1, 4, run - 3);
        } else if (run == 19) {
            f(0, 0, 0);
            f(1, 4, 15);
        } else {
            f(2, 9, run - 20);
        }
    }
}

unsigned trimmed(const uint8_t *len, unsigned n)
{
    while (n > 0 && len[n - 1] == 0)
        n--;
    return n;
}

// A length list (t or p code): the count up to the last nonzero length in
// nbit bits, then each length: 0-6 in 3 bits, 7 and more as (length - 4)
// one bits and a zero bit. In the t list (special 3) the third length is
// followed by a 2-bit count of zero lengths at indices 3 to 5, skipped.
template <class Put>
void put_len_list(const uint8_t *len, unsigned nsym, unsigned nbit, unsigned special, Put put)
{
    unsigned n = trimmed(len, nsym);
    put(nbit, n);
    unsigned i = 0;
    while (i < n) {
        unsigned k = len[i++];
        if (k <= 6)
            put(3, k);
        else
            put(k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && len[i] == 0)
                i++;
            put(2, i - 3);
        }
    }
}

template <class Put>
void put_header(const BlockCode *bc, const Method &m, Put put)
{
    put(16, bc->ntok);
    if (bc->csingle >= 0) {
        put(5, 0);
        put(5, 0);
        put(9, 0);
        put(9, (unsigned)bc->csingle);
    } else {
        if (bc->tsingle >= 0) {
            put(5, 0);
            put(5, (unsigned)bc->tsingle);
        } else {
            put_len_list(bc->tlen, NT, 5, 3, put);
        }
        unsigned n = trimmed(bc->clen, NC);
        put(9, n);
        walk_c_lengths(bc->clen, n, [&](unsigned sym, unsigned nb, unsigned v) {
            put(bc->tlen[sym], bc->tcode[sym] >> (16 - bc->tlen[sym]));
            if (nb != 0)
                put(nb, v);
        });
    }
    if (bc->psingle >= 0) {
        put(m.pbit, 0);
        put(m.pbit, (unsigned)bc->psingle);
    } else {
        put_len_list(bc->plen, m.np, m.pbit, ~0u, put);
    }
}

// Lengths and codes of one alphabet; the one symbol of a code that has
// only one, else -1.
int build_code(const uint32_t *freq, unsigned n, uint8_t *len, uint16_t *code)
{
    huff_lengths(freq, n, HUFF_MAX_LEN, len);
    huff_codes(len, n, code);
    int single = -1, used = 0;
    for (unsigned s = 0; s < n; s++)
        if (freq[s] != 0) {
            single = (int)s;
            used++;
        }
    return used == 1 ? single : used == 0 ? 0 : -1;
}

} // namespace

void block_count(BlockCode *bc, const uint32_t *tokens, size_t n)
{
    memset(bc->cfreq, 0, sizeof bc->cfreq);
    memset(bc->pfreq, 0, sizeof bc->pfreq);
    for (size_t i = 0; i < n; i++) {
        uint32_t t = tokens[i];
        unsigned len = tok_len(t);
        if (len == 1) {
            bc->cfreq[tok_value(t)]++;
        } else {
            bc->cfreq[len_sym(len)]++;
            bc->pfreq[pos_class(tok_value(t))]++;
        }
    }
    bc->ntok = (uint32_t)n;
}

void block_build(BlockCode *bc, unsigned np)
{
    bc->csingle = build_code(bc->cfreq, NC, bc->clen, bc->ccode);
    bc->psingle = build_code(bc->pfreq, np, bc->plen, bc->pcode);
    bc->tsingle = -1;
    if (bc->csingle < 0) {
        uint32_t tfreq[NT] = {};
        walk_c_lengths(bc->clen, trimmed(bc->clen, NC),
                       [&](unsigned sym, unsigned, unsigned) { tfreq[sym]++; });
        bc->tsingle = build_code(tfreq, NT, bc->tlen, bc->tcode);
    }
}

uint64_t block_bits(const BlockCode *bc, const Method &m)
{
    uint64_t bits = 0;
    put_header(bc, m, [&](unsigned n, unsigned) { bits += n; });
    for (unsigned s = 0; s < NC; s++)
        bits += (uint64_t)bc->cfreq[s] * bc->clen[s];
    for (unsigned k = 0; k < m.np; k++)
        bits += (uint64_t)bc->pfreq[k] * (bc->plen[k] + class_extra(k));
    return bits;
}

void block_write(BitSink *s, const BlockCode *bc, const Method &m, const uint32_t *tokens,
                 size_t n)
{
    put_header(bc, m, [s](unsigned nb, unsigned v) { sink_put(s, nb, v); });
    for (size_t i = 0; i < n && !s->over; i++) {
        uint32_t t = tokens[i];
        unsigned len = tok_len(t), v = tok_value(t);
        unsigned c = len == 1 ? v : len_sym(len);
        sink_put(s, bc->clen[c], bc->ccode[c] >> (16 - bc->clen[c]));
        if (len == 1)
            continue;
        unsigned k = pos_class(v);
        sink_put(s, bc->plen[k], bc->pcode[k] >> (16 - bc->plen[k]));
        if (k > 1)
            sink_put(s, k - 1, v & ((1u << (k - 1)) - 1));
    }
}

} // namespace tmbopt
