// Extraction driver: unpacks one archive entry to a stream (or nowhere, when
// testing), keeping the CRC-16 of the bytes produced and reporting progress.
//
// Stored entries ("-lh0-", "-lz4-") are copied; "-lh4-" to "-lh7-" go through
// the block decoder of tmb_decode.cpp. All bytes leave through one output
// buffer whose flushes update the CRC, feed the progress bar and write.
//
// The output buffer doubles as the decoder's sliding window: it starts with
// a history area of 64 KB (the largest window) before the output area. The
// decoder writes at a moving position and copies matches straight from the
// bytes before it; when the output area runs full, the last window of bytes
// slides back into the history area. So a byte is written once, not once to
// the window and again to the output.
#include "tmb_method.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "tambrix.h"
#include "tmb_decode.h"
#include "tmb_progress.h"

uint16_t g_extract_crc = 0;

namespace {

constexpr size_t HIST = 65536;          // history area: the largest window
constexpr size_t SLACK = 64;            // room for word-wise copies running over
constexpr size_t MIN_AREA = 512 * 1024; // output area when the flush size is small
constexpr uint64_t MIN_CAP = 256;       // a longest match must fit after a flush
constexpr size_t CRC_STEP = 32768;      // CRC the decoder's output in steps of this
constexpr size_t TEST_AREA = 256 * 1024; // output area used when only testing

uint8_t *s_outbuf;      // history area + output area + slack
uint64_t s_outbuf_cap;  // bytes handed on per flush
size_t s_area;          // size of the output area (>= s_outbuf_cap)
uint8_t *s_pending;     // first byte produced but not yet flushed
uint8_t *s_crc_done;    // first byte not yet in s_outcrc
uint64_t s_pend;        // bytes produced since the last flush (decoder)
uint64_t s_dwinmask;    // window size - 1 of the current entry
size_t s_spaces;        // bytes right before the output area known to be spaces
FILE *s_outfp;          // destination, nullptr when testing
bool s_write_failed;
uint16_t s_outcrc;

// Hands `n` produced bytes on (their CRC is already taken): progress, and
// the write when there is an output stream. A failed write is remembered.
// Without an output stream `p` is not used (the bytes may be gone).
void hand_on(const uint8_t *p, size_t n)
{
    if (n == 0)
        return;
    tmb_prog_add(n);
    if (s_outfp && !s_write_failed && (fwrite(p, 1, n, s_outfp) != n || ferror(s_outfp)))
        s_write_failed = true;
}

// A flush: CRC, progress, write.
void emit(const uint8_t *p, size_t n)
{
    s_outcrc = tmb_crc16(p, n, s_outcrc);
    hand_on(p, n);
}

uint8_t *area_start() { return s_outbuf + HIST; }

// Obtains the output buffer: g_outbuf_max bytes per flush (65536 when it is
// 0), or 4096 when that much memory cannot be had.
bool outbuf_obtain()
{
    uint64_t want = g_outbuf_max ? g_outbuf_max : 65536;
    want = std::max(want, MIN_CAP);
    uint64_t caps[2] = {want, 4096};
    for (uint64_t cap : caps) {
        if (cap > want || cap > ((uint64_t)SIZE_MAX >> 2))
            continue;
        size_t areas[2] = {std::max<size_t>((size_t)cap, MIN_AREA), (size_t)cap};
        for (size_t area : areas) {
            auto *buf = static_cast<uint8_t *>(malloc(HIST + area + SLACK));
            if (buf) {
                s_outbuf = buf;
                s_outbuf_cap = cap;
                s_area = area;
                s_pending = area_start();
                s_spaces = 0;
                return true;
            }
        }
    }
    return false;
}

int stored_copy(uint64_t n)
{
    s_outcrc = 0;
    while (n != 0) {
        size_t k = (size_t)std::min<uint64_t>(n, s_outbuf_cap);
        const uint8_t *p = area_start();
        if (in_memory_mode()) {
            if (in_view(&p, k) < k)
                return TMB_EXTRACT_DAMAGED;
        } else if (in_read(area_start(), k) < k) {
            return TMB_EXTRACT_DAMAGED;
        }
        emit(p, k);
        if (s_write_failed)
            return TMB_EXTRACT_FAILED;
        n -= k;
    }
    return 0;
}

int decoded_copy(uint64_t window, int np, uint64_t n)
{
    if (!dwin_init(window))
        return -1;
    s_outcrc = 0;
    return decode_lhX(n, np);
}

enum class Action { Stored, Decode, Lh1, Unsupported };

struct MethodAction {
    int number;
    Action action;
    uint64_t window;
    int np;
};

// What to do with each method of method_table; numbers not listed (2, 3,
// 8, 10, -1 and anything else) are unsupported.
const MethodAction method_actions[] = {
    {0, Action::Stored, 0, 0},
    {1, Action::Lh1, 4096, 0},
    {4, Action::Decode, 4096, 14},
    {5, Action::Decode, 8192, 14},
    {6, Action::Decode, 32768, 16},
    {7, Action::Decode, 65536, 17},
    {9, Action::Stored, 0, 0},
};

const MethodAction *find_action(int method)
{
    for (const MethodAction &m : method_actions)
        if (m.number == method)
            return &m;
    return nullptr;
}

int unsupported(int method)
{
    fprintf(stderr, "Unsupported method: %s\n", tmb_method_name(method));
    return TMB_EXTRACT_UNSUPPORTED;
}

} // namespace

