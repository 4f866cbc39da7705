/*
 * The self-extractor for AmigaOS on the 68000.
 *
 * The program's own file carries an LZH archive of level-2 headers inside
 * its data hunk; the data hunk's fourth longword holds the file offset at
 * which that archive begins. The extractor opens its own file through
 * PROGDIR:, walks the entries and writes every one into the current
 * directory: directories are created, stored entries copied, "-lh4-" to
 * "-lh7-" entries decoded, each file checked against the CRC-16 in its
 * header.
 *
 * Nothing is lost and nothing false is reported: a file is unpacked under
 * a temporary name beside its target and put in place only once its CRC
 * matched, so a damaged entry, a full disk or Ctrl+C leaves an existing
 * file as it was and no partial file behind; every failure is reported and
 * makes the return code 5.
 *
 * Everything is sized for a plain 68000 with little memory: all tables
 * live in static storage (the BSS hunk) and nothing is allocated.
 */
#include "sfx.h"
#include "sfx_int.h"

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

/* ---- Per-run state ---- */

static struct run {
    os_fh out;              /* message stream */
    int errors;             /* failed entries, damage, a break */
    int overwrite_all;      /* answer A */
    int skip_all;           /* answer N */
    int dots;               /* progress tenths shown for the entry */
    int line_len;           /* bytes in `line` */
    char line[120];         /* message text not yet written */
    uint32_t tenth, tenth_rem; /* the entry's size / 10 and % 10 */
    char self[8 + 256];     /* "PROGDIR:" and the program's file name */
    char outname[256];      /* the name with '/' for '\', cut to 254 */
    char tmpname[256 + 16]; /* the temporary beside it */
} s_run;
/* Absolute addresses come out smaller than a base register here. */
#define RUN(p) struct run *const p = &s_run

uint32_t s_next_dot;

/* ---- Messages ----
 * Text is gathered into a line and written with one Write and a Flush at
 * each line feed, and where the user must see it at once: before an
 * entry's progress, with each piece of an entry written, before an answer
 * is read. (Each call
 * costs the 68000 milliseconds; one per byte was what made the old
 * extractor crawl.) */

/* Writes out what the line holds. */
static void show(void)
{
    RUN(r);
    if (r->line_len) {
        os_write(r->out, r->line, r->line_len);
        os_flush(r->out);
        r->line_len = 0;
    }
}

static void put(char c)
{
    RUN(r);
    if (r->line_len == (int)sizeof r->line)
        show();
    r->line[r->line_len++] = c;
    if (c == '\n')
        show();
}

void say(const char *s)
{
    while (*s)
        put(*s++);
}

/*
 * A name from the archive, with control bytes written as a backslash and
 * three octal digits: those below 0x20 and 0x7F, and 0x80 to 0x9F, among
 * them 0x9B, which the Amiga console takes as the start of a command.
 */
static void say_name(const char *s)
{
    for (; *s; s++) {
        uint8_t c = (uint8_t)*s;
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            put('\\');
            put((char)('0' + (c >> 6)));
            put((char)('0' + ((c >> 3) & 7)));
            c = (uint8_t)('0' + (c & 7));
        }
        put((char)c);
    }
}

/* "SFX: <what><name>\n", counted as a failure. */
static void fail(const char *what, const char *name)
{
    RUN(r);
    say("SFX: ");
    say(what);
    say_name(name);
    say("\n");
    r->errors++;
}

/* ---- Services for the decoder ---- */

int put_out(os_fh out, const uint8_t *p, uint32_t n)
{
    return n == 0 || os_write(out, p, (long)n) == (long)n;
}

void show_progress(void)
{
    show();
}

int take_break(void)
{
    return os_take_break();
}

/* The least count of bytes for which 10 * count / size reaches k. */
static uint32_t dot_threshold(int k)
{
    RUN(r);
    uint32_t x = (uint32_t)k * r->tenth_rem + 9, up = 0;
    while (x >= 10) {
        x -= 10;
        up++;
    }
    return (uint32_t)k * r->tenth + up;
}

/* One dot per tenth of the entry, at most one per call (a literal or a
 * match), as many tenths as were passed. The dot joins the line and
 * appears with the next piece of the file (show_progress) or with the end
 * of the line: a Write of its own costs the A500 about 8 ms, ten of them
 * more than decoding 1 KB. */
void progress(uint32_t produced)
{
    RUN(r);
    int q = r->dots;
    while (q < 10 && produced >= dot_threshold(q + 1))
        q++;
    if (q > r->dots) {
        put('.');
        r->dots = q;
    }
    s_next_dot = r->dots < 10 ? dot_threshold(r->dots + 1) : 0xFFFFFFFFul;
}

static void progress_start(void)
{
    RUN(r);
    ENTRY(e);
    r->dots = 0;
    r->tenth = os_udiv(e->size, 10);
    r->tenth_rem = e->size - r->tenth * 10;
    s_next_dot = dot_threshold(1);
}

/* ---- Names and directories ---- */

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

