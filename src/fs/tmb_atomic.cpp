// A file written whole or not at all (see tmb_atomic.h).
#include "tmb_atomic.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_cleanup.h"
#include "tmb_io.h"

int tmb_atomic_create_at(AtomicFile *a, int dirfd, const char *target, mode_t mode)
{
    char name[32];
    a->dirfd = dirfd;
    a->target = target;
    a->tmp.clear();
    a->at = true;
    int fd = tmb_create_temp_at(dirfd, name, sizeof name, mode);
    if (fd >= 0)
        a->tmp = name;
    return fd;
}

FILE *tmb_atomic_create_beside(AtomicFile *a, const char *target, mode_t mode)
{
    char tmp[PATH_MAX];
    a->dirfd = AT_FDCWD;
    a->target = target;
    a->tmp.clear();
    a->at = false;
    FILE *fp = tmb_create_temp((a->target + ".").c_str(), ".tmp", tmp, sizeof tmp);
    if (!fp)
        return nullptr;
    a->tmp = tmp;
    // mkstemps makes the file private; it takes its final bits at once,
    // before any byte is written.
    fchmod(fileno(fp), mode);
    return fp;
}

int tmb_atomic_sync(int fd)
{
    // EINVAL: the descriptor is something that cannot be synced (a pipe or
    // a special file the user named as output); nothing is lost by that.
    return fsync(fd) == 0 || errno == EINVAL;
}

static void release(AtomicFile *a)
{
    if (a->at)
        tmb_cleanup_release_at(a->dirfd, a->tmp.c_str());
    else
        tmb_cleanup_release(a->tmp.c_str());
    a->tmp.clear();
}

int tmb_atomic_place(AtomicFile *a)
{
    if (a->tmp.empty()) {
        errno = EBADF;
        return 0;
    }
    int ok = renameat(a->dirfd, a->tmp.c_str(), a->dirfd, a->target.c_str()) == 0;
    int e = errno;
    if (!ok)
        unlinkat(a->dirfd, a->tmp.c_str(), 0);
    release(a);
    errno = e;
    return ok;
}

void tmb_atomic_forget(AtomicFile *a)
{
    if (!a->tmp.empty())
        release(a);
}

void tmb_atomic_abort(AtomicFile *a)
{
    if (a->tmp.empty())
        return;
    int e = errno;
    unlinkat(a->dirfd, a->tmp.c_str(), 0);
    release(a);
    errno = e;
}
