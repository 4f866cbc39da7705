// Match search of "-lh5-", "-lh6-" and "-lh7-".
//
// The window `text` holds the dicsiz bytes before the current position and
// up to dicsiz + 256 bytes ahead of it. Positions are indices into `text`
// starting at dicsiz; when the position reaches 2 * dicsiz the upper part
// is moved down, the next dicsiz bytes are read behind it and every stored
// position is rebased (positions that fall out become 0, which ends a chain).
//
// Every position is inserted into a chain of earlier positions with the
// same hash of its three bytes. The walk of a chain is limited only by the
// window, the chain's end and a match of the maximum length; chains that
// once needed more than 255 steps are flagged in hash_too, and a search on
// a flagged chain first walks the chain of a later three-byte group of the
// same string (a "shifted" search), which is usually much shorter.
//
// Lazy matching: a match found at one position is emitted only if the next
// position does not have a strictly longer one.
#include "slide_opt.h"

#include <cstring>

#include "huf.h"
#include "tmb_enc_globals.h"
#include "crcio.h"
#include "tmb_progress.h"

namespace enc {

EncodeSet encode_set = {output_st1, encode_start_st1, encode_end_st1};
int dicbit = 13;

namespace {

constexpr unsigned HSIZE = 32768;          // 15-bit hash
constexpr unsigned HMASK = HSIZE - 1;
constexpr unsigned MAX_DICSIZ = 65536;
constexpr unsigned MAX_TXTSIZ = 2 * MAX_DICSIZ + 256;
constexpr unsigned MAXMATCH = 256;
constexpr unsigned THRESHOLD = 3;          // shortest match
constexpr unsigned TOO_MANY = 255;         // chain steps before a flag
// Slack behind the window so that the 8-byte compares near its end stay
// inside the allocation; those bytes never decide a result.
constexpr unsigned TEXT_PAD = 16;

unsigned dicsiz = 8192;
unsigned txtsiz = 2 * 8192 + 256;
unsigned maxmatch = MAXMATCH;

unsigned char *text = nullptr;
uint32_t *hash_pos = nullptr;
uint32_t *prev = nullptr;
unsigned char *hash_too = nullptr;

uint32_t remainder = 0;   // bytes from the current position to the end read
int64_t bytes_read = 0;   // input bytes read in this file

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

// Reads up to n bytes, never more than the input size given by the driver.
unsigned read_input(unsigned *crc, unsigned char *p, unsigned n)
{
    int64_t left = origsize - bytes_read;
    if (left < 0)
        left = 0;
    if ((int64_t)n > left)
        n = (unsigned)left;
    int got = fread_crc(crc, p, (int)n, infile);
    bytes_read += got;
    tmb_prog_add((uint64_t)got);
    return (unsigned)got;
}

inline unsigned rebase(uint32_t v)
{
    return v > dicsiz ? v - dicsiz : 0;
}

// Moves the window down by dicsiz bytes and reads the next dicsiz bytes.
__attribute__((noinline)) void update_dict(unsigned *crc)
{
    memmove(text, text + dicsiz, txtsiz - dicsiz);
    remainder += read_input(crc, text + txtsiz - dicsiz, dicsiz);
    for (unsigned i = 0; i < HSIZE; i++)
        hash_pos[i] = rebase(hash_pos[i]);
    memset(hash_too, 0, HSIZE);
    for (unsigned i = 0; i < dicsiz; i++)
        prev[i] = rebase(prev[i]);
}

inline void insert_hash(unsigned h, unsigned pos)
{
    prev[pos & (dicsiz - 1)] = hash_pos[h];
    hash_pos[h] = pos;
}

inline unsigned next_hash(unsigned h, const unsigned char *p)
{
    return ((h << 5) ^ p[0]) & HMASK;
}

inline void next_token(unsigned *h, unsigned *pos, unsigned *crc)
{
    remainder--;
    if (__builtin_expect(++*pos >= txtsiz - maxmatch, 0)) {
        update_dict(crc);
        *pos -= dicsiz;
    }
    *h = next_hash(*h, text + *pos + 2);
}

// Steps over k positions, inserting each: the positions inside an emitted
// match. When no slide falls among them the loop runs on local copies,
// which the compiler can keep in registers.
void skip_positions(unsigned k, unsigned *h, unsigned *pos, unsigned *crc)
{
    if (*pos + k >= txtsiz - maxmatch) {
        for (; k > 0; k--) {
            next_token(h, pos, crc);
            insert_hash(*h, *pos);
        }
        return;
    }
    uint32_t *const hp = hash_pos;
    uint32_t *const pv = prev;
    const unsigned char *const t = text;
    const unsigned dmask = dicsiz - 1;
    unsigned hv = *h, p = *pos;
    for (unsigned i = 0; i < k; i++) {
        p++;
        hv = next_hash(hv, t + p + 2);
        pv[p & dmask] = hp[hv];
        hp[hv] = p;
    }
    remainder -= k;
    *h = hv;
    *pos = p;
}

// Walks the chain of hash h for matches at pos. With a shift j the chain
// holds positions of the three bytes at pos + j, so each candidate start is
// the chain entry minus j. Only a strictly longer match replaces the
// current one, so among equal lengths the nearest wins.
void search_dict_1(unsigned h, unsigned pos, unsigned j, unsigned max, Match *m)
{
    const int64_t limit = (int64_t)pos - dicsiz;
    uint32_t q = hash_pos[h];
    int64_t s = (int64_t)q - j;
    if (s <= limit)
        return;

    const unsigned char *cur = text + pos;
    unsigned chain = 0;
    unsigned len = m->len;
    // The bytes at len - 1 and len must match for a candidate to beat the
    // current length: one 16-bit compare rejects most candidates.
    uint16_t tail = load16(cur + len - 1);
    do {
        chain++;
        const unsigned char *cand = text + s;
        if (load16(cand + len - 1) == tail && cand[0] == cur[0]) {
            unsigned l = match_length(cand, cur, max);
            if (l > len) {
                len = l;
                m->len = l;
                m->off = pos - (unsigned)s;
                if (l == max)
                    break;
                tail = load16(cur + len - 1);
            }
        }
        q = prev[q & (dicsiz - 1)];
        s = (int64_t)q - j;
    } while (s > limit);

    if (chain > TOO_MANY)
        hash_too[h] = 1;
}

// Longest match at pos of at least min + 1 bytes (min at least 2).
void search_dict(unsigned h, unsigned pos, int min, Match *m)
{
    m->off = 0;
    m->len = min > 2 ? (unsigned)min : 2;

    if (!hash_too[h]) {
        search_dict_1(h, pos, 0, maxmatch, m);
    } else {
        // Find the first later three-byte group on a quiet chain. A match
        // of j + 3 bytes or more contains the group at pos + j and is on
        // that chain; shorter ones are searched on the own chain.
        unsigned hj = h;
        unsigned j;
        for (j = 1; j <= maxmatch - 4; j++) {
            hj = next_hash(hj, text + pos + j + 2);
            if (!hash_too[hj])
                break;
        }
        if (j <= maxmatch - 4) {
            search_dict_1(hj, pos, j, maxmatch, m);
            if (m->len < j + THRESHOLD)
                search_dict_1(h, pos, 0, j + 2, m);
        } else {
            search_dict_1(h, pos, 0, maxmatch, m);
        }
    }
    // Bytes past the end of the input may continue a match; cut it.
    if (m->len > remainder)
        m->len = remainder;
}

} // namespace

int encode_alloc(int method)
{
    switch (method) {
    case 6:
        dicbit = 15;
        break;
    case 7:
        dicbit = 16;
        break;
    default:
        method = 5;
        dicbit = 13;
        break;
    }
    dicsiz = 1u << dicbit;
    txtsiz = 2 * dicsiz + MAXMATCH;
    maxmatch = MAXMATCH;
    encode_set = {output_st1, encode_start_st1, encode_end_st1};

    if (text != nullptr)
        return method;
    alloc_buf();
    hash_pos = static_cast<uint32_t *>(xmalloc(HSIZE * sizeof(uint32_t)));
    hash_too = static_cast<unsigned char *>(xmalloc(HSIZE));
    prev = static_cast<uint32_t *>(xmalloc(MAX_DICSIZ * sizeof(uint32_t)));
    text = static_cast<unsigned char *>(xmalloc(MAX_TXTSIZ + TEXT_PAD));
    memset(text + MAX_TXTSIZ, 0, TEXT_PAD);
    return method;
}

int64_t encode_bytes_read() { return bytes_read; }

unsigned encode(EncodeRequest *req)
{
    compsize = 0;
    unpackable = 0;
    infile = req->in;
    outfile = req->out;
    origsize = req->origsize;
    bytes_read = 0;

    memset(hash_pos, 0, HSIZE * sizeof(uint32_t));
    memset(hash_too, 0, HSIZE);
    encode_set.encode_start();

    // Before the first input byte the window holds spaces, as the
    // decoder's window does.
    memset(text, ' ', MAX_TXTSIZ);
    unsigned crc = 0;
    remainder = read_input(&crc, text + dicsiz, txtsiz - dicsiz);

    Match m;
    m.len = remainder < 2 ? remainder : 2;
    m.off = 0;

    unsigned pos = dicsiz;
    unsigned h = ((text[pos] << 10) ^ (text[pos + 1] << 5) ^ text[pos + 2]) & HMASK;
    insert_hash(h, pos);

    while (remainder > 0 && !unpackable) {
        unsigned lastlen = m.len;
        unsigned lastoff = m.off;
        next_token(&h, &pos, &crc);
        search_dict(h, pos, (int)lastlen - 1, &m);
        insert_hash(h, pos);

        if (m.len > lastlen || lastlen < THRESHOLD) {
            encode_set.output(text[pos - 1], 0);
        } else {
            encode_set.output(lastlen + (256 - THRESHOLD), (lastoff - 1) & (dicsiz - 1));
            // Insert the positions covered by the match without searching,
            // then search once just past it.
            skip_positions(lastlen - 2, &h, &pos, &crc);
            next_token(&h, &pos, &crc);
            search_dict(h, pos, 2, &m);
            insert_hash(h, pos);
        }
    }

    encode_set.encode_end();
    req->packed = compsize;
    return crc;
}

} // namespace enc
