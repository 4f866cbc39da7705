// Stream buffers the program owns; see tmb_stream.h.
#include "tmb_stream.h"

#include <new>
#include <utility>

#include "tmb_io.h"

FILE *StreamBuffer::attach(FILE *fp, size_t size)
{
    if (!fp)
        return fp;
    if (!buf_) {
        buf_.reset(new (std::nothrow) char[size]);
        size_ = buf_ ? size : 0;
    }
    if (buf_)
        setvbuf(fp, buf_.get(), _IOFBF, size_);
    return fp;
}

CopyResult tmb_copy_bytes(FILE *in, FILE *out, uint64_t len)
{
    // The buffer is the call's own, so calls from several threads never
    // meet: a small copy goes through the stack, a larger one through up to
    // 64 KB of heap, and without memory for that through the stack in more
    // calls.
    unsigned char fallback[4096];
    size_t size = len < kTmbStreamBuffer ? (size_t)len : kTmbStreamBuffer;
    std::unique_ptr<unsigned char[]> heap(size > sizeof fallback ? new (std::nothrow) unsigned char[size]
                                                                 : nullptr);
    unsigned char *buf = heap ? heap.get() : fallback;
    if (!heap && size > sizeof fallback)
        size = sizeof fallback;
    while (len > 0) {
        size_t want = len < size ? (size_t)len : size;
        if (fread(buf, 1, want, in) != want)
            return CopyResult::kShortRead;
        if (fwrite(buf, 1, want, out) != want)
            return CopyResult::kWriteFailed;
        len -= want;
    }
    return CopyResult::kDone;
}

BufferedFile::BufferedFile(BufferedFile &&other) noexcept
    : buf_(std::move(other.buf_)), fp_(std::exchange(other.fp_, nullptr))
{
}

BufferedFile &BufferedFile::operator=(BufferedFile &&other) noexcept
{
    if (this != &other) {
        close();
        // The heap buffer moves with the stream: its address, which the
        // stream holds, stays the same.
        buf_ = std::move(other.buf_);
        fp_ = std::exchange(other.fp_, nullptr);
    }
    return *this;
}

void BufferedFile::reset(FILE *fp)
{
    close();
    fp_ = buf_.attach(fp);
}

int BufferedFile::close()
{
    if (!fp_)
        return 0;
    return fclose(std::exchange(fp_, nullptr));
}

int BufferedFile::close_checked()
{
    if (!fp_)
        return 1;
    return tmb_close_checked(std::exchange(fp_, nullptr));
}
