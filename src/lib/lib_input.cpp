// Entry inputs as streams (see tmb_lib_input.h).
#include "tmb_lib_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

LibInput::~LibInput()
{
    if (fd >= 0)
        close(fd);
}

namespace {

ssize_t input_read(void *cookie, char *buf, size_t n)
{
    auto *in = static_cast<LibInput *>(cookie);
    // Every refill of the stream's buffer looks at the flags: a long entry
    // stops within one buffer of the request.
    if ((in->set && in->set->cancelled()) || (in->abandon && in->abandon->load())) {
        in->cancelled = true;
        errno = ECANCELED;
        return -1;
    }
    n = (size_t)std::min<uint64_t>(n, in->size - std::min(in->pos, in->size));
    size_t done = 0;
    if (in->mem) {
        memcpy(buf, in->mem + in->pos, n);
        done = n;
    }
    while (!in->mem && done < n) {
        ssize_t k = pread(in->fd, buf + done, n - done, (off_t)(in->base + in->pos + done));
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return -1;
        if (k == 0)
            break; // the file shrank: the encoder sees its end
        done += (size_t)k;
    }
    in->pos += done;
    return (ssize_t)done;
}

int input_seek(void *cookie, off64_t *off, int whence)
{
    auto *in = static_cast<LibInput *>(cookie);
    int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)in->pos : (int64_t)in->size;
    int64_t to = from + *off;
    if (to < 0) {
        errno = EINVAL;
        return -1;
    }
    in->pos = (uint64_t)to;
    *off = to;
    return 0;
}

} // namespace

FILE *lib_input_open(LibInput *in)
{
    cookie_io_functions_t io = {};
    io.read = input_read;
    io.seek = input_seek;
    in->pos = 0;
    return fopencookie(in, "rb", io);
}
