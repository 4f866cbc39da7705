/*
 * The block decoder of "-lh4-" to "-lh7-" entries, written for the 68000:
 * codes resolve through table lookups, bytes go into the sliding window
 * and leave it a few KB at a time (one Write, one CRC pass), and nothing
 * is called per byte.
 *
 * Packed data: blocks, each a 16-bit symbol count, the t lengths, the c
 * lengths (coded with the t code), the p lengths, then the symbols. A c
 * symbol below 256 is a literal; c >= 256 is a match of c - 253 bytes whose
 * distance class p is followed by p - 1 extra bits; the match starts
 * d + 1 bytes back. Bytes before the start of the entry read as spaces.
 */
#include "sfx_int.h"

#define NC 510          /* c alphabet: 256 literals + 254 match lengths */
#define NT 19           /* t alphabet: codes for the c code lengths */
#define CBIT 9          /* width of the c count field */
#define TBIT 5          /* width of the t count field */
#define CTABLE_BITS 12
#define PTABLE_BITS 8
/* Tree nodes are numbered from the alphabet size up. A sound c code has
 * fewer than NC nodes below its table, so 1024 numbers serve all codes;
 * damaged lengths that would need more get no further nodes. */
#define NODES 1024
#define WALK_LIMIT 32   /* tree steps before a damaged code gives up */
/* Slack past the packed size: an encoder may trim its last byte, and
 * the bit buffer looks a few bytes ahead. */
#define SLACK 4

uint8_t s_window[65536] __attribute__((aligned(4))); /* filled a longword at a time */
static uint8_t s_c_len[NC];
static uint16_t s_c_table[1 << CTABLE_BITS];
static uint8_t s_pt_len[20];
static uint16_t s_pt_table[1 << PTABLE_BITS];
static uint16_t s_left[NODES];
static uint16_t s_right[NODES];
static uint16_t s_crc_table[256];

/* ---- CRC-16/ARC, reflected polynomial 0xA001 ---- */

void crc_init(void)
{
    unsigned i, k;
    for (i = 0; i < 256; i++) {
        uint16_t c = (uint16_t)i;
        for (k = 0; k < 8; k++)
            c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
        s_crc_table[i] = c;
    }
}

uint16_t crc_block(uint16_t crc, const uint8_t *p, uint32_t n)
{
    const uint16_t *t = s_crc_table;
    while (n-- > 0)
        crc = (uint16_t)(t[(crc ^ *p++) & 0xFF] ^ (crc >> 8));
    return crc;
}

/* ---- Bit input ---- */

static void dec_refill(void)
{
    INPUT(in);
    if (!in->past) {
        uint32_t pos = in->rfile - (uint32_t)(in->re - in->rp);
        if (pos < in->dlimit) {
            uint32_t avail;
            if (in->rp == in->re) {
                long got = os_read(in->arc, in->buf, RBUF_SIZE);
                in->rp = in->re = in->buf;
                if (got > 0) {
                    in->re += got;
                    in->rfile += (uint32_t)got;
                }
            }
            avail = (uint32_t)(in->re - in->rp);
            if (avail > in->dlimit - pos)
                avail = in->dlimit - pos;
            if (avail) {
                in->dend = in->rp + avail;
                return;
            }
        }
        in->past = 1;
    } else {
        in->overrun = 1;
    }
    in->rp = in->zero;
    in->dend = in->zero + sizeof in->zero;
}

/* Whether bits past the packed bytes and the slack have been consumed:
 * the bit buffer's nbits bits are the last ones fetched. */
static int overrun(const struct input *in)
{
    return in->past && (in->overrun || (uint32_t)(in->rp - in->zero) * 8 > (uint32_t)in->nbits);
}

/* Tops the bit buffer up to at least 25 valid bits. */
static void fill_bits(struct input *in)
{
    while (in->nbits <= 24) {
        if (in->rp >= in->dend)
            dec_refill();
        in->bitbuf |= (uint32_t)*in->rp++ << (24 - in->nbits);
        in->nbits += 8;
    }
}

/* The next n bits (1 to 16), most significant first. */
static unsigned get_bits(int n)
{
    unsigned v;
    INPUT(in);
    if (in->nbits < n)
        fill_bits(in);
    v = (unsigned)(in->bitbuf >> (32 - n));
    in->bitbuf <<= n;
    in->nbits -= n;
    return v;
}

