// Streamed archives: the one copy of an archive read from a stream, and
// the archive of `a -` on standard output; see tmb_spool.h.
#include "tmb_spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_cleanup.h"
#include "tmb_header.h"
#include "tmb_io.h"

namespace {

constexpr size_t kChunk = 65536;

// The temporary as a stream the header reader can walk: every read takes
// what it needs from the temporary, copying from the input first as far as
// the read reaches. Seeking back is free; seeking ahead costs nothing until
// a read comes there.
struct Spool {
    int in;
    int out;
    int64_t have = 0;  // bytes copied into the temporary
    int64_t pos = 0;   // the walking stream's position
    bool ended = false;
    int in_errno = 0;  // a failed read of the input
    int out_errno = 0; // a failed write or read of the temporary
};

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Copies from the input until the temporary holds `want` bytes or the
// input ends.
bool pull(Spool *s, int64_t want)
{
    char buf[kChunk];
    while (s->have < want && !s->ended) {
        ssize_t n = read(s->in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            s->in_errno = errno;
            return false;
        }
        if (n == 0) {
            s->ended = true;
            break;
        }
        if (!write_all(s->out, buf, (size_t)n)) {
            s->out_errno = errno ? errno : EIO;
            return false;
        }
        s->have += n;
    }
    return true;
}

ssize_t spool_read(void *cookie, char *buf, size_t size)
{
    Spool *s = (Spool *)cookie;
    if (!pull(s, s->pos + (int64_t)size))
        return -1;
    if (s->pos >= s->have)
        return 0;
    size_t n = (size_t)std::min<int64_t>((int64_t)size, s->have - s->pos);
    ssize_t got = pread(s->out, buf, n, (off_t)s->pos);
    if (got < 0) {
        s->out_errno = errno;
        return -1;
    }
    s->pos += got;
    return got;
}

int spool_seek(void *cookie, off64_t *offset, int whence)
{
    Spool *s = (Spool *)cookie;
    int64_t to = whence == SEEK_SET ? *offset : whence == SEEK_CUR ? s->pos + *offset : -1;
    if (to < 0) {
        errno = EINVAL;
        return -1;
    }
    s->pos = to;
    *offset = to;
    return 0;
}

int spool_close(void *) { return 0; }

// Walks the archive entry by entry, which pulls through exactly the bytes
// it covers; the walk on the temporary afterwards meets the same bytes and
// reports what it finds there (damage included) itself.
void spool_walk(Spool *s, const LogSink &log)
{
    cookie_io_functions_t io = {spool_read, nullptr, spool_seek, spool_close};
    FILE *view = fopencookie(s, "rb", io);
    if (!view) {
        s->out_errno = errno ? errno : ENOMEM;
        return;
    }
    EntryHeader h;
    const char *why = nullptr;
    while (tmb_walk_next(view, -1, &h, &why, log) == TMB_WALK_ENTRY &&
           fseeko(view, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) == 0) {
    }
    fclose(view);
}

} // namespace

bool tmb_is_stream_archive(const char *name)
{
    if (strcmp(name, "-") == 0)
        return true;
    struct stat st;
    return stat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int tmb_spool_archive(const MessageSink &msg, const char *name, char *tmp, size_t size, const LogSink &log)
{
    bool std_in = strcmp(name, "-") == 0;
    if (std_in && isatty(0)) {
        msg_printf(msg, MSG_ERR, "Cannot read an archive from a terminal: -\n");
        return 1;
    }
    int in = std_in ? 0 : open(name, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        msg_printf(msg, MSG_ERR, "Cannot open: %s (%s)\n", name, strerror(errno));
        return 1;
    }
    char prefix[512];
    snprintf(prefix, sizeof prefix, "%s/tambrix_stream_%d_", tmb_temp_dir(), (int)getpid());
    FILE *fp = tmb_create_temp(prefix, ".tmp", tmp, size);
    if (!fp) {
        msg_printf(msg, MSG_ERR, "Cannot create temporary file: %s (%s)\n", tmb_temp_dir(), strerror(errno));
        if (!std_in)
            close(in);
        tmp[0] = '\0';
        return 1;
    }
    Spool s;
    s.in = in;
    s.out = fileno(fp);
    spool_walk(&s, log);
    if (!std_in)
        close(in);
    int closed = fclose(fp) == 0;
    if (s.in_errno || s.out_errno || !closed) {
        if (s.in_errno)
            msg_printf(msg, MSG_ERR, "Cannot read: %s (%s)\n", name, strerror(s.in_errno));
        else
            msg_printf(msg, MSG_ERR, "Cannot write: %s (%s)\n", tmp, strerror(s.out_errno ? s.out_errno : errno));
        remove(tmp);
        tmb_cleanup_release(tmp);
        tmp[0] = '\0';
        return 1;
    }
    return 0;
}

int tmb_stdout_archive_begin(const MessageSink &msg, int *kept)
{
    msg_flush(msg, MSG_OUT);
    if (isatty(1)) {
        msg_printf(msg, MSG_ERR, "Cannot write an archive to a terminal: -\n");
        return 1;
    }
    *kept = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (*kept < 0 || dup2(2, 1) < 0) {
        msg_printf(msg, MSG_ERR, "Cannot write: - (%s)\n", strerror(errno));
        return 1;
    }
    return 0;
}

int tmb_stdout_archive_write(const MessageSink &msg, int kept, const char *path)
{
    int in = open(path, O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0 && kept >= 0;
    char buf[kChunk];
    while (ok) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = write_all(kept, buf, (size_t)n);
    }
    int err = errno;
    if (in >= 0)
        close(in);
    if (!ok)
        msg_printf(msg, MSG_ERR, "Write error on standard output: - (%s)\n", strerror(err ? err : EIO));
    return ok;
}
