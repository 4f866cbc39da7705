// Shared state of the dictionary encoder: the per-file counters, the 64 KB
// output buffer that batches packed bytes, and the two exits that end the
// process when memory runs out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace enc {

// Per-file counters, set by the driver before each file.
extern FILE *infile;       // the file being packed
extern FILE *outfile;      // receives the packed bytes
extern int64_t origsize;   // input bytes to pack: the cap for packed output
extern int64_t compsize;   // packed bytes accepted so far
extern int unpackable;     // 1 once a packed byte was refused at the cap

// Output buffer. While encio_fp is bound, writes to that stream collect
// here and reach it 64 KB at a time; the driver writes what is left.
constexpr size_t ENCIO_BUFSIZE = 65536;
extern unsigned char encio_buf[ENCIO_BUFSIZE];
extern size_t encio_n;
extern FILE *encio_fp;
// Set when a 64 KB flush wrote fewer bytes than it was given, so that
// the driver can refuse output that did not reach the file whole.
extern int encio_error;

// Writes the whole buffer to the bound stream and empties it.
void encio_flush();

// One byte to `fp`, through the buffer when `fp` is the bound stream.
inline void encio_put_byte(unsigned char b, FILE *fp)
{
    if (encio_fp != nullptr && fp == encio_fp) {
        if (encio_n == ENCIO_BUFSIZE)
            encio_flush();
        encio_buf[encio_n++] = b;
    } else {
        putc(b, fp);
    }
}

} // namespace enc

// putc and fwrite that go through the output buffer for the bound stream
// and straight to stdio for any other stream.
int tmb_encio_putc(int c, FILE *fp);
size_t tmb_encio_fwrite(const void *data, size_t size, size_t count, FILE *fp);

// "TMb: Fatal error: " + message + line feed on standard error, exit 1.
[[noreturn]] void fatal_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// malloc that ends the process with "Not enough memory" instead of
// returning null.
void *xmalloc(size_t size);
