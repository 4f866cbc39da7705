// Exclusive temporary files and checked closing.
#include "tmb_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

FILE *tmb_create_temp(const char *prefix, const char *suffix, char *path, size_t size)
{
    // mkstemps replaces the six X's and opens with O_CREAT | O_EXCL, so an
    // existing file or a planted symbolic link is never reused.
    int n = snprintf(path, size, "%sXXXXXX%s", prefix, suffix);
    if (n < 0 || (size_t)n >= size) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = mkstemps(path, (int)strlen(suffix));
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "w+b");
    if (!fp) {
        close(fd);
        unlink(path);
        return nullptr;
    }
    return fp;
}

int tmb_create_temp_at(int dirfd, char *name, size_t size)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static unsigned long counter;
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned char rnd[10];
        if (getentropy(rnd, sizeof rnd) != 0) {
            // No entropy source: a name that is still unlikely to be taken;
            // O_EXCL keeps a guessed one from being used anyway.
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            unsigned long v = (unsigned long)ts.tv_nsec ^ ((unsigned long)getpid() << 16) ^ ++counter;
            for (unsigned char &c : rnd) {
                v = v * 6364136223846793005UL + 1442695040888963407UL;
                c = (unsigned char)(v >> 33);
            }
        }
        char tail[sizeof rnd + 1];
        for (size_t i = 0; i < sizeof rnd; i++)
            tail[i] = kLetters[rnd[i] % (sizeof kLetters - 1)];
        tail[sizeof rnd] = '\0';
        int n = snprintf(name, size, ".tmb%s.tmp", tail);
        if (n < 0 || (size_t)n >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = openat(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

const char *tmb_temp_dir()
{
    const char *t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

int tmb_close_checked(FILE *fp)
{
    int ok = fflush(fp) == 0 && !ferror(fp);
    if (fclose(fp) != 0)
        ok = 0;
    return ok;
}
