// Copying entries of an old archive into a new one beside it.
//
// Replacing an archive after stopping at damage would lose every entry
// behind it, so the copy walks with tmb_walk_next, which tells a real end
// from damage.
#include "tmb_rewrite.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_cleanup.h"
#include "tmb_io.h"
#include "tmb_spool.h"

namespace {

void report_damage(const OldArchive *old, int64_t pos, const char *what)
{
    // No header where the first one should be: the file is no archive at
    // all (as the reading commands say).
    if (pos == 0 && strcmp(what, "unreadable entry header") == 0)
        msg_printf(old->msg, MSG_ERR, "Not an LZH archive: %s (%s); archive left unchanged\n", old->path, what);
    else
        msg_printf(old->msg, MSG_ERR, "Damaged archive: %s (%s at offset %lld); archive left unchanged\n",
                   old->path, what, (long long)pos);
}

// Bytes after the end mark: the rewritten archive ends at its own end mark,
// so they would be lost. Only padding may go, zero bytes or the 0x1A bytes
// that old transfer protocols filled the last block with. The offset of the
// first other byte, or -1 when there is none (or the end was the end of the
// file). The end mark stands at `mark`.
int64_t data_after_end(OldArchive *old, int64_t mark)
{
    FILE *fp = old->file.get();
    if (mark >= old->size || fseeko(fp, (off_t)(mark + 1), SEEK_SET) != 0)
        return -1;
    uint8_t buf[4096];
    int64_t at = mark + 1;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) {
        for (size_t i = 0; i < n; i++)
            if (buf[i] != 0x00 && buf[i] != 0x1A)
                return at + (int64_t)i;
        at += (int64_t)n;
    }
    return ferror(fp) ? at : -1;
}

// Folds one entry into the digest of a walk (FNV-1a over the numbers that
// place it), so that two walks can be compared without keeping a list.
uint64_t digest(uint64_t h, uint64_t v)
{
    for (int i = 0; i < 8; i++) {
        h ^= (v >> (8 * i)) & 0xFF;
        h *= 0x100000001B3ull;
    }
    return h;
}

constexpr uint64_t kDigestStart = 0xCBF29CE484222325ull;

} // namespace

int rewrite_open_old(OldArchive *old, const char *path, const MessageSink &msg, const LogSink &log)
{
    *old = OldArchive{};
    old->path = path;
    old->log = log;
    old->msg = msg;
    // Looked at as a to-be-replaced file is: only a regular one, and a
    // FIFO at the name is refused at once instead of waiting for a writer.
    struct stat st;
    int fd = tmb_open_to_replace(msg, path, &st);
    if (fd < 0) {
        errno = fd == -1 ? ENOENT : EINVAL;
        return fd == -1 ? 0 : -1;
    }
    old->file.reset(fdopen(fd, "rb"));
    if (!old->file) {
        close(fd);
        msg_printf(msg, MSG_ERR, "Cannot open: %s\n", path);
        return -1;
    }
    old->size = (int64_t)st.st_size;
    old->mtime = st.st_mtim;
    old->entries = old->first_entries = 0;
    old->layout = old->first_layout = kDigestStart;
    return 1;
}

int rewrite_next_entry(OldArchive *old, EntryHeader *h)
{
    FILE *fp = old->file.get();
    int64_t pos = (int64_t)ftello(fp);
    const char *why = nullptr;
    int r = tmb_walk_next(fp, old->size, h, &why, old->log);
    if (r < 0) {
        report_damage(old, pos, why);
        return -1;
    }
    if (r == TMB_WALK_END) {
        int64_t at = data_after_end(old, h->header_pos);
        if (at >= 0) {
            report_damage(old, at, ferror(fp) ? "read error" : "data after the end mark");
            return -1;
        }
        return 0;
    }
    old->entries++;
    old->layout = digest(digest(digest(old->layout, (uint64_t)h->header_pos), (uint64_t)h->data_pos),
                         h->comp_size);
    return 1;
}

