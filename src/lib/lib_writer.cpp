// Writing an archive: entries packed by the program's encoders and written
// with the program's level-2 header, so the bytes are those of `tambrix a`
// for the same input and time.
//
// As in the program, an entry's data is packed into a private temporary
// (an unlinked file with a large buffer: most entries never reach the disk)
// because the header, which carries the packed size and the CRC, comes
// first; the jobs run on an OrderedPool, so with several threads entries
// are packed at once and still written in the order they were added.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tmb_cleanup.h"
#include "tmb_compress.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_lib.h"
#include "tmb_lib_input.h"
#include "tmb_pool.h"
#include "tmb_stream.h"

namespace {

// The size fields of an entry header are 32 bits wide.
constexpr uint64_t kMaxEntrySize = 0xFFFFFFFFull;
constexpr size_t kSlotBuffer = 256 * 1024;

struct Slot {
    FILE *fp = nullptr;
    StreamBuffer buf; // kSlotBuffer bytes; outlives the stream
    ~Slot()
    {
        if (fp)
            fclose(fp);
    }
};

struct AddJob {
    LibInput in;
    EntryHeader h = {};
    int method = 0;
    bool optimal = false;
    bool dir = false;
    Slot *slot = nullptr;
    // Input bytes packed so far: counted by the worker, shown by the
    // caller's thread (at once when there are no workers).
    std::atomic<uint64_t> done{0};
    uint64_t total = 0; // the input's size, fixed before the work starts
    const LibSettings *set = nullptr;
    bool report_inline = false;
    // Set by the work.
    int rc = TAMBRIX_OK;
    uint64_t packed = 0;
};

} // namespace

struct tambrix_writer {
    SafeOutput out;          // the file and, for a path, its temporary
    bool to_path = false;
    LibSettings set;
    int threads = 1;
    std::unique_ptr<OrderedPool> pool;
    std::vector<EncoderCtx *> ctxs;
    std::vector<std::unique_ptr<Slot>> slots;
    std::vector<Slot *> free_slots;
    std::atomic<bool> abandon{false};
    int final_rc = TAMBRIX_OK;  // TAMBRIX_E_WRITE once the archive is lost
    int pending = TAMBRIX_OK;   // the first failure of a queued entry not returned
    bool finished = false;

    ~tambrix_writer()
    {
        abandon = true;
        pool.reset();  // queued work stops at its next read
        for (EncoderCtx *c : ctxs)
            tmb_encoder_free(c);
        if (!finished) {
            if (to_path)
                tmb_output_abort(&out);
            else
                out.file.close();
        }
    }
};

