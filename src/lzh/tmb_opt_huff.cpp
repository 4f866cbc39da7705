// Huffman code lengths by the in-place method of Moffat and Katajainen over
// the symbols sorted by frequency, then limited to the format's 16 bits.
#include "tmb_opt_huff.h"

#include <algorithm>

namespace tmbopt {

namespace {

// Given a[0..n-1] = frequencies in increasing order, leaves a[i] = the code
// length of the i-th symbol (non-increasing). Three passes over one array:
// pair the two smallest of leaves and made nodes (nodes are made in
// increasing order, so two queues suffice), turn parent links into node
// depths, then hand out leaf depths level by level.
void min_redundancy(uint32_t *a, int n)
{
    a[0] += a[1];
    int root = 0, leaf = 2;
    for (int next = 1; next < n - 1; next++) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = (uint32_t)next;
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = (uint32_t)next;
        } else {
            a[next] += a[leaf++];
        }
    }
    a[n - 2] = 0;
    for (int next = n - 3; next >= 0; next--)
        a[next] = a[a[next]] + 1;
    int avail = 1, used = 0, depth = 0, next = n - 1;
    root = n - 2;
    while (avail > 0) {
        while (root >= 0 && a[root] == (uint32_t)depth) {
            used++;
            root--;
        }
        while (avail > used) {
            a[next--] = (uint32_t)depth;
            avail--;
        }
        avail = 2 * used;
        depth++;
        used = 0;
    }
}

} // namespace

void huff_lengths(const uint32_t *freq, unsigned n, unsigned maxlen, uint8_t *len)
{
    uint16_t sym[lzh::NC];
    uint32_t a[lzh::NC];
    int m = 0;
    for (unsigned s = 0; s < n; s++) {
        len[s] = 0;
        if (freq[s] != 0)
            sym[m++] = (uint16_t)s;
    }
    if (m < 2)
        return;
    std::sort(sym, sym + m, [freq](uint16_t x, uint16_t y) {
        return freq[x] != freq[y] ? freq[x] < freq[y] : x < y;
    });
    for (int i = 0; i < m; i++)
        a[i] = freq[sym[i]];
    min_redundancy(a, m);

    // Clamp to maxlen, then repair the Kraft sum (in units of a maxlen-bit
    // code): while over-full, push the deepest leaf above maxlen one level
    // down; while under-full (only after an over-correction), lift one.
    unsigned count[lzh::MAXCODELEN + 1] = {};
    for (int i = 0; i < m; i++)
        count[std::min<unsigned>(a[i], maxlen)]++;
    const uint32_t full = 1u << maxlen;
    uint32_t kraft = 0;
    for (unsigned l = 1; l <= maxlen; l++)
        kraft += count[l] << (maxlen - l);
    while (kraft > full) {
        unsigned l = maxlen - 1;
        while (count[l] == 0)
            l--;
        count[l]--;
        count[l + 1]++;
        kraft -= 1u << (maxlen - l - 1);
    }
    while (kraft < full) {
        unsigned l = maxlen;
        while (count[l] == 0 || kraft + (1u << (maxlen - l)) > full)
            l--;
        count[l]--;
        count[l - 1]++;
        kraft += 1u << (maxlen - l);
    }

    // The least frequent symbols take the longest codes.
    int i = 0;
    for (unsigned l = maxlen; l >= 1; l--)
        for (unsigned c = count[l]; c > 0; c--)
            len[sym[i++]] = (uint8_t)l;
}

} // namespace tmbopt
