// Helpers shared by the fuzz targets: in-memory files with the full
// semantics of a regular file (seek past the end, fstat, truncate), so the
// code under test takes the same paths it takes on disk.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

// A read/write stream over an anonymous memory file. Kept for the life of
// the process; reset() refills it for each input.
inline FILE *mem_file(const char *name)
{
    int fd = memfd_create(name, 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    FILE *fp = fdopen(fd, "w+b");
    if (!fp)
        abort();
    return fp;
}

// Empties the file and writes `n` bytes; the stream stands at offset 0.
inline void reset(FILE *fp, const uint8_t *data, size_t n)
{
    fflush(fp);
    clearerr(fp);
    rewind(fp);
    if (ftruncate(fileno(fp), 0) != 0)
        abort();
    if (n && fwrite(data, 1, n, fp) != n)
        abort();
    fflush(fp);
    rewind(fp);
}

// The whole file's contents; the stream stands at its end afterwards.
inline std::vector<uint8_t> contents(FILE *fp)
{
    fflush(fp);
    std::vector<uint8_t> out;
    rewind(fp);
    uint8_t buf[65536];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, fp)) > 0)
        out.insert(out.end(), buf, buf + k);
    return out;
}

// Reports a broken invariant the way libFuzzer records a crash.
[[noreturn]] inline void fail(const char *what)
{
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

} // namespace fuzz