/* ---- Huffman tables ----
 * Codes are canonical: shorter codes first, and within one length in
 * symbol order. A table indexed by the next `width` bits resolves codes of
 * up to `width` bits at once; longer codes continue in a binary tree whose
 * nodes hang off the table slots. */

static void make_table(unsigned n, const uint8_t *len, int width, uint16_t *table)
{
    uint16_t count[17], next[17];
    unsigned i, j, node = n;
    unsigned size = 1u << width;

    for (i = 0; i <= 16; i++)
        count[i] = 0;
    for (j = 0; j < n; j++)
        if (len[j] <= 16)
            count[len[j]]++;
    next[1] = 0;
    for (i = 1; i < 16; i++)
        next[i + 1] = (uint16_t)(next[i] + (count[i] << (16 - i)));
    for (i = 0; i < size; i++)
        table[i] = 0;

    for (j = 0; j < n; j++) {
        unsigned l = len[j], code, k;
        uint16_t *slot;
        /* lengths above 16 only come from damaged data: such symbols get no code */
        if (l == 0 || l > 16)
            continue;
        code = next[l];
        next[l] = (uint16_t)(code + (1u << (16 - l)));
        k = code >> (16 - width);
        if (l <= (unsigned)width) {
            unsigned end = k + (1u << (width - l));
            for (; k < end && k < size; k++)
                table[k] = (uint16_t)j;
            continue;
        }
        slot = &table[k];
        for (k = l - width; k > 0; k--) {
            if (*slot == 0) {
                if (node >= NODES)
                    break;
                s_left[node] = s_right[node] = 0;
                *slot = (uint16_t)node++;
            }
            slot = ((code >> (k + 15 - l)) & 1) ? &s_right[*slot] : &s_left[*slot];
        }
        *slot = (uint16_t)j;
    }
}

/*
 * One symbol of a code with n symbols. A tree walk that finds no symbol
 * within WALK_LIMIT steps (damaged data only) yields symbol 0.
 */
static unsigned decode_sym(const uint16_t *table, int width, const uint8_t *len, unsigned n)
{
    unsigned j;
    int steps;
    INPUT(in);

    if (in->nbits <= 24)
        fill_bits(in);
    j = table[in->bitbuf >> (32 - width)];
    if (j < n) {
        in->bitbuf <<= len[j];
        in->nbits -= len[j];
        return j;
    }
    in->bitbuf <<= width;
    in->nbits -= width;
    for (steps = 1; j >= n; steps++) {
        unsigned bit = get_bits(1);
        if (steps == WALK_LIMIT || j >= NODES)
            return 0;
        j = bit ? s_right[j] : s_left[j];
    }
    return j;
}

/*
 * A length list of the t or p code: a count, then one length per symbol
 * (3 bits; 7 escapes to a run of 1 bits, at most 16, adding one each).
 * In the t list a 2-bit run of zero lengths follows the third length.
 * A count of 0 means a code of one symbol that takes no bits.
 */
static void read_pt_len(unsigned nn, int nbit, unsigned special)
{
    unsigned n = get_bits(nbit), i;

    if (n == 0) {
        unsigned s = get_bits(nbit);
        for (i = 0; i < nn; i++)
            s_pt_len[i] = 0;
        for (i = 0; i < 256; i++)
            s_pt_table[i] = (uint16_t)s;
        return;
    }
    i = 0;
    while (i < n) {
        unsigned l = get_bits(3);
        if (l == 7)
            while (get_bits(1))
                if (++l == 7 + 16) {
                    get_bits(1);
                    break;
                }
        if (i < nn)
            s_pt_len[i] = (uint8_t)l;
        i++;
        if (i == special) {
            unsigned z = get_bits(2);
            for (; z > 0 && i < n; z--, i++)
                if (i < nn)
                    s_pt_len[i] = 0;
        }
    }
    for (; i < nn; i++)
        s_pt_len[i] = 0;
    make_table(nn, s_pt_len, PTABLE_BITS, s_pt_table);
}

/*
 * The c code lengths, each coded by a t symbol: 3..18 is a length of 1..16,
 * 0 one zero, 1 a run of 3..18 zeros (4 bits), 2 a run of 20..531 zeros
 * (9 bits).
 */
