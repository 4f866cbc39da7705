// Stream buffers the program owns; see tmb_stream.h.
#include "tmb_stream.h"

#include <new>
#include <utility>

#include "tmb_io.h"

FILE *StreamBuffer::attach(FILE *fp)
{
    if (!fp)
        return fp;
    if (!buf_)
        buf_.reset(new (std::nothrow) char[kTmbStreamBuffer]);
    if (buf_)
        setvbuf(fp, buf_.get(), _IOFBF, kTmbStreamBuffer);
    return fp;
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
