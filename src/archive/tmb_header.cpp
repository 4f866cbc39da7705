// Entry headers of LZH archives.
//
// An archive is a run of entries, each a header followed by the packed
// data, ended by a zero byte (or the end of the file). Three header levels
// exist; all start with the same fields (offsets from the header's first
// byte, numbers little-endian):
//
//    2  method id, 5 characters such as "-lh5-"
//    7  packed size (level 1: packed size plus all extended headers)
//   11  original size
//   15  time: MS-DOS stamp (levels 0 and 1) or seconds since 1970 (level 2)
//   19  attribute
//   20  level
//
// Level 0 and 1 begin with H, the number of header bytes after the first
// two, and a checksum; then come the name length N (21), the name (22) and
// the CRC-16 of the data (22+N). Level 1 adds the OS id (24+N) and the size
// of the first extended header (25+N); its extended headers follow the
// H+2 bytes of the base header. Level 2 begins with T, the whole header's
// size, and continues with the CRC-16 (21), the OS id (23), the size of
// the first extended header (24) and the extended headers (26).
//
// An extended header of size S is a type byte, S-3 bytes of data and the
// size of the next extended header (0 ends the chain). Type 1 holds the
// file name, type 2 the directory with 0xFF between levels.
//
// Archives come from anywhere, so every field is checked against the bytes
// actually read: a field the header does not hold reads as 0, an extended
// header chain never runs past the sizes its header declares, and the
// stream only ever moves forward. The check values are verified too (the
// byte sum of levels 0 and 1, the header CRC of level 2), so that a
// damaged name is never taken for the entry's.
#include "tmb_header.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>


const MethodEntry method_table[] = {
    {"-lh0-", 0}, {"-lh1-", 1}, {"-lh2-", 2}, {"-lh3-", 3},  {"-lh4-", 4},  {"-lh5-", 5},
    {"-lh6-", 6}, {"-lh7-", 7}, {"-lzs-", 8}, {"-lz4-", 9}, {"-lz5-", 10}, {nullptr, -1},
};

