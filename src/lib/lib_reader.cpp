// Reading an archive: the walk over its entries and each entry's data.
//
// The walk is the program's (tmb_walk_next), so an archive ends, and is
// damaged, exactly where the program's listing says; the data is unpacked
// by the program's extraction driver on the caller's thread, each read
// copying from the piece the decoder last produced, in its own buffer.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_header.h"
#include "tmb_lib.h"
#include "tmb_method.h"
#include "tmb_shown.h"
#include "tmb_stream.h"

namespace {
constexpr int kDataPending = 1;
}

struct tambrix_reader {
    BufferedFile file;
    int64_t size = -1;
    ExtractCtx *ex = nullptr;
    LibSettings set;
    int walk = TAMBRIX_OK;   // TAMBRIX_END or an error once the walk stopped
    bool at_entry = false;   // h describes an entry whose data can be read
    EntryHeader h = {};
    std::string shown;
    // The current entry's data.
    int data = TAMBRIX_OK;   // its end: 1 while bytes may still come
    bool started = false;    // the driver has begun on the entry
    int ended = kDataPending; // the driver's end, told once the piece is taken
    const uint8_t *piece = nullptr; // the driver's last piece, not all taken
    size_t piece_len = 0;
    uint64_t delivered = 0;

    ~tambrix_reader() { tmb_extract_free(ex); }
};

namespace {

// The archive read from `fp` (at its start) of `size` bytes.
int reader_new(tambrix_reader **out, FILE *fp, int64_t size)
{
    auto r = std::make_unique<tambrix_reader>();
    r->file.reset(fp);
    r->size = size;
    // The program's default limits: small entries read whole.
    r->ex = tmb_extract_new(256u << 10, 0);
    if (!r->ex)
        return TAMBRIX_E_NOMEM;
    *out = r.release();
    return TAMBRIX_OK;
}

// A regular file open on `fd` (taken over) as an archive.
int reader_from_fd(tambrix_reader **out, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return TAMBRIX_E_OPEN;
    }
    FILE *fp = fdopen(fd, "rb");
    if (!fp) {
        close(fd);
        return TAMBRIX_E_NOMEM;
    }
    int rc = reader_new(out, fp, (int64_t)st.st_size);
    if (rc != TAMBRIX_OK)
        fclose(fp);
    return rc;
}

void fill_info(const tambrix_reader *r, tambrix_entry_info *info)
{
    const EntryHeader &h = r->h;
    info->name = reinterpret_cast<const unsigned char *>(h.name);
    info->name_len = strlen(h.name);
    info->display = r->shown.c_str();
    info->method = tmb_method_name(h.method);
    info->packed_size = h.comp_size;
    info->original_size = h.orig_size;
    info->mtime = h.mtime;
    info->crc = h.crc;
    info->is_dir = h.is_dir;
    info->level = h.level;
    info->name_cut = h.name_cut;
}

int next_entry(tambrix_reader *r, tambrix_entry_info *info)
{
    if (r->walk != TAMBRIX_OK)
        return r->walk;
    FILE *fp = r->file.get();
    if (r->at_entry) {
        r->at_entry = false;
        // Packed sizes are at most 32 bits wide: this always moves forward.
        if (fseeko(fp, (off_t)(r->h.data_pos + (int64_t)r->h.comp_size), SEEK_SET) != 0)
            return r->walk = TAMBRIX_E_READ;
    }
    for (;;) {
        const char *why = nullptr;
        int w = tmb_walk_next(fp, r->size, &r->h, &why);
        if (w == TMB_WALK_END)
            return r->walk = TAMBRIX_END;
        if (w == TMB_WALK_CUT) {
            r->shown = tmb_shown(r->h.name);
            fill_info(r, info);
            // At the start of a file, bytes that merely read as a header
            // of no known method are no archive (as the program says);
            // an entry of a known method is an archive cut short.
            bool none = r->h.header_pos == 0 && r->h.method == -1;
            return r->walk = none ? TAMBRIX_E_NOT_ARCHIVE : TAMBRIX_E_TRUNCATED;
        }
        if (w != TMB_WALK_ENTRY) {
            if (ferror(fp))
                return r->walk = TAMBRIX_E_READ;
            return r->walk = r->h.header_pos == 0 ? TAMBRIX_E_NOT_ARCHIVE : TAMBRIX_E_DAMAGED;
        }
        if (r->h.method != -1)
            break;
        // A method the format does not know: stepped over, unlisted.
        if (fseeko(fp, (off_t)(r->h.data_pos + (int64_t)r->h.comp_size), SEEK_SET) != 0)
            return r->walk = TAMBRIX_E_READ;
    }
    r->at_entry = true;
    r->data = kDataPending;
    r->started = false;
    r->ended = kDataPending;
    r->piece = nullptr;
    r->piece_len = 0;
    r->delivered = 0;
    r->shown = tmb_shown(r->h.name);
    fill_info(r, info);
    return TAMBRIX_OK;
}

