// Extraction driver: unpacks one archive entry to a stream (or nowhere, when
// testing), keeping the CRC-16 of the bytes produced and reporting progress.
//
// The driver owns the files. It reads an entry's packed bytes into memory
// when they fit the limit (one read, and the decoder's bit reader then runs
// on memory) or streams them, never reading past the entry's packed size;
// pulls the decoder's output a piece at a time and reports progress and
// writes the pieces out, or hands them to a caller that pulls them itself
// (tmb_extract_begin). Stored entries ("-lh0-", "-lz4-") are copied; "-lh4-" to "-lh7-" are
// decoded.
#include "tmb_method.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_decode.h"

namespace {

// Largest packed entry held in memory (256 KB), and largest piece of output
// handed on at once (64 KB), whatever the limits say: bigger entries are
// streamed through the decoder's 64 KB chunk, which gives the same bytes.
// Every page of fresh memory costs a fault when first touched, and a fault
// costs more than copying the page several times over: reading a 2.4 MB
// entry whole and flushing 4 MB at a time made x of one large file 70 %
// slower, and 64 KB pieces are another 6 % faster than 256 KB ones.
constexpr uint64_t MEM_HARD_CAP = 256u << 10;
constexpr uint64_t FLUSH_CAP = 64u << 10;
// Entries up to this size are read whole without asking the file's size.
constexpr uint64_t SMALL_ENTRY = 65536;

enum class Action { Stored, Decode, Lh1 };

struct MethodAction {
    int number;
    Action action;
};

// What to do with each method of method_table; numbers not listed (2, 3,
// 8, 10, -1 and anything else) are unsupported. The windows and p
// alphabets of the decoded methods are the shared parameter table's.
constexpr MethodAction method_actions[] = {
    {0, Action::Stored}, {1, Action::Lh1},    {4, Action::Decode},
    {5, Action::Decode}, {6, Action::Decode}, {7, Action::Decode},
    {9, Action::Stored},
};

const MethodAction *find_action(int method)
{
    for (const MethodAction &m : method_actions)
        if (m.number == method)
            return &m;
    return nullptr;
}

// The entry's packed bytes streamed from the archive: never more than the
// entry has.
struct StreamIn {
    FILE *fp;
    uint64_t left;
};

size_t stream_read(void *user, uint8_t *dst, size_t n)
{
    auto *s = static_cast<StreamIn *>(user);
    size_t want = (size_t)std::min<uint64_t>(n, s->left);
    size_t got = want ? fread(dst, 1, want, s->fp) : 0;
    s->left = got < want ? 0 : s->left - got;
    return got;
}

// The same from a descriptor at an offset of its own (pread): any number
// of threads can read one archive this way at once.
struct PreadIn {
    int fd;
    int64_t off;
    uint64_t left;
};

size_t pread_read(void *user, uint8_t *dst, size_t n)
{
    auto *s = static_cast<PreadIn *>(user);
    size_t done = 0;
    n = (size_t)std::min<uint64_t>(n, s->left);
    while (done < n) {
        ssize_t k = pread(s->fd, dst + done, n - done, (off_t)s->off);
        if (k <= 0) {
            s->left = 0; // the end of the file, or a read error: no more
            break;
        }
        done += (size_t)k;
        s->off += k;
        s->left -= (uint64_t)k;
    }
    return done;
}

// True unless `fd` is a regular file with fewer than `n` bytes after `pos`,
// so a damaged size never makes us allocate for data that is not there.
bool file_has(int fd, int64_t pos, uint64_t n)
{
    struct stat st;
    if (fd < 0 || pos < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || pos > st.st_size)
        return true;
    return (uint64_t)(st.st_size - pos) >= n;
}

// Whether an entry's packed data is read whole: within the limit, and
// within what the file really has left after `pos()`. That costs system
// calls, so only a large entry is asked; a small one costs at most a small
// allocation.
template <class Pos>
bool read_whole_ok(uint64_t comp_size, uint64_t inbuf_max, int fd, Pos pos)
{
    uint64_t max = std::min<uint64_t>(inbuf_max, MEM_HARD_CAP);
    return comp_size != 0 && comp_size <= max && (comp_size <= SMALL_ENTRY || file_has(fd, pos(), comp_size));
}

// The decoder's source: the packed data in memory when it was read whole,
// otherwise the read callback.
lzh::Source source_of(const uint8_t *whole, uint64_t comp_size, size_t (*read)(void *, uint8_t *, size_t),
                      void *user)
{
    lzh::Source src;
    if (whole) {
        src.mem = whole;
        src.mem_size = (size_t)comp_size;
    } else {
        src.read = read;
        src.user = user;
    }
    return src;
}

// The context's buffer for packed data, grown to at least n bytes. It is
// kept from entry to entry: fresh memory costs a page fault per page each
// time it is allocated.
struct Held {
    uint8_t *buf = nullptr;
    size_t cap = 0;
};

uint8_t *hold(Held &h, size_t n)
{
    if (n > h.cap) {
        free(h.buf);
        h.buf = static_cast<uint8_t *>(malloc(n));
        h.cap = h.buf ? n : 0;
    }
    return h.buf;
}

// Reads the whole packed data when it fits the limit; nullptr (and the
// stream where it was) to stream it instead.
uint8_t *read_whole(Held &held, FILE *fp, uint64_t comp_size, uint64_t inbuf_max)
{
    if (!read_whole_ok(comp_size, inbuf_max, fileno(fp), [fp] { return (int64_t)ftello(fp); }))
        return nullptr;
    uint8_t *buf = hold(held, (size_t)comp_size);
    if (!buf)
        return nullptr;
    size_t got = fread(buf, 1, (size_t)comp_size, fp);
    if (got != comp_size) {
        // Short: stream the same bytes instead.
        if (got)
            fseeko(fp, -(off_t)got, SEEK_CUR);
        return nullptr;
    }
    return buf;
}

} // namespace

