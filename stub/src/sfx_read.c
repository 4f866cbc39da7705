/*
 * Reading the own file: a buffered reader and the level-2 headers.
 *
 * Level-2 header, offsets from its first byte, numbers little-endian:
 *    0  T, the size of the whole header      2  method id, "-lh5-"
 *    7  packed size                          11  uncompressed size
 *   15  time                                 19  attribute
 *   20  level (2)                            21  CRC-16 of the data
 *   23  OS id                                24  size of the first extended header
 * Each extended header of size S: a type byte, S - 3 bytes of data, the
 * size of the next one (0 ends the chain). Type 0 holds the CRC-16 of the
 * whole header (computed with that field 0), type 1 the file name, type 2
 * the directory, its levels separated by 0xFF. The packed data starts T
 * bytes after the header's first byte, whatever the chain held: a writer
 * may pad the header after the chain.
 *
 * The archive ends with a zero byte. A header of exactly 256 bytes begins
 * with a zero byte too (T = 0x0100); the archiver now pads such headers to
 * 257, and an older archive's 256-byte header is told from the end by its
 * shape and its header CRC.
 */
#include "sfx_int.h"

struct input s_in;
struct entry s_entry;

void rd_start(os_fh arc, uint32_t pos)
{
    s_in.arc = arc;
    s_in.rp = s_in.re = s_in.buf;
    s_in.rfile = pos + 1; /* anything but pos: the file is not there yet */
    rd_seek(pos);
}

void rd_seek(uint32_t pos)
{
    INPUT(in);
    uint32_t held = (uint32_t)(in->re - in->buf);
    if (pos <= in->rfile && in->rfile - pos <= held) {
        in->rp = in->re - (in->rfile - pos);
        return;
    }
    os_seek(in->arc, (long)pos, OS_SEEK_BEGIN);
    in->rfile = pos;
    in->rp = in->re = in->buf;
}

uint32_t rd_fill(uint32_t n)
{
    INPUT(in);
    uint32_t avail = (uint32_t)(in->re - in->rp), i;
    if (avail >= n)
        return avail;
    for (i = 0; i < avail; i++)
        in->buf[i] = in->rp[i];
    in->rp = in->buf;
    in->re = in->buf + avail;
    while (avail < n) {
        long got = os_read(in->arc, in->re, (long)(RBUF_SIZE - avail));
        if (got <= 0)
            break;
        in->re += got;
        in->rfile += (uint32_t)got;
        avail += (uint32_t)got;
    }
    return avail;
}

static uint32_t get16(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t get32(const uint8_t *p)
{
    return get16(p) | get16(p + 2) << 16;
}

/* A name field: a NUL ends it; in a directory 0xFF separates levels. */
static void copy_text(char *dst, const uint8_t *src, uint32_t n, int dir)
{
    uint32_t i;
    for (i = 0; i < n && src[i]; i++)
        dst[i] = dir && src[i] == 0xFF ? '/' : (char)src[i];
    dst[i] = 0;
}

#define EXT_LIMIT 100

/*
 * Walks the extended headers of the T-byte header at h, which must stay
 * inside T bytes (one reaching past ends the walk); takes the name from
 * the last file-name and directory headers. With `crc_at`, reports where
 * the header-CRC field lies (0: none). Returns 0 when the chain holds more
 * than EXT_LIMIT headers.
 */
static int walk_chain(const uint8_t *h, uint32_t T, uint32_t *crc_at)
{
    char file[256], dir[256];
    uint32_t at = 24, s = get16(h + 24), count = 0, i;
    ENTRY(e);

    file[0] = dir[0] = 0;
    *crc_at = 0;
    while (s != 0) {
        const uint8_t *data = h + at + 3;
        uint8_t type = h[at + 2];
        uint32_t d;
        if (s < 3 || s > T - at - 2)
            break;
        d = s - 3;
        if (count++ == EXT_LIMIT)
            return 0;
        if (type == 0 && d >= 2)
            *crc_at = at + 3;
        else if (type == 1 && d >= 1 && d <= 255)
            copy_text(file, data, d, 0);
        else if (type == 2 && d >= 1 && d <= 254)
            copy_text(dir, data, d, 1);
        at += s;
        s = get16(h + at);
    }
    /* directory part, then the file name, 255 characters at most */
    for (i = 0; dir[i]; i++)
        e->name[i] = dir[i];
    for (at = 0; file[at] && i < 255; at++)
        e->name[i++] = file[at];
    e->name[i] = 0;
    e->is_dir = i > 0 && e->name[i - 1] == '/';
    return 1;
}

/* Whether the T-byte header at h carries a header CRC that matches it. */
static int header_crc_good(const uint8_t *h, uint32_t T, uint32_t crc_at)
{
    uint16_t crc;
    if (crc_at == 0)
        return 0;
    crc = crc_block(0, h, crc_at);
    crc = crc_block(crc, (const uint8_t *)"\0", 1);
    crc = crc_block(crc, (const uint8_t *)"\0", 1);
    crc = crc_block(crc, h + crc_at + 2, T - crc_at - 2);
    return crc == get16(h + crc_at);
}

static void damaged(const char *why)
{
    say("SFX: Damaged archive: ");
    say(why);
    say("\n");
}

enum header_result read_header(uint32_t pos, uint32_t end)
{
    uint32_t left = end - pos, T, crc_at;
    const uint8_t *h;
    INPUT(in);
    ENTRY(e);

    rd_seek(pos);
    if (left == 0)
        return HDR_END;
    if (rd_fill(2) < 2 || left < 2) {
        if (rd_fill(1) >= 1 && in->rp[0] == 0)
            return HDR_END;
        damaged("header cut short");
        return HDR_DAMAGED;
    }
    T = get16(in->rp);
    if (in->rp[0] == 0) {
        /* The end, unless an older writer's 256-byte header starts here. */
        if (T != 256 || left < 256 || rd_fill(256) < 256)
            return HDR_END;
        h = in->rp;
        if (!(h[2] == '-' && h[3] == 'l' && (h[4] == 'h' || h[4] == 'z') && h[6] == '-' && h[20] == 2))
            return HDR_END;
        if (!walk_chain(h, T, &crc_at) || !header_crc_good(h, T, crc_at))
            return HDR_END;
    }
    if (left < 21 || rd_fill(21) < 21) {
        damaged("header cut short");
        return HDR_DAMAGED;
    }
    if (in->rp[20] != 2) {
        damaged("not a level-2 header");
        return HDR_DAMAGED;
    }
    if (T < 26 || T > HEADER_MAX) {
        damaged(T < 26 ? "header size too small" : "header too long");
        return HDR_DAMAGED;
    }
    if (T > left || rd_fill(T) < T) {
        damaged("header cut short");
        return HDR_DAMAGED;
    }
    h = in->rp;
    if (!walk_chain(h, T, &crc_at)) {
        say("SFX: ext loop safety!\n");
        return HDR_DAMAGED;
    }
    e->packed = get32(h + 7);
    e->size = get32(h + 11);
    e->crc = (uint16_t)get16(h + 21);
    for (crc_at = 0; crc_at < 5; crc_at++)
        e->method[crc_at] = (char)h[2 + crc_at];
    e->method[5] = 0;
    /* the data must lie inside the archive: each entry then lies wholly
     * after the one before, and a size cannot wrap back to an earlier one */
    e->data_pos = pos + T;
    if (e->packed > end - e->data_pos) {
        damaged("data past its end");
        return HDR_DAMAGED;
    }
    return HDR_ENTRY;
}
