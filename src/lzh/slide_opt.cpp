// Match search of "-lh5-", "-lh6-" and "-lh7-".
//
// The window `text` holds the dicsiz bytes before the current position and
// up to dicsiz + 256 bytes ahead of it. Positions are indices into `text`
// starting at dicsiz; when the position reaches 2 * dicsiz the upper part
// is moved down, the next dicsiz bytes are read behind it and every chain
// head is rebased (heads that fall out become 0, which ends a chain; the
// links between positions are distances and stay as they are).
//
// Every position is inserted into a chain of earlier positions with the
// same hash of its three bytes. The walk of a chain is limited only by the
// window, the chain's end and a match of the maximum length. Each position
// keeps the next K links of its chain, so a walk waits for one load per K
// candidates (see `links_of`); chains that
// once needed more than 255 steps are flagged in hash_too, and a search on
// a flagged chain first walks the chain of a later three-byte group of the
// same string (a "shifted" search), which is usually much shorter.
//
// Lazy matching: a match found at one position is emitted only if the next
// position does not have a strictly longer one.
#include "slide_opt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "crcio.h"
#include "huf.h"
#include "tmb_enc_ctx.h"

namespace enc {

constexpr EncodeSet st1_set = {output_st1, encode_start_st1, encode_end_st1};

namespace {

constexpr unsigned HSIZE = 32768;          // 15-bit hash
constexpr unsigned HMASK = HSIZE - 1;
constexpr unsigned MAX_DICSIZ = 1u << lzh::params_of(7)->dicbit;
constexpr unsigned MAX_TXTSIZ = 2 * MAX_DICSIZ + lzh::MAXMATCH;
constexpr unsigned THRESHOLD = lzh::THRESHOLD;   // shortest match
constexpr unsigned TOO_MANY = 255;         // chain steps before a flag
// Chain links kept per position, at most: with four the -lh6- and -lh7-
// walks are fastest here (three, six and eight are slower), with two the
// short -lh5- chains, whose links then stay in the first-level cache.
constexpr unsigned LINKS = 4;
constexpr unsigned FAR = 0xFFFF; // a link this long or longer leaves any window
// Slack behind the window so that the 8-byte compares near its end stay
// inside the allocation; those bytes never decide a result.
constexpr unsigned TEXT_PAD = 16;

struct Match {
    unsigned len;
    unsigned off;         // distance back from the position
};

inline uint64_t load64(const unsigned char *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

inline uint16_t load16(const unsigned char *p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// Length of the common prefix of a and b, at most max (checked from the
// first byte, eight bytes at a time).
inline unsigned match_length(const unsigned char *a, const unsigned char *b, unsigned max)
{
    unsigned i = 0;
    while (i < max) {
        uint64_t x = load64(a + i) ^ load64(b + i);
        if (x != 0) {
            i += (unsigned)__builtin_ctzll(x) >> 3;
            return i < max ? i : max;
        }
        i += 8;
    }
    return max;
}

// Stored positions are below 2 * dicsiz, so with windows of up to 32 KB
// (-lh5-, -lh6-) they fit 16 bits.
template <class P>
P *hash_pos_of(EncoderCtx *ctx)
{
    return static_cast<P *>(ctx->hash_pos);
}

// The chain links, as distances: for the position with slot
// i = pos & (dicsiz - 1), links[K * i + k] is how far the position k + 1
// steps back along its chain lies before the one k steps back (FAR when it
// is FAR or more, which no window reaches: the walk ends there). The walk is
// a string of loads, each waiting for the one before; with K links in one
// slot it waits once per K candidates. Distances need no rebasing
// when the window moves, and 16 bits hold them for every method.
//
// The links after the first are copied from the first one's slot when the
// position is inserted. A walk only reads link k + 1 while link k lies in
// the window, and a slot inside the window has not been reused since, so it
// is what the walk would have read there.
inline uint16_t *links_of(EncoderCtx *ctx)
{
    return static_cast<uint16_t *>(ctx->prev);
}

// hash_too holds too_mark for a flagged chain. Clearing all flags moves to
// the next mark instead of writing the whole table, which happens only once
// in 255 times: the window moves every dicsiz bytes, and for -lh5- the
// table is four times that size.
inline bool is_too(const EncoderCtx *ctx, unsigned h) { return ctx->hash_too[h] == ctx->too_mark; }

inline void clear_too(EncoderCtx *ctx)
{
    if (++ctx->too_mark == 0) {
        memset(ctx->hash_too, 0, HSIZE);
        ctx->too_mark = 1;
    }
}

// Moves the window down by dicsiz bytes and reads the next dicsiz bytes.
template <class P>
__attribute__((noinline)) void update_dict(EncoderCtx *ctx)
{
    const unsigned dicsiz = ctx->dicsiz;
    unsigned char *text = ctx->text;
    memmove(text, text + dicsiz, ctx->txtsiz - dicsiz);
    ctx->remainder += read_input(ctx, text + ctx->txtsiz - dicsiz, dicsiz);
    // Written in P's own width, the loop becomes saturating subtracts.
    P *hash_pos = hash_pos_of<P>(ctx);
    const P d = (P)dicsiz;
    for (unsigned i = 0; i < HSIZE; i++) {
        P v = hash_pos[i];
        hash_pos[i] = v > d ? (P)(v - d) : (P)0;
    }
    clear_too(ctx);
}

// Links pos behind `older` (0: none, which is pos back and so out of the
// window as well).
template <unsigned K>
inline void link(uint16_t *links, unsigned dmask, unsigned pos, unsigned older)
{
    uint16_t *slot = links + K * (pos & dmask);
    const uint16_t *from = links + K * (older & dmask);
    slot[0] = (uint16_t)std::min(pos - older, FAR);
    for (unsigned k = 1; k < K; k++)
        slot[k] = from[k - 1];
}

template <class P, unsigned K>
inline void insert_hash(EncoderCtx *ctx, unsigned h, unsigned pos)
{
    P *hash_pos = hash_pos_of<P>(ctx);
    link<K>(links_of(ctx), ctx->dicsiz - 1, pos, hash_pos[h]);
    hash_pos[h] = (P)pos;
}

inline unsigned next_hash(unsigned h, const unsigned char *p)
{
    return ((h << 5) ^ p[0]) & HMASK;
}

template <class P>
inline void next_token(EncoderCtx *ctx, unsigned *h, unsigned *pos)
{
    ctx->remainder--;
    if (__builtin_expect(++*pos >= ctx->txtsiz - ctx->maxmatch, 0)) {
        update_dict<P>(ctx);
        *pos -= ctx->dicsiz;
    }
    *h = next_hash(*h, ctx->text + *pos + 2);
}

// Steps over k positions, inserting each: the positions inside an emitted
// match. When no slide falls among them the loop runs on local copies,
// which the compiler can keep in registers.
template <class P, unsigned K>
void skip_positions(EncoderCtx *ctx, unsigned k, unsigned *h, unsigned *pos)
{
    if (*pos + k >= ctx->txtsiz - ctx->maxmatch) {
        for (; k > 0; k--) {
            next_token<P>(ctx, h, pos);
            insert_hash<P, K>(ctx, *h, *pos);
        }
        return;
    }
    P *const hp = hash_pos_of<P>(ctx);
    uint16_t *const lk = links_of(ctx);
    const unsigned char *const t = ctx->text;
    const unsigned dmask = ctx->dicsiz - 1;
    unsigned hv = *h, p = *pos;
    for (unsigned i = 0; i < k; i++) {
        p++;
        hv = next_hash(hv, t + p + 2);
        link<K>(lk, dmask, p, hp[hv]);
        hp[hv] = (P)p;
    }
    ctx->remainder -= k;
    *h = hv;
    *pos = p;
}

// Walks the chain of hash h for matches at pos. With a shift j the chain
// holds positions of the three bytes at pos + j, so each candidate start is
// the chain entry minus j. Only a strictly longer match replaces the
// current one, so among equal lengths the nearest wins.
template <class P, unsigned K>
void search_dict_1(EncoderCtx *ctx, unsigned h, unsigned pos, unsigned j, unsigned max, Match *m)
{
    const unsigned dicsiz = ctx->dicsiz;
    const int64_t limit = (int64_t)pos - dicsiz;
    const uint16_t *const links = links_of(ctx);
    const unsigned char *const text = ctx->text;
    int64_t q = hash_pos_of<P>(ctx)[h];
    int64_t s = q - j;
    if (s <= limit)
        return;

    const unsigned char *cur = text + pos;
    unsigned chain = 0;
    unsigned len = m->len;
    // The bytes at len - 1 and len must match for a candidate to beat the
    // current length: one 16-bit compare rejects most candidates.
    uint16_t tail = load16(cur + len - 1);
    // Tries the candidate at s; true when the search is over (a longest
    // possible match).
    auto candidate = [&](int64_t s) {
        chain++;
        const unsigned char *cand = text + s;
        if (load16(cand + len - 1) == tail && cand[0] == cur[0]) {
            unsigned l = match_length(cand, cur, max);
            if (l > len) {
                len = l;
                m->len = l;
                m->off = pos - (unsigned)s;
                if (l == max)
                    return true;
                tail = load16(cur + len - 1);
            }
        }
        return false;
    };
    // Positions below 0 (out of the window anyway) can come up; q is used
    // as an index only while it lies in the window.
    for (;;) {
        uint16_t far[K];
        memcpy(far, links + K * (q & (dicsiz - 1)), sizeof far);
        if (candidate(s))
            goto done;
        for (unsigned k = 0; k + 1 < K; k++) {
            q -= far[k];
            s = q - j;
            if (s <= limit || candidate(s))
                goto done;
        }
        q -= far[K - 1];
        s = q - j;
        if (s <= limit)
            break;
    }
done:

    if (chain > TOO_MANY)
        ctx->hash_too[h] = ctx->too_mark;
}

// Longest match at pos of at least min + 1 bytes (min at least 2).
template <class P, unsigned K>
void search_dict(EncoderCtx *ctx, unsigned h, unsigned pos, int min, Match *m)
{
    const unsigned maxmatch = ctx->maxmatch;
    m->off = 0;
    m->len = min > 2 ? (unsigned)min : 2;

    if (!is_too(ctx, h)) {
        search_dict_1<P, K>(ctx, h, pos, 0, maxmatch, m);
    } else {
        // Find the first later three-byte group on a quiet chain. A match
        // of j + 3 bytes or more contains the group at pos + j and is on
        // that chain; shorter ones are searched on the own chain.
        unsigned hj = h;
        unsigned j;
        for (j = 1; j <= maxmatch - 4; j++) {
            hj = next_hash(hj, ctx->text + pos + j + 2);
            if (!is_too(ctx, hj))
                break;
        }
        if (j <= maxmatch - 4) {
            search_dict_1<P, K>(ctx, hj, pos, j, maxmatch, m);
            if (m->len < j + THRESHOLD)
                search_dict_1<P, K>(ctx, h, pos, 0, j + 2, m);
        } else {
            search_dict_1<P, K>(ctx, h, pos, 0, maxmatch, m);
        }
    }
    // Bytes past the end of the input may continue a match; cut it.
    if (m->len > ctx->remainder)
        m->len = ctx->remainder;
}

} // namespace

int encode_alloc(EncoderCtx *ctx, int method)
{
    const lzh::Params *prm = lzh::params_of(method == 6 || method == 7 ? method : 5);
    ctx->dicbit = prm->dicbit;
    ctx->np = prm->np;
    ctx->pbit = prm->pbit;
    ctx->dicsiz = 1u << ctx->dicbit;
    ctx->maxmatch = lzh::MAXMATCH;
    ctx->txtsiz = 2 * ctx->dicsiz + ctx->maxmatch;
    ctx->encode_set = &st1_set;

    if (ctx->text != nullptr)
        return prm->method;
    ctx->hash_pos = malloc(HSIZE * sizeof(uint32_t));
    ctx->hash_too = static_cast<unsigned char *>(malloc(HSIZE));
    ctx->prev = malloc(LINKS * MAX_DICSIZ * sizeof(uint16_t));
    ctx->text = static_cast<unsigned char *>(malloc(MAX_TXTSIZ + TEXT_PAD));
    if (!ctx->hash_pos || !ctx->hash_too || !ctx->prev || !ctx->text || !alloc_buf(ctx)) {
        encode_free(ctx);
        return 0;
    }
    memset(ctx->text + MAX_TXTSIZ, 0, TEXT_PAD);
    ctx->mem = HSIZE * sizeof(uint32_t) + HSIZE + LINKS * MAX_DICSIZ * sizeof(uint16_t) + MAX_TXTSIZ + TEXT_PAD +
               ctx->bufsiz;
    return prm->method;
}

void encode_free(EncoderCtx *ctx)
{
    free(ctx->hash_pos);
    free(ctx->hash_too);
    free(ctx->prev);
    free(ctx->text);
    free(ctx->buf);
    ctx->hash_pos = nullptr;
    ctx->hash_too = nullptr;
    ctx->prev = nullptr;
    ctx->text = nullptr;
    ctx->buf = nullptr;
    ctx->mem = 0;
}

namespace {

// The token sink of encode_set; the block coder's own is called directly,
// so that it is inlined.
inline void output(EncoderCtx *ctx, unsigned c, unsigned p)
{
    if (ctx->encode_set->output == output_st1)
        output_st1(ctx, c, p);
    else
        ctx->encode_set->output(ctx, c, p);
}

template <class P, unsigned K>
void encode_with(EncoderCtx *ctx)
{
    memset(ctx->hash_pos, 0, HSIZE * sizeof(P));
    memset(ctx->hash_too, 0, HSIZE);
    ctx->too_mark = 1;
    // A position with no older one (0) has its further links copied from
    // slot 0, which are never read through it but must be defined before
    // the first position fills that slot.
    memset(ctx->prev, 0, K * sizeof(uint16_t));
    ctx->encode_set->encode_start(ctx);

    // Before the first input byte the window holds spaces, as the
    // decoder's window does.
    const unsigned dicsiz = ctx->dicsiz;
    unsigned char *const text = ctx->text;
    memset(text, ' ', MAX_TXTSIZ);
    ctx->remainder = read_input(ctx, text + dicsiz, ctx->txtsiz - dicsiz);

    Match m;
    m.len = ctx->remainder < 2 ? ctx->remainder : 2;
    m.off = 0;

    unsigned pos = dicsiz;
    unsigned h = ((text[pos] << 10) ^ (text[pos + 1] << 5) ^ text[pos + 2]) & HMASK;
    insert_hash<P, K>(ctx, h, pos);

    while (ctx->remainder > 0 && !ctx->unpackable) {
        unsigned lastlen = m.len;
        unsigned lastoff = m.off;
        next_token<P>(ctx, &h, &pos);
        search_dict<P, K>(ctx, h, pos, (int)lastlen - 1, &m);
        insert_hash<P, K>(ctx, h, pos);

        if (m.len > lastlen || lastlen < THRESHOLD) {
            output(ctx, text[pos - 1], 0);
        } else {
            output(ctx, lastlen + (256 - THRESHOLD), (lastoff - 1) & (dicsiz - 1));
            // Insert the positions covered by the match without searching,
            // then search once just past it.
            skip_positions<P, K>(ctx, lastlen - 2, &h, &pos);
            next_token<P>(ctx, &h, &pos);
            search_dict<P, K>(ctx, h, pos, 2, &m);
            insert_hash<P, K>(ctx, h, pos);
        }
    }

    ctx->encode_set->encode_end(ctx);
}

} // namespace

void encode(EncoderCtx *ctx)
{
    if (ctx->dicsiz <= (1u << 13))
        encode_with<uint16_t, 2>(ctx);
    else if (ctx->dicsiz <= (1u << 15))
        encode_with<uint16_t, LINKS>(ctx);
    else
        encode_with<uint32_t, LINKS>(ctx);
}

} // namespace enc
