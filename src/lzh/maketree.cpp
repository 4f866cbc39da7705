// Huffman construction with a binary min-heap, limited to 16-bit codes.
//
// The exact tie rules matter: the packed bytes must not depend on anything
// but the input. Leaves enter the heap in symbol order; a sift-down takes
// the left child on equal frequencies and stops when the moving entry is
// not larger than the child. The leaves are remembered in the order they
// leave the heap (least frequent first) and receive the longest lengths.
#include "maketree.h"

namespace enc {

namespace {

constexpr int MAX_SYMBOLS = 510;
constexpr int MAX_NODES = 2 * MAX_SYMBOLS - 1;

// Work space of one construction. It lives on the caller's stack: a tree
// is built and turned into lengths within one call.
struct Tree {
    uint16_t left[MAX_NODES];
    uint16_t right[MAX_NODES];
    int heap[MAX_SYMBOLS + 1];         // 1-based
    int leaves[MAX_SYMBOLS];           // leaves in the order they left the heap
};

void downheap(int i, int *hp, int heapsize, const uint16_t *freq)
{
    int e = hp[i];
    int j;
    while ((j = 2 * i) <= heapsize) {
        if (j < heapsize && freq[hp[j]] > freq[hp[j + 1]])
            j++;
        if (freq[e] <= freq[hp[j]])
            break;
        hp[i] = hp[j];
        i = j;
    }
    hp[i] = e;
}

// Depth of every leaf below `node`; depths of 16 and more share entry 16.
void count_leaf(const Tree *t, int node, int n, int *count, int depth)
{
    // Walk left spines iteratively so that a degenerate tree (a chain of
    // 509 inner nodes) costs no deep recursion on the right side either.
    while (node >= n) {
        count_leaf(t, t->left[node], n, count, depth + 1);
        node = t->right[node];
        depth++;
    }
    count[depth < 16 ? depth : 16]++;
}

// Turns leaf depths into lengths of at most 16 bits whose Kraft sum is 1.
void make_len(const Tree *t, int root, int n, int nleaves, uint8_t *len)
{
    int count[17] = {};
    count_leaf(t, root, n, count, 0);

    // Leaves deeper than 16 were counted at 16, which overfills the code
    // space. The overflow (in units of a 16-bit code) is the sum below
    // modulo 2^16; each unit is paid back by lengthening one shorter code.
    unsigned cum = 0;
    for (int i = 16; i > 0; i--)
        cum += (unsigned)count[i] << (16 - i);
    cum &= 0xFFFF;
    if (cum != 0) {
        count[16] -= (int)cum;
        for (unsigned k = cum; k > 0; k--) {
            for (int i = 15; i > 0; i--) {
                if (count[i] != 0) {
                    count[i]--;
                    count[i + 1] += 2;
                    break;
                }
            }
        }
    }

    int k = 0;
    for (int l = 16; l > 0; l--)
        for (int c = count[l]; c > 0 && k < nleaves; c--)
            len[t->leaves[k++]] = (uint8_t)l;
}

} // namespace

void make_code(int n, const uint8_t *len, uint16_t *code)
{
    unsigned count[17] = {};
    for (int i = 0; i < n; i++)
        count[len[i]]++;
    unsigned start[18];
    start[1] = 0;
    for (int l = 1; l <= 16; l++)
        start[l + 1] = (start[l] + (count[l] << (16 - l))) & 0xFFFF;
    for (int i = 0; i < n; i++) {
        if (len[i] != 0) {
            code[i] = (uint16_t)start[len[i]];
            start[len[i]] += 1u << (16 - len[i]);
        } else {
            code[i] = 0;
        }
    }
}

int make_tree(int n, uint16_t *freq, uint8_t *len, uint16_t *code)
{
    Tree t;
    int heapsize = 0;
    t.heap[1] = 0;
    for (int i = 0; i < n; i++) {
        len[i] = 0;
        if (freq[i] != 0)
            t.heap[++heapsize] = i;
    }
    if (heapsize < 2) {
        code[t.heap[1]] = 0;
        return t.heap[1];
    }

    for (int i = heapsize / 2; i >= 1; i--)
        downheap(i, t.heap, heapsize, freq);

    int nleaves = 0;
    int avail = n;
    int k;
    do {
        int i = t.heap[1];
        if (i < n)
            t.leaves[nleaves++] = i;
        t.heap[1] = t.heap[heapsize--];
        downheap(1, t.heap, heapsize, freq);
        int j = t.heap[1];
        if (j < n)
            t.leaves[nleaves++] = j;
        k = avail++;
        freq[k] = (uint16_t)(freq[i] + freq[j]);
        t.heap[1] = k;
        downheap(1, t.heap, heapsize, freq);
        t.left[k] = (uint16_t)i;
        t.right[k] = (uint16_t)j;
    } while (heapsize > 1);

    make_len(&t, k, n, nleaves, len);
    make_code(n, len, code);
    return k;
}

} // namespace enc
