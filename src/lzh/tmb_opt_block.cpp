// Block coding for the optimal encoder: codes from counts, exact sizes,
// and writing a block.
#include "tmb_opt_block.h"

#include <cstring>

#include "huf.h"
#include "maketree.h"
#include "tmb_enc_block.h"
#include "tmb_enc_ctx.h"
#include "tmb_opt_huff.h"

namespace tmbopt {

using enc::pos_class;

namespace {

// Lengths and codes of one alphabet; the one symbol of a code that has
// only one, else -1.
int build_code(const uint32_t *freq, int n, uint8_t *len, uint16_t *code)
{
    huff_lengths(freq, (unsigned)n, lzh::MAXCODELEN, len);
    enc::make_code(n, len, code);
    int single = -1, used = 0;
    for (int s = 0; s < n; s++)
        if (freq[s] != 0) {
            single = s;
            used++;
        }
    return used == 1 ? single : used == 0 ? 0 : -1;
}

template <class Put>
void write_head(const BlockCode *bc, const lzh::Params &m, Put put)
{
    enc::write_c_head(bc->ntok, {bc->clen, bc->ccode, bc->csingle}, {bc->tlen, bc->tcode, bc->tsingle},
                      put);
    enc::write_p_head({bc->plen, bc->pcode, bc->psingle}, m.np, m.pbit, put);
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

void block_build(BlockCode *bc, const lzh::Params &m)
{
    bc->csingle = build_code(bc->cfreq, lzh::NC, bc->clen, bc->ccode);
    bc->psingle = build_code(bc->pfreq, m.np, bc->plen, bc->pcode);
    bc->tsingle = -1;
    if (bc->csingle < 0) {
        uint32_t tfreq[lzh::NT] = {};
        enc::walk_c_len(bc->clen, [&](int sym, int, int) { tfreq[sym]++; });
        bc->tsingle = build_code(tfreq, lzh::NT, bc->tlen, bc->tcode);
    }
}

uint64_t block_bits(const BlockCode *bc, const lzh::Params &m)
{
    uint64_t bits = 0;
    write_head(bc, m, [&](unsigned n, unsigned) { bits += n; });
    for (int s = 0; s < lzh::NC; s++)
        bits += (uint64_t)bc->cfreq[s] * bc->clen[s];
    for (int k = 0; k < m.np; k++)
        bits += (uint64_t)bc->pfreq[k] * (bc->plen[k] + class_extra((unsigned)k));
    return bits;
}

void block_write(EncoderCtx *ctx, const BlockCode *bc, const lzh::Params &m, const uint32_t *tokens,
                 size_t n)
{
    write_head(bc, m, [ctx](unsigned nb, unsigned v) { enc::putbits(ctx, nb, v); });
    enc::BitRun w = enc::bitrun_begin(ctx);
    for (size_t i = 0; i < n && !ctx->unpackable; i++) {
        uint32_t t = tokens[i];
        unsigned len = tok_len(t), v = tok_value(t);
        unsigned c = len == 1 ? v : len_sym(len);
        enc::bitrun_code(w, bc->clen[c], bc->ccode[c]);
        if (len == 1)
            continue;
        enc::encode_p(w, bc->plen, bc->pcode, v);
    }
    enc::bitrun_end(w);
}

} // namespace tmbopt
