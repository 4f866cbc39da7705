/*
 * The block decoder of "-lh4-" to "-lh7-" entries, written for the 68000:
 * codes resolve through table lookups, bytes go into the sliding window
 * and leave it 32 KB at a time (one Write, one CRC pass), and nothing is
 * called per byte.
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
/* Symbols of the t and p codes lie below NPT (19 and at most 17); their
 * tree nodes are numbered from NPT up, whatever the alphabet, so that the
 * symbol loop tells a p symbol from a node against a constant. */
#define NPT 20
#define WALK_LIMIT 32   /* tree steps before a damaged code gives up */
/* Slack past the packed size: an encoder may trim its last byte, and
 * the bit buffer looks a few bytes ahead. */
#define SLACK 4

uint8_t s_window[65536] __attribute__((aligned(4))); /* filled a longword at a time */
static uint8_t s_c_len[NC];
/* Tables are filled and cleared a longword (two entries) at a time. */
static uint16_t s_c_table[1 << CTABLE_BITS] __attribute__((aligned(4)));
static uint8_t s_pt_len[20];
static uint16_t s_pt_table[1 << PTABLE_BITS] __attribute__((aligned(4)));
static uint16_t s_left[NODES];
static uint16_t s_right[NODES];
/* The CRC table split into its low and high bytes: the 68000 then works
 * on bytes and never shifts the CRC by 8 (a slow shift on this CPU). */
static uint8_t s_crc_lo[256], s_crc_hi[256];

/* Longwords over tables and the window, which are declared as bytes or
 * words: the type tells the compiler that they alias. */
typedef uint32_t __attribute__((may_alias)) u32_alias;

/* Sets n (>= 1) longwords from p on to v. */
static void fill_longs(u32_alias *p, uint32_t v, uint32_t n)
{
    do
        *p++ = v;
    while (--n);
}

/* ---- CRC-16/ARC, reflected polynomial 0xA001 ---- */

void crc_init(void)
{
    unsigned i, k;
    for (i = 0; i < 256; i++) {
        uint16_t c = (uint16_t)i;
        for (k = 0; k < 8; k++)
            c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
        s_crc_lo[i] = (uint8_t)c;
        s_crc_hi[i] = (uint8_t)(c >> 8);
    }
}

/* crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8), byte-wise: lo and hi are
 * the CRC's two bytes. On the 68000 a byte is five instructions, 44 cycles;
 * the loop runs four bytes a turn so that its dbra (10 cycles) is paid once
 * for four. The CRC of 20 KB is some 150 ms on the A500: as long as
 * writing them out. */
#ifdef __mc68000__
#define CRC_BYTE                               \
    "   move.b (%[p])+,%[i]\n"                 \
    "   eor.b %[lo],%[i]\n"                    \
    "   move.b (%[tlo],%[i].w),%[lo]\n"        \
    "   eor.b %[hi],%[lo]\n"                   \
    "   move.b (%[thi],%[i].w),%[hi]\n"
#define CRC_LOOP(body)                                                              \
    __asm__ volatile("subq.w #1,%[k]\n1:\n" body "   dbra %[k],1b"                 \
                     : [p] "+a"(p), [i] "+d"(i), [lo] "+d"(lo), [hi] "+d"(hi), [k] "+d"(k) \
                     : [tlo] "a"(tlo), [thi] "a"(thi)                                \
                     : "cc", "memory")
#endif