struct ExtractCtx {
    uint64_t inbuf_max;
    uint64_t outbuf_max;
    lzh::Decoder *dec; // obtained on first use
    Held held;         // packed data read whole
    bool no_memory;    // the last entry failed for want of the decoder's memory
    // The entry being pulled: where its packed bytes come from when they
    // are streamed, and the archive to leave past the entry at its end
    // (at `end_at`, or -1: past what `sin` has left unread).
    StreamIn sin;
    PreadIn pin;
    FILE *arc;
    off_t end_at;
};

ExtractCtx *tmb_extract_new(uint64_t inbuf_max, uint64_t outbuf_max)
{
    auto *ctx = new (std::nothrow) ExtractCtx{};
    if (ctx) {
        ctx->inbuf_max = inbuf_max;
        ctx->outbuf_max = outbuf_max == 0 ? FLUSH_CAP : std::min(outbuf_max, FLUSH_CAP);
    }
    return ctx;
}

bool tmb_extract_out_of_memory(const ExtractCtx *ctx) { return ctx->no_memory; }

void tmb_extract_free(ExtractCtx *ctx)
{
    if (!ctx)
        return;
    lzh::decoder_free(ctx->dec);
    free(ctx->held.buf);
    delete ctx;
}

void tmb_extract_reset_tables(ExtractCtx *ctx)
{
    if (ctx->dec)
        lzh::decode_tables_reset(ctx->dec);
}

bool tmb_extract_supported(const EntryHeader *h)
{
    const MethodAction *m = find_action(h->method);
    return m && (m->action != Action::Lh1 || h->orig_size == 0);
}

namespace {

// Starts the decoder on one entry whose packed bytes come from `src`
// (memory or a read callback) after the method was found supported.
void start(ExtractCtx *ctx, const MethodAction *m, const lzh::Source &src, const EntryHeader *h, bool keep)
{
    if (m->action == Action::Stored)
        lzh::copy_start(ctx->dec, src, h->orig_size, keep);
    else if (m->action == Action::Decode)
        lzh::decode_start(ctx->dec, src, h->method, h->orig_size, keep);
    else
        lzh::copy_start(ctx->dec, src, 0, keep); // an empty "-lh1-" entry
}

// Leaves the archive stream past the entry, whether or not all was read.
void leave(ExtractCtx *ctx)
{
    if (!ctx->arc)
        return;
    if (ctx->end_at >= 0)
        fseeko(ctx->arc, ctx->end_at, SEEK_SET);
    else if (ctx->sin.left != 0)
        fseeko(ctx->arc, (off_t)ctx->sin.left, SEEK_CUR);
    ctx->arc = nullptr;
}

// The method's action, or nullptr after saying it is unsupported; and the
// decoder, obtained on first use.
const MethodAction *prepare(ExtractCtx *ctx, const EntryHeader *h, int *rc)
{
    ctx->no_memory = false;
    const MethodAction *m = find_action(h->method);
    if (!m || (m->action == Action::Lh1 && h->orig_size != 0)) {
        // "-lh1-" cannot be decoded here; only an empty entry is fine.
        *rc = TMB_EXTRACT_UNSUPPORTED;
        return nullptr;
    }
    if (!ctx->dec && !(ctx->dec = lzh::decoder_new(ctx->outbuf_max))) {
        ctx->no_memory = true;
        *rc = TMB_EXTRACT_FAILED;
        return nullptr;
    }
    return m;
}

} // namespace