namespace {

// Extended headers are read through a buffer of this size; longer ones are
// read past.
constexpr size_t EXT_BUF = 512;

unsigned get16(const uint8_t *p) { return p[0] | p[1] << 8; }
uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int method_number(const uint8_t *id)
{
    for (const MethodEntry *m = method_table; m->id; m++)
        if (memcmp(m->id, id, 5) == 0)
            return m->number;
    return -1;
}

size_t read_bytes(FILE *fp, void *buf, size_t n) { return fread(buf, 1, n, fp); }

// Reads and drops n bytes, folding them into *crc when it is given; false
// when the file ends first. Reading rather than seeking keeps the stream
// inside the file.
bool skip_bytes(FILE *fp, uint64_t n, uint16_t *crc = nullptr)
{
    uint8_t buf[EXT_BUF];
    while (n > 0) {
        size_t k = (size_t)std::min<uint64_t>(n, sizeof buf);
        if (read_bytes(fp, buf, k) != k)
            return false;
        if (crc)
            *crc = tmb_crc16(buf, k, *crc);
        n -= k;
    }
    return true;
}

bool read_u16(FILE *fp, unsigned *v)
{
    uint8_t b[2];
    if (read_bytes(fp, b, 2) != 2)
        return false;
    *v = get16(b);
    return true;
}

// Copies n bytes as a C string of at most `cap` characters; a NUL inside
// the bytes ends the string there, 0xFF becomes '/' when `dir` is set.
// True when characters were left out for want of room.
bool copy_text(char *dst, size_t cap, const uint8_t *src, size_t n, bool dir)
{
    size_t len = std::min(n, cap);
    size_t i = 0;
    for (; i < len && src[i]; i++)
        dst[i] = (dir && src[i] == 0xFF) ? '/' : (char)src[i];
    dst[i] = '\0';
    return i == cap && n > cap && src[cap] != 0;
}

// True when the level-2 header of `T` bytes in `b` holds a header-CRC
// extended header (type 0) whose value is the CRC-16 of the whole header
// with that value's two bytes taken as 0.
bool lv2_crc_ok(const uint8_t *b, size_t T)
{
    size_t at = 24;
    for (int guard = 0; guard < 256 && at + 2 <= T; guard++) {
        unsigned S = b[at] | (unsigned)b[at + 1] << 8;
        size_t ext = at + 2; // type byte of this extended header
        if (S == 0)
            return false;
        if (S < 3 || ext + S > T)
            return false;
        if (b[ext] == 0 && S == 5) {
            unsigned want = b[ext + 1] | (unsigned)b[ext + 2] << 8;
            uint8_t copy[256];
            memcpy(copy, b, T);
            copy[ext + 1] = copy[ext + 2] = 0;
            return tmb_crc16(copy, T, 0) == want;
        }
        at = ext + S - 2; // the next size field
    }
    return false;
}

// A header whose check value does not match its bytes is damaged: a read
// answers this instead of 0, so the walk can say why it stopped.
constexpr int kBadSum = -1;

// Levels 0 and 1 carry in byte 1 the sum, modulo 256, of the H base-header
// bytes after the first two (the extended headers of level 1 are not
// covered).
bool sum_ok(const uint8_t *hdr, unsigned H)
{
    unsigned sum = 0;
    for (unsigned i = 0; i < H; i++)
        sum += hdr[2 + i];
    return (uint8_t)sum == hdr[1];
}

// What every read ends with; `r` is the level reader's answer, passed on.
int finish_header(EntryHeader *h, int r)
{
    size_t n = strlen(h->name);
    h->is_dir = r > 0 && n > 0 && h->name[n - 1] == '/';
    return r;
}

// The fields shared by all levels, offsets 2 to 20 of `hdr` (which holds
// the header from its offset 0).
void common_fields(EntryHeader *h, const uint8_t *hdr)
{
    h->method = method_number(hdr + 2);
    h->comp_size = get32(hdr + 7);
    h->orig_size = get32(hdr + 11);
    h->attribute = hdr[19];
}

// The debug dump of a level-0 header as read.
void dump_lv0(const LogSink &log, const uint8_t *bytes, unsigned n)
{
    char hex[24 * 3 + 1] = "";
    for (unsigned i = 0; i < n && i < 24; i++)
        snprintf(hex + 3 * i, 4, "%02x ", bytes[i]);
    log.line("BYTES[%s] extra=%d bytes=%s", "read_header_lv0.full", (int)n, hex);
}

// Level 0: H bytes after the first two. The name is cut to what the header
// holds and the CRC reads as 0 when it lies outside the header; such an
// entry then fails its CRC check instead of taking bytes of the data.
int read_lv0(FILE *fp, EntryHeader *h, uint8_t *hdr, unsigned H, const LogSink &log)
{
    if (read_bytes(fp, hdr + 2, H) != H)
        return 0;
    if (log.on())
        dump_lv0(log, hdr + 2, H);
    if (H <= 21)
        return 0;
    if (!sum_ok(hdr, H))
        return kBadSum;
    size_t end = (size_t)H + 2; // one past the last header byte
    common_fields(h, hdr);
    h->mtime = dos_to_unix_time(get32(hdr + 15));
    unsigned N = hdr[21];
    log.line("read_header_lv0: namelen=full[19]=%d hsize=%d", (int)N, (int)H);
    copy_text(h->name, 255, hdr + 22, std::min<size_t>(N, end - 22), false);
    h->crc = 22 + N + 2 <= end ? (uint16_t)get16(hdr + 22 + N) : 0;
    h->os_id = 0;
    h->level = 0;
    return 1;
}

// Level 1: a level-0 style base header, then extended headers whose sizes
// are counted in the skip size at offset 7.
int read_lv1(FILE *fp, EntryHeader *h, uint8_t *hdr, unsigned H)
{
    if (read_bytes(fp, hdr + 2, H) != H || H <= 23)
        return 0;
    if (!sum_ok(hdr, H))
        return kBadSum;
    size_t end = (size_t)H + 2;
    common_fields(h, hdr);
    h->mtime = dos_to_unix_time(get32(hdr + 15));
    unsigned N = hdr[21];
    copy_text(h->name, 255, hdr + 22, std::min<size_t>(N, end - 22), false);
    // Fields past the header's end read as 0; a missing size field means
    // no extended headers.
    h->crc = 22 + N + 2 <= end ? (uint16_t)get16(hdr + 22 + N) : 0;
    h->os_id = 24 + N + 1 <= end ? hdr[24 + N] : 0;
    h->level = 1;
    unsigned S = 25 + N + 2 <= end ? get16(hdr + 25 + N) : 0;

    char dir[257] = "";
    uint8_t buf[EXT_BUF];
    while (S != 0 && S != 1) {
        // The extended headers are part of the skip size; one that does not
        // fit in what is left of it belongs to a damaged header, and the
        // chain ends before it so that the packed size never wraps.
        if (S > h->comp_size) {
            h->comp_size = 0;
            break;
        }
        size_t want = S - 2; // type byte and data
        size_t got = std::min(want, sizeof buf);
        if (read_bytes(fp, buf, got) != got || !skip_bytes(fp, want - got))
            break;
        h->comp_size -= S;
        if (want >= 2 && buf[0] == 2 &&
            copy_text(dir, 255, buf + 1, std::min(want - 1, got - 1), true))
            h->name_cut = 1;
        if (!read_u16(fp, &S))
            break;
    }

    size_t dlen = strlen(dir);
    if (dlen > 0) {
        if (dir[dlen - 1] != '/') {
            dir[dlen++] = '/';
            dir[dlen] = '\0';
        }
        size_t nlen = strlen(h->name);
        if (dlen + nlen <= 255) {
            memmove(h->name + dlen, h->name, nlen + 1);
            memcpy(h->name, dir, dlen);
        } else {
            h->name_cut = 1;
        }
    }
    return 1;
}

// Level 2: 24 fixed bytes after T, then the extended headers. The chain is
// kept inside the T bytes the header declares (an extended header reaching
// past T ends it), and the stream is left at offset T whatever the chain
// held, so the data always starts where the header says.
//
// A header-CRC extended header (type 0, its first two data bytes) holds the
// CRC-16 of all T bytes with those two taken as 0. The bytes are folded in
// as they are read; when such a header was met and all T bytes could be
// read, a CRC that differs makes the header damaged. A header without one
// is taken as it reads: the check value is optional in this level.
int read_lv2(FILE *fp, EntryHeader *h, uint8_t *hdr, unsigned T)
{
    if (read_bytes(fp, hdr + 2, 24) != 24)
        return 0;
    common_fields(h, hdr);
    h->mtime = (int64_t)get32(hdr + 15);
    h->crc = (uint16_t)get16(hdr + 21);
    h->os_id = hdr[23];
    h->level = 2;
    h->name[0] = '\0';
    unsigned S = get16(hdr + 24);

    static constexpr uint8_t kZeros[2] = {0, 0};
    uint16_t crc = tmb_crc16(hdr, 26, 0);
    bool have_crc = false;
    uint16_t stored_crc = 0;

    char file[256] = "", dir[256] = "";
    uint64_t count = 26; // bytes consumed from offset 0
    uint8_t buf[EXT_BUF];
    uint8_t size_field[2];
    while (S != 0) {
        if (S < 3 || count + S > T)
            break; // malformed size or beyond the header: damaged chain
        int type = fgetc(fp);
        if (type == EOF)
            break;
        count += 1;
        uint8_t type_byte = (uint8_t)type;
        crc = tmb_crc16(&type_byte, 1, crc);
        // The first EXT_BUF data bytes are kept, the rest read past.
        size_t D = S - 3;
        size_t kept = std::min(D, sizeof buf);
        if (read_bytes(fp, buf, kept) != kept)
            break;
        if (type == 0 && kept >= 2 && !have_crc) {
            have_crc = true;
            stored_crc = (uint16_t)get16(buf);
            crc = tmb_crc16(kZeros, 2, crc);
            crc = tmb_crc16(buf + 2, kept - 2, crc);
        } else {
            crc = tmb_crc16(buf, kept, crc);
        }
        if (!skip_bytes(fp, D - kept, &crc))
            break;
        count += D;
        if (type == 1 && D >= 1 && D <= 255)
            copy_text(file, 255, buf, D, false);
        else if (type == 2 && D >= 1 && D <= 254)
            copy_text(dir, 255, buf, D, true);
        else if ((type == 1 && D > 255) || (type == 2 && D > 254))
            h->name_cut = 1;  // left out whole: too long to hold
        if (read_bytes(fp, size_field, 2) != 2)
            break;
        crc = tmb_crc16(size_field, 2, crc);
        S = get16(size_field);
        count += 2;
    }

    // Directory part and file name, cut at 255 characters; the directory
    // part ends in '/' when written by a sound archiver.
    size_t dlen = strlen(dir);
    memcpy(h->name, dir, dlen + 1);
    size_t flen = std::min(strlen(file), 255 - dlen);
    if (flen < strlen(file))
        h->name_cut = 1;
    memcpy(h->name + dlen, file, flen);
    h->name[dlen + flen] = '\0';

    // Whatever the chain held, the stream goes on to offset T. A short file
    // simply ends the next read; the CRC is judged only over a whole header.
    bool whole = count >= T || skip_bytes(fp, T - count, &crc);
    if (have_crc && whole && crc != stored_crc)
        return kBadSum;
    return 1;
}

// Chooses the level from the first bytes; the stream stands at offset 7
// (the method id has been read) and is put back to offset 2 for the
// level's reader.
int read_by_level(FILE *fp, EntryHeader *h, uint8_t *hdr, const LogSink &log)
{
    unsigned H = hdr[0];
    unsigned T = hdr[0] | hdr[1] << 8;
    // Peek at up to 20 more bytes (offsets 7 to 26) for the level byte at
    // offset 20 and the name length at 21, then step back.
    size_t got = 5 + read_bytes(fp, hdr + 7, 20);
    if (fseek(fp, -(long)got, SEEK_CUR) != 0)
        return 0;
    if (hdr[2] == '-' && hdr[6] == '-') {
        if (got >= 20 && hdr[20] == 2)
            return read_lv2(fp, h, hdr, T);
        if (H <= 21)
            return 0;
        if (got == 25 && hdr[20] == 1)
            return read_lv1(fp, h, hdr, H);
        return read_lv0(fp, h, hdr, H, log);
    }
    // No dashes: only a level-2 header can say where it ends.
    if (T <= 25)
        return 0;
    return read_lv2(fp, h, hdr, T);
}

// Earlier versions wrote a level-2 header of exactly 256 bytes (a name of
// 222 bytes) with its size's low byte, the header's first byte, 0: the end
// mark. Such a header is told from a real end by what follows: size 256
// (bytes 0 and 1 are 00 01), a method id at offset 2, level 2 at offset 20,
// and a header CRC that matches. `hdr[0]` is the 0 already read; anything
// else is the end, and the stream goes back to just after that 0.
int read_zero_led(FILE *fp, EntryHeader *h, uint8_t *hdr, const LogSink &log)
{
    int64_t after = ftello(fp);
    uint8_t b[256];
    b[0] = 0;
    bool plausible = read_bytes(fp, b + 1, 255) == 255 && b[1] == 1 && b[2] == '-' &&
                     b[6] == '-' && b[20] == 2 && lv2_crc_ok(b, 256);
    if (!plausible || fseeko(fp, after + 1, SEEK_SET) != 0) {
        fseeko(fp, after, SEEK_SET);
        return 0;
    }
    hdr[0] = 0;
    hdr[1] = 1;
    if (read_bytes(fp, hdr + 2, 5) != 5)
        return 0;
    return finish_header(h, read_by_level(fp, h, hdr, log));
}

// The header reader: 1 a header was read, 0 none could be, kBadSum one
// was read whose check value does not match. `*first` gets the header's
// first byte (or EOF), by which a failed read tells the end of the archive
// from damage.
int read_header(FILE *fp, EntryHeader *h, int *first, const LogSink &log)
{
    memset(h, 0, sizeof *h);
    h->method = -1;
    h->header_pos = ftello(fp);

    // hdr holds the header from its offset 0; a level-0/1 base header is
    // at most 2 + 255 bytes.
    uint8_t hdr[2 + 255 + 2] = {0};
    int c0 = fgetc(fp);
    *first = c0;
    if (c0 == EOF)
        return 0;
    if (c0 == 0)
        return read_zero_led(fp, h, hdr, log);
    int c1 = fgetc(fp);
    if (c1 == EOF)
        return 0;
    hdr[0] = (uint8_t)c0;
    hdr[1] = (uint8_t)c1;
    if (read_bytes(fp, hdr + 2, 5) != 5)
        return 0;
    return finish_header(h, read_by_level(fp, h, hdr, log));
}

// After a zero byte at offset 0 that starts no header: true when the file
// is the end mark alone, that byte and at most one more zero byte. At most
// two bytes are read, so an endless device cannot hold the walk.
bool end_mark_alone(FILE *fp, int64_t size)
{
    if (size > 2 || fseeko(fp, 1, SEEK_SET) != 0)
        return false;
    int c1 = getc(fp);
    if (c1 == EOF)
        return !ferror(fp);
    return c1 == 0 && getc(fp) == EOF && !ferror(fp);
}

} // namespace

