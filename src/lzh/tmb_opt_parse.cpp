// The optimal encoder: regions, match lists, shortest-path parses, block
// splitting and the final coding. See tmb_opt_parse.h for the outline.
#include "tmb_opt_parse.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <new>
#include <numbers>

#include "bitio.h"
#include "crcio.h"
#include "tmb_enc_block.h"
#include "tmb_enc_ctx.h"
#include "tmb_opt_huff.h"

namespace tmbopt {

namespace {

using enc::pos_class;

// Costs are bits x 16, so that estimates finer than a bit can be used.
constexpr unsigned COST_SHIFT = 4;
// Tokens per chunk of the block splitter: blocks are cut between chunks.
constexpr uint32_t SPLIT_CHUNK = 256;
// Matches kept per position of a region on average; a region ends early
// when its match lists would need more.
constexpr size_t CACHE_PER_POS = 4;

// Prices from symbol counts: a symbol that occurs costs its Huffman code
// length; one that does not costs a bit more than the longest code, the
// price of bringing it in.
void costs_from_counts(const uint32_t *cfreq, const uint32_t *pfreq, unsigned np, Costs *c)
{
    uint8_t clen[lzh::NC], plen[lzh::NPMAX];
    huff_lengths(cfreq, lzh::NC, lzh::MAXCODELEN, clen);
    huff_lengths(pfreq, np, lzh::MAXCODELEN, plen);
    auto absent = [](const uint8_t *len, unsigned n) {
        unsigned mx = 0;
        for (unsigned s = 0; s < n; s++)
            mx = std::max<unsigned>(mx, len[s]);
        return mx + 1;
    };
    unsigned ca = absent(clen, lzh::NC), pa = absent(plen, np);
    auto price = [](unsigned len, unsigned miss) { return (len ? len : miss) << COST_SHIFT; };
    for (unsigned b = 0; b < 256; b++)
        c->lit[b] = price(clen[b], ca);
    for (unsigned l = MIN_MATCH; l <= MAX_MATCH; l++)
        c->len[l] = price(clen[len_sym(l)], ca);
    for (unsigned k = 0; k < np; k++)
        c->pos[k] = price(plen[k], pa) + (class_extra(k) << COST_SHIFT);
}

// Decoding time, priced in bits. Whether a symbol is a literal or a match
// is the decoder's least predictable branch, and a wrong guess costs it
// about as much as decoding a few literals. The processor guesses from the
// kinds of the symbols before, so what costs is a token of the kind that
// seldom follows the kind before it: a match where literals mostly follow
// literals, a literal where matches mostly follow matches. The parse pays
// a price for such a token (more for a match: a wrongly guessed match
// waits longer, for its position and its copy). The prices are small
// against the bits of a symbol, so they decide near-ties, where the
// smallest parse would otherwise mix the kinds more than the default
// encoder does and decode slower than its output. Measured on text, source
// and binary files, they cost 0.1 to 0.2 % of the size for "-lh6-" and
// "-lh7-", 0.3 to 0.6 % for "-lh5-".
//
// `tokens` is the parse the other prices come from; its turns tell which
// kind follows which.
void turn_prices(const OptParams &prm, const uint32_t *tokens, size_t n, Costs *c)
{
    uint32_t follow[2][2] = {};
    unsigned prev = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned kind = tok_len(tokens[i]) > 1;
        follow[prev][kind]++;
        prev = kind;
    }
    const unsigned surprise[2] = {prm.surprise_literal, prm.surprise_match};
    for (unsigned a = 0; a < 2; a++)
        for (unsigned b = 0; b < 2; b++)
            c->turn[a][b] = follow[a][b] < follow[a][b ^ 1] ? surprise[b] : 0;
}

template <class T>
T *alloc(OptEncoder *e, size_t n, bool *ok)
{
    T *p = static_cast<T *>(malloc(n * sizeof(T)));
    if (!p)
        *ok = false;
    else
        e->mem += n * sizeof(T);
    return p;
}

template <class T>
void release(OptEncoder *e, T *&p, size_t n)
{
    if (p)
        e->mem -= n * sizeof(T);
    free(p);
    p = nullptr;
}

// ----------------------------------------------------------- matching

// Lists the matches of positions [0, n) of the region starting at buffer
// index `start`; data ends at `end`. Returns how many positions it covered:
// fewer than n when the match cache filled up.
uint32_t find_matches(OptEncoder *e, int32_t start, uint32_t n, int32_t end)
{
    size_t used = 0;
    unsigned skip = 0;
    uint32_t i = 0;
    for (; i < n; i++) {
        e->mstart[i] = (uint32_t)used;
        int32_t p = start + (int32_t)i;
        int32_t avail = end - p;
        if (avail < (int32_t)MIN_MATCH)
            continue;
        unsigned max_len = std::min<unsigned>(MAX_MATCH, (unsigned)avail);
        if (skip > 0) {
            // Inside a match that reached `nice`: insert only, as searching
            // every position of a long run would compare hundreds of bytes
            // each time. The parse takes such a match whole or in part
            // from its start.
            mf_skip(&e->mf, e->buf, p, max_len, e->prm.nice);
            skip--;
            continue;
        }
        if (used + MAX_MATCH > e->cache_cap)
            break;
        unsigned k = mf_find(&e->mf, e->buf, p, max_len, e->prm.nice, e->cache + used);
        used += k;
        // Only a match that reached `nice` starts skipping; one that merely
        // ran into the end of the data does not: the few positions left
        // are searched, or the parse could not weigh a literal followed by
        // a match from one of them (a length that costs less, at the end of
        // every file).
        if (k > 0 && e->cache[used - 1].len >= e->prm.nice)
            skip = e->cache[used - 1].len - 1u;
    }
    e->mstart[i] = (uint32_t)used;
    return i;
}

// --------------------------------------------------------------- parse

// The cheapest tokens for positions [a, b) of the region at `data`, matches
// cut at b. As the price of a token depends on the kind of the one before
// (Costs::turn), the cost to the end is kept for both: backwards, cost[2i]
// is the cheapest way from i to b after a literal, cost[2i + 1] after a
// match. A literal at i continues with cost[2(i + 1)], a match of length L
// with cost[2(i + L) + 1]; the best match at i is the same either way, so
// the choice at i is that match and, for each kind before, whether the
// literal beats it. Forwards, the choices become tokens, written to out
// (which may be e->choice itself: token k is written after the choice at a
// position >= k has been read). The range is entered as after a literal.
// Returns the token count.
size_t parse_range(OptEncoder *e, const uint8_t *data, uint32_t a, uint32_t b, const Costs &c,
                   uint32_t *out)
{
    constexpr uint32_t LIT_AFTER_LIT = 1u << 30, LIT_AFTER_MATCH = 1u << 31;
    constexpr uint32_t NO_MATCH = UINT32_MAX / 2;
    uint32_t *cost = e->cost;
    uint32_t *choice = e->choice;
    cost[2 * b] = cost[2 * b + 1] = 0;
    for (uint32_t i = b; i-- > a;) {
        const uint32_t lit = c.lit[data[i]] + cost[2 * (i + 1)];
        uint32_t best = NO_MATCH;
        uint32_t pick = 0;
        uint32_t lim = b - i;
        unsigned l = MIN_MATCH;
        for (uint32_t k = e->mstart[i]; k < e->mstart[i + 1]; k++) {
            const Match &m = e->cache[k];
            unsigned ml = std::min<uint32_t>(m.len, lim);
            uint32_t pc = c.pos[pos_class(m.dist_m1)];
            for (; l <= ml; l++) {
                uint32_t v = c.len[l] + pc + cost[2 * (i + l) + 1];
                if (v < best) {
                    best = v;
                    pick = token(l, m.dist_m1);
                }
            }
            if (ml == lim)
                break;
        }
        // A tie goes to the literal.
        for (unsigned before = 0; before < 2; before++) {
            uint32_t vl = lit + c.turn[before][0], vm = best + c.turn[before][1];
            cost[2 * i + before] = std::min(vl, vm);
            if (vl <= vm)
                pick |= before ? LIT_AFTER_MATCH : LIT_AFTER_LIT;
        }
        choice[i] = pick;
    }
    size_t n = 0;
    uint32_t lit_now = LIT_AFTER_LIT;
    for (uint32_t i = a; i < b;) {
        uint32_t ch = choice[i];
        uint32_t t = ch & lit_now ? token(1, data[i]) : ch & ~(LIT_AFTER_LIT | LIT_AFTER_MATCH);
        out[n++] = t;
        lit_now = tok_len(t) > 1 ? LIT_AFTER_MATCH : LIT_AFTER_LIT;
        i += tok_len(t);
    }
    return n;
}

// A first parse to price symbols by: the longest match wherever there is
// one, else a literal.
size_t parse_greedy(OptEncoder *e, const uint8_t *data, uint32_t n, uint32_t *out)
{
    size_t nt = 0;
    for (uint32_t i = 0; i < n;) {
        uint32_t k0 = e->mstart[i], k1 = e->mstart[i + 1];
        unsigned len = k1 > k0 ? std::min<uint32_t>(e->cache[k1 - 1].len, n - i) : 0;
        if (len >= MIN_MATCH) {
            out[nt++] = token(len, e->cache[k1 - 1].dist_m1);
            i += len;
        } else {
            out[nt++] = token(1, data[i]);
            i++;
        }
    }
    return nt;
}

void costs_of_tokens(OptEncoder *e, const uint32_t *tokens, size_t n, Costs *c)
{
    block_count(&e->bc, tokens, n);
    costs_from_counts(e->bc.cfreq, e->bc.pfreq, (unsigned)e->m.np, c);
    turn_prices(e->prm, tokens, n, c);
}

// -------------------------------------------------------- block split

// Bits a block's code-length lists take, roughly: a fixed part and a few
// bits per symbol that occurs.
inline double header_estimate(unsigned csyms, unsigned psyms)
{
    return 40.0 + 4.0 * csyms + 4.0 * psyms;
}

// Cuts tokens[0, n) into blocks of at most prm.max_block tokens where the
// estimated size is least. Candidate cuts lie between chunks of
// SPLIT_CHUNK tokens; a candidate block is priced by the entropy of its c
// and p symbols (extra bits are the same however the tokens are cut) plus
// its header. Dynamic program over the chunk boundaries: best[j] is the
// cheapest way to code chunks [0, j), trying every block [i, j) that the
// token limit allows. Each chunk's counts are listed sparsely once, so
// widening a candidate block by a chunk costs one step per distinct symbol.
// Fills e->cut with the first token of every block and n at the end;
// returns the number of blocks.
size_t split_blocks(OptEncoder *e, const uint32_t *tokens, size_t n)
{
    const size_t nch = (n + SPLIT_CHUNK - 1) / SPLIT_CHUNK;
    const size_t maxch = std::max<size_t>(1, e->prm.max_block / SPLIT_CHUNK);
    constexpr unsigned NS = lzh::NC + lzh::NPMAX;
    SplitSpace &ws = e->split;
    uint32_t *const ent = ws.ent, *const at = ws.at, *const mid = ws.mid;
    uint32_t *const ntok = ws.ntok, *const nmat = ws.nmat, *const from = ws.from;
    double *const best = ws.best;
    uint32_t *const f = ws.freq;
    memset(ws.freq, 0, sizeof ws.freq);

    // Sparse counts: for chunk i, entries [at[i], mid[i]) are c symbols and
    // [mid[i], at[i + 1]) p classes, each as symbol << 16 | count.
    uint32_t nent = 0;
    for (size_t i = 0; i < nch; i++) {
        size_t t0 = i * SPLIT_CHUNK, t1 = std::min(n, t0 + SPLIT_CHUNK);
        uint32_t m = 0;
        for (size_t t = t0; t < t1; t++) {
            unsigned len = tok_len(tokens[t]);
            f[len == 1 ? tok_value(tokens[t]) : len_sym(len)]++;
            if (len > 1) {
                f[lzh::NC + pos_class(tok_value(tokens[t]))]++;
                m++;
            }
        }
        at[i] = nent;
        for (unsigned s = 0; s < NS; s++) {
            if (s == lzh::NC)
                mid[i] = nent;
            if (f[s] != 0) {
                ent[nent++] = s << 16 | f[s];
                f[s] = 0;
            }
        }
        ntok[i] = (uint32_t)(t1 - t0);
        nmat[i] = m;
    }
    at[nch] = nent;

    const float *g = e->flogf;
    best[0] = 0;
    for (size_t j = 1; j <= nch; j++) {
        double sc = 0, sp = 0;
        uint32_t nt = 0, nm = 0;
        unsigned dc = 0, dp = 0;
        best[j] = std::numeric_limits<double>::infinity();
        size_t i = j;
        while (i > 0 && j - i < maxch) {
            i--;
            for (uint32_t k = at[i]; k < mid[i]; k++) {
                uint32_t &fs = f[ent[k] >> 16];
                uint32_t cnt = ent[k] & 0xFFFF;
                dc += fs == 0;
                sc += g[fs + cnt] - g[fs];
                fs += cnt;
            }
            for (uint32_t k = mid[i]; k < at[i + 1]; k++) {
                uint32_t &fs = f[ent[k] >> 16];
                uint32_t cnt = ent[k] & 0xFFFF;
                dp += fs == 0;
                sp += g[fs + cnt] - g[fs];
                fs += cnt;
            }
            nt += ntok[i];
            nm += nmat[i];
            double bits = (g[nt] - sc) + (g[nm] - sp) + header_estimate(dc, dp);
            if (best[i] + bits < best[j]) {
                best[j] = best[i] + bits;
                from[j] = (uint32_t)i;
            }
        }
        for (uint32_t k = at[i]; k < at[j]; k++)
            f[ent[k] >> 16] = 0;
    }
    size_t nb = 0;
    for (size_t j = nch; j > 0; j = from[j])
        e->cut[nb++] = (uint32_t)(from[j] * SPLIT_CHUNK);
    std::reverse(e->cut, e->cut + nb);
    e->cut[nb] = (uint32_t)n;
    return nb;
}

// ------------------------------------------------------------- coding

// Writes tokens[0, n) as one block (n is at most prm.max_block: the
// splitter and the block parses keep to it).
void write_block(EncoderCtx *ctx, const uint32_t *tokens, size_t n)
{
    OptEncoder *e = ctx->opt;
    block_count(&e->bc, tokens, n);
    block_build(&e->bc, e->m);
    block_write(ctx, &e->bc, e->m, tokens, n);
}

// The block of positions [start, end) parsed again with its own codes,
// repeated while that makes it smaller. `tokens` (n) is its current parse;
// the best one found goes to `best` and its count is returned.
size_t refine_block(OptEncoder *e, const uint8_t *data, uint32_t start, uint32_t end,
                    const uint32_t *tokens, size_t n, uint32_t *best, Costs *c)
{
    memmove(best, tokens, n * sizeof(uint32_t));
    block_count(&e->bc, best, n);
    block_build(&e->bc, e->m);
    uint64_t least = block_bits(&e->bc, e->m);
    for (unsigned pass = 0; pass < e->prm.block_passes; pass++) {
        costs_from_counts(e->bc.cfreq, e->bc.pfreq, (unsigned)e->m.np, c);
        turn_prices(e->prm, best, n, c);
        size_t tn = parse_range(e, data, start, end, *c, e->choice);
        block_count(&e->bc, e->choice, tn);
        block_build(&e->bc, e->m);
        uint64_t bits = block_bits(&e->bc, e->m);
        if (bits >= least || tn > e->prm.max_block)
            break;
        least = bits;
        n = tn;
        memcpy(best, e->choice, n * sizeof(uint32_t));
    }
    return n;
}

// Parses, splits and writes region [0, n) of the buffer at `data`.
void code_region(EncoderCtx *ctx, const uint8_t *data, uint32_t n)
{
    OptEncoder *e = ctx->opt;
    Costs c;
    size_t nt = parse_greedy(e, data, n, e->tokens);
    for (unsigned pass = 0; pass < e->prm.region_passes; pass++) {
        costs_of_tokens(e, e->tokens, nt, &c);
        nt = parse_range(e, data, 0, n, c, e->tokens);
    }

    // Cut into blocks, parse each block with its own codes; the blocks'
    // tokens then go round again (a cut may move once the parse changed),
    // and the last round writes them.
    for (unsigned round = 0; round < e->prm.split_rounds; round++) {
        bool last = round + 1 == e->prm.split_rounds;
        size_t nb = split_blocks(e, e->tokens, nt);
        uint32_t start = 0;
        size_t out = 0;
        for (size_t b = 0; b < nb && !ctx->unpackable; b++) {
            size_t t0 = e->cut[b], t1 = e->cut[b + 1];
            uint32_t end = start;
            for (size_t t = t0; t < t1; t++)
                end += tok_len(e->tokens[t]);
            size_t bn = refine_block(e, data, start, end, e->tokens + t0, t1 - t0,
                                     e->btokens + out, &c);
            if (last)
                write_block(ctx, e->btokens + out, bn);
            out += bn;
            start = end;
        }
        std::swap(e->tokens, e->btokens);
        nt = out;
    }
}

// Tops the buffer up from the input; returns the new end of the data.
int32_t fill(EncoderCtx *ctx, int32_t end, bool *eof)
{
    OptEncoder *e = ctx->opt;
    while (!*eof && (size_t)end < e->buf_size) {
        unsigned got = enc::read_input(ctx, e->buf + end, (unsigned)(e->buf_size - (size_t)end));
        if (got == 0)
            *eof = true;
        end += (int32_t)got;
    }
    return end;
}

// Chunks of tokens a region of r bytes can have (a token covers a byte at
// least), and how many counts they can list: each chunk at most one per
// token and one per p class.
constexpr size_t max_chunks(size_t r) { return r / SPLIT_CHUNK + 1; }
constexpr size_t max_counts(size_t r) { return max_chunks(r) * (SPLIT_CHUNK + lzh::NPMAX); }

// The buffers whose size follows the region.
void free_region(OptEncoder *e)
{
    const size_t r = e->region_cap;
    SplitSpace &s = e->split;
    release(e, s.ent, max_counts(r));
    release(e, s.at, max_chunks(r) + 1);
    release(e, s.mid, max_chunks(r));
    release(e, s.ntok, max_chunks(r));
    release(e, s.nmat, max_chunks(r));
    release(e, s.from, max_chunks(r) + 1);
    release(e, s.best, max_chunks(r) + 1);
    release(e, e->buf, MF_MAX_WINDOW + r + MAX_MATCH);
    release(e, e->cache, CACHE_PER_POS * r + MAX_MATCH);
    release(e, e->mstart, r + 1);
    release(e, e->cost, 2 * (r + 1));
    release(e, e->choice, r);
    release(e, e->tokens, r);
    release(e, e->btokens, r);
    release(e, e->cut, r / SPLIT_CHUNK + 2);
    e->region_cap = 0;
}

bool alloc_region(OptEncoder *e, uint32_t region)
{
    const size_t r = region;
    bool ok = true;
    e->region_cap = region;
    e->buf = alloc<uint8_t>(e, MF_MAX_WINDOW + r + MAX_MATCH, &ok);
    e->cache = alloc<Match>(e, CACHE_PER_POS * r + MAX_MATCH, &ok);
    e->mstart = alloc<uint32_t>(e, r + 1, &ok);
    e->cost = alloc<uint32_t>(e, 2 * (r + 1), &ok);
    e->choice = alloc<uint32_t>(e, r, &ok);
    e->tokens = alloc<uint32_t>(e, r, &ok);
    e->btokens = alloc<uint32_t>(e, r, &ok);
    e->cut = alloc<uint32_t>(e, r / SPLIT_CHUNK + 2, &ok);
    SplitSpace &s = e->split;
    s.ent = alloc<uint32_t>(e, max_counts(r), &ok);
    s.at = alloc<uint32_t>(e, max_chunks(r) + 1, &ok);
    s.mid = alloc<uint32_t>(e, max_chunks(r), &ok);
    s.ntok = alloc<uint32_t>(e, max_chunks(r), &ok);
    s.nmat = alloc<uint32_t>(e, max_chunks(r), &ok);
    s.from = alloc<uint32_t>(e, max_chunks(r) + 1, &ok);
    s.best = alloc<double>(e, max_chunks(r) + 1, &ok);
    if (!ok)
        free_region(e);
    return ok;
}

// log2 of a positive integer, as exact as the C library's: f = 2^k m with m
// in [0.75, 1.5), and ln m = 2 atanh(s) for s = (m - 1) / (m + 1), |s| <= 0.2,
// whose series has converged to double precision after 20 terms. Done here
// so that the program does not load the maths library at every start for
// this one table.
double log2_of(uint32_t f)
{
    int k = 31 - std::countl_zero(f);
    double m = (double)f / (double)(1u << k);
    if (m >= 1.5) {
        m /= 2;
        k++;
    }
    double s = (m - 1) / (m + 1), s2 = s * s, term = s, sum = 0;
    for (int i = 1; i < 40; i += 2) {
        sum += term / i;
        term *= s2;
    }
    return k + 2 * sum / std::numbers::ln2;
}

// The tables that serve every region: the match finder's and f log f.
bool alloc_fixed(OptEncoder *e)
{
    bool ok = true;
    if (!e->mf.head && !mf_init(&e->mf, &e->mem))
        ok = false;
    if (ok && !e->flogf) {
        e->flogf = alloc<float>(e, MAX_BLOCK_TOKENS + 1, &ok);
        if (ok) {
            e->flogf[0] = 0;
            for (uint32_t f = 1; f <= MAX_BLOCK_TOKENS; f++)
                e->flogf[f] = (float)(f * log2_of(f));
        }
    }
    return ok;
}

} // namespace