/* An object held with an exclusive lock by another program exists too. */
static int exists(const char *name)
{
    os_fh lock = os_lock(name);
    if (!lock)
        return os_lock_busy();
    os_unlock(lock);
    return 1;
}

static int make_dir(const char *path)
{
    os_fh lock = os_lock(path);
    if (!lock)
        lock = os_create_dir(path);
    if (!lock)
        return 0;
    os_unlock(lock);
    return 1;
}

/*
 * Creates the directories leading to `name`, and `name` itself when
 * `whole` is set. Each prefix ending before a '/' is tried in turn.
 * Returns 0 when one cannot be made.
 */
static int make_dirs(char *name, int whole)
{
    char *p;
    int ok = 1;
    if (!name[0])
        return 1;
    for (p = name + 1; *p; p++)
        if (*p == '/') {
            *p = 0;
            ok = make_dir(name);
            *p = '/';
            if (!ok)
                return 0;
        }
    if (whole && p[-1] != '/')
        ok = make_dir(name);
    return ok;
}

/* A letter in upper case, ISO-8859-1 included: AmigaOS compares names
 * without regard to case. */
static uint8_t upper(uint8_t c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c != 0xF7 && c != 0xFF))
        c -= 0x20;
    return c;
}

static int same_name(const char *a, const char *b)
{
    while (upper((uint8_t)*a) == upper((uint8_t)*b++))
        if (!*a++)
            return 1;
    return 0;
}

/* A free name "tmbsfxNN.tmp" in the directory of the output name: one that
 * exists (even held by another program) or that names the output file
 * itself is passed over. */
static int make_tmpname(void)
{
    RUN(r);
    uint32_t i, dir = 0, k;
    for (i = 0; r->outname[i]; i++) {
        r->tmpname[i] = r->outname[i];
        if (r->outname[i] == '/')
            dir = i + 1;
    }
    for (k = 0; k < 100; k++) {
        static const char name[] = "tmbsfx00.tmp";
        char *p = r->tmpname + dir;
        for (i = 0; i < sizeof name; i++)
            p[i] = name[i];
        /* the two digits, without a division */
        for (i = k; i >= 10; i -= 10)
            p[6]++;
        p[7] = (char)(p[7] + i);
        if (!same_name(r->tmpname, r->outname) && !exists(r->tmpname))
            return 1;
    }
    return 0;
}

/* ---- The overwrite prompt; 1 when the file is to be written ---- */

static int ask_overwrite(void)
{
    RUN(r);
    os_fh in = os_input();
    char c, rest;
    long got;

    say("  overwrite ");
    say_name(r->outname);
    say("? [y]es [n]o [A]ll [N]one: ");
    show();
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
        r->overwrite_all = 1;
        return 1;
    }
    if (c == 'N') {
        r->skip_all = 1;
        return 0;
    }
    return c == 'y' || c == 'Y';
}

/* ---- Entries ---- */

/* 0 for a stored entry, 4 to 7 for a packed one, -1 for any other method. */
static int method_digit(void)
{
    ENTRY(e);
    const char *m = e->method;
    if (m[0] != '-' || m[1] != 'l' || m[4] != '-')
        return -1;
    if (m[2] == 'h' && (m[3] == '0' || (m[3] >= '4' && m[3] <= '7')))
        return m[3] - '0';
    return m[2] == 'z' && m[3] == '4' ? 0 : -1;
}

static enum entry_result copy_stored(os_fh out)
{
    ENTRY(e);
    uint32_t left = e->packed;
    uint16_t crc = 0;
    INPUT(in);
    rd_seek(e->data_pos);
    while (left > 0) {
        uint32_t n = rd_fill(1);
        if (n == 0)
            return ENTRY_DAMAGED;
        if (n > left)
            n = left;
        crc = crc_block(crc, in->rp, n);
        if (!put_out(out, in->rp, n))
            return ENTRY_WRITE;
        in->rp += n;
        left -= n;
        if (take_break())
            return ENTRY_BREAK;
    }
    return crc == e->crc ? ENTRY_OK : ENTRY_CRC;
}

/* What the result lines say for each outcome. */
static const char *const s_outcome[] = {"OK", "CRC ERROR", "DAMAGED", "WRITE ERROR", "BREAK"};

/* Unpacks the entry into a temporary file and puts it in place; returns
 * ENTRY_BREAK when the run is to end. */
static enum entry_result write_file(int digit)
{
    RUN(r);
    ENTRY(e);
    enum entry_result res;
    os_fh out;