int tmb_read_header(FILE *fp, EntryHeader *h, const LogSink &log)
{
    int first;
    return read_header(fp, h, &first, log) > 0;
}

int tmb_walk_next(FILE *fp, int64_t size, EntryHeader *h, const char **why, const LogSink &log)
{
    int c;
    int r = read_header(fp, h, &c, log);
    int64_t pos = h->header_pos;
    if (r <= 0) {
        bool end = r == 0 && (c == 0 || c == EOF) && !ferror(fp);
        // A file that starts with a zero byte is an archive only when that
        // byte is the end mark of an empty one; many other files start so.
        if (end && c == 0 && pos == 0 && !end_mark_alone(fp, size))
            end = false;
        if (end)
            return TMB_WALK_END;
        *why = ferror(fp) ? "read error"
               : r < 0    ? "entry header checksum mismatch"
                          : "unreadable entry header";
        fseeko(fp, pos, SEEK_SET); // so the caller can tell where
        return TMB_WALK_DAMAGED;
    }
    h->data_pos = (int64_t)ftello(fp);
    if (h->data_pos < pos || (size >= 0 && (h->data_pos > size ||
                                            h->comp_size > (uint64_t)(size - h->data_pos)))) {
        *why = "entry data runs past the end of the file";
        fseeko(fp, pos, SEEK_SET);
        return TMB_WALK_CUT;
    }
    return TMB_WALK_ENTRY;
}