namespace {

// Every entry this program writes: attribute 0x20, level 2, OS id 'A'.
void fill_header(EntryHeader *h, const char *name, int64_t mtime)
{
    memset(h, 0, sizeof *h);
    h->attribute = 0x20;
    h->level = 2;
    h->os_id = 'A';
    h->mtime = mtime;
    snprintf(h->name, sizeof h->name, "%s", name);
}

bool name_ok(const char *name, size_t max)
{
    return name && name[0] && strlen(name) <= max;
}

// The pool and the workers' encoders, made with the first entry.
int ensure_pool(tambrix_writer *w)
{
    if (w->pool)
        return TAMBRIX_OK;
    int n = tmb_thread_count(w->threads);
    for (int i = 0; i < n; i++) {
        EncoderCtx *c = tmb_encoder_new();
        if (!c)
            return TAMBRIX_E_NOMEM;
        w->ctxs.push_back(c);
    }
    w->pool = std::make_unique<OrderedPool>(n, tmb_pool_queue(n));
    return TAMBRIX_OK;
}

// A rewound temporary for one entry's packed data, or nullptr.
Slot *slot_take(tambrix_writer *w)
{
    if (!w->free_slots.empty()) {
        Slot *s = w->free_slots.back();
        w->free_slots.pop_back();
        clearerr(s->fp);
        if (fseeko(s->fp, 0, SEEK_SET) == 0)
            return s;
        w->free_slots.push_back(s);
        return nullptr;
    }
    char prefix[PATH_MAX], path[PATH_MAX];
    snprintf(prefix, sizeof prefix, "%s/tambrix_", tmb_temp_dir());
    FILE *fp = tmb_create_temp(prefix, ".tmp", path, sizeof path);
    if (!fp)
        return nullptr;
    // Nobody else can reach it, and it goes with the process however that
    // ends.
    unlink(path);
    tmb_cleanup_release(path);
    auto s = std::make_unique<Slot>();
    s->fp = s->buf.attach(fp, kSlotBuffer);
    w->slots.push_back(std::move(s));
    return w->slots.back().get();
}

void count_progress(void *user, uint64_t n)
{
    auto *j = static_cast<AddJob *>(user);
    uint64_t done = j->done.fetch_add(n, std::memory_order_relaxed) + n;
    if (j->report_inline)
        j->set->report(done, j->total);
}

// A stored copy into the slot, with its CRC-16, as the program stores a
// file: method 0 and both sizes the input's length.
bool copy_stored(AddJob &j, FILE *in, FILE *slot, const lzh::Progress &prog)
{
    std::vector<uint8_t> buf(65536);
    uint16_t crc = 0;
    uint64_t total = 0;
    size_t k;
    while ((k = fread(buf.data(), 1, buf.size(), in)) > 0) {
        crc = tmb_crc16(buf.data(), k, crc);
        if (fwrite(buf.data(), 1, k, slot) != k)
            return false;
        total += k;
        prog.add(k);
    }
    j.h.method = 0;
    j.h.orig_size = j.h.comp_size = total;
    j.h.crc = crc;
    return true;
}

// The work of one entry, on any thread: its data packed into its slot.
void pack(AddJob &j, EncoderCtx *ctx)
{
    if (j.dir)
        return;
    BufferedFile in(lib_input_open(&j.in));
    if (!in) {
        j.rc = TAMBRIX_E_NOMEM;
        return;
    }
    FILE *slot = j.slot->fp;
    lzh::Progress prog = {count_progress, &j};
    bool ok = j.method == 0 ? copy_stored(j, in.get(), slot, prog)
                            : tmb_compress(ctx, in.get(), slot, &j.h, j.method, j.optimal, prog) != 0;
    bool read_failed = ferror(in.get()) != 0;
    bool tmp_failed = fflush(slot) != 0 || ferror(slot);
    off_t end = ftello(slot);
    // The most telling first: the encoder takes a failed read for the end
    // of its input, and a cancelled or unreadable input must not become a
    // silently shortened entry.
    if (j.in.cancelled)
        j.rc = TAMBRIX_E_CANCELLED;
    else if (tmp_failed || end < 0)
        j.rc = TAMBRIX_E_WRITE;
    else if (read_failed || !ok)
        j.rc = TAMBRIX_E_READ;
    else if (j.h.orig_size > kMaxEntrySize)
        j.rc = TAMBRIX_E_TOO_LARGE;
    j.packed = end > 0 ? (uint64_t)end : 0;
}

// The finish of one entry, on the caller's thread in the order of the
// adds: its header and data into the archive.
void write_entry(tambrix_writer *w, AddJob &j)
{
    if (w->final_rc != TAMBRIX_OK || w->abandon)
        return;
    if (j.rc != TAMBRIX_OK) {
        // The packing temporary is the archive's: a full disk there loses
        // the archive as much as one in the archive itself.
        if (j.rc == TAMBRIX_E_WRITE)
            w->final_rc = TAMBRIX_E_WRITE;
        else if (w->pending == TAMBRIX_OK)
            w->pending = j.rc;
        return;
    }
    FILE *arc = w->out.file.get();
    if (!j.dir)
        j.h.comp_size = j.packed;
    if (!tmb_write_header_lv2(arc, &j.h)) {
        w->final_rc = TAMBRIX_E_WRITE;
        return;
    }
    if (!j.dir) {
        rewind(j.slot->fp);
        if (tmb_copy_bytes(j.slot->fp, arc, j.h.comp_size) != CopyResult::kDone) {
            w->final_rc = TAMBRIX_E_WRITE;
            return;
        }
    }
    w->set.report(j.total, j.total);
}

int take_pending(tambrix_writer *w)
{
    if (w->final_rc != TAMBRIX_OK)
        return w->final_rc;
    int rc = w->pending;
    w->pending = TAMBRIX_OK;
    return rc;
}

// What every add checks first.
int add_allowed(tambrix_writer *w)
{
    if (w->finished)
        return TAMBRIX_E_ARG;
    if (w->final_rc != TAMBRIX_OK)
        return w->final_rc;
    if (w->set.cancelled())
        return TAMBRIX_E_CANCELLED;
    return TAMBRIX_OK;
}

// Queues a job; with one thread it has run when this returns, and its
// result is returned.
int submit(tambrix_writer *w, std::shared_ptr<AddJob> j)
{
    int rc = ensure_pool(w);
    if (rc != TAMBRIX_OK)
        return rc;
    if (!j->dir && !(j->slot = slot_take(w)))
        return TAMBRIX_E_OPEN;
    j->set = &w->set;
    j->report_inline = !w->pool->threaded();
    w->pool->submit([w, j](int worker) { pack(*j, w->ctxs[(size_t)worker]); },
                    [w, j] {
                        write_entry(w, *j);
                        if (j->slot)
                            w->free_slots.push_back(j->slot);
                    },
                    nullptr, [w, j] { w->set.report(j->done.load(std::memory_order_relaxed), j->total); });
    return w->pool->threaded() ? w->final_rc : take_pending(w);
}

// A file entry whose input the caller has set up in `j`.
int add_input(tambrix_writer *w, std::shared_ptr<AddJob> j, const char *name, int64_t mtime,
              const char *method, int flags)
{
    j->method = lib_pack_method(method);
    if (j->method < 0)
        return TAMBRIX_E_UNSUPPORTED;
    if (j->in.size > kMaxEntrySize)
        return TAMBRIX_E_TOO_LARGE;
    fill_header(&j->h, name, mtime);
    j->h.method = j->method;
    j->h.orig_size = j->total = j->in.size;
    j->optimal = (flags & TAMBRIX_OPTIMAL) != 0;
    j->in.abandon = &w->abandon;
    j->in.set = &w->set;
    return submit(w, std::move(j));
}

// The regular file on `fd` (taken over) from `from` to its end as the
// input; `st` is filled.
int take_file(AddJob &j, int fd, uint64_t from, struct stat *st)
{
    j.in.fd = fd;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode))
        return TAMBRIX_E_OPEN;
    uint64_t size = (uint64_t)st->st_size;
    j.in.base = from;
    j.in.size = from < size ? size - from : 0;
    return TAMBRIX_OK;
}

