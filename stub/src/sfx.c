/*
 * The self-extractor for AmigaOS on the 68000.
 *
 * The program's own file carries an LZH archive of level-2 headers inside
 * its data hunk; the data hunk's fourth longword holds the file offset at
 * which that archive begins. The extractor opens its own file, walks the
 * entries and writes every one into the current directory: directories are
 * created, stored entries copied, -lh5-, -lh6- and -lh7- entries decoded,
 * each file checked against the CRC-16 in its header.
 *
 * Everything is sized for a plain 68000 with little memory: all tables live
 * in static storage (the BSS hunk), packed bytes come through a 512-byte read
 * buffer, the CRC is computed bit by bit without a table, and no division
 * other than the operating system's is needed.
 */
#include "sfx.h"
#include "os.h"

/* Texts of the banner; the pointers live in the data block below. */
static const char s_title[] = "TAMBRIX SFX -- 68000 compatible self-extracting archive\n";
static const char s_credit1[] = "Packed by TAMBRIX, the LZH archiver that speaks AmigaOS.\n";
static const char s_notes[] =
    "Note: this extractor favors maximum 68000 compatibility\n"
    "      over raw speed -- extraction may take a while.\n"
    "Note: Ctrl+C works only when run from Shell/CLI.\n";
static const char s_credit2[] = "Unpacker in plain C for Kickstart 2.0 and up, no FPU, no MMU.\n";
static const char s_dos_name[] = "dos.library";
static const char s_utility_name[] = "utility.library";

/*
 * The data block. The placeholder must be its fourth longword and the first
 * DE AD BE EF in the whole image, so the value appears only here, as data.
 */
struct sfx_data sfx_data = {
    {s_dos_name, s_utility_name},
    s_title,
    {0xDE, 0xAD, 0xBE, 0xEF},
    {s_credit1, s_credit2},
    s_notes,
    "TAMBRIX SFX 1.0",
};

/* ---- Decoder tables (see the block format below) ---- */

#define NC 510          /* c alphabet: 256 literals + 254 match lengths */
#define NT 19           /* t alphabet: codes for the c code lengths */
#define CBIT 9          /* width of the c count field */
#define TBIT 5          /* width of the t count field */
#define CTABLE_BITS 12
#define PTABLE_BITS 8
#define MAX_NODE 4094   /* highest tree node number */
#define WALK_LIMIT 32   /* tree steps before a damaged code gives up */

static uint8_t s_window[65536];
static uint8_t s_c_len[NC];
static uint16_t s_c_table[1 << CTABLE_BITS];
static uint8_t s_pt_len[20];
static uint16_t s_pt_table[1 << PTABLE_BITS];
static uint16_t s_left[4096];
static uint16_t s_right[4096];

static uint32_t s_bitbuf;   /* unread bits, the next one in bit 31 */
static int s_nbits;         /* valid bits in s_bitbuf */
static uint32_t s_block_left; /* c symbols left in the current block */

/*
 * One 512-byte scratch area serves three users that never overlap in time:
 * the program name (only until the own file is open), the data of one
 * extended header (while a header is read) and the read buffer for packed
 * bytes (while an entry's data is read).
 */
static union {
    char self[256];
    uint8_t ext[512];
    uint8_t rbuf[512];
} s_scratch;
static int s_rfill;         /* bytes in the read buffer */
static int s_rpos;          /* next byte of the read buffer */

/* ---- Per-run and per-entry state ---- */

static os_fh s_out;         /* message stream */
static os_fh s_arc;         /* our own file */
static int s_errors;        /* failed entries, plus one for a break */
static int s_overwrite_all; /* answer A */
static int s_skip_all;      /* answer N */
static int s_dots;          /* progress tenths shown for the entry */
static uint16_t s_crc;

static uint32_t s_packed;   /* packed size */
static uint32_t s_size;     /* uncompressed size */
static int s_method;        /* digit of "-lh?-", 0 for anything else */
static uint16_t s_entry_crc;
static int s_is_dir;
static uint32_t s_data_pos; /* file position of the packed data */
static char s_name[256];    /* the name as stored in the archive */
static char s_outname[256]; /* the name with '/' for '\', cut to 254 */

/* ---- Small helpers (no C library here) ---- */

static uint32_t str_len(const char *s)
{
    const char *p = s;
    while (*p)
        p++;
    return (uint32_t)(p - s);
}