bool opt_prepare(EncoderCtx *ctx, int method, const OptParams &prm)
{
    if (!ctx->opt) {
        ctx->opt = new (std::nothrow) OptEncoder{};
        if (!ctx->opt)
            return false;
    }
    OptEncoder *e = ctx->opt;
    e->m = *lzh::params_of(method == 6 || method == 7 ? method : 5);
    e->prm = prm;
    e->prm.max_block = std::clamp<uint32_t>(prm.max_block, SPLIT_CHUNK, MAX_BLOCK_TOKENS);
    e->prm.nice = std::clamp<unsigned>(prm.nice, MIN_MATCH, MAX_MATCH);
    e->prm.depth = std::max(1u, prm.depth);
    e->prm.split_rounds = std::max(1u, prm.split_rounds);
    e->prm.region = std::max<uint32_t>(prm.region, 4096);
    // A surprising match: 2.5 bits for "-lh5-", 1.75 for the others. Each
    // is what made that method's -9 output decode no slower than its
    // default output on text, source and binary files, at the least cost
    // in size. "-lh5-" needs more: with its small window the smallest parse
    // takes more matches than the default encoder, and a match is the
    // dearer token to decode even when it is guessed right.
    unsigned match = prm.surprise_match;
    if (match == OptParams::BY_METHOD)
        match = e->m.dicbit <= 13 ? 40 : 28;
    // Up to 64 bits each: far beyond any use, and the costs stay in range.
    e->prm.surprise_literal = std::min(prm.surprise_literal, 64u << COST_SHIFT);
    e->prm.surprise_match = std::min(match, 64u << COST_SHIFT);
    const size_t r = e->prm.region;
    if (!alloc_fixed(e))
        return false;
    if (e->region_cap < r) {
        free_region(e);
        if (!alloc_region(e, e->prm.region))
            return false;
    }
    // What this file uses of the buffers: the sizes they would have if
    // they had been made for it alone.
    e->buf_size = ((size_t)1 << e->m.dicbit) + r + MAX_MATCH;
    e->cache_cap = CACHE_PER_POS * r + MAX_MATCH;
    return true;
}