// How the driver's run ended, as the caller sees it.
int data_result(const tambrix_reader *r, int rc, uint16_t crc)
{
    switch (rc) {
    case TMB_EXTRACT_OK:
        return crc == r->h.crc ? TAMBRIX_OK : TAMBRIX_E_CRC;
    case TMB_EXTRACT_DAMAGED:
        return TAMBRIX_E_DAMAGED;
    case TMB_EXTRACT_UNSUPPORTED:
        return TAMBRIX_E_UNSUPPORTED;
    default:
        return ferror(r->file.get()) ? TAMBRIX_E_READ : TAMBRIX_E_NOMEM;
    }
}

// Takes the driver's next piece into r->piece, or keeps its end in
// r->ended. The cancel flag is looked at before each piece, as often as
// the program's own extraction would.
void next_piece(tambrix_reader *r)
{
    if (r->set.cancelled()) {
        r->ended = TAMBRIX_E_CANCELLED;
        return;
    }
    uint16_t crc = 0;
    int rc = tmb_extract_next(r->ex, &r->piece, &r->piece_len, &crc);
    if (rc != TMB_EXTRACT_PIECE) {
        r->piece_len = 0;
        r->ended = data_result(r, rc, crc);
    }
}

int read_data(tambrix_reader *r, uint8_t *buf, size_t cap, size_t *got)
{
    if (r->data != kDataPending)
        return r->data;
    if (r->set.cancelled())
        return r->data = TAMBRIX_E_CANCELLED;
    if (!r->started) {
        // Checked here, so that the driver never has to say so itself.
        if (!tmb_extract_supported(&r->h))
            return r->data = TAMBRIX_E_UNSUPPORTED;
        int rc = tmb_extract_begin(r->ex, r->file.get(), &r->h);
        if (rc != TMB_EXTRACT_OK)
            return r->data = data_result(r, rc, 0);
        r->started = true;
    }
    size_t n = 0;
    while (n < cap && r->ended == kDataPending) {
        if (r->piece_len == 0) {
            next_piece(r);
            continue;
        }
        size_t k = std::min(cap - n, r->piece_len);
        memcpy(buf + n, r->piece, k);
        r->piece += k;
        r->piece_len -= k;
        n += k;
    }
    if (n != 0) {
        r->delivered += n;
        r->set.report(r->delivered, r->h.orig_size);
        *got = n;
        return TAMBRIX_OK;
    }
    return r->data = r->ended;
}

} // namespace

extern "C" {

int tambrix_reader_open_path(tambrix_reader **out, const char *path)
{
    if (!out || !path)
        return TAMBRIX_E_ARG;
    *out = nullptr;
    return lib_guard([&]() -> int {
        // Not blocking on a FIFO: only a regular file is taken.
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return TAMBRIX_E_OPEN;
        return reader_from_fd(out, fd);
    });
}

int tambrix_reader_open_fd(tambrix_reader **out, int fd)
{
    if (!out || fd < 0)
        return TAMBRIX_E_ARG;
    *out = nullptr;
    return lib_guard([&]() -> int {
        int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0)
            return TAMBRIX_E_OPEN;
        return reader_from_fd(out, own);
    });
}

int tambrix_reader_open_memory(tambrix_reader **out, const void *data, size_t size)
{
    if (!out || (!data && size != 0))
        return TAMBRIX_E_ARG;
    *out = nullptr;
    return lib_guard([&]() -> int {
        if (size == 0) {
            // An empty file is an empty archive; a memory stream cannot be
            // empty.
            int rc = reader_new(out, nullptr, 0);
            if (rc == TAMBRIX_OK)
                (*out)->walk = TAMBRIX_END;
            return rc;
        }
        FILE *fp = fmemopen(const_cast<void *>(data), size, "rb");
        if (!fp)
            return TAMBRIX_E_NOMEM;
        int rc = reader_new(out, fp, (int64_t)size);
        if (rc != TAMBRIX_OK)
            fclose(fp);
        return rc;
    });
}

int tambrix_reader_next(tambrix_reader *r, tambrix_entry_info *info)
{
    if (!r || !info)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int { return next_entry(r, info); });
}

int tambrix_read(tambrix_reader *r, void *buf, size_t cap, size_t *got)
{
    if (!r || !got || (!buf && cap != 0))
        return TAMBRIX_E_ARG;
    *got = 0;
    // A zero count could not be told from the verified end.
    if (!r->at_entry || cap == 0)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int { return read_data(r, static_cast<uint8_t *>(buf), cap, got); });
}

int tambrix_reader_set_progress(tambrix_reader *r, tambrix_progress_fn fn, void *user)
{
    if (!r)
        return TAMBRIX_E_ARG;
    r->set.progress = fn;
    r->set.progress_user = user;
    return TAMBRIX_OK;
}

int tambrix_reader_set_cancel(tambrix_reader *r, const volatile int *flag)
{
    if (!r)
        return TAMBRIX_E_ARG;
    r->set.cancel = flag;
    return TAMBRIX_OK;
}

int tambrix_reader_free(tambrix_reader *r)
{
    delete r;
    return TAMBRIX_OK;
}

} // extern "C"