namespace {

// The bytes a header start must show before the reader is asked: a known
// method id at offset 2 and a level of 0, 1 or 2 at offset 20.
constexpr size_t kHeaderProbe = 21;

bool looks_like_header(const uint8_t *p)
{
    return p[2] == '-' && p[6] == '-' && p[20] <= 2 && method_number(p + 2) != -1;
}

// An entry at `pos` whose data lies within the file, and (away from the
// start of the file, where any such entry counts as it always has) after
// which the archive goes on or ends: one header-like run of bytes inside
// some other file is no archive.
bool archive_at(FILE *fp, int64_t size, int64_t pos)
{
    EntryHeader h;
    const char *why = nullptr;
    if (fseeko(fp, (off_t)pos, SEEK_SET) != 0 ||
        tmb_walk_next(fp, size, &h, &why) != TMB_WALK_ENTRY || h.method == -1)
        return false;
    if (pos == 0)
        return true;
    if (fseeko(fp, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) != 0)
        return false;
    int next = tmb_walk_next(fp, size, &h, &why);
    return next == TMB_WALK_ENTRY || next == TMB_WALK_END;
}

} // namespace

int tmb_holds_archive(FILE *fp)
{
    // Beyond this many places that pass the quick look, the file is taken
    // to hold an archive rather than read header by header: the answer
    // guards a file against being replaced, so doubt keeps it.
    constexpr int kMaxChecks = 4096;
    int64_t size = tmb_file_size(fp);
    if (size <= 0)
        return 0;
    constexpr size_t kWindow = 65536;
    static_assert(kWindow > kHeaderProbe);
    std::vector<uint8_t> buf(kWindow);
    int checks = 0;
    // Windows overlap by the probe's length, so that a header start near
    // the end of one window is looked at in the next.
    for (int64_t at = 0; at < size; at += (int64_t)(kWindow - kHeaderProbe)) {
        ssize_t got = pread(fileno(fp), buf.data(), kWindow, (off_t)at);
        if (got <= 0)
            return 0;
        for (size_t i = 0; i + kHeaderProbe <= (size_t)got; i++) {
            // The start of the file is asked whatever its level byte says.
            if ((at != 0 || i != 0) && !looks_like_header(&buf[i]))
                continue;
            if (++checks > kMaxChecks || archive_at(fp, size, at + (int64_t)i))
                return 1;
        }
        if ((size_t)got < kWindow)
            break;
    }
    return 0;
}