void opt_free(EncoderCtx *ctx)
{
    OptEncoder *e = ctx->opt;
    if (!e)
        return;
    free_region(e);
    mf_free(&e->mf);
    free(e->flogf);
    delete e;
    ctx->opt = nullptr;
}

size_t opt_parse_fixed(EncoderCtx *ctx, const uint8_t *data, uint32_t n, const Costs &c, uint32_t *out)
{
    OptEncoder *e = ctx->opt;
    const int32_t w = (int32_t)1 << e->m.dicbit;
    n = std::min(n, e->prm.region);
    mf_reset(&e->mf, (uint32_t)w, e->prm.depth);
    memset(e->buf, 0, (size_t)w);
    memcpy(e->buf + w, data, n);
    n = find_matches(e, w, n, w + (int32_t)n);
    return parse_range(e, e->buf + w, 0, n, c, out);
}

void opt_encode(EncoderCtx *ctx)
{
    OptEncoder *e = ctx->opt;
    const int32_t w = (int32_t)1 << e->m.dicbit;
    mf_reset(&e->mf, (uint32_t)w, e->prm.depth);
    enc::init_putbits(ctx);
    // The history in front of the first region is never matched against
    // (the trees start empty); cleared only so that no byte is undefined.
    memset(e->buf, 0, (size_t)w);

    bool eof = false;
    int32_t end = fill(ctx, w, &eof);
    while (end > w && !ctx->unpackable && !ctx->encio_error) {
        uint32_t n = (uint32_t)std::min<int32_t>(end - w, (int32_t)e->prm.region);
        n = find_matches(e, w, n, end);
        code_region(ctx, e->buf + w, n);
        // Slide: the last window of bytes before the next region becomes
        // the history.
        memmove(e->buf, e->buf + n, (size_t)(end - (int32_t)n));
        end -= (int32_t)n;
        mf_rebase(&e->mf, (int32_t)n);
        end = fill(ctx, end, &eof);
    }
    // Seven zero bits complete a pending partial byte.
    if (!ctx->unpackable)
        enc::putbits(ctx, 7, 0);
}

} // namespace tmbopt