int check_add(tambrix_writer *w, const char *name, int flags)
{
    if (!w || !name_ok(name, 255) || (flags & ~TAMBRIX_OPTIMAL) != 0)
        return TAMBRIX_E_ARG;
    return add_allowed(w);
}

} // namespace

extern "C" {

int tambrix_writer_open_path(tambrix_writer **out, const char *path)
{
    if (!out || !path || !path[0])
        return TAMBRIX_E_ARG;
    *out = nullptr;
    return lib_guard([&]() -> int {
        auto w = std::make_unique<tambrix_writer>();
        w->to_path = true;
        if (!tmb_output_open(&w->out, path)) {
            w->finished = true; // nothing to abandon
            return TAMBRIX_E_OPEN;
        }
        *out = w.release();
        return TAMBRIX_OK;
    });
}

int tambrix_writer_open_fd(tambrix_writer **out, int fd)
{
    if (!out || fd < 0)
        return TAMBRIX_E_ARG;
    *out = nullptr;
    return lib_guard([&]() -> int {
        auto w = std::make_unique<tambrix_writer>();
        int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0)
            return TAMBRIX_E_OPEN;
        FILE *fp = fdopen(own, "wb");
        if (!fp) {
            close(own);
            return TAMBRIX_E_OPEN;
        }
        w->out.file.reset(fp);
        *out = w.release();
        return TAMBRIX_OK;
    });
}

int tambrix_writer_set_threads(tambrix_writer *w, int threads)
{
    if (!w || threads < 0 || w->pool)
        return TAMBRIX_E_ARG;
    w->threads = threads;
    return TAMBRIX_OK;
}

int tambrix_writer_set_progress(tambrix_writer *w, tambrix_progress_fn fn, void *user)
{
    if (!w)
        return TAMBRIX_E_ARG;
    w->set.progress = fn;
    w->set.progress_user = user;
    return TAMBRIX_OK;
}

