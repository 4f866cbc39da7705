// Placing an LZH archive inside an AmigaOS hunk executable.
//
// A ".run" file is the AmigaOS extractor (an executable in the hunk format)
// with an LZH archive placed inside its data hunk:
//
//   HUNK_HEADER  0x3F3, 0, N, first, last, N size words (longwords)
//   HUNK_CODE    0x3E9, size S, 4S bytes   followed by HUNK_RELOC32, HUNK_END
//   HUNK_DATA    0x3EA, size S, 4S bytes   <- the archive goes right after these
//   ...          the data hunk's relocations, HUNK_END, HUNK_BSS, HUNK_END
//
// The data hunk's size words grow by the archive's length in longwords, so
// the loader accepts the file and brings the archive in as part of the data,
// and the placeholder longword DE AD BE EF in the data contents is replaced
// by the archive's offset in the file: the extractor opens its own file and
// seeks there.
//
// A large archive would need as much memory again in one free block, which
// a small Amiga lacks. It goes instead into a HUNK_DEBUG block (0x3F1, size
// in longwords, contents) placed before the data hunk's HUNK_END: the
// loader skips debug blocks without loading them, and the extractor reads
// the archive from its file all the same.
#include "tmb_sfx_image.h"

#include <cstring>

#include "tmb_log.h"

namespace {

constexpr uint32_t HUNK_CODE = 0x3E9;
constexpr uint32_t HUNK_DATA = 0x3EA;
constexpr uint32_t HUNK_RELOC32 = 0x3EC;
constexpr uint32_t HUNK_END = 0x3F2;
constexpr uint32_t HUNK_DEBUG = 0x3F1;

// The low 30 bits of a size word count longwords; bits 30 and 31 choose
// chip or fast memory.
constexpr uint32_t SIZE_MASK = 0x3FFFFFFF;

const unsigned char s_placeholder[4] = {0xDE, 0xAD, 0xBE, 0xEF};

uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

// Reads the longword at `pos` when it lies within the image.
bool word_at(const unsigned char *img, size_t len, uint64_t pos, uint32_t *v)
{
    if (pos > len || len - pos < 4)
        return false;
    *v = get_be32(img + pos);
    return true;
}

// Skips a HUNK_RELOC32 block at `pos`: groups of (count, target hunk,
// count offsets) up to a count of 0. False when it runs past the end.
bool skip_relocs(const unsigned char *img, size_t len, uint64_t *pos)
{
    uint64_t p = *pos + 4;
    for (;;) {
        uint32_t count;
        if (!word_at(img, len, p, &count))
            return false;
        p += 4;
        if (count == 0)
            break;
        p += 4 + 4 * (uint64_t)count;
        if (p > len)
            return false;
    }
    *pos = p;
    return true;
}

// Replaces the first placeholder in the image by `value`. 1 when found.
int patch_placeholder(unsigned char *img, size_t len, uint32_t value)
{
    for (size_t i = 0; i + 4 <= len; i++) {
        if (memcmp(img + i, s_placeholder, 4) == 0) {
            put_be32(img + i, value);
            return 1;
        }
    }
    return 0;
}

bool write_all(FILE *out, const void *p, size_t n)
{
    return n == 0 || fwrite(p, 1, n, out) == n;
}

} // namespace

int sfx_find_data_hunk(const unsigned char *img, size_t len, SfxPlan *plan)
{
    memset(plan, 0, sizeof *plan);
    uint32_t nsizes;
    if (!word_at(img, len, 8, &nsizes))
        return 0;
    // The header: type, 0, N, first, last and N size words.
    uint64_t pos = 20 + 4 * (uint64_t)nsizes;
    int hunk = 0;
    while (pos + 8 <= len) {
        uint32_t type = get_be32(img + pos);
        uint32_t longs = get_be32(img + pos + 4) & SIZE_MASK;
        if (type == HUNK_CODE) {
            pos += 8 + 4 * (uint64_t)longs;
            hunk++;
        } else if (type == HUNK_RELOC32) {
            if (!skip_relocs(img, len, &pos))
                return 0;
        } else if (type == HUNK_END) {
            pos += 4;
        } else if (type == HUNK_DATA) {
            uint64_t end = pos + 8 + 4 * (uint64_t)longs;
            // The contents must lie in the image, and the header must have a
            // size word for this hunk.
            if (end > len || (uint32_t)hunk >= nsizes)
                return 0;
            plan->found = 1;
            plan->data_pos = (size_t)pos;
            plan->data_longs = longs;
            plan->hunk_index = hunk;
            plan->insert_at = (size_t)end;
            return 1;
        } else {
            return 0;
        }
    }
    return 0;
}