int rewrite_skip_entry(OldArchive *old, const EntryHeader *h)
{
    return fseeko(old->file.get(), (off_t)(h->data_pos + (int64_t)h->comp_size), SEEK_SET) == 0;
}

int rewrite_check(OldArchive *old)
{
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(old, &h)) == 1)
        if (!rewrite_skip_entry(old, &h)) {
            report_damage(old, h.data_pos, "cannot seek");
            return 0;
        }
    rewrite_restart(old);
    return r == 0;
}

void rewrite_restart(OldArchive *old)
{
    old->first_entries = old->entries;
    old->first_layout = old->layout;
    old->entries = 0;
    old->layout = kDigestStart;
    rewind(old->file.get());
}

int rewrite_unchanged(OldArchive *old)
{
    struct stat st, named;
    bool same = old->entries == old->first_entries && old->layout == old->first_layout &&
                fstat(fileno(old->file.get()), &st) == 0 && (int64_t)st.st_size == old->size &&
                st.st_mtim.tv_sec == old->mtime.tv_sec && st.st_mtim.tv_nsec == old->mtime.tv_nsec;
    // Another archive put in its place must not be overwritten by a copy of
    // the one it replaced. (A removed archive is simply written anew.)
    if (same && stat(old->path, &named) == 0)
        same = tmb_file_id(named) == tmb_file_id(st);
    if (!same)
        msg_printf(old->msg, MSG_ERR, "Archive changed while it was being rewritten: %s; not replaced\n",
                   old->path);
    return same;
}

// A header in the form of earlier versions that starts with a zero byte is
// written anew (one pad byte longer) rather than copied, so the rewritten
// archive reads the same everywhere. Returns the header's length in the old
// archive, or -1.
int64_t renew_zero_led_header(OldArchive *old, int64_t header_pos, NewArchive *out)
{
    FILE *fp = old->file.get();
    EntryHeader h;
    if (fseeko(fp, (off_t)header_pos, SEEK_SET) != 0 || !tmb_read_header(fp, &h, old->log)) {
        report_damage(old, header_pos, "unreadable entry header");
        return -1;
    }
    int64_t data_pos = (int64_t)ftello(fp);
    if (!tmb_write_header_lv2(out->file.get(), &h)) {
        msg_printf(old->msg, MSG_ERR, "Write error on %s; %s left unchanged\n", out->path, old->path);
        return -1;
    }
    return data_pos - header_pos;
}

int rewrite_copy_entry(OldArchive *old, int64_t header_pos, uint64_t length, NewArchive *out)
{
    FILE *in = old->file.get();
    if (fseeko(in, (off_t)header_pos, SEEK_SET) != 0) {
        report_damage(old, header_pos, "cannot seek");
        return 0;
    }
    if (getc(in) == 0) {
        int64_t hlen = renew_zero_led_header(old, header_pos, out);
        if (hlen < 0 || (uint64_t)hlen > length)
            return 0;
        length -= (uint64_t)hlen;
    } else if (fseeko(in, (off_t)header_pos, SEEK_SET) != 0) {
        report_damage(old, header_pos, "cannot seek");
        return 0;
    }
    switch (tmb_copy_bytes(in, out->file.get(), length)) {
    case CopyResult::kDone:
        return 1;
    case CopyResult::kShortRead:
        report_damage(old, header_pos, "short read while copying an entry");
        return 0;
    case CopyResult::kWriteFailed:
        msg_printf(old->msg, MSG_ERR, "Write error on %s; %s left unchanged\n", out->path, old->path);
        return 0;
    }
    return 0;
}