int tambrix_writer_set_cancel(tambrix_writer *w, const volatile int *flag)
{
    if (!w)
        return TAMBRIX_E_ARG;
    w->set.cancel = flag;
    return TAMBRIX_OK;
}

int tambrix_add_memory(tambrix_writer *w, const char *name, const void *data, size_t size, int64_t mtime,
                       const char *method, int flags)
{
    int rc = check_add(w, name, flags);
    if (rc != TAMBRIX_OK)
        return rc;
    if (!data && size != 0)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int {
        auto j = std::make_shared<AddJob>();
        j->in.mem = static_cast<const uint8_t *>(data);
        j->in.size = size;
        return add_input(w, std::move(j), name, mtime, method, flags);
    });
}

int tambrix_add_fd(tambrix_writer *w, const char *name, int fd, int64_t mtime, const char *method, int flags)
{
    int rc = check_add(w, name, flags);
    if (rc != TAMBRIX_OK)
        return rc;
    if (fd < 0)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int {
        off_t from = lseek(fd, 0, SEEK_CUR);
        if (from < 0)
            return TAMBRIX_E_OPEN;
        int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0)
            return TAMBRIX_E_OPEN;
        auto j = std::make_shared<AddJob>();
        struct stat st;
        int r = take_file(*j, own, (uint64_t)from, &st);
        if (r != TAMBRIX_OK)
            return r;
        return add_input(w, std::move(j), name, mtime, method, flags);
    });
}

int tambrix_add_path(tambrix_writer *w, const char *name, const char *path, const char *method, int flags)
{
    int rc = check_add(w, name, flags);
    if (rc != TAMBRIX_OK)
        return rc;
    if (!path)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int {
        // Not blocking on a FIFO, and never reading a device: only a
        // regular file is taken.
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return TAMBRIX_E_OPEN;
        auto j = std::make_shared<AddJob>();
        struct stat st;
        int r = take_file(*j, fd, 0, &st);
        if (r != TAMBRIX_OK)
            return r;
        // As the program: a time of 0 means none was kept.
        int64_t mtime = st.st_mtime != 0 ? (int64_t)st.st_mtime : (int64_t)time(nullptr);
        return add_input(w, std::move(j), name, mtime, method, flags);
    });
}

int tambrix_add_directory(tambrix_writer *w, const char *name, int64_t mtime)
{
    int rc = check_add(w, name, 0);
    if (rc != TAMBRIX_OK)
        return rc;
    size_t n = strlen(name);
    if (name[n - 1] != '/' && n > 254)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int {
        auto j = std::make_shared<AddJob>();
        j->dir = true;
        std::string dir = name;
        if (dir.back() != '/')
            dir += '/';
        fill_header(&j->h, dir.c_str(), mtime);
        j->h.method = 0;
        j->h.is_dir = 1;
        return submit(w, std::move(j));
    });
}

int tambrix_writer_flush(tambrix_writer *w)
{
    if (!w)
        return TAMBRIX_E_ARG;
    return lib_guard([&]() -> int {
        if (w->pool)
            w->pool->drain();
        return take_pending(w);
    });
}

int tambrix_writer_finish(tambrix_writer *w)
{
    if (!w || w->finished)
        return TAMBRIX_E_ARG;
    int rc = tambrix_writer_flush(w);
    if (rc != TAMBRIX_OK)
        return rc;
    if (w->set.cancelled())
        return TAMBRIX_E_CANCELLED;
    return lib_guard([&]() -> int {
        // The end mark: a zero byte where the next header would start, and
        // one more, as the program ends every archive.
        FILE *fp = w->out.file.get();
        bool ok = fwrite("\0\0", 1, 2, fp) == 2;
        if (!ok)
            return w->final_rc = TAMBRIX_E_WRITE; // abandoned by free
        w->finished = true;
        ok = w->to_path ? tmb_output_commit(&w->out) != 0 : w->out.file.close_checked() != 0;
        if (!ok)
            w->final_rc = TAMBRIX_E_WRITE;
        return w->final_rc;
    });
}

int tambrix_writer_free(tambrix_writer *w)
{
    delete w;
    return TAMBRIX_OK;
}

} // extern "C"