namespace {

// The data hunk's end block: past its relocation blocks from the end of its
// contents. 1 and plan->debug_at set when found.
int find_data_end(const unsigned char *img, size_t len, SfxPlan *plan)
{
    uint64_t pos = plan->insert_at;
    uint32_t type;
    while (word_at(img, len, pos, &type)) {
        if (type == HUNK_END) {
            plan->debug_at = (size_t)pos;
            return 1;
        }
        if (type != HUNK_RELOC32 || !skip_relocs(img, len, &pos))
            return 0;
    }
    return 0;
}

} // namespace

int sfx_patch_image(unsigned char *img, size_t len, size_t n, SfxPlan *plan, const LogSink &log)
{
    if (!sfx_find_data_hunk(img, len, plan)) {
        log.line("No DATA hunk found, appending TMB after stub");
        plan->insert_at = len;
        plan->fill = 0;
        if ((uint64_t)len > 0xFFFFFFFFu)
            return 0;
        if (len >= 4)
            patch_placeholder(img, len, (uint32_t)len);
        return 1;
    }
    uint64_t padded = ((uint64_t)n + 3) & ~(uint64_t)3;
    if (n > SFX_DATA_HUNK_MAX && find_data_end(img, len, plan)) {
        // type and size word, then the archive; the hunk sizes stay
        if (plan->debug_at + 8 + padded > 0xFFFFFFFFu)
            return 0;
        plan->in_debug = 1;
        plan->insert_at = plan->debug_at + 8;
        plan->fill = (size_t)(padded - n);
        log.line("archive of %zu bytes in a debug block at 0x%zx", n, plan->debug_at);
        patch_placeholder(img, len, (uint32_t)plan->insert_at);
        return 1;
    }
    uint64_t new_longs = plan->data_longs + padded / 4;
    // The hunk size has 30 bits, the offset the extractor reads 32.
    if (new_longs > SIZE_MASK || plan->insert_at + padded > 0xFFFFFFFFu)
        return 0;
    plan->fill = (size_t)(padded - n);
    log.line("DATA hunk at 0x%x, size=%u LW, tmb_offset_in_data=%u", (unsigned)plan->data_pos,
            (unsigned)plan->data_longs, (unsigned)(4 * plan->data_longs));
    // The header's size table starts at byte 20; entry k is hunk k's size.
    put_be32(img + 20 + 4 * plan->hunk_index, (uint32_t)new_longs);
    put_be32(img + plan->data_pos + 4, (uint32_t)new_longs);
    if (patch_placeholder(img, len, (uint32_t)plan->insert_at))
        log.line("patched DEADBEEF -> tmb_file_offset=%u", (unsigned)plan->insert_at);
    return 1;
}

int sfx_write_image(FILE *out, const unsigned char *img, size_t len, const SfxPlan *plan,
                    const unsigned char *data, size_t n)
{
    static const unsigned char zeros[4] = {0, 0, 0, 0};
    if (plan->in_debug) {
        unsigned char head[8];
        put_be32(head, HUNK_DEBUG);
        put_be32(head + 4, (uint32_t)((n + plan->fill) / 4));
        bool ok = write_all(out, img, plan->debug_at) && write_all(out, head, 8);
        ok = ok && write_all(out, data, n) && write_all(out, zeros, plan->fill);
        return ok && write_all(out, img + plan->debug_at, len - plan->debug_at);
    }
    size_t at = plan->found ? plan->insert_at : len;
    bool ok = write_all(out, img, at);
    ok = ok && write_all(out, data, n);
    if (plan->found) {
        ok = ok && write_all(out, zeros, plan->fill);
        ok = ok && write_all(out, img + at, len - at);
    }
    return ok;
}