int rewrite_create(NewArchive *tmp, const char *archive, const MessageSink &msg)
{
    tmp->msg = msg;
    tmp->file.close();
    tmp->path[0] = '\0';
    tmp->target[0] = '\0';
    tmp->beside = AtomicFile();
    char prefix[600];
    if (strcmp(archive, "-") == 0) {
        // Standard output: built in the temporary directory and copied out
        // only once complete, so a failure leaves no cut archive there.
        snprintf(tmp->target, sizeof tmp->target, "-");
        snprintf(prefix, sizeof prefix, "%s/tambrix_stdout_%d_", tmb_temp_dir(), (int)getpid());
        tmp->file.reset(tmb_create_temp(prefix, ".tmp", tmp->path, sizeof tmp->path));
        return tmp->file ? 1 : 0;
    }
    if (!tmb_follow_links(archive, tmp->target, sizeof tmp->target))
        return 0;
    // The new archive takes the old one's permission bits, or the usual
    // ones for a new file.
    struct stat st;
    mode_t mode = stat(archive, &st) == 0 ? st.st_mode & 07777 : tmb_new_file_mode();
    tmp->file.reset(tmb_atomic_create_beside(&tmp->beside, tmp->target, mode));
    if (!tmp->file)
        return 0;
    if (tmp->beside.tmp.size() >= sizeof tmp->path) {
        rewrite_abort(tmp);
        errno = ENAMETOOLONG;
        return 0;
    }
    snprintf(tmp->path, sizeof tmp->path, "%s", tmp->beside.tmp.c_str());
    return 1;
}

void rewrite_report_create(const NewArchive *tmp, const char *archive, int err)
{
    // The directory of the file to replace: the link's target when the
    // archive name is one (the name itself when that could not be found).
    const char *file = tmp->target[0] ? tmp->target : archive;
    msg_printf(tmp->msg, MSG_ERR, "Cannot create temp file: %s (%s)\n", tmb_dir_of(file).c_str(), strerror(err));
}

void rewrite_abort(NewArchive *tmp)
{
    tmp->file.close();
    if (!tmp->beside.tmp.empty()) {
        tmb_atomic_abort(&tmp->beside);
        return;
    }
    // The spool of an archive for standard output.
    remove(tmp->path);
    tmb_cleanup_release(tmp->path);
}

int rewrite_commit(NewArchive *tmp, const char *archive)
{
    static const unsigned char end_mark[2] = {0, 0};
    FILE *fp = tmp->file.get();
    int ok = fwrite(end_mark, 1, 2, fp) == 2;
    ok = fflush(fp) == 0 && ok && !ferror(fp);
    // An entry taken back after a failure (add_path seeks back over it) may
    // have left bytes beyond the end mark; the file ends at the mark.
    if (ok) {
        off_t end = ftello(fp);
        if (end < 0 || ftruncate(fileno(fp), end) != 0)
            ok = 0;
    }
    if (!ok) {
        msg_printf(tmp->msg, MSG_ERR, "Write error on %s; %s left unchanged\n", tmp->path, archive);
        rewrite_abort(tmp);
        return 0;
    }
    return rewrite_install(tmp, archive);
}

int rewrite_install(NewArchive *tmp, const char *archive)
{
    // The data must be on the disk before the name points at it.
    FILE *fp = tmp->file.get();
    bool to_stdout = strcmp(tmp->target, "-") == 0;
    int ok = fflush(fp) == 0 && !ferror(fp);
    if (ok && !to_stdout && !tmb_atomic_sync(fileno(fp)))
        ok = 0;
    int closed = tmp->file.close_checked();
    if (!ok || !closed) {
        msg_printf(tmp->msg, MSG_ERR, "Write error on %s; %s left unchanged\n", tmp->path, archive);
        rewrite_abort(tmp);
        return 0;
    }
    if (to_stdout) {
        ok = tmb_stdout_archive_write(tmp->msg, tmp->stdout_fd, tmp->path);
        rewrite_abort(tmp);
        return ok;
    }
    if (!tmb_atomic_place(&tmp->beside)) {
        msg_printf(tmp->msg, MSG_ERR, "Cannot replace %s: %s; archive left unchanged\n", archive, strerror(errno));
        return 0;
    }
    return 1;
}
