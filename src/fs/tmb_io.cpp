// File identities and base names, exclusive temporary files, files written
// whole or not at all, and checked closing.
#include "tmb_io.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_cleanup.h"

FileId tmb_file_id(const struct stat &st)
{
    return FileId{st.st_dev, st.st_ino};
}

bool tmb_stream_id(FILE *fp, FileId *id)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0)
        return false;
    *id = tmb_file_id(st);
    return true;
}

bool tmb_path_is(const char *path, const FileId &id)
{
    struct stat st;
    return stat(path, &st) == 0 && tmb_file_id(st) == id;
}

const char *tmb_base_name(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == ':')
            base = p + 1;
    return base;
}

FILE *tmb_create_temp(const char *prefix, const char *suffix, char *path, size_t size)
{
    // mkstemps replaces the six X's (from the system's random source) and
    // opens with O_CREAT | O_EXCL, so an existing file or a planted
    // symbolic link is never reused.
    int n = snprintf(path, size, "%sXXXXXX%s", prefix, suffix);
    if (n < 0 || (size_t)n >= size) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (!tmb_cleanup_enter_create()) {
        errno = EINTR;
        return nullptr;
    }
    int fd = mkstemps(path, (int)strlen(suffix));
    int e = errno;
    if (fd >= 0 && !tmb_cleanup_add(path)) {
        // A file the clean-up would not know of is not kept.
        unlink(path);
        close(fd);
        fd = -1;
        e = EMFILE;
    }
    tmb_cleanup_leave_create();
    if (fd < 0) {
        errno = e;
        return nullptr;
    }
    FILE *fp = fdopen(fd, "w+b");
    if (!fp) {
        e = errno;
        close(fd);
        unlink(path);
        tmb_cleanup_release(path);
        errno = e;
        return nullptr;
    }
    return fp;
}

int tmb_create_temp_at(int dirfd, char *name, size_t size, mode_t mode)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    constexpr unsigned kBase = sizeof kLetters - 1;
    // Every name is drawn afresh from the system's random source: a name
    // seen in the directory says nothing about the next ones, so nobody
    // can plant them in advance. O_EXCL keeps a guessed or planted name
    // from being used whatever happens.
    for (int attempt = 0; attempt < 100; attempt++) {
        uint64_t v;
        if (getentropy(&v, sizeof v) != 0)
            return -1;
        // Twelve letters of 36 from 64 random bits (36^12 is about a quarter
        // of 2^64, so the letters come out all but evenly).
        char tail[13];
        for (int i = 0; i < 12; i++) {
            tail[i] = kLetters[v % kBase];
            v /= kBase;
        }
        tail[12] = '\0';
        int n = snprintf(name, size, ".tmb%s.tmp", tail);
        if (n < 0 || (size_t)n >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (!tmb_cleanup_enter_create()) {
            errno = EINTR;
            return -1;
        }
        int fd = openat(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        int e = errno;
        if (fd >= 0 && !tmb_cleanup_add_at(dirfd, name)) {
            unlinkat(dirfd, name, 0);
            close(fd);
            fd = -1;
            e = EMFILE;
        }
        tmb_cleanup_leave_create();
        errno = e;
        if (fd >= 0 || e != EEXIST)
            return fd;
    }
    return -1;
}

int tmb_follow_links(const char *path, char *out, size_t size)
{
    std::string cur = path;
    // The kernel gives up after 40 links in one lookup; so does this walk.
    for (int hops = 0; hops <= 40; hops++) {
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (cur.size() >= size) {
                errno = ENAMETOOLONG;
                return 0;
            }
            memcpy(out, cur.c_str(), cur.size() + 1);
            return 1;
        }
        char target[4096];
        ssize_t n = readlink(cur.c_str(), target, sizeof target - 1);
        if (n < 0)
            return 0;
        target[n] = '\0';
        // A relative target is relative to the directory holding the link.
        size_t slash = cur.rfind('/');
        if (target[0] == '/' || slash == std::string::npos)
            cur = target;
        else
            cur = cur.substr(0, slash + 1) + target;
    }
    errno = ELOOP;
    return 0;
}

// The umask as the kernel reports it in /proc/self/status ("Umask:" and
// an octal number, since Linux 4.7): reading it there changes nothing, so
// threads creating files meanwhile keep their mask. -1 when not found.
static int read_umask_from_proc()
{
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char *p = strstr(buf, "\nUmask:");
    if (!p)
        return -1;
    char *end;
    long mask = strtol(p + 7, &end, 8);
    return end != p + 7 && mask >= 0 && mask <= 0777 ? (int)mask : -1;
}

mode_t tmb_new_file_mode()
{
    int mask = read_umask_from_proc();
    if (mask < 0) {
        // Elsewhere the umask can be read only by setting it and back.
        mode_t old = umask(0);
        umask(old);
        mask = (int)old;
    }
    return 0666 & ~(mode_t)mask;
}

const char *tmb_temp_dir()
{
    const char *t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

int tmb_open_to_replace(const MessageSink &msg, const char *path, struct stat *st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        msg_printf(msg, MSG_ERR, "Cannot open/create: %s (%s)\n", path, strerror(errno));
        return -2;
    }
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        msg_printf(msg, MSG_ERR, "Cannot open/create: %s (not a regular file)\n", path);
        return -2;
    }
    return fd;
}

int tmb_close_checked(FILE *fp)
{
    int ok = fflush(fp) == 0 && !ferror(fp);
    if (fclose(fp) != 0)
        ok = 0;
    return ok;
}

int tmb_output_open(SafeOutput *o, const char *path)
{
    char real[PATH_MAX];
    if (!tmb_follow_links(path, real, sizeof real))
        return 0;
    o->path = real;
    struct stat st;
    // The new file keeps the old one's permission bits, or gets the usual
    // ones of a new file.
    mode_t mode;
    if (stat(o->path.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
            // A device or pipe the user named (/dev/stdout, a FIFO) is
            // written as it is: there is no file to replace.
            o->file.reset(fopen(o->path.c_str(), "w"));
            o->tmp = AtomicFile();
            return o->file ? 1 : 0;
        }
        if (!S_ISREG(st.st_mode)) {
            errno = EISDIR;  // a directory or socket is not replaced
            return 0;
        }
        mode = st.st_mode & 07777;
    } else {
        mode = tmb_new_file_mode();
    }
    o->file.reset(tmb_atomic_create_beside(&o->tmp, o->path.c_str(), mode));
    return o->file ? 1 : 0;
}

int tmb_output_commit(SafeOutput *o)
{
    if (o->tmp.tmp.empty())
        return o->file.close_checked();
    FILE *fp = o->file.get();
    int ok = fflush(fp) == 0 && !ferror(fp) && tmb_atomic_sync(fileno(fp));
    int e = errno;
    if (o->file.close() != 0 && ok) {
        ok = 0;
        e = errno;
    }
    if (!ok) {
        tmb_atomic_abort(&o->tmp);
        errno = e;
        return 0;
    }
    return tmb_atomic_place(&o->tmp);
}

void tmb_output_abort(SafeOutput *o)
{
    o->file.close();
    tmb_atomic_abort(&o->tmp);
}

std::string tmb_dir_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return !slash ? "." : slash == path ? "/" : std::string(path, (size_t)(slash - path));
}