namespace {

int begin_stream(ExtractCtx *ctx, FILE *arc, const EntryHeader *h, bool keep)
{
    int rc;
    ctx->arc = nullptr;
    const MethodAction *m = prepare(ctx, h, &rc);
    if (!m) {
        fseeko(arc, (off_t)h->comp_size, SEEK_CUR);
        return rc;
    }
    uint8_t *whole = read_whole(ctx->held, arc, h->comp_size, ctx->inbuf_max);
    ctx->arc = arc;
    ctx->end_at = -1;
    if (!whole) {
        // Streamed from a regular file, the bytes go straight from the file
        // into the decoder's chunk (pread); through the stream's buffer
        // each would be copied twice. The stream moves past the entry at
        // its end.
        int fd = fileno(arc);
        off_t at = ftello(arc);
        struct stat st;
        if (fd >= 0 && at >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            ctx->pin = {fd, (int64_t)at, h->comp_size};
            ctx->end_at = at + (off_t)h->comp_size;
            start(ctx, m, source_of(nullptr, h->comp_size, pread_read, &ctx->pin), h, keep);
            return TMB_EXTRACT_OK;
        }
    }
    ctx->sin = {arc, whole ? 0 : h->comp_size};
    start(ctx, m, source_of(whole, h->comp_size, stream_read, &ctx->sin), h, keep);
    return TMB_EXTRACT_OK;
}

// Pulls the started entry through to `out` (nullptr: nowhere).
int drain(ExtractCtx *ctx, FILE *out, uint16_t *crc, const lzh::Progress &prog)
{
    for (;;) {
        const uint8_t *p;
        size_t n;
        int rc = tmb_extract_next(ctx, &p, &n, crc);
        if (rc != TMB_EXTRACT_PIECE) {
            // Buffered bytes may fail to go out only now.
            if (rc == TMB_EXTRACT_OK && out && fflush(out) != 0)
                rc = TMB_EXTRACT_FAILED;
            return rc;
        }
        prog.add(n);
        if (out && (fwrite(p, 1, n, out) != n || ferror(out))) {
            leave(ctx);
            return TMB_EXTRACT_FAILED;
        }
    }
}

} // namespace

int tmb_extract_begin(ExtractCtx *ctx, FILE *arc, const EntryHeader *h)
{
    return begin_stream(ctx, arc, h, true);
}

int tmb_extract_next(ExtractCtx *ctx, const uint8_t **p, size_t *n, uint16_t *crc)
{
    int rc = lzh::decode_next(ctx->dec, p, n);
    if (rc == lzh::DECODE_MORE)
        return TMB_EXTRACT_PIECE;
    leave(ctx);
    if (rc != lzh::DECODE_OK)
        return TMB_EXTRACT_DAMAGED;
    *crc = lzh::decode_crc(ctx->dec);
    return TMB_EXTRACT_OK;
}

int tmb_extract(ExtractCtx *ctx, FILE *arc, FILE *out, const EntryHeader *h, uint16_t *crc,
                const lzh::Progress &prog)
{
    int rc = begin_stream(ctx, arc, h, out != nullptr);
    return rc == TMB_EXTRACT_OK ? drain(ctx, out, crc, prog) : rc;
}

int tmb_extract_at(ExtractCtx *ctx, int fd, int64_t offset, FILE *out, const EntryHeader *h,
                   uint16_t *crc, const lzh::Progress &prog)
{
    int rc;
    ctx->arc = nullptr;
    const MethodAction *m = prepare(ctx, h, &rc);
    if (!m)
        return rc;
    ctx->pin = {fd, offset, h->comp_size};
    uint8_t *whole = nullptr;
    if (read_whole_ok(h->comp_size, ctx->inbuf_max, fd, [offset] { return offset; }) &&
        (whole = hold(ctx->held, (size_t)h->comp_size))) {
        PreadIn probe = ctx->pin;
        if (pread_read(&probe, whole, (size_t)h->comp_size) != h->comp_size)
            whole = nullptr; // short: stream the same bytes instead
    }
    start(ctx, m, source_of(whole, h->comp_size, pread_read, &ctx->pin), h, out != nullptr);
    return drain(ctx, out, crc, prog);
}