/* Every message is written and flushed at once. */
static void say(const char *s)
{
    os_write(s_out, s, (long)str_len(s));
    os_flush(s_out);
}

static int read_arc(void *buf, long n)
{
    return os_read(s_arc, buf, n) == n;
}

static uint32_t get_le16(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t get_le32(const uint8_t *p)
{
    return get_le16(p) | get_le16(p + 2) << 16;
}

static uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* CRC-16/ARC, reflected polynomial 0xA001, one bit at a time. */
static void crc_add(const uint8_t *p, long n)
{
    uint16_t crc = s_crc;
    while (n-- > 0) {
        int k;
        crc ^= *p++;
        for (k = 0; k < 8; k++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    s_crc = crc;
}

/* ---- Bit input ----
 * Packed bytes come from the own file through the read buffer. Reading may
 * run past the entry into whatever follows; past the end of the file zero
 * bits are supplied. After each entry the file is positioned explicitly, so
 * read-ahead is never used for anything else. */

static unsigned next_byte(void)
{
    if (s_rpos >= s_rfill) {
        long got = os_read(s_arc, s_scratch.rbuf, 512);
        s_rpos = 0;
        s_rfill = got > 0 ? (int)got : 0;
        if (s_rfill == 0)
            return 0;
    }
    return s_scratch.rbuf[s_rpos++];
}

/* Tops the bit buffer up to at least 25 valid bits. */
static void fill_bits(void)
{
    while (s_nbits <= 24) {
        s_bitbuf |= (uint32_t)next_byte() << (24 - s_nbits);
        s_nbits += 8;
    }
}

static void drop_bits(int n)
{
    s_bitbuf <<= n;
    s_nbits -= n;
}

/* The next n bits (1 to 16), most significant first. */
static unsigned get_bits(int n)
{
    unsigned v;
    if (s_nbits < n)
        fill_bits();
    v = (unsigned)(s_bitbuf >> (32 - n));
    drop_bits(n);
    return v;
}

/* ---- Huffman tables ----
 * Codes are canonical: shorter codes first, and within one length in
 * symbol order. A table indexed by the next `width` bits resolves codes of
 * up to `width` bits at once; longer codes continue in a binary tree whose
 * nodes (numbered from the alphabet size up) hang off the table slots. */

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
                if (node > MAX_NODE)
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

    if (s_nbits <= 24)
        fill_bits();
    j = table[s_bitbuf >> (32 - width)];
    if (j < n) {
        drop_bits(len[j]);
        return j;
    }
    drop_bits(width);
    for (steps = 1; j >= n; steps++) {
        unsigned bit = get_bits(1);
        if (steps == WALK_LIMIT)
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

/* ---- Block decoder ----
 * A block: 16-bit symbol count, the t lengths, the c lengths, the p lengths,
 * then the symbols. A c symbol below 256 is a literal; c >= 256 is a match of
 * c - 253 bytes whose distance class p is followed by p - 1 extra bits; the
 * match starts d + 1 bytes back. Every byte produced goes to the window, the
 * CRC and the file (one write per byte, as small code matters more here
 * than speed). */

static void decode_entry(os_fh out)
{
    uint32_t mask, produced = 0;
    unsigned np = 17;
    int pbit = 5;

    if (s_method == 5) {
        mask = 8192 - 1;
        np = 14;
        pbit = 4;
    } else if (s_method == 6) {
        mask = 32768 - 1;
        np = 16;
    } else {
        mask = 65536 - 1;
    }
    for (produced = 0; produced <= mask; produced++)
        s_window[produced] = ' ';
    produced = 0;
    s_bitbuf = 0;
    s_nbits = 0;
    s_rfill = s_rpos = 0;
    s_block_left = 0;
    s_crc = 0;
    s_dots = 0;

    while (produced < s_size) {
        uint32_t len = 1, from = 0, q;
        unsigned c;

        if (s_block_left == 0) {
            s_block_left = get_bits(16);
            read_pt_len(NT, TBIT, 3);
            read_c_len();
            read_pt_len(np, pbit, (unsigned)-1);
        }
        s_block_left--;
        c = decode_sym(s_c_table, CTABLE_BITS, s_c_len, NC);
        if (c >= 256) {
            unsigned p = decode_sym(s_pt_table, PTABLE_BITS, s_pt_len, np);
            uint32_t d = p;
            if (p > 1)
                d = (1ul << (p - 1)) + get_bits((int)p - 1);
            len = c - 253;
            if (len > s_size - produced)
                len = s_size - produced;
            from = produced - 1 - d;
        }
        while (len-- > 0) {
            uint8_t b = c < 256 ? (uint8_t)c : s_window[from++ & mask];
            s_window[produced & mask] = b;
            crc_add(&b, 1);
            os_write(out, &b, 1);
            produced++;
        }
        /* progress: one dot per tenth, at most one per literal or match */
        q = os_udiv(10 * produced, s_size);
        if (q > (uint32_t)s_dots) {
            say(".");
            s_dots = (int)q;
        }
    }
}

/* Stored entry: copies the packed bytes in 512-byte pieces. */
static void copy_stored(os_fh out)
{
    uint32_t left = s_packed;
    s_crc = 0;
    while (left > 0) {
        long n = left > 512 ? 512 : (long)left;
        long got = os_read(s_arc, s_scratch.rbuf, n);
        if (got <= 0)
            break;
        crc_add(s_scratch.rbuf, got);
        os_write(out, s_scratch.rbuf, got);
        left -= (uint32_t)got;
    }
}

/* ---- Headers ----
 * Level-2 header: size (2), method "-lh?-" (5), packed size (4),
 * uncompressed size (4), time (4), attribute (1), level (1), CRC-16 (2),
 * OS id (1), then extended headers, each: size (2, counting the type byte
 * and the next size), type (1), data. Type 1 is the file name, type 2 a
 * directory name. A size of 0 ends the list. */

#define EXT_LIMIT 100

/* Reads the header whose first two bytes are `first`; 0 at the end. */
static int read_header(const uint8_t *first)
{
    uint8_t h[24];
    uint8_t sz[2];
    uint32_t s, count = 0;
    int i;

    if (first[0] == 0 && first[1] == 0)
        return 0;
    if (!read_arc(h + 2, 22))
        return 0;
    s_packed = get_le32(h + 7);
    s_size = get_le32(h + 11);
    s_method = 0;
    if (h[2] == '-' && h[3] == 'l' && h[4] == 'h' && h[6] == '-')
        s_method = h[5] - '0';
    s_entry_crc = (uint16_t)get_le16(h + 21);

    if (!read_arc(sz, 2))
        return 0;
    s = get_le16(sz);
    s_name[0] = 0;
    s_is_dir = 0;
    while (s != 0) {
        uint32_t d = s > 3 ? s - 3 : 0, keep = d > 511 ? 511 : d;
        uint8_t type;
        if (count++ == EXT_LIMIT) {
            say("SFX: ext loop safety!\n");
            return 0;
        }
        if (!read_arc(&type, 1) || !read_arc(s_scratch.ext, (long)keep))
            return 0;
        /* longer extended headers are never written by the builder; their
         * excess is skipped so the next size is read from the right place */
        if (d > keep && os_seek(s_arc, (long)(d - keep), OS_SEEK_CURRENT) < 0)
            return 0;
        if (!read_arc(sz, 2))
            return 0;
        if ((type == 1 || type == 2) && s_name[0] == 0 && d > 0) {
            uint32_t k = d > 255 ? 255 : d;
            for (i = 0; i < (int)k; i++)
                s_name[i] = (char)s_scratch.ext[i];
            s_name[k] = 0;
            if (type == 2 || s_name[k - 1] == '/')
                s_is_dir = 1;
        }
        s = get_le16(sz);
    }
    s_data_pos = (uint32_t)os_seek(s_arc, 0, OS_SEEK_CURRENT);

    /* Ctrl+C is polled once per entry, here. */
    if (os_take_break()) {
        say("\n*** Break ***\n");
        s_errors++;
        return 0;
    }

    for (i = 0; i < 254 && s_name[i]; i++)
        s_outname[i] = s_name[i] == '\\' ? '/' : s_name[i];
    s_outname[i] = 0;
    return 1;
}

/* ---- Writing entries ---- */

/*
 * On AmigaOS "NAME:" is a device or volume, a leading '/' is the parent
 * directory and every '/' right after another goes one more level up.
 * Such names would write outside the current directory.
 */
static int name_leaves_dir(const char *name)
{
    const char *p;
    if (name[0] == '/')
        return 1;
    for (p = name; *p; p++)
        if (*p == ':' || (*p == '/' && p[1] == '/'))
            return 1;
    return 0;
}

static void make_dir(const char *path)
{
    os_fh lock = os_lock(path);
    if (!lock)
        lock = os_create_dir(path);
    if (lock)
        os_unlock(lock);
}

/*
 * Creates the directories leading to `name`, and `name` itself when
 * `whole` is set. Each prefix ending before a '/' is tried in turn.
 */
static void make_dirs(char *name, int whole)
{
    char *p;
    if (!name[0])
        return;
    for (p = name + 1; *p; p++)
        if (*p == '/') {
            *p = 0;
            make_dir(name);
            *p = '/';
        }
    if (whole && p[-1] != '/')
        make_dir(name);
}

static int file_exists(const char *name)
{
    os_fh fh = os_open(name, OS_MODE_OLDFILE);
    if (!fh)
        return 0;
    os_close(fh);
    return 1;
}

/* The overwrite prompt; 1 when the file is to be written. */
static int ask_overwrite(void)
{
    os_fh in = os_input();
    char c, rest;
    long got;

    say("  overwrite ");
    say(s_outname);
    say("? [y]es [n]o [A]ll [N]one: ");
    if (!in) {
        say("\n");
        return 0;
    }
    got = os_read(in, &c, 1);
    if (got == 1 && c == '\n') {
        say("\n");
        return 0;
    }
    if (got != 1)
        c = 'n';
    else
        while (os_read(in, &rest, 1) == 1 && rest != '\n')
            ;
    say("\n");
    if (c == 'A') {
        s_overwrite_all = 1;
        return 1;
    }
    if (c == 'N') {
        s_skip_all = 1;
        return 0;
    }
    return c == 'y' || c == 'Y';
}

static void handle_entry(void)
{
    os_fh out;

    if (name_leaves_dir(s_outname)) {
        say("SFX: Skipped, name leaves the current directory: ");
        say(s_outname);
        say("\n");
        s_errors++;
        return;
    }
    if (s_is_dir) {
        make_dirs(s_outname, 1);
        return;
    }
    if (s_size == 0)
        return;
    make_dirs(s_outname, 0);
    if (!s_overwrite_all && file_exists(s_outname))
        if (s_skip_all || !ask_overwrite())
            return;
    out = os_open(s_outname, OS_MODE_NEWFILE);
    if (!out) {
        say("SFX: Cannot create: ");
        say(s_outname);
        say("\n");
        s_errors++;
        return;
    }
    if (s_method == 0) {
        copy_stored(out);
        os_close(out);
        if (s_crc == s_entry_crc) {
            say("  extracted: ");
        } else {
            say("  CRC ERROR: ");
            s_errors++;
        }
        say(s_name);
        say("\n");
        return;
    }
    say("  extracting: ");
    say(s_outname);
    say("   ");
    say("[");
    decode_entry(out);
    say("]");
    os_close(out);
    if (s_crc == s_entry_crc) {
        say(" OK\n");
    } else {
        say(" CRC ERROR\n");
        s_errors++;
    }
}

int sfx_main(void)
{
    uint8_t two[2];

    s_errors = s_overwrite_all = s_skip_all = 0;
    s_out = os_output();
    s_scratch.self[0] = 0;
    if (!os_program_name(s_scratch.self, 256) || !s_scratch.self[0]) {
        say("SFX: Cannot find self name\n");
        return 20;
    }
    say(sfx_data.title);
    say(sfx_data.credit[0]);
    say(sfx_data.notes);
    say(sfx_data.credit[1]);
    say("\n");

    s_arc = os_open(s_scratch.self, OS_MODE_OLDFILE);
    if (!s_arc) {
        say("SFX: Cannot open self\n");
        return 20;
    }
    if (os_seek(s_arc, (long)get_be32(sfx_data.arc_offset), OS_SEEK_BEGIN) >= 0) {
        while (read_arc(two, 2) && read_header(two)) {
            handle_entry();
            /* the next header starts right after the packed data, whatever
             * was read ahead for this entry */
            if (os_seek(s_arc, (long)(s_data_pos + s_packed), OS_SEEK_BEGIN) < 0)
                break;
        }
    }
    os_close(s_arc);
    say("\nDone.\n");
    return s_errors ? 5 : 0;
}
