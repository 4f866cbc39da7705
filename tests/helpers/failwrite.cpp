// LD_PRELOAD library for fault-injection tests: writes through stdio to
// files whose path contains TMB_FAIL_MATCH fail once TMB_FAIL_AFTER bytes
// have gone to such files (counted together). The failure looks like a
// full disk to the program: the byte budget reaches the file, the rest of
// the write is refused, the stream's error flag is set and errno is ENOSPC.
// From then on the stream's descriptor refuses every write (its reads see
// the end of the file), so nothing written later can reach the file either.
//
// A stream is matched by the path its descriptor names under /proc.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using fwrite_fn = size_t (*)(const void *, size_t, size_t, FILE *);
using fflush_fn = int (*)(FILE *);

fwrite_fn real_fwrite()
{
    static fwrite_fn f = (fwrite_fn)dlsym(RTLD_NEXT, "fwrite");
    return f;
}

fflush_fn real_fflush()
{
    static fflush_fn f = (fflush_fn)dlsym(RTLD_NEXT, "fflush");
    return f;
}

long s_budget = -2; // -2: not read yet, -1: no limit

bool matches(FILE *fp)
{
    const char *m = getenv("TMB_FAIL_MATCH");
    if (!m || !*m || fp == stdout || fp == stderr)
        return false;
    int fd = fileno(fp);
    if (fd < 0)
        return false;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return strstr(path, m) != nullptr;
}

// Puts a descriptor in place of the stream's own whose writes fail and
// whose reads see the end of a file, then makes stdio find that out.
void break_stream(FILE *fp)
{
    real_fflush()(fp);
    int fd = fileno(fp);
    int dead = open("/dev/null", O_RDONLY);
    if (dead >= 0) {
        dup2(dead, fd);
        close(dead);
    }
    static const char byte = 0;
    real_fwrite()(&byte, 1, 1, fp);
    real_fflush()(fp); // fails: sets the stream's error flag
}

// How many of `n` bytes may still be written to `fp`.
size_t allowed(FILE *fp, size_t n)
{
    if (s_budget == -2) {
        const char *a = getenv("TMB_FAIL_AFTER");
        s_budget = a ? atol(a) : -1;
    }
    if (s_budget < 0 || !matches(fp))
        return n;
    size_t ok = (size_t)s_budget < n ? (size_t)s_budget : n;
    s_budget -= (long)ok;
    return ok;
}

size_t guarded_write(const void *data, size_t bytes, FILE *fp)
{
    size_t ok = allowed(fp, bytes);
    size_t done = ok ? real_fwrite()(data, 1, ok, fp) : 0;
    if (ok == bytes)
        return done;
    break_stream(fp);
    errno = ENOSPC;
    return done;
}

} // namespace

extern "C" {

size_t fwrite(const void *data, size_t size, size_t count, FILE *fp)
{
    if (size == 0 || count == 0)
        return 0;
    return guarded_write(data, size * count, fp) / size;
}

int fputc(int c, FILE *fp)
{
    unsigned char b = (unsigned char)c;
    return guarded_write(&b, 1, fp) == 1 ? b : EOF;
}

int putc(int c, FILE *fp) { return fputc(c, fp); }

int fputs(const char *s, FILE *fp)
{
    size_t n = strlen(s);
    return guarded_write(s, n, fp) == n ? 1 : EOF;
}

int vfprintf(FILE *fp, const char *fmt, va_list ap)
{
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return n;
    char *buf = small;
    if ((size_t)n >= sizeof small) {
        buf = (char *)malloc((size_t)n + 1);
        if (!buf)
            return -1;
        vsnprintf(buf, (size_t)n + 1, fmt, ap);
    }
    size_t done = guarded_write(buf, (size_t)n, fp);
    if (buf != small)
        free(buf);
    return done == (size_t)n ? n : -1;
}

int fprintf(FILE *fp, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(fp, fmt, ap);
    va_end(ap);
    return n;
}

} // extern "C"