uint16_t crc_block(uint16_t crc, const uint8_t *p, uint32_t n)
{
    uint32_t lo = crc & 0xFF, hi = crc >> 8;
    const uint8_t *tlo = s_crc_lo, *thi = s_crc_hi;
#ifdef __mc68000__
    uint32_t i = 0; /* its upper 24 bits stay 0: an index into the tables */
    /* dbra counts 16 bits: at most 65536 turns at a time */
    while (n >= 4) {
        uint32_t k = n >> 2 > 65536 ? 65536 : n >> 2;
        n -= k << 2;
        CRC_LOOP(CRC_BYTE CRC_BYTE CRC_BYTE CRC_BYTE);
    }
    if (n > 0) {
        uint32_t k = n;
        CRC_LOOP(CRC_BYTE);
    }
#else
    while (n-- > 0) {
        uint32_t i = lo ^ *p++;
        lo = hi ^ tlo[i];
        hi = thi[i];
    }
#endif
    return (uint16_t)((lo & 0xFF) | (hi & 0xFF) << 8);
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
__attribute__((noinline)) static void fill_bits(struct input *in)
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
    unsigned i, j, node = n < NPT ? NPT : n;
    unsigned size = 1u << width;

    for (i = 0; i <= 16; i++)
        count[i] = 0;
    for (j = 0; j < n; j++)
        if (len[j] <= 16)
            count[len[j]]++;
    next[1] = 0;
    for (i = 1; i < 16; i++)
        next[i + 1] = (uint16_t)(next[i] + (count[i] << (16 - i)));
    fill_longs((u32_alias *)table, 0, size / 2);

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
            /* 2^(width - l) slots from k, a multiple of their count (code
             * is a multiple of 2^(16 - l)): from two slots on k is even
             * and the run ends within the table. */
            unsigned run = 1u << (width - l);
            if (run == 1)
                table[k] = (uint16_t)j;
            else
                fill_longs((u32_alias *)&table[k], j | (uint32_t)j << 16, run / 2);
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
__attribute__((noinline)) static void read_pt_len(unsigned nn, int nbit, unsigned special)
{
    unsigned n = get_bits(nbit), i;

    if (n == 0) {
        unsigned s = get_bits(nbit);
        /* a symbol outside the alphabet (damaged data) becomes symbol 0 */
        if (s >= nn)
            s = 0;
        for (i = 0; i < NPT; i++)
            s_pt_len[i] = 0;
        fill_longs((u32_alias *)s_pt_table, s | (uint32_t)s << 16, 256 / 2);
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
    for (; i < NPT; i++)
        s_pt_len[i] = 0;
    make_table(nn, s_pt_len, PTABLE_BITS, s_pt_table);
}

/*
 * The c code lengths, each coded by a t symbol: 3..18 is a length of 1..16,
 * 0 one zero, 1 a run of 3..18 zeros (4 bits), 2 a run of 20..531 zeros
 * (9 bits).
 */
__attribute__((noinline)) static void read_c_len(void)
{
    unsigned n = get_bits(CBIT), i;

    if (n == 0) {
        unsigned s = get_bits(CBIT);
        for (i = 0; i < NC; i++)
            s_c_len[i] = 0;
        fill_longs((u32_alias *)s_c_table, s | (uint32_t)s << 16, (1u << CTABLE_BITS) / 2);
        return;
    }
    i = 0;
    while (i < n) {
        unsigned t;
        INPUT(in);
        /* a length is a table lookup nearly always: no call for it */
        if (in->nbits <= 24)
            fill_bits(in);
        t = s_pt_table[in->bitbuf >> (32 - PTABLE_BITS)];
        if (t < NPT) {
            in->bitbuf <<= s_pt_len[t];
            in->nbits -= s_pt_len[t];
        } else {
            t = decode_sym(s_pt_table, PTABLE_BITS, s_pt_len, NPT);
        }
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

/*
 * The symbol loop keeps the bit buffer in registers (bb, nb) and resolves
 * codes by table inline; block heads, tree walks and refills go through the
 * functions above, with the buffer handed over in `in`. Bytes go to the
 * window through wp. Progress dots, writing out, Ctrl+C and the check for
 * data that ended early all wait for the byte count `event`: `left` counts
 * down to it, so a token costs one test for all of them.
 */
#define SYNC() (in->bitbuf = bb, in->nbits = nb, in->rp = rp)
#define LOAD() (bb = in->bitbuf, nb = in->nbits, rp = in->rp, dend = in->dend)
/* At least 17 bits in bb: enough for a table code and the extra bits of
 * a distance. Two bytes at a time where the buffer holds them. */
#define FILL()                                                                  \
    if (nb <= 16) {                                                             \
        if (dend - rp >= 2) {                                                   \
            bb |= (uint32_t)(rp[0] << 8 | rp[1]) << (16 - nb);                  \
            rp += 2;                                                            \
            nb += 16;                                                           \
        } else {                                                                \
            SYNC();                                                             \
            fill_bits(in);                                                      \
            LOAD();                                                             \
        }                                                                       \
    }
/* A symbol of the code with table `tab` (`width` bits), lengths `len`,
 * n symbols, into `sym`. */
#define SYMBOL(sym, tab, width, len, n)                                         \
    do {                                                                        \
        FILL();                                                                 \
        sym = tab[bb >> (32 - (width))];                                        \
        if (sym < (n)) {                                                        \
            bb <<= len[sym];                                                    \
            nb -= len[sym];                                                     \
        } else {                                                                \
            SYNC();                                                             \
            sym = decode_sym(tab, width, len, n);                               \
            LOAD();                                                             \
        }                                                                       \
    } while (0)

enum entry_result decode_entry(os_fh out, int digit)
{
    uint32_t wsize = 65536, size = s_entry.size, produced = 0, done = 0;
    uint32_t chunk, event = 0, *w, bb = 0;
    int32_t left = 0;
    uint8_t *win = s_window, *wp = win, *wend;
    /* The two counters tested at every symbol (block_left, left) must stay
     * in registers; gcc spilled one of them to the stack (a memory test and
     * a memory decrement per symbol) while np and pbit, needed once per
     * match or block, held registers. Hence the pinned register and the
     * volatile pair, kept in memory. */
#ifdef __mc68000__
    register uint32_t block_left __asm__("d7") = 0;
#else
    uint32_t block_left = 0;
#endif
    volatile unsigned np = 17;
    volatile int pbit = 5;
    int nb = 0;
    /* the read position and its end, in registers like the bit buffer */
    uint8_t *rp, *dend;
    INPUT(in);

    /* wsize is first the method's window (how far back a match reaches) */
    if (digit <= 5) {
        wsize = digit == 4 ? 4096 : 8192;
        np = 14;
        pbit = 4;
    } else if (digit == 6) {
        wsize = 32768;
        np = 16;
    }
    /*
     * Every method decodes in the whole 64 KB buffer and writes half of it
     * at a time: on the emulated A500 a Write costs over 10 ms whatever
     * its length (ten one-byte progress dots cost about 140 ms), and 4 KB
     * pieces made a 20 KB entry some 80 ms slower than one piece. A match reaches back at most the
     * method's window, so before the buffer comes round only its last
     * wsize bytes can be read: those are the spaces before the entry.
     */
    wend = win + sizeof s_window;
    chunk = sizeof s_window / 2;
    for (w = (uint32_t *)(wend - wsize); w < (uint32_t *)wend; w++)
        *w = 0x20202020;
    wsize = sizeof s_window;

    rd_seek(s_entry.data_pos);
    in->dlimit = s_entry.data_pos + s_entry.packed + SLACK;
    in->dend = in->rp;
    in->past = in->overrun = 0;
    s_crc = 0;
    rp = in->rp; /* the bit buffer starts empty: bb and nb are 0 */
    dend = in->dend;

    for (;;) {
        unsigned c;

        if (left <= 0) {
            produced = event - (uint32_t)left;
            if (in->past && (SYNC(), overrun(in)))
                return ENTRY_DAMAGED;
            if (produced >= s_next_dot)
                progress(produced);
            if (produced - done >= chunk || produced >= size) {
                if (!flush(out, (uint32_t)(done & (wsize - 1)), (uint32_t)(wp - win), wsize))
                    return ENTRY_WRITE;
                done = produced;
                if (produced >= size)
                    break;
                show_progress();
                if (take_break())
                    return ENTRY_BREAK;
            }
            event = done + chunk < s_next_dot ? done + chunk : s_next_dot;
            if (event > size)
                event = size;
            if (in->past)
                event = produced + 1; /* check every token from here on */
            left = (int32_t)(event - produced);
        }
        if (block_left == 0) {
            SYNC();
            block_left = get_bits(16);
            read_pt_len(NT, TBIT, 3);
            read_c_len();
            read_pt_len(np, pbit, (unsigned)-1);
            LOAD();
        }
        block_left--;
        SYMBOL(c, s_c_table, CTABLE_BITS, s_c_len, NC);
        if (c < 256) {
            *wp++ = (uint8_t)c;
            if (wp == wend)
                wp = win;
            left--;
        } else {
            unsigned p;
            uint32_t d, len = c - 253;
            uint8_t *from;
            SYMBOL(p, s_pt_table, PTABLE_BITS, s_pt_len, NPT);
            d = p;
            if (p > 1) {
                FILL();
                /* a 1 in front of the p - 1 extra bits: two shifts fewer
                 * than 1 << (p - 1) added to them */
                d = (bb >> 1 | 0x80000000ul) >> (32 - p);
                bb <<= p - 1;
                nb -= p - 1;
            }
            /* the match is cut at the entry's size; only a match that
             * passes the next event can reach it */
            if ((int32_t)len > left && len > size - event + (uint32_t)left)
                len = size - event + (uint32_t)left;
            left -= (int32_t)len;
            /* by offsets in the window: a pointer stepped back across its
             * start would wrap below address 0 where the window lies low */
            from = win + (((uint32_t)(wp - win) - d - 1) & (wsize - 1));
            if (from + len <= wend && wp + len < wend) {
                if (len >= 8 && d >= 3 && !(((uintptr_t)from ^ (uintptr_t)wp) & 1)) {
                    /* Source and destination both even or both odd: after
                     * one byte both are even, and the 68000 moves longwords
                     * at even addresses, 5 cycles a byte. A distance of 4 or
                     * more reads only bytes already written. */
                    uint32_t n4;
                    if ((uintptr_t)wp & 1) {
                        *wp++ = *from++;
                        len--;
                    }
                    n4 = len >> 2;
                    len &= 3;
#ifdef __mc68000__
                    n4--;
                    __asm__ volatile("1: move.l (%[s])+,(%[d])+\n"
                                     "   dbra %[n],1b"
                                     : [s] "+a"(from), [d] "+a"(wp), [n] "+d"(n4)
                                     :
                                     : "cc", "memory");
#else
                    /* bytes here: the host's checks want aligned longwords */
                    for (n4 *= 4; n4 > 0; n4--)
                        *wp++ = *from++;
#endif
                    if (len == 0)
                        continue;
                }
#ifdef __mc68000__
                /* 22 cycles a byte; gcc's indexed loop took 48 */
                len--;
                __asm__ volatile("1: move.b (%[s])+,(%[d])+\n"
                                 "   dbra %[n],1b"
                                 : [s] "+a"(from), [d] "+a"(wp), [n] "+d"(len)
                                 :
                                 : "cc", "memory");
#else
                do
                    *wp++ = *from++;
                while (--len);
#endif
            } else {
                do {
                    *wp++ = *from++;
                    if (wp == wend)
                        wp = win;
                    if (from == wend)
                        from = win;
                } while (--len);
            }
        }
    }
    progress(produced);
    SYNC();
    if (overrun(in))
        return ENTRY_DAMAGED;
    return s_crc == s_entry.crc ? ENTRY_OK : ENTRY_CRC;
}