// ---------------------------------------------------------------------------
// Output side of the decoder

int dwin_init(uint64_t size)
{
    if (!s_outbuf || size == 0 || size > HIST)
        return 0;
    // Small entries never slide, so the spaces usually are still there.
    if (s_spaces < size) {
        memset(area_start() - size, 0x20, size);
        s_spaces = size;
    }
    s_dwinmask = size - 1;
    s_pending = area_start();
    return 1;
}

size_t dwin_mask() { return (size_t)s_dwinmask; }

// The decoder stops at `limit` either because a flush is due or to fold the
// bytes produced so far into the CRC while they are still in the cache.
uint8_t *next_limit(uint8_t *pos)
{
    return pos + std::min<uint64_t>(s_outbuf_cap - s_pend, CRC_STEP);
}

// Moves the last window of bytes before `pos` to the front of the output
// area; returns the new position.
uint8_t *slide(uint8_t *pos)
{
    size_t w = (size_t)s_dwinmask + 1;
    memmove(area_start() - w, pos - w, w);
    s_spaces = 0;
    return area_start();
}

uint8_t *out_begin(uint8_t **limit)
{
    s_crc_done = s_pending;
    s_pend = 0;
    *limit = next_limit(s_pending);
    return s_pending;
}

uint8_t *out_flush(uint8_t *pos, size_t need, uint8_t **limit)
{
    s_outcrc = tmb_crc16(s_crc_done, (size_t)(pos - s_crc_done), s_outcrc);
    s_pend += (uint64_t)(pos - s_crc_done);
    if (s_pend + need > s_outbuf_cap) {
        hand_on(s_outfp ? pos - s_pend : nullptr, (size_t)s_pend);
        if (s_write_failed)
            return nullptr;
        s_pend = 0;
        if (pos + s_outbuf_cap > area_start() + s_area)
            pos = slide(pos);
    } else if (!s_outfp && pos + CRC_STEP > area_start() + std::min(TEST_AREA, s_area)) {
        // Testing keeps no bytes for a write, only their count: a small
        // area stays in the cache and spares touching the whole buffer.
        pos = slide(pos);
    }
    s_crc_done = pos;
    *limit = next_limit(pos);
    return pos;
}

int out_finish(uint8_t *pos)
{
    s_outcrc = tmb_crc16(s_crc_done, (size_t)(pos - s_crc_done), s_outcrc);
    s_pend += (uint64_t)(pos - s_crc_done);
    hand_on(s_outfp ? pos - s_pend : nullptr, (size_t)s_pend);
    s_pend = 0;
    s_pending = s_crc_done = pos;
    return s_write_failed ? -1 : 0;
}

void tmb_extract_release_buffers()
{
    free(s_outbuf);
    s_outbuf = nullptr;
    s_outbuf_cap = 0;
    s_area = 0;
    s_pending = nullptr;
}

// ---------------------------------------------------------------------------

bool tmb_extract_supported(const EntryHeader *h)
{
    const MethodAction *m = find_action(h->method);
    return m && (m->action != Action::Lh1 || h->orig_size == 0);
}

int tmb_extract(FILE *arc, FILE *out, const EntryHeader *h)
{
    in_open(arc, h->comp_size);
    s_outfp = out;
    s_write_failed = false;
    if (!s_outbuf && !outbuf_obtain()) {
        fputs("Not enough memory to unpack\n", stderr);
        in_close();
        return TMB_EXTRACT_FAILED;
    }
    s_pending = area_start();

    const MethodAction *m = find_action(h->method);
    int rc;
    if (!m) {
        rc = unsupported(h->method);
    } else if (m->action == Action::Stored) {
        rc = stored_copy(h->orig_size);
    } else if (m->action == Action::Decode) {
        rc = decoded_copy(m->window, m->np, h->orig_size);
    } else if (h->orig_size == 0) {
        // "-lh1-" cannot be decoded here; only an empty entry is fine.
        rc = dwin_init(m->window) ? 0 : TMB_EXTRACT_FAILED;
        s_outcrc = 0;
    } else {
        rc = unsupported(h->method);
    }

    // Buffered bytes may fail to go out only now.
    if (rc == 0 && out && fflush(out) != 0)
        rc = TMB_EXTRACT_FAILED;
    in_close();
    if (rc == 0)
        g_extract_crc = s_outcrc;
    return rc;
}