int64_t tmb_file_size(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int64_t)st.st_size;
}

const char *tmb_method_name(int number)
{
    for (const MethodEntry *m = method_table; m->id; m++)
        if (m->number == number)
            return m->id;
    return "-----";
}

// MS-DOS stamp: date in the high word (bits 9-15 years since 1980, 5-8
// month 1-12, 0-4 day), time in the low word (11-15 hour, 5-10 minute,
// 0-4 seconds / 2). Taken as UTC; out-of-range fields carry through the
// calendar arithmetic.
int64_t dos_to_unix_time(uint32_t d)
{
    struct tm tm = {};
    tm.tm_year = (int)(d >> 25) + 80;
    tm.tm_mon = (int)((d >> 21) & 15) - 1;
    tm.tm_mday = (int)((d >> 16) & 31);
    tm.tm_hour = (int)((d & 0xFFFF) >> 11);
    tm.tm_min = (int)((d >> 5) & 63);
    tm.tm_sec = (int)(d & 31) * 2;
    return tmb_tm_to_time(&tm);
}

// Days from civil date: years are counted from March so that the leap day
// falls at the end of the year. Months below March (including a month of
// -1 from a DOS month field of 0, which is December of the year before)
// belong to the previous such year.
int64_t tmb_tm_to_time(const struct tm *tm)
{
    int64_t mon = tm->tm_mon;
    int64_t y = (int64_t)tm->tm_year + 1900 - (mon < 2 ? 1 : 0);
    int64_t era = y / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = mon >= 2 ? mon - 2 : mon + 10;
    int64_t doy = (153 * mp + 2) / 5 + tm->tm_mday - 1;
    int64_t doe = 365 * yoe + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + (int64_t)tm->tm_hour * 3600 + (int64_t)tm->tm_min * 60 + tm->tm_sec;
}

