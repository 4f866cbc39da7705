// Binary-tree match finder: one descent per position inserts it and lists
// its matches of increasing length.
#include "tmb_opt_match.h"

#include <cstdlib>
#include <cstring>

namespace tmbopt {

namespace {

inline uint32_t hash3(const uint8_t *p)
{
    uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
    return (v * 0x1E35A7BDu) >> (32 - MF_HASH_BITS);
}

// Length of the common prefix of a and b, known to be at least `len`,
// counted up to `max`.
inline unsigned extend(const uint8_t *a, const uint8_t *b, unsigned len, unsigned max)
{
    while (len + 8 <= max) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        uint64_t d = x ^ y;
        if (d != 0)
            return len + (unsigned)(__builtin_ctzll(d) >> 3);
        len += 8;
    }
    while (len < max && a[len] == b[len])
        len++;
    return len;
}

// The ring slot pair of a position. Slots follow the position in the
// stream, not in the buffer, so they survive the buffer sliding.
inline int32_t *slots(MatchFinder *mf, int32_t pos)
{
    return &mf->child[2 * (((uint32_t)pos + mf->base) & (mf->window - 1))];
}

// The descent shared by mf_find and mf_skip. Along the way the new node's
// lower and higher subtrees are built from the nodes passed: a node whose
// bytes compare lower hangs in the lower subtree and the descent continues
// into its higher side, and the other way round. best_lt and best_gt are
// the prefix lengths shared with the last nodes hung on either side; every
// node still below shares at least the smaller of the two, so comparing
// starts there.
template <bool COLLECT>
unsigned descend(MatchFinder *mf, const uint8_t *buf, int32_t pos, unsigned max_len,
                 unsigned nice, Match *out)
{
    if (nice > max_len)
        nice = max_len;
    const uint8_t *in = buf + pos;
    uint32_t h = hash3(in);
    int32_t cur = mf->head[h];
    mf->head[h] = pos;
    int32_t *pending_lt = slots(mf, pos);
    int32_t *pending_gt = pending_lt + 1;
    const int32_t cutoff = pos - (int32_t)mf->max_dist;
    unsigned best_lt = 0, best_gt = 0, len = 0, best = 2, n = 0;
    unsigned depth = mf->depth;

    while (cur >= cutoff && cur >= 0) {
        const uint8_t *m = buf + cur;
        int32_t *cs = slots(mf, cur);
        if (m[len] == in[len]) {
            len = extend(in, m, len + 1, nice);
            if (COLLECT && len > best) {
                best = len;
                out[n].len = (uint16_t)len;
                out[n].dist_m1 = (uint16_t)(pos - cur - 1);
                n++;
            }
            if (len >= nice) {
                // Equal as far as we look: the new node takes this one's
                // place and both its subtrees.
                *pending_lt = cs[0];
                *pending_gt = cs[1];
                return n;
            }
        }
        if (m[len] < in[len]) {
            *pending_lt = cur;
            pending_lt = cs + 1;
            cur = *pending_lt;
            best_lt = len;
            if (best_gt < len)
                len = best_gt;
        } else {
            *pending_gt = cur;
            pending_gt = cs;
            cur = *pending_gt;
            best_gt = len;
            if (best_lt < len)
                len = best_lt;
        }
        if (--depth == 0)
            break;
    }
    *pending_lt = MF_NONE;
    *pending_gt = MF_NONE;
    return n;
}

} // namespace

bool mf_init(MatchFinder *mf, size_t *bytes)
{
    size_t hb = sizeof(int32_t) << MF_HASH_BITS;
    size_t cb = sizeof(int32_t) * 2 * (size_t)MF_MAX_WINDOW;
    mf->head = static_cast<int32_t *>(malloc(hb));
    mf->child = static_cast<int32_t *>(malloc(cb));
    if (!mf->head || !mf->child) {
        mf_free(mf);
        return false;
    }
    *bytes += hb + cb;
    return true;
}

void mf_free(MatchFinder *mf)
{
    free(mf->head);
    free(mf->child);
    mf->head = nullptr;
    mf->child = nullptr;
}

void mf_reset(MatchFinder *mf, uint32_t window, unsigned depth)
{
    mf->window = window;
    mf->max_dist = window - 1;
    mf->depth = depth;
    // Only the roots need clearing: a node's links are written when it is
    // inserted, before any descent can reach it.
    for (size_t i = 0; i < (size_t)1 << MF_HASH_BITS; i++)
        mf->head[i] = MF_NONE;
    mf->base = 0;
}

void mf_rebase(MatchFinder *mf, int32_t shift)
{
    auto move = [shift](int32_t v) { return v >= shift ? v - shift : MF_NONE; };
    for (size_t i = 0; i < (size_t)1 << MF_HASH_BITS; i++)
        mf->head[i] = move(mf->head[i]);
    for (size_t i = 0; i < 2 * (size_t)mf->window; i++)
        mf->child[i] = move(mf->child[i]);
    mf->base += (uint32_t)shift;
}

unsigned mf_find(MatchFinder *mf, const uint8_t *buf, int32_t pos, unsigned max_len,
                 unsigned nice, Match *out)
{
    return descend<true>(mf, buf, pos, max_len, nice, out);
}

void mf_skip(MatchFinder *mf, const uint8_t *buf, int32_t pos, unsigned max_len, unsigned nice)
{
    descend<false>(mf, buf, pos, max_len, nice, nullptr);
}

} // namespace tmbopt