    if (!make_tmpname() || !(out = os_open(r->tmpname, OS_MODE_NEWFILE))) {
        fail("Cannot create: ", r->outname);
        return ENTRY_WRITE;
    }
    if (digit == 0) {
        res = e->packed == e->size ? copy_stored(out) : ENTRY_DAMAGED;
    } else {
        say("  extracting: ");
        say_name(r->outname);
        say("   [");
        show();
        progress_start();
        res = decode_entry(out, digit);
        say("]");
    }
    if (!os_close(out) && res == ENTRY_OK)
        res = ENTRY_WRITE;
    if (res == ENTRY_OK && !os_rename(r->tmpname, r->outname)) {
        /* Rename never replaces: an old file goes first. Until it is gone
         * the temporary is deleted on failure; after, it is the only good
         * copy and stays, named in the message. */
        const char *why = "Cannot create: ";
        int keep = 0;
        if (exists(r->outname)) {
            why = "Cannot replace: ";
            if (os_delete(r->outname)) {
                keep = !os_rename(r->tmpname, r->outname);
                why = keep ? "Cannot rename to it: " : 0;
            }
        }
        if (why) {
            if (!keep)
                os_delete(r->tmpname);
            if (digit)
                say("\n");
            fail(why, r->outname);
            if (keep) {
                say("SFX: Its data is in: ");
                say_name(r->tmpname);
                say("\n");
            }
            return ENTRY_WRITE;
        }
    }
    if (res != ENTRY_OK) {
        os_delete(r->tmpname);
        r->errors++;
        if (res == ENTRY_BREAK)
            return res; /* the run's break message ends the line */
    }
    if (digit == 0) {
        say(res == ENTRY_OK ? "  extracted: " : "  ");
        if (res != ENTRY_OK) {
            say(s_outcome[res]);
            say(": ");
        }
        say_name(e->name);
        say("\n");
    } else {
        say(" ");
        say(s_outcome[res]);
        say("\n");
    }
    return res;
}

/* Handles the entry just read; returns 0 when the run is to end. */
static int handle_entry(void)
{
    RUN(r);
    ENTRY(e);
    int digit = method_digit(), i;

    for (i = 0; i < 254 && e->name[i]; i++)
        r->outname[i] = e->name[i] == '\\' ? '/' : e->name[i];
    r->outname[i] = 0;

    if (name_leaves_dir(r->outname)) {
        fail("Skipped, name leaves the current directory: ", r->outname);
        return 1;
    }
    if (e->is_dir) {
        if (!make_dirs(r->outname, 1))
            fail("Cannot create: ", r->outname);
        return 1;
    }
    if (digit < 0) {
        fail("Unknown method, skipped: ", r->outname);
        return 1;
    }
    if (e->size == 0) {
        /* nothing to write, no file made; a stored entry must agree */
        if (digit == 0 && e->packed != 0)
            fail("Damaged entry: ", r->outname);
        return 1;
    }
    if (!r->outname[0] || !make_dirs(r->outname, 0)) {
        fail("Cannot create: ", r->outname);
        return 1;
    }
    if (!r->overwrite_all && exists(r->outname))
        if (r->skip_all || !ask_overwrite())
            return 1;
    return write_file(digit) != ENTRY_BREAK;
}

/* The own file: "PROGDIR:" and the part of the program's name after its
 * last '/' or ':', so that the file the program was loaded from is read,
 * wherever the Shell found it. */
static int open_self(void)
{
    RUN(r);
    static const char prefix[] = "PROGDIR:";
    char *name = r->self + 8, *file = name;
    int i;

    name[0] = 0;
    if (!os_program_name(name, 256) || !name[0]) {
        say("SFX: Cannot find self name\n");
        return 0;
    }
    for (i = 0; name[i]; i++)
        if (name[i] == '/' || name[i] == ':')
            file = name + i + 1;
    for (i = 0; i < 8; i++)
        r->self[i] = prefix[i];
    for (i = 8; *file; i++)
        r->self[i] = *file++;
    r->self[i] = 0;
    return 1;
}

int sfx_main(void)
{
    RUN(r);
    ENTRY(e);
    uint32_t pos, end;
    os_fh arc;

    r->errors = r->overwrite_all = r->skip_all = 0;
    r->out = os_output();
    if (!open_self())
        return 20;
    say(sfx_data.title);
    say(sfx_data.credit[0]);
    say(sfx_data.notes);
    say(sfx_data.credit[1]);
    say("\n");

    arc = os_open(r->self, OS_MODE_OLDFILE);
    if (!arc) {
        say("SFX: Cannot open self\n");
        return 20;
    }
    crc_init();
    pos = ((uint32_t)sfx_data.arc_offset[0] << 24) | ((uint32_t)sfx_data.arc_offset[1] << 16) |
          ((uint32_t)sfx_data.arc_offset[2] << 8) | sfx_data.arc_offset[3];
    os_seek(arc, 0, OS_SEEK_END);
    end = (uint32_t)os_seek(arc, 0, OS_SEEK_CURRENT);
    if (end < pos)
        end = pos;
    rd_start(arc, pos);
    for (;;) {
        enum header_result h = read_header(pos, end);
        if (h != HDR_ENTRY) {
            if (h == HDR_DAMAGED)
                r->errors++;
            break;
        }
        /* Ctrl+C is polled here, between entries, and inside long ones. */
        if (take_break()) {
            say("\n*** Break ***\n");
            r->errors++;
            break;
        }
        if (!handle_entry()) {
            say("\n*** Break ***\n");
            break;
        }
        pos = e->data_pos + e->packed;
    }
    os_close(arc);
    say("\nDone.\n");
    return r->errors ? 5 : 0;
}
