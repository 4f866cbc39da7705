// Encoder counters, the 64 KB output buffer and the fatal exits.
#include "tmb_enc_globals.h"

#include <cstdarg>
#include <cstdlib>

namespace enc {

FILE *infile = nullptr;
FILE *outfile = nullptr;
int64_t origsize = 0;
int64_t compsize = 0;
int unpackable = 0;

unsigned char encio_buf[ENCIO_BUFSIZE];
size_t encio_n = 0;
FILE *encio_fp = nullptr;
int encio_error = 0;

void encio_flush()
{
    if (encio_n != 0 && fwrite(encio_buf, 1, encio_n, encio_fp) != encio_n)
        encio_error = 1;
    encio_n = 0;
}

} // namespace enc

using namespace enc;

int tmb_encio_putc(int c, FILE *fp)
{
    if (encio_fp != nullptr && fp == encio_fp) {
        encio_put_byte((unsigned char)c, fp);
        return c & 0xFF;
    }
    return putc(c, fp);
}

size_t tmb_encio_fwrite(const void *data, size_t size, size_t count, FILE *fp)
{
    if (encio_fp == nullptr || fp != encio_fp)
        return fwrite(data, size, count, fp);
    // The buffer is written only when a byte arrives while it is full, so
    // exactly 64 KB stay held until the driver's final write.
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t left = size * count;
    while (left > 0) {
        if (encio_n == ENCIO_BUFSIZE)
            encio_flush();
        size_t room = ENCIO_BUFSIZE - encio_n;
        size_t k = left < room ? left : room;
        for (size_t i = 0; i < k; i++)
            encio_buf[encio_n + i] = p[i];
        encio_n += k;
        p += k;
        left -= k;
    }
    return count;
}

void fatal_error(const char *fmt, ...)
{
    fputs("TMb: Fatal error: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    tmb_encio_putc('\n', stderr);
    exit(1);
}

void *xmalloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr)
        fatal_error("Not enough memory");
    return p;
}
