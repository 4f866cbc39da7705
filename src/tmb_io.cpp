// Exclusive temporary files and checked closing.
#include "tmb_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

int tmb_close_checked(FILE *fp)
{
    int ok = fflush(fp) == 0 && !ferror(fp);
    if (fclose(fp) != 0)
        ok = 0;
    return ok;
}