// The inverse, for times from 1970 on (earlier ones are taken as 0).
void tmb_time_to_tm(int64_t t, struct tm *tm)
{
    uint64_t s = t < 0 ? 0 : (uint64_t)t;
    uint64_t days = s / 86400, sod = s - days * 86400;
    uint64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint64_t y = yoe + era * 400;
    uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    uint64_t mp = (5 * doy + 2) / 153;
    uint64_t day = doy - (153 * mp + 2) / 5 + 1;
    uint64_t m = mp < 10 ? mp + 3 : mp - 9;
    memset(tm, 0, sizeof *tm);
    tm->tm_mon = (int)(m - 1);
    tm->tm_year = (int)((int64_t)y + (m <= 2 ? 1 : 0) - 1900);
    tm->tm_mday = (int)day;
    tm->tm_hour = (int)(sod / 3600);
    tm->tm_min = (int)(sod % 3600 / 60);
    tm->tm_sec = (int)(sod % 60);
}

// The one header shape this program writes: a level-2 header with a
// file-name extended header holding the whole path and a header-CRC
// extended header, L + 34 bytes for a name of L characters.
int tmb_write_header_lv2(FILE *fp, const EntryHeader *h)
{
    size_t L = strnlen(h->name, 255);
    size_t T = L + 34;
    // A header of 256 bytes would start with the byte 0, which every reader
    // takes for the end of the archive. One pad byte after the extended
    // headers (inside T, so covered by the header CRC) avoids it.
    if ((T & 0xFF) == 0)
        T++;
    uint8_t b[512] = {0};
    auto put16 = [&](size_t at, unsigned v) {
        b[at] = (uint8_t)(v & 0xFF);
        b[at + 1] = (uint8_t)(v >> 8);
    };
    auto put32 = [&](size_t at, uint64_t v) {
        for (int i = 0; i < 4; i++)
            b[at + i] = (uint8_t)(v >> (8 * i));
    };
    put16(0, (unsigned)T);
    memcpy(b + 2, tmb_method_name(h->method), 5);
    put32(7, h->comp_size);
    put32(11, h->orig_size);
    put32(15, (uint64_t)h->mtime);
    b[19] = 0x20; // attribute
    b[20] = 2;    // level
    put16(21, h->crc);
    b[23] = 'A'; // OS id
    put16(24, (unsigned)L + 3);
    b[26] = 1; // file name
    memcpy(b + 27, h->name, L);
    put16(27 + L, 5);
    b[29 + L] = 0; // header CRC, computed with its own field still 0
    put16(30 + L, tmb_crc16(b, T, 0));
    // bytes 32+L, 33+L: 0, the end of the chain
    return fwrite(b, 1, T, fp) == T;
}