static void read_c_len(void)
{
    unsigned n = get_bits(CBIT), i;

    if (n == 0) {
        unsigned s = get_bits(CBIT);
        for (i = 0; i < NC; i++)
            s_c_len[i] = 0;
        for (i = 0; i < (1u << CTABLE_BITS); i++)
            s_c_table[i] = (uint16_t)s;
        return;
    }
    i = 0;
    while (i < n) {
        unsigned t = decode_sym(s_pt_table, PTABLE_BITS, s_pt_len, NT);
        if (t >= 3) {
            if (i < NC)
                s_c_len[i] = (uint8_t)(t - 2);
            i++;
        } else {
            unsigned run = t == 0 ? 1 : t == 1 ? get_bits(4) + 3 : get_bits(9) + 20;
            /* A run at index 510 (count 511) could not advance: end the list
             * there instead of waiting forever for a length. */
            if (i >= NC)
                break;
            for (; run > 0 && i < n && i < NC; run--)
                s_c_len[i++] = 0;
        }
    }
    for (; i < NC; i++)
        s_c_len[i] = 0;
    make_table(NC, s_c_len, CTABLE_BITS, s_c_table);
}

/* ---- Output: from the window to the file ----
 * Bytes from window index `from` up to `to` (wrapping at the window's
 * end) are written and added to the CRC. */

static uint16_t s_crc;

static int flush(os_fh out, uint32_t from, uint32_t to, uint32_t wsize)
{
    if (to < from) {
        if (!flush(out, from, wsize, wsize))
            return 0;
        from = 0;
    }
    s_crc = crc_block(s_crc, s_window + from, to - from);
    return put_out(out, s_window + from, to - from);
}

enum entry_result decode_entry(os_fh out, int digit)
{
    uint32_t wsize = 65536, size = s_entry.size, produced = 0, pos = 0, done = 0;
    uint32_t mask, chunk, block_left = 0, *w;
    unsigned np = 17;
    int pbit = 5;
    INPUT(in);

    if (digit <= 5) {
        wsize = digit == 4 ? 4096 : 8192;
        np = 14;
        pbit = 4;
    } else if (digit == 6) {
        wsize = 32768;
        np = 16;
    }
    mask = wsize - 1;
    /* written out every few KB; always before the window comes round */
    chunk = wsize / 2 < 4096 ? wsize / 2 : 4096;
    for (w = (uint32_t *)s_window; w < (uint32_t *)(s_window + wsize); w++)
        *w = 0x20202020;

    rd_seek(s_entry.data_pos);
    in->dlimit = s_entry.data_pos + s_entry.packed + SLACK;
    in->dend = in->rp;
    in->past = in->overrun = 0;
    in->bitbuf = 0;
    in->nbits = 0;
    s_crc = 0;

    while (produced < size) {
        unsigned c;

        if (in->past && overrun(in))
            return ENTRY_DAMAGED;
        if (block_left == 0) {
            block_left = get_bits(16);
            read_pt_len(NT, TBIT, 3);
            read_c_len();
            read_pt_len(np, pbit, (unsigned)-1);
        }
        block_left--;
        c = decode_sym(s_c_table, CTABLE_BITS, s_c_len, NC);
        if (c < 256) {
            s_window[pos] = (uint8_t)c;
            pos = (pos + 1) & mask;
            produced++;
        } else {
            unsigned p = decode_sym(s_pt_table, PTABLE_BITS, s_pt_len, np);
            uint32_t from = p, len = c - 253;
            if (p > 1)
                from = (1ul << (p - 1)) + get_bits((int)p - 1);
            from = (pos - from - 1) & mask;
            if (len > size - produced)
                len = size - produced;
            produced += len;
            do {
                s_window[pos] = s_window[from];
                pos = (pos + 1) & mask;
                from = (from + 1) & mask;
            } while (--len);
        }
        if (produced >= s_next_dot)
            progress(produced);
        if (((pos - done) & mask) >= chunk) {
            if (!flush(out, done, pos, wsize))
                return ENTRY_WRITE;
            done = pos;
            if (take_break())
                return ENTRY_BREAK;
        }
    }
    if (!flush(out, done, pos, wsize))
        return ENTRY_WRITE;
    if (overrun(in))
        return ENTRY_DAMAGED;
    return s_crc == s_entry.crc ? ENTRY_OK : ENTRY_CRC;
}
