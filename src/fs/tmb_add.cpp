// Adding one path of the file system to an open archive stream.
//
// A file becomes one entry with a level-2 header: stored ("-lh0-") straight
// from the file in chunks, or packed into a private temporary file first, because the
// header, which carries the packed size and the CRC, must precede the data.
// A directory is walked with -r; a directory with nothing in it becomes an
// entry of its own whose name ends in '/'.
#include "tmb_add.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_cleanup.h"
#include "tmb_compress.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_pool.h"
#include "tmb_worker_progress.h"
#include "tmb_shown.h"
#include "tmb_stream.h"
#include "tmb_wildcard.h"


namespace {

// The size fields of an entry header are 32 bits wide.
constexpr uint64_t kMaxEntrySize = 0xFFFFFFFFull;

int64_t mtime_or_now(const struct stat *st)
{
    if (st && st->st_mtime != 0)
        return (int64_t)st->st_mtime;
    return (int64_t)time(nullptr);
}

void copy_name(char *dst, const char *src, size_t max_len)
{
    size_t n = strlen(src);
    if (n > max_len)
        n = max_len;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Every entry this program writes: attribute 0x20, level 2, OS id 'A'.
void fill_header(EntryHeader *h, const char *name, int64_t mtime)
{
    memset(h, 0, sizeof *h);
    h->attribute = 0x20;
    h->level = 2;
    h->os_id = 'A';
    h->mtime = mtime;
    copy_name(h->name, name, 255);
}

// Ends the "[n] adding:" line of a failed file.
void end_line_error(AddState &as)
{
    if (!as.set.quiet)
        msg_puts(as.msg, MSG_OUT, " ERROR\n");
}

// Opens a file for reading without blocking on a FIFO and without following
// the caller into a device: only regular files are accepted. On success
// `st` describes the opened file. Returns no stream with errno set, or with
// *not_regular / *too_large set for a file that exists but is refused.
BufferedFile open_input(const char *path, struct stat *st, bool *not_regular, bool *too_large)
{
    *not_regular = false;
    *too_large = false;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return BufferedFile();
    if (fstat(fd, st) != 0) {
        close(fd);
        return BufferedFile();
    }
    if (!S_ISREG(st->st_mode)) {
        *not_regular = true;
        close(fd);
        return BufferedFile();
    }
    if ((uint64_t)st->st_size > kMaxEntrySize) {
        *too_large = true;
        close(fd);
        return BufferedFile();
    }
    // O_NONBLOCK may stay: it changes nothing for a regular file.
    FILE *fp = fdopen(fd, "rb");
    if (!fp)
        close(fd);
    return BufferedFile(fp);
}

// Reports a file that exists but cannot become an entry; 1 when it was one.
int report_refused(AddState &as, const char *path, bool not_regular, bool too_large)
{
    if (not_regular)
        msg_printf(as.msg, MSG_ERR, "  Not a regular file: %s\n", tmb_shown(path).c_str());
    else if (too_large)
        msg_printf(as.msg, MSG_ERR, "  File too large (4 GiB or more): %s\n", tmb_shown(path).c_str());
    else
        return 0;
    end_line_error(as);
    return 1;
}

void progress_begin(AddState &as, uint64_t total)
{
    if (as.progress.begin)
        as.progress.begin(as.progress.user, total);
}

void progress_end(AddState &as)
{
    if (as.progress.end)
        as.progress.end(as.progress.user);
}

// Takes back a header whose data could not follow it, so that the next
// entry (or the end mark) is written over it.
void undo_entry(FILE *arc, off_t entry_start)
{
    if (entry_start >= 0)
        fseeko(arc, entry_start, SEEK_SET);
}

// ---------------------------------------------------------------------------
// Packing on every core
//
// Files are packed by a pool of workers, each with its own encoder context,
// while the walk goes on; what the user sees and what goes into the archive
// happens in the finish of each job, in the order of the walk, so the
// archive and the output are those of a run on one thread. Everything the
// walk would print or write is a job of its own (a finish without work).

// Where a packed entry waits for its turn: an exclusive temporary file in
// the temporary directory, unlinked at once (no other process can reach it
// and it vanishes with the process whatever way the process ends), with a
// large stream buffer, so that most entries never leave memory before they
// are copied into the archive. A slot serves one pending job at a time and
// is reused; the pool holds at most as many jobs as there are slots.
constexpr size_t kSlotBuf = 256 * 1024;

} // namespace

struct PackSlot {
    FILE *fp = nullptr;
    StreamBuffer buf; // kSlotBuf bytes, kept with the slot
    char name[4096] = {};
};

struct PackSession {
    std::unique_ptr<OrderedPool> pool;
    std::vector<EncoderCtx *> ctxs;         // one per worker
    std::vector<std::unique_ptr<PackSlot>> slots;
    std::vector<PackSlot *> free_slots;
    bool stopped = false;                   // the archive cannot be built: finish nothing more
    bool told_fallback = false;             // -9 without its memory has been said
    FILE *arc = nullptr;
};

namespace {

// A slot, rewound, or nullptr with errno set (and the directory where its
// file could not be made, for the message).
PackSlot *slot_take(AddState &as, char *failed_dir, size_t size)
{
    PackSession &ps = *as.session;
    PackSlot *sl = nullptr;
    if (!ps.free_slots.empty()) {
        sl = ps.free_slots.back();
        ps.free_slots.pop_back();
        // A slot whose file could not be made (or rewound) gets a new one.
        if (sl->fp) {
            clearerr(sl->fp);
            if (fseeko(sl->fp, 0, SEEK_SET) == 0)
                return sl;
            fclose(sl->fp);
            sl->fp = nullptr;
        }
    } else {
        ps.slots.push_back(std::make_unique<PackSlot>());
        sl = ps.slots.back().get();
    }
    char prefix[sizeof sl->name];
    snprintf(prefix, sizeof prefix, "%s/tambrix_", tmb_temp_dir());
    // Registered until its name is gone, so that a signal in between
    // removes it.
    sl->fp = tmb_create_temp(prefix, ".tmp", sl->name, sizeof sl->name);
    if (!sl->fp) {
        int e = errno;
        snprintf(failed_dir, size, "%s", tmb_temp_dir());
        ps.free_slots.push_back(sl);
        errno = e;
        return nullptr;
    }
    unlink(sl->name);
    tmb_cleanup_release(sl->name);
    sl->buf.attach(sl->fp, kSlotBuf);
    return sl;
}

void slot_give(AddState &as, PackSlot *sl)
{
    if (sl)
        as.session->free_slots.push_back(sl);
}

// Queues a job; `finish` and `head` are skipped once the archive cannot
// be built (`cleanup` runs whatever happens).
void submit(AddState &as, std::function<void(int)> work, std::function<void()> finish, std::function<void()> head = nullptr,
            std::function<void()> tick = nullptr, std::function<void()> cleanup = nullptr)
{
    PackSession &ps = *as.session;
    auto guarded = [&as, f = std::move(finish), c = std::move(cleanup)] {
        if (!as.session->stopped)
            f();
        if (c)
            c();
    };
    auto guarded_head = [&as, h = std::move(head)] {
        if (h && !as.session->stopped)
            h();
    };
    ps.pool->submit(work ? std::move(work) : [](int) {}, std::move(guarded), std::move(guarded_head),
                    std::move(tick));
}

// Something the walk prints or writes, in its turn.
void in_turn(AddState &as, std::function<void()> finish) { submit(as, nullptr, std::move(finish)); }

// One file being packed: what the walk found, what the worker made.
struct PackJob {
    std::string path;
    BufferedFile in;
    int open_errno = 0;
    bool not_regular = false, too_large = false;
    EntryHeader h;
    int method = 0;
    PackSlot *slot = nullptr;
    char slot_dir[4096] = {};
    int slot_errno = 0;
    // Results.
    int packed = 0;
    bool fell_back = false;  // -9 asked, the default encoder used
    bool read_failed = false;
    bool tmp_failed = false;
    off_t packed_end = 0;
    WorkerProgress progress; // input bytes consumed
};

void pack_work(AddState &as, PackJob &j, EncoderCtx *ctx, const lzh::Progress &prog)
{
    j.packed = tmb_compress(ctx, j.in.get(), j.slot->fp, &j.h, j.method, as.set.optimal != 0, prog);
    j.fell_back = tmb_compress_fell_back(ctx);
    j.tmp_failed = fflush(j.slot->fp) != 0 || ferror(j.slot->fp);
    j.read_failed = ferror(j.in.get()) != 0;
    j.packed_end = ftello(j.slot->fp);
    j.in.close();
}

// The finish of a packed file: its outcome, the header and the data.
int pack_finish(AddState &as, PackJob &j)
{
    const char *path = j.path.c_str();
    as.log.line("tmb_compress returned %d", j.packed);
    // The archive is as sound without -9, only larger; the user who asked
    // for the smallest one learns why it is not, once per run.
    if (j.fell_back && !as.session->told_fallback) {
        as.session->told_fallback = true;
        msg_printf(as.msg, MSG_ERR, "  Not enough memory for -9: packing with the default parse instead\n");
    }
    // Each failure is named once on standard error, the most telling first:
    // the compressor takes a failed read for the end of the input, and a
    // read error must not become a silently shortened entry.
    const char *why = nullptr;
    if (j.tmp_failed)
        why = "Cannot write temporary file";
    else if (j.read_failed)
        why = "Read error";
    else if (!j.packed)
        why = "Cannot compress";
    else if (j.h.orig_size > kMaxEntrySize)  // the file grew while it was read
        why = "File too large (4 GiB or more)";
    if (why) {
        as.add_tally.broken |= j.tmp_failed;
        if (j.tmp_failed)
            msg_printf(as.msg, MSG_ERR, "  %s: %s (adding %s)\n", why, tmb_shown(j.slot->name).c_str(),
                       tmb_shown(path).c_str());
        else
            msg_printf(as.msg, MSG_ERR, "  %s: %s\n", why, tmb_shown(path).c_str());
        end_line_error(as);
        return 0;
    }

    EntryHeader &h = j.h;
    h.comp_size = j.packed_end > 0 ? (uint64_t)j.packed_end : 0;
    int ratio = h.orig_size ? (int)(100 - (int64_t)(h.comp_size * 100 / h.orig_size)) : 0;
    as.log.line("compressed size=%ld (ratio=%d%%)", (long)h.comp_size, ratio);

    FILE *arc = as.session->arc;
    off_t entry_start = ftello(arc);
    if (!tmb_write_header_lv2(arc, &h)) {
        msg_printf(as.msg, MSG_ERR, "  Write error: %s\n", tmb_shown(path).c_str());
        as.add_tally.broken = 1;
        end_line_error(as);
        return 0;
    }
    rewind(j.slot->fp);
    CopyResult copied = tmb_copy_bytes(j.slot->fp, arc, h.comp_size);
    if (copied != CopyResult::kDone) {
        if (copied == CopyResult::kWriteFailed)
            msg_printf(as.msg, MSG_ERR, "  Write error: %s\n", tmb_shown(path).c_str());
        else
            msg_printf(as.msg, MSG_ERR, "  Cannot read temporary file: %s\n", tmb_shown(j.slot->name).c_str());
        as.add_tally.broken = 1;
        undo_entry(arc, entry_start);
        end_line_error(as);
        return 0;
    }
    if (!as.set.quiet)
        msg_printf(as.msg, MSG_OUT, " OK (%lu->%lu)\n", (unsigned long)h.orig_size, (unsigned long)h.comp_size);
    return 1;
}

// The "[n] adding:" line, when the file's turn comes.
void adding_line(AddState &as, const char *arcname)
{
    as.add_file_no++;
    if (!as.set.quiet)
        msg_printf(as.msg, MSG_OUT, "[%d] adding:  %-40s", as.add_file_no, tmb_shown(arcname).c_str());
    msg_flush(as.msg, MSG_OUT);
}

void count(AddState &as, int ok)
{
    if (ok)
        as.add_tally.added++;
    else
        as.add_tally.failed++;
}

// Moves up to `limit` bytes of `in` to `arc` through `buf`, with their
// CRC-16 and count. Stops early at the end of the input, which may come
// before `limit` when the file shrank since it was measured.
enum class StoreCopy { kDone, kReadFailed, kWriteFailed };

StoreCopy store_copy(FILE *in, FILE *arc, uint64_t limit, unsigned char *buf, size_t buf_size,
                     uint64_t *total, uint16_t *crc)
{
    *total = 0;
    *crc = 0;
    while (*total < limit) {
        size_t want = (size_t)std::min<uint64_t>(buf_size, limit - *total);
        size_t n = fread(buf, 1, want, in);
        if (n == 0)
            break;
        *crc = tmb_crc16(buf, n, *crc);
        if (fwrite(buf, 1, n, arc) != n)
            return StoreCopy::kWriteFailed;
        *total += n;
    }
    return ferror(in) ? StoreCopy::kReadFailed : StoreCopy::kDone;
}

// A stored file goes straight from the input to the archive in chunks: the
// header of a file larger than a chunk is written first with the measured
// size, the data follows, and the header is written again over itself once
// the CRC and the number of bytes actually read are known (its length
// depends only on the name). As in the
// packed path, no more than the measured size is read, so a file that grows
// meanwhile gives its first bytes, and one that shrinks gives what it has.
int add_stored(AddState &as, const char *path, const char *arcname, const char *name)
{
    FILE *arc = as.session->arc;
    as.log.line("add_file_lh0: filepath='%s' arcname='%s'", path, arcname);
    struct stat st;
    bool not_regular, too_large;
    BufferedFile in = open_input(path, &st, &not_regular, &too_large);
    if (!in) {
        if (report_refused(as, path, not_regular, too_large))
            return 0;
        int err = errno;
        as.log.line("  fopen FAILED");
        msg_printf(as.msg, MSG_ERR, "  Cannot open: %s (%s)\n", tmb_shown(path).c_str(), strerror(err));
        end_line_error(as);
        return 0;
    }
    uint64_t size = (uint64_t)st.st_size;

    // The input's stream buffer already reads ahead in large blocks; this
    // one only has to carry a chunk across to the archive's.
    constexpr size_t kChunk = kTmbStreamBuffer;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
    if (!buf) {
        msg_printf(as.msg, MSG_ERR, "  Out of memory: %s\n", tmb_shown(path).c_str());
        as.add_tally.broken = 1;
        end_line_error(as);
        return 0;
    }

    // A file that fits the buffer (most do) is read first: its header then
    // goes out once, with everything known, and the archive is not sought.
    const bool in_one = size <= kChunk;
    uint64_t total = 0;
    uint16_t crc = 0;
    if (in_one) {
        total = fread(buf.get(), 1, (size_t)size, in.get());
        if (ferror(in.get())) {
            msg_printf(as.msg, MSG_ERR, "  Read error: %s\n", tmb_shown(path).c_str());
            end_line_error(as);
            return 0;
        }
        crc = tmb_crc16(buf.get(), (size_t)total, 0);
    }

    EntryHeader h;
    fill_header(&h, name, mtime_or_now(&st));
    h.method = 0;
    h.orig_size = in_one ? total : size;
    h.comp_size = h.orig_size;
    h.crc = crc;
    off_t entry_start = ftello(arc);
    if (!tmb_write_header_lv2(arc, &h)) {
        msg_printf(as.msg, MSG_ERR, "  Write error: %s\n", tmb_shown(path).c_str());
        as.add_tally.broken = 1;
        end_line_error(as);
        return 0;
    }
    StoreCopy copied = StoreCopy::kDone;
    if (!in_one)
        copied = store_copy(in.get(), arc, size, buf.get(), kChunk, &total, &crc);
    else if (total != 0 && fwrite(buf.get(), 1, (size_t)total, arc) != total)
        copied = StoreCopy::kWriteFailed;
    in.close();
    if (copied == StoreCopy::kReadFailed) {
        msg_printf(as.msg, MSG_ERR, "  Read error: %s\n", tmb_shown(path).c_str());
        undo_entry(arc, entry_start);
        end_line_error(as);
        return 0;
    }
    as.log.line("  file size=%lu crc=0x%04X arcname will be='%s'", (unsigned long)total, crc, name);

    // A larger file: the header again, now with what was read; then back
    // to the end of the data (not the end of the file, which may hold an
    // entry taken back before this one).
    bool ok = copied == StoreCopy::kDone;
    if (ok && !in_one) {
        h.orig_size = total;
        h.comp_size = total;
        h.crc = crc;
        off_t data_end = ftello(arc);
        ok = entry_start >= 0 && data_end >= 0 && fseeko(arc, entry_start, SEEK_SET) == 0 &&
             tmb_write_header_lv2(arc, &h) && fseeko(arc, data_end, SEEK_SET) == 0;
    }
    if (!ok) {
        msg_printf(as.msg, MSG_ERR, "  Write error: %s\n", tmb_shown(path).c_str());
        as.add_tally.broken = 1;
        undo_entry(arc, entry_start);
        end_line_error(as);
        return 0;
    }
    as.log.line("  add_file_lh0 OK: written %lu bytes", (unsigned long)total);
    if (!as.set.quiet)
        msg_puts(as.msg, MSG_OUT, " OK\n");
    return 1;
}

// A file to pack: opened now, packed by a worker, written in its turn.
void add_compressed(AddState &as, const char *path, const char *arcname, const char *name, int method)
{
    auto j = std::make_shared<PackJob>();
    j->path = path;
    j->method = method;
    std::string shown_name = arcname;
    struct stat st;
    j->in = open_input(path, &st, &j->not_regular, &j->too_large);
    j->open_errno = errno;
    if (j->in) {
        fill_header(&j->h, name, mtime_or_now(&st));
        j->h.orig_size = (uint64_t)st.st_size;
        j->h.method = method;
        j->slot = slot_take(as, j->slot_dir, sizeof j->slot_dir);
        j->slot_errno = errno;
    }
    bool ready = j->in && j->slot;
    if (!ready) {
        // Nothing to pack: the failure is told in its turn.
        bool opened = (bool)j->in;
        in_turn(as, [&as, j, shown_name, opened] {
            adding_line(as, shown_name.c_str());
            const char *p = j->path.c_str();
            if (!opened) {
                if (!report_refused(as, p, j->not_regular, j->too_large)) {
                    // The stdout line stays as it always was; scripts that
                    // send standard output away still learn which file
                    // failed and why.
                    as.log.line("add_path lhX: fopen '%s' FAILED", p);
                    if (!as.set.quiet)
                        msg_puts(as.msg, MSG_OUT, " OPEN ERROR\n");
                    msg_printf(as.msg, MSG_ERR, "  Cannot open: %s (%s)\n", tmb_shown(p).c_str(), strerror(j->open_errno));
                }
            } else {
                as.log.line("cannot create temp file in '%s'", j->slot_dir);
                msg_printf(as.msg, MSG_ERR, "  Cannot create temporary file: %s (%s)\n", tmb_shown(j->slot_dir).c_str(),
                           strerror(j->slot_errno));
                as.add_tally.broken = 1;
                end_line_error(as);
            }
            count(as, 0);
        });
        j->in.close();
        return;
    }

    // Packed on this thread (one worker), the bar is drawn as it goes; a
    // worker's progress is replayed when this thread looks.
    lzh::Progress prog = as.session->pool->threaded() ? j->progress.sink(j->h.orig_size) : as.progress.bytes;
    submit(as,
        [&as, j, prog](int w) {
            pack_work(as, *j, as.session->ctxs[(size_t)w], prog);
        },
        [&as, j] {
            j->progress.show(as.progress.bytes);
            progress_end(as);
            count(as, pack_finish(as, *j));
        },
        // The worker fills the header meanwhile: the line uses what the
        // walk knew.
        [&as, j, shown_name, arcname_s = std::string(name), size = j->h.orig_size] {
            adding_line(as, shown_name.c_str());
            as.log.line("add_path lhX: filepath='%s' arcname='%s' orig_size=%lu method=%d", j->path.c_str(),
                    arcname_s.c_str(), (unsigned long)size, j->method);
            progress_begin(as, size);
        },
        [&as, j] { j->progress.show(as.progress.bytes); }, [&as, j] { slot_give(as, j->slot); });
}

// `st` is the status of the path, nullptr when it could not be read.
bool is_the_archive(AddState &as, const struct stat *st)
{
    if (!st)
        return false;
    for (const std::optional<FileId> &id : as.arc_ids)
        if (id && *id == tmb_file_id(*st))
            return true;
    return false;
}

// `name` is fixed now: the root rule may change before the file's turn
// comes, with the next argument.
void add_file(AddState &as, const char *path, const char *arcname, const char *name, int method, const struct stat *st)
{
    if (is_the_archive(as, st)) {
        in_turn(as, [&as, a = std::string(arcname)] {
            if (!as.set.quiet)
                msg_printf(as.msg, MSG_OUT, "  skipping the archive itself:  %s\n", tmb_shown(a.c_str()).c_str());
        });
        return;
    }
    if (method != 0) {
        add_compressed(as, path, arcname, name, method);
        return;
    }
    // A stored file is read and written whole in its turn.
    in_turn(as, [&as, p = std::string(path), a = std::string(arcname), n = std::string(name)] {
        adding_line(as, a.c_str());
        count(as, add_stored(as, p.c_str(), a.c_str(), n.c_str()));
    });
}

// An empty directory keeps its name as an entry "name/" with no data.
void dir_entry_name(const AddState &as, char name[256], const char *arcname)
{
    copy_name(name, strip_arc_root(as, arcname), 254);
    size_t n = strlen(name);
    if (n == 0 || name[n - 1] != '/') {
        name[n] = '/';
        name[n + 1] = 0;
    }
}

void add_empty_dir(AddState &as, const char *name, const struct stat *st)
{
    auto h = std::make_shared<EntryHeader>();
    fill_header(h.get(), name, mtime_or_now(st));
    h->method = 0;
    h->is_dir = 1;
    in_turn(as, [&as, h] {
        if (!tmb_write_header_lv2(as.session->arc, h.get())) {
            msg_printf(as.msg, MSG_ERR, "  Write error: %s\n", tmb_shown(h->name).c_str());
            as.add_tally.broken = 1;
            as.add_tally.failed++;
            return;
        }
        as.add_tally.added++;
    });
}

// The listing's type saves a status call for everything but links (and
// for file systems that do not report types).
bool is_link_to_dir(const struct dirent *de, const char *path)
{
    struct stat st;
    if (de->d_type != DT_LNK && de->d_type != DT_UNKNOWN)
        return false;
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void walk_any(AddState &as, const char *path, const char *arcname, const AddWalk &w);

// Walks one directory. Symbolic links to directories are not followed
// below the top level: a link pointing upwards would make the walk
// endless, so such a link is reported and stored as nothing. Links to
// files are stored as the file they point to.
void walk_dir(AddState &as, const char *path, const char *arcname, const struct stat *st, const AddWalk &w)
{
    if (w.dir)
        w.dir(arcname);
    // The user named the directory and gets none of it: a failure of that
    // path, with the option that would have added it.
    if (!as.set.recursive) {
        w.say([&as, p = std::string(path)] {
            msg_printf(as.msg, MSG_ERR, "  Directory not added: %s (-r adds its files)\n", tmb_shown(p.c_str()).c_str());
            as.add_tally.failed++;
        });
        return;
    }
    DIR *d = opendir(path);
    if (!d) {
        int e = errno;
        w.say([&as, p = std::string(path), e] {
            msg_printf(as.msg, MSG_ERR, "  Cannot list directory: %s (%s)\n", tmb_shown(p.c_str()).c_str(), strerror(e));
            as.add_tally.failed++;
        });
        return;
    }
    int entries = 0;
    struct dirent *de;
    while ((de = readdir(d)) != nullptr) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        entries++;
        char child[256], child_arc[256];
        if (!join_path_checked(as.msg, child, path, de->d_name) ||
            !join_path_checked(as.msg, child_arc, arcname, de->d_name)) {
            w.say([&as] { as.add_tally.failed++; });
            continue;
        }
        if (is_link_to_dir(de, child)) {
            w.say([&as, a = std::string(child_arc)] {
                if (!as.set.quiet)
                    msg_printf(as.msg, MSG_OUT, "  skipping link to directory:  %s\n", tmb_shown(a.c_str()).c_str());
            });
            continue;
        }
        walk_any(as, child, child_arc, w);
    }
    closedir(d);
    if (entries > 0 || as.set.exclude_empty)
        return;
    char name[256];
    dir_entry_name(as, name, arcname);
    w.empty_dir(path, arcname, name, st);
}

// A path given by the caller is followed even when it is a link to a
// directory; below it walk_dir has already passed over such links.
void walk_any(AddState &as, const char *path, const char *arcname, const AddWalk &w)
{
    struct stat st;
    bool have = stat(path, &st) == 0;
    if (have && S_ISDIR(st.st_mode))
        walk_dir(as, path, arcname, &st, w);
    else
        w.file(path, arcname, strip_arc_root(as, arcname), have ? &st : nullptr);
}

void add_any(AddState &as, const char *path, const char *arcname, int method)
{
    AddWalk w;
    w.file = [&as, method](const char *p, const char *a, const char *name, const struct stat *st) {
        add_file(as, p, a, name, method, st);
    };
    w.empty_dir = [&as](const char *, const char *, const char *name, const struct stat *st) {
        add_empty_dir(as, name, st);
    };
    w.dir = [&as](const char *arcname) {
        in_turn(as, [&as, a = std::string(arcname)] {
            if (!as.set.quiet)
                msg_printf(as.msg, MSG_OUT, "  adding dir:  %s\n", tmb_shown(a.c_str()).c_str());
        });
    };
    w.say = [&as](std::function<void()> f) { in_turn(as, std::move(f)); };
    walk_any(as, path, arcname, w);
}

} // namespace

const char *strip_arc_root(const AddState &as, const char *name)
{
    if (as.arc_root_len > 0) {
        size_t n = strlen(name);
        if (n < (size_t)as.arc_root_len)
            return name;
        return name + as.arc_root_len;
    }
    return tmb_base_name(name);
}

const char *add_argument_name(AddState &as, const char *arg)
{
    const char *arcname = arg;
    if (arcname[0] == '.' && arcname[1] == '/')
        arcname += 2;
    struct stat st;
    bool is_dir = stat(arg, &st) == 0 && S_ISDIR(st.st_mode);
    as.arc_root_len = is_dir ? (int)strlen(arcname) + 1 : 0;
    return arcname;
}

void add_walk(AddState &as, const char *path, const char *arcname, const AddWalk &walk)
{
    walk_any(as, path, arcname, walk);
}

void add_report_nothing_added(const AddState &as, const char *archive)
{
    struct stat st;
    msg_printf(as.msg, MSG_ERR, "No entry added: %s; %s\n", archive,
               stat(archive, &st) == 0 ? "left unchanged" : "not created");
}

void add_set_archive(AddState &as, FILE *arc, FILE *old)
{
    FILE *streams[2] = {arc, old};
    for (int i = 0; i < 2; i++) {
        FileId id;
        as.arc_ids[i].reset();
        if (streams[i] && tmb_stream_id(streams[i], &id))
            as.arc_ids[i] = id;
    }
}

int add_begin(AddState &as, FILE *arc)
{
    auto ps = std::make_unique<PackSession>();
    ps->arc = arc;
    int workers = tmb_thread_count(as.set.threads);
    for (int w = 0; w < workers; w++) {
        EncoderCtx *ctx = tmb_encoder_new();
        if (!ctx)
            break;
        ps->ctxs.push_back(ctx);
    }
    if (ps->ctxs.empty()) {
        msg_printf(as.msg, MSG_ERR, "  Out of memory: cannot pack\n");
        as.add_tally.broken = 1;
        return 0;
    }
    workers = (int)ps->ctxs.size();
    ps->pool = std::make_unique<OrderedPool>(workers, tmb_pool_queue(workers));
    as.session = ps.release();
    return 1;
}

void add_end(AddState &as)
{
    if (!as.session)
        return;
    as.session->pool.reset(); // finishes what is pending
    for (EncoderCtx *ctx : as.session->ctxs)
        tmb_encoder_free(ctx);
    for (auto &sl : as.session->slots)
        if (sl->fp)
            fclose(sl->fp);
    delete as.session;
    as.session = nullptr;
}

void add_path_then(AddState &as, const char *path, const char *arcname, int method,
                   std::function<void(int ok, const AddTally &delta)> done)
{
    auto before = std::make_shared<AddTally>();
    // Once the archive cannot be built, every further entry would fail
    // the same way: nothing more is written or told.
    in_turn(as, [&as, before] {
        if (ferror(as.session->arc) || as.add_tally.broken)
            as.session->stopped = true;
        *before = as.add_tally;
    });
    add_any(as, path, arcname, method);
    if (done)
        in_turn(as, [&as, before, done] {
            AddTally d = {as.add_tally.added - before->added, as.add_tally.failed - before->failed,
                          as.add_tally.broken};
            done(d.failed == 0, d);
        });
}

void add_in_turn(AddState &as, std::function<void()> f)
{
    if (as.session)
        in_turn(as, std::move(f));
    else
        f();
}

int add_path(AddState &as, FILE *arc, const char *path, const char *arcname, int method)
{
    bool own = as.session == nullptr;
    if (own && !add_begin(as, arc))
        return 0;
    as.session->pool->drain();
    AddTally before = as.add_tally;
    add_any(as, path, arcname, method);
    as.session->pool->drain();
    if (own)
        add_end(as);
    return as.add_tally.failed == before.failed;
}
